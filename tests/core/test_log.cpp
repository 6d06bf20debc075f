#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "relay/core/log.h"
#include "relay/core/rss.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class Log : public ::testing::Test {
  protected:
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/lqlogXXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    // Runs the log's whole life in a child whose controlling terminal is a fresh pseudo-terminal,
    // writing `message` to standard error in between; returns what the terminal showed.
    std::string Session(const char* display, const char* message) {
        int master;
        pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            RssInitData();
            pRssDaemonData->tmpDir = strdup(dir.c_str());
            pRssGlobalData->displayName = strdup(display);
            if (InitLogfile() != 0) _exit(3);
            if (message) fputs(message, stderr);
            CloseLogfile();
            _exit(0);
        }
        std::string out;
        char buf[256];
        ssize_t n;
        while ((n = read(master, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        int status = 0;
        waitpid(pid, &status, 0);
        close(master);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        return out;
    }
};

TEST_F(Log, SilentRunLeavesNoFile) {
    EXPECT_EQ(Session("unix:1.0", nullptr), "");
    EXPECT_NE(access((dir + "/lqx_log.1.0").c_str(), F_OK), 0);
}

TEST_F(Log, MessagesAreKeptAndNamedAtExit) {
    std::string shown = Session("myhost:2.0", "client write error\n");
    std::string path = dir + "/lqx_log.2.0";
    EXPECT_EQ(shown, "\r\nmessages have been placed in log file " + path + "\r\n\r\n");
    EXPECT_EQ(Slurp(path), "client write error\n");
}

TEST_F(Log, PlantedLinkIsNotFollowed) {
    std::string victim = dir + "/victim";
    std::ofstream(victim) << "precious";
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/lqx_log.1.0").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/lqx_log.3.0").c_str(), 0666), 0);  // nor blocked on by a planted pipe

    RssInitData();
    pRssDaemonData->tmpDir = strdup(dir.c_str());
    for (const char* display : {"unix:1.0", "unix:3.0"}) {
        free(pRssGlobalData->displayName);
        pRssGlobalData->displayName = strdup(display);
        testing::internal::CaptureStderr();
        EXPECT_EQ(InitLogfile(), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "cannot open log file " + dir + "/lqx_log." + (display + 5) + "\n");
        CloseLogfile();  // nothing of ours to remove
    }
    RssFreeData();
    EXPECT_EQ(Slurp(victim), "precious");
    struct stat st;
    EXPECT_EQ(lstat((dir + "/lqx_log.1.0").c_str(), &st), 0);
}

TEST(StringNCopy, AlwaysTerminates) {
    char d[4] = {'x', 'x', 'x', 'x'};
    StringNCopy(d, "abcdef", sizeof d);
    EXPECT_STREQ(d, "abc");
    StringNCopy(d, "", sizeof d);
    EXPECT_STREQ(d, "");
}

}  // namespace
