// lqterm's live status line: its text, when it is drawn, and that it leaves the terminal clean.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "terminal/lqterm.h"
#include "terminal/status.h"

namespace {

TEST(StatusLine, TextShowsRatesShareRatioQueueResendsAndClients) {
    const struct Case {
        TermStatusSample before, now;
        uint32_t rate;
        const char* want;
    } cases[] = {
        // 2 s of a 38400 bit/s line (3840 bytes a second) busy inwards
        {{1000000, 100, 50, 0, 0, 0, 0}, {3000000, 7780, 250, 16060, 1234, 3, 2}, 38400,
         "lqterm: in 3.8 kB/s (100 %), out 100 B/s (3 %); ratio 2.00; queued 1.2 kB; resends 3; clients 2"},
        // the line's speed unknown (a pseudo-terminal), nothing has crossed yet
        {{0, 0, 0, 0, 0, 0, 0}, {1000000, 0, 0, 0, 2500000, 0, 0}, 0,
         "lqterm: in 0 B/s, out 0 B/s; ratio 0.00; queued 2.5 MB; resends 0; clients 0"},
        // no time between the samples: no rate rather than a division by zero
        {{5, 10, 10, 40, 0, 0, 1}, {5, 20, 20, 40, 0, 1, 1}, 9600,
         "lqterm: in 0 B/s (0 %), out 0 B/s (0 %); ratio 1.00; queued 0 B; resends 1; clients 1"},
    };
    for (const Case& c : cases) EXPECT_EQ(TermStatusText(c.before, c.now, c.rate), c.want);
}

TEST(StatusLine, OptionsTurnItOnAndOff) {
    const struct {
        std::vector<const char*> args;
        int want;
    } cases[] = {{{"--", "x"}, -1}, {{"-status", "--", "x"}, 1}, {{"-nostatus", "--", "x"}, 0}};
    for (const auto& c : cases) {
        std::vector<const char*> a = c.args;
        a.insert(a.begin(), "lqterm");
        TermOptions o;
        ASSERT_EQ(TermParseArgs(&o, static_cast<int>(a.size()), const_cast<char**>(a.data())), 0);
        EXPECT_EQ(o.status, c.want);
    }
}

std::string Drain(int fd) {
    std::string out;
    char b[512];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 50) > 0) {
        ssize_t n = read(fd, b, sizeof b);
        if (n <= 0) break;
        out.append(b, static_cast<size_t>(n));
    }
    return out;
}

// Drawn once a second, not before; on a terminal in place and wiped at the end, elsewhere (a log
// file) one line per update; by default only on a terminal.
TEST(StatusLine, DrawnOnceASecondAndWipedFromATerminal) {
    const struct Case {
        bool tty;
        int option;
        bool drawn;
    } cases[] = {{true, -1, true}, {false, -1, false}, {false, 1, true}, {true, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.tty ? "terminal" : "pipe") + " option " + std::to_string(c.option));
        int rd = -1, wr = -1;
        if (c.tty) {
            rd = posix_openpt(O_RDWR | O_NOCTTY);
            ASSERT_GE(rd, 0);
            ASSERT_EQ(grantpt(rd), 0);
            ASSERT_EQ(unlockpt(rd), 0);
            wr = open(ptsname(rd), O_RDWR | O_NOCTTY);
        } else {
            int p[2];
            ASSERT_EQ(pipe(p), 0);
            rd = p[0];
            wr = p[1];
        }
        ASSERT_GE(wr, 0);
        TermData* t = new TermData;
        t->opt.status = c.option;
        t->opt.line = "/dev/ttyS0";
        t->opt.speed = 9600;
        t->status.fd = wr;
        const uint64_t t0 = 5000000;
        const uint64_t next = TermStatusTick(t, t0);
        EXPECT_EQ(next, c.drawn ? t0 + 1000000 : UINT64_MAX);
        t->stats.lineBytesIn = 960;  // 960 bytes in the second: the whole 9600 bit/s line
        t->clients[3] = new TermClient();
        EXPECT_EQ(TermStatusTick(t, t0 + 500000), next);
        EXPECT_EQ(Drain(rd), "");
        TermStatusTick(t, t0 + 1000000);
        TermStatusWipe(t);
        const std::string text = "lqterm: in 960 B/s (100 %), out 0 B/s (0 %); ratio 0.00; queued 0 B; resends 0; clients 1";
        std::string want;
        if (c.drawn) want = c.tty ? "\r" + text + "\033[K\r\033[K" : text + "\n";
        EXPECT_EQ(Drain(rd), want);
        delete t->clients[3];
        delete t;
        close(rd);
        close(wr);
    }
}

}  // namespace
