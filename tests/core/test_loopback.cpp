#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "relay/core/disp.h"
#include "relay/core/loopback.h"
#include "relay/core/rss.h"

namespace {

enum class Path { Swallow11, StripBit7 };

// Runs the line test in a child whose controlling terminal is a pseudo-terminal, with this process
// as the far end: it echoes what arrives between 0x90 and 0x9C, altered as the path would, and
// answers timing probes a little late so that the measured loop time is not mere scheduling noise.
// Returns the result file; *shown gets what the terminal showed.
std::string RunLoopback(Path path, std::string* shown) {
    char tmpl[] = "/tmp/lqloopXXXXXX";
    std::string dir = mkdtemp(tmpl);
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(2);
        RssInitData();
        RssInitDispData();
        pRssDaemonData->configFile = strdup("/home/u/.lqhostdrc");
        DoLoopbackTest();
        _exit(0);
    }
    std::string inFrame;
    bool framing = false;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) == 1) {
            uint8_t buf[512];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; i++) {
                uint8_t c = buf[i];
                if (!framing) {
                    if (c == 0x90) {
                        framing = true;
                        inFrame.clear();
                    } else {
                        shown->push_back(static_cast<char>(c));
                    }
                    continue;
                }
                if (c == 0x9c) {
                    framing = false;
                    if (inFrame.size() == 5) usleep(20000);
                    std::string echo;
                    for (char e : inFrame) {
                        uint8_t b = static_cast<uint8_t>(e);
                        if (path == Path::Swallow11 && b == 0x11) continue;
                        if (path == Path::StripBit7) b &= 0x7f;
                        echo.push_back(static_cast<char>(b));
                    }
                    if (write(master, echo.data(), echo.size()) < 0) break;
                    continue;
                }
                inFrame.push_back(static_cast<char>(c));
            }
        } else if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            break;
        }
    }
    if (pid > 0) waitpid(pid, nullptr, 0);
    close(master);
    std::ifstream f(dir + "/lqx_log.result");
    std::stringstream s;
    s << f.rdbuf();
    std::system(("rm -rf " + dir).c_str());
    return s.str();
}

TEST(Loopback, PathThatSwallowsOneCharacter) {
    std::string shown;
    std::string result = RunLoopback(Path::Swallow11, &shown);
    // 0x0d comes back as 0x0a: the line keeps carriage-return translation on input.
    EXPECT_EQ(result,
              "A suggested escape character list has been generated.\n"
              "! The following escape character string should\n"
              "! be placed in your /home/u/.lqhostdrc file:\n"
              "*escapeChars:\t\t0x0d 0x11 0x13 0x1b 0x93 \n");
    EXPECT_NE(shown.find("messages have been placed in log file ./lqx_log.result"), std::string::npos);
}

TEST(Loopback, PathThatStripsBitSeven) {
    std::string shown;
    std::string result = RunLoopback(Path::StripBit7, &shown);
    std::string unescapable;
    for (int c = 0x80; c < 0x100; c++) {
        if (c == 0x9c || c == 0xbc) continue;  // 0x9c is never tried and counts as passing; 0xbc escapes to it
        char line[64];
        std::snprintf(line, sizeof line, "Character 0x%02x could not be escaped!\n", c);
        unescapable += line;
    }
    EXPECT_EQ(result, unescapable +
                          "The number of characters that need to be escaped\n"
                          "exceeds the maximum alowable number (76).\n"
                          "Likely causes for this situation are excessive\n"
                          "line noise or the serial connection is not\n"
                          "configured for 8-bit data.\n");
}

}  // namespace
