// Authorization end to end: an X server that asks for its cookie, the relay that asks for its own,
// and lqterm, which gives the server's cookie only to clients the relay vouched for.
#include <algorithm>

#include "tests/e2e/e2e.h"

namespace {

class CookieServer : public E2E {
  protected:
    CookieServer() { xAuth = true; }
};

}  // namespace

TEST_F(CookieServer, TheUsersClientsGetThroughAndStrangersAreRefusedByTheRelay) {
    Session("xdpyinfo > $HOME/ok.txt 2>$HOME/ok.err; echo $? > $HOME/ok.rc;"
            " XAUTHORITY=/nonexistent xdpyinfo > /dev/null 2>$HOME/stranger.err; echo $? > $HOME/stranger.rc");
    pid_t t = StartRelay();
    ASSERT_EQ(Wait(t, 50), 0) << TermLog();
    EXPECT_EQ(Read(home + "/ok.rc"), "0\n") << Read(home + "/ok.err") << TermLog();
    EXPECT_NE(Read(home + "/ok.txt").find("number of screens"), std::string::npos);
    EXPECT_NE(Read(home + "/stranger.rc"), "0\n");
    EXPECT_NE(Read(home + "/stranger.err").find("Authorization required, but no authorization protocol specified"),
              std::string::npos)
        << Read(home + "/stranger.err");
    EXPECT_EQ(TermLog().find("does not check"), std::string::npos) << TermLog();
    // The relay's entry is gone with it; the server's stays.
    const std::string left = Sh("xauth list");
    EXPECT_EQ(std::count(left.begin(), left.end(), '\n'), 1) << left;
    EXPECT_NE(left.find("/unix:" + std::to_string(xdisp) + "  "), std::string::npos) << left;
}

TEST_F(CookieServer, WithoutExtensionsLqtermKeepsTheCookieBackAndSaysWhyOnce) {
    Session("xdpyinfo > /dev/null 2>$HOME/err; echo $? > $HOME/rc; xdpyinfo > /dev/null 2>&1");
    pid_t t = StartRelay({"-noext"});
    ASSERT_EQ(Wait(t, 50), 0) << TermLog();
    EXPECT_NE(Read(home + "/rc"), "0\n");
    const std::string log = TermLog();
    const size_t first = log.find("does not check its clients' authorization");
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("does not check", first + 1), std::string::npos) << log;
}
