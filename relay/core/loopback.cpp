#include "relay/core/loopback.h"

#include <sys/select.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/core/log.h"
#include "relay/core/rss.h"
#include "relay/core/tty.h"

namespace {

constexpr uint8_t DCS = 0x90;
constexpr uint8_t ST = 0x9c;

// Waits up to usec for input on the line: 1 readable, 0 time-out, -1 failure.
int LoopWait(int fd, uint32_t usec) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(fd, &r);
    timeval tv{static_cast<time_t>(usec / 1000000), static_cast<suseconds_t>(usec % 1000000)};
    int n = select(fd + 1, &r, nullptr, nullptr, &tv);
    return n < 0 ? -1 : n > 0 ? 1 : 0;
}

int LoopWrite(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k <= 0) return -1;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return 0;
}

}  // namespace

uint32_t TestTime() {
    int fd = pRssGlobalData->ttyFd;
    static const uint8_t probe[7] = {DCS, 0x7e, 'T', 'E', 'S', 'T', ST};
    uint32_t longest = 0;
    for (int i = 0; i < LOOP_TIME_PROBES; i++) {
        TtyPurge(fd);
        uint32_t sent = GetTime();
        LoopWrite(fd, probe, sizeof probe);
        TtyDrainOutput(fd);
        uint8_t in[256];
        if (LoopWait(fd, LOOP_PROBE_WAIT_SEC * 1000000u) == 1) {
            ssize_t n = read(fd, in, sizeof in);
            uint32_t back = GetTime();
            if (n > 0 && in[0] == 0x7e && back - sent > longest) longest = back - sent;
        }
        while (LoopWait(fd, LOOP_QUIET_SEC * 1000000u) == 1)
            if (read(fd, in, sizeof in) <= 0) break;
    }
    return longest / 8;
}

int TestChar(uint8_t c, uint32_t t) {
    int fd = pRssGlobalData->ttyFd;
    TtyPurge(fd);
    if (c == ST) return 0;
    if (c == 0x13 || c == 0x1b || c == 0x93) return -1;
    const uint8_t probe[12] = {DCS, 0x7e, 'T', 'E', 'S', 'T', c, 'T', 'E', 'S', 'T', ST};
    if (LoopWrite(fd, probe, sizeof probe) == -1) return -1;
    TtyDrainOutput(fd);
    uint8_t in[256];
    size_t got = 0;
    for (int i = 0; i < LOOP_CHAR_WAITS && got < 10; i++) {
        int w = LoopWait(fd, 24 * t);
        if (w == -1) return -1;
        if (w == 0) continue;
        ssize_t n = read(fd, in + got, sizeof in - got);
        if (n > 0) got += static_cast<size_t>(n);
    }
    return got == 10 && std::memcmp(in, probe + 1, 10) == 0 ? 0 : -1;
}

int DoLoopbackTest() {
    RssGlobalData* g = pRssGlobalData;
    RssDaemonData* d = pRssDaemonData;
    std::free(d->tmpDir);
    d->tmpDir = strdup(".");
    std::free(g->displayName);
    g->displayName = strdup(":result");
    if (InitLogfile() == -1) return 0;
    if (GetTtyPort() == -1) {
        std::fprintf(stderr, "could not complete loopback test, tty open error\n");
        CloseLogfile();
        return 0;
    }
    close(0);
    int fd = g->ttyFd;
    uint32_t t = TestTime();
    if (t == 0) {
        std::fprintf(stderr, "could not complete loop time test, connection timeout\n");
        std::fprintf(stderr, "essential characters (0x90 & 0x9c) are probably getting garbled.\n");
    } else {
        uint8_t list[256];
        int count = 0;
        for (int c = 0; c < 256; c++) {
            bool ok = false;
            for (int i = 0; i < LOOP_CHAR_TRIES && !ok; i++) ok = TestChar(static_cast<uint8_t>(c), t) == 0;
            if (ok) continue;
            bool escaped = false;
            for (int i = 0; i < LOOP_CHAR_TRIES && !escaped; i++)
                escaped = TestChar(static_cast<uint8_t>(c ^ 0x20), t) == 0;
            if (!escaped) std::fprintf(stderr, "Character 0x%02x could not be escaped!\n", c);
            list[count++] = static_cast<uint8_t>(c);
        }
        TtyRestore(fd);
        if (count == 0) {
            std::fprintf(stderr, "\n\nNo characters need to be escaped!\n\n");
        } else if (count <= MAX_ESC_CHARS) {
            std::fprintf(stderr, "A suggested escape character list has been generated.\n");
            std::fprintf(stderr, "! The following escape character string should\n");
            std::fprintf(stderr, "! be placed in your %s file:\n", d->configFile ? d->configFile : "");
            std::fprintf(stderr, "*escapeChars:\t\t");
            for (int i = 0; i < count; i++) std::fprintf(stderr, "0x%02x ", list[i]);
            std::fprintf(stderr, "\n");
        } else {
            std::fprintf(stderr, "The number of characters that need to be escaped\n");
            std::fprintf(stderr, "exceeds the maximum alowable number (%d).\n", MAX_ESC_CHARS);
            std::fprintf(stderr, "Likely causes for this situation are excessive\n");
            std::fprintf(stderr, "line noise or the serial connection is not\n");
            std::fprintf(stderr, "configured for 8-bit data.\n");
        }
    }
    if (t == 0) TtyRestore(fd);
    close(fd);
    g->ttyFd = -1;
    CloseLogfile();
    return 0;
}
