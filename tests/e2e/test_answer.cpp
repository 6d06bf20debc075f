// Answers made at the relay end to end: a client that asks for one colour after another gets the
// colours the X server itself gives, whether the relay passed each request on, answered it from
// what it learnt earlier in the session, or from what an earlier session left on disk; and without
// extensions, or with that table damaged, exactly the same.
#include <filesystem>
#include <fstream>

#include "tests/e2e/e2e.h"

namespace {

class AnswerEndToEnd : public E2E {
  protected:
    void SetUp() override {
        E2E::SetUp();
        unsetenv("XDG_CACHE_HOME");  // the caches live in the test's HOME
        Write(home + "/.lqhostdrc", "*tmpDir: " + dir + "\n");
    }
    // A session of two clients asking for the same 64 colours; returns the relay's log.
    std::string Run(const std::string& tag, const std::vector<std::string>& extra = {}) {
        namespace fs = std::filesystem;
        Session("$LQDRAW colors $HOME/" + tag + "1; $LQDRAW colors $HOME/" + tag + "2");
        pid_t t = StartRelay(extra);
        EXPECT_EQ(Wait(t, 90), 0) << TermLog();
        std::string log;
        for (auto& e : fs::directory_iterator(dir))
            if (e.path().filename().string().rfind("lqx_log.", 0) == 0 && e.path().filename() != "lqx_log.result") {
                log += Read(e.path());
                fs::remove(e.path());
            }
        return log;
    }
    static int Answered(const std::string& log) {
        const size_t n = log.find(" AllocColor answered");
        const size_t p = n == std::string::npos ? n : log.rfind("answers at the relay: ", n);
        return p == std::string::npos ? -1 : std::atoi(log.c_str() + p + 22);
    }
    std::string Direct() {
        Sh(std::string(LQ_DRAW_PATH) + " colors " + dir + "/direct");
        return Read(dir + "/direct");
    }
    std::string Colors() { return home + "/.cache/lqhostd"; }
};

}  // namespace

TEST_F(AnswerEndToEnd, ColoursAnsweredAtTheRelayAreTheXServersOwn) {
    namespace fs = std::filesystem;
    const std::string truth = Direct();
    ASSERT_NE(truth.find(" -> "), std::string::npos) << truth;

    // Cold: the first client's colours are learnt, the second's answered (but for its first, which
    // follows requests without replies).
    std::string log = Run("a");
    EXPECT_GE(Answered(log), 63) << log;
    EXPECT_NE(log.find(" 0 wrong"), std::string::npos) << log;
    EXPECT_EQ(Read(home + "/a1"), truth);
    EXPECT_EQ(Read(home + "/a2"), truth);

    // Warm: the table on disk answers the first client too.
    log = Run("b");
    EXPECT_NE(log.find("64 colours of this X server are known"), std::string::npos) << log;
    EXPECT_GE(Answered(log), 126) << log;
    EXPECT_EQ(Read(home + "/b1"), truth);
    EXPECT_EQ(Read(home + "/b2"), truth);

    // Without extensions nothing is answered here.
    log = Run("c", {"-noext"});
    EXPECT_EQ(Answered(log), -1) << log;
    EXPECT_EQ(Read(home + "/c1"), truth);

    // A damaged table is ignored whole, and learnt again.
    for (auto& e : fs::directory_iterator(Colors()))
        if (e.path().filename().string().rfind("colors-", 0) == 0) {
            std::fstream f(e.path(), std::ios::binary | std::ios::in | std::ios::out);
            f.seekp(40);
            f.put('\x5a');
        }
    log = Run("d");
    EXPECT_NE(log.find("damaged - starting with none"), std::string::npos) << log;
    EXPECT_GE(Answered(log), 63) << log;
    EXPECT_EQ(Read(home + "/d1"), truth);
    EXPECT_EQ(Read(home + "/d2"), truth);
}
