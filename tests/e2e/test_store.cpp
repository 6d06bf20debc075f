// The message store end to end: the long replies of a session (font information, the keyboard
// mapping, the root window's properties) cross the next session as references, the clients see
// exactly what they saw before, and a store that one side lost or holds damaged costs only the
// bytes, never a wrong one.
#include <filesystem>

#include "tests/e2e/e2e.h"

namespace {

class StoreEndToEnd : public E2E {
  protected:
    void SetUp() override {
        E2E::SetUp();
        unsetenv("XDG_CACHE_HOME");  // the caches live in the test's HOME
    }
    uint64_t Stat(const std::string& json, const std::string& key) {
        const size_t p = json.find("\"" + key + "\": ");
        return p == std::string::npos ? ~0ull : std::strtoull(json.c_str() + p + key.size() + 4, nullptr, 10);
    }
    // A session of clients whose replies are long and the same every time; what they print goes
    // to $HOME/<tag>.
    std::string Run(const std::string& tag, const std::vector<std::string>& extra = {}) {
        Session("xlsfonts -ll -fn fixed > $HOME/" + tag + "; xmodmap -pk >> $HOME/" + tag + "; xprop -root >> $HOME/" +
                tag + "; xlsfonts -ll -fn fixed >> $HOME/" + tag);
        const std::string stats = dir + "/stats.json";
        std::vector<std::string> args = {"-stats", "-statsfile", stats};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_t t = StartRelay(args);
        EXPECT_EQ(Wait(t, 90), 0) << TermLog();
        return Read(stats);
    }
    std::string Cache(const char* prog) { return home + "/.cache/" + prog; }
};

}  // namespace

TEST_F(StoreEndToEnd, TheSecondSessionStartsWarmAndSeesTheSameBytes) {
    std::string s = Run("a");
    const uint64_t coldLine = Stat(s, "lineBytesIn") + Stat(s, "lineBytesOut");
    EXPECT_EQ(Stat(s, "storeAdded"), 2u) << "the font's information and the keyboard mapping: " << s << TermLog();
    EXPECT_EQ(Stat(s, "storeHits"), 3u) << "the font's information again, within the session: " << s;
    EXPECT_EQ(Stat(s, "storeMisses"), 0u) << s;
    ASSERT_NE(Read(home + "/a").find("max\t"), std::string::npos) << Read(home + "/a");

    s = Run("b");
    const uint64_t warmLine = Stat(s, "lineBytesIn") + Stat(s, "lineBytesOut");
    EXPECT_EQ(Stat(s, "storeHits"), 5u) << "every long reply: " << s << TermLog();
    EXPECT_EQ(Stat(s, "storeAdded"), 0u) << s;
    EXPECT_EQ(Stat(s, "storeMisses"), 0u) << s;
    EXPECT_EQ(Read(home + "/b"), Read(home + "/a"));
    EXPECT_LT(warmLine, coldLine) << s;

    // Without extensions nothing is stored or referred to, and the clients see the same.
    s = Run("c", {"-noext"});
    EXPECT_EQ(Stat(s, "storeHits"), 0u) << s;
    EXPECT_EQ(Read(home + "/c"), Read(home + "/a"));
}

TEST_F(StoreEndToEnd, AStoreOneSideLostOrHoldsDamagedStartsBothEmpty) {
    namespace fs = std::filesystem;
    Run("warm");
    struct Case {
        const char* what;
        std::function<void()> spoil;
    } cases[] = {
        {"the relay's store deleted", [&] { fs::remove_all(Cache("lqhostd")); }},
        {"the terminal's store deleted", [&] {
             for (auto& e : fs::directory_iterator(Cache("lqterm")))
                 if (e.path().filename().string().rfind("store-", 0) == 0) fs::remove(e.path());
         }},
        {"the terminal's store damaged", [&] {
             for (auto& e : fs::directory_iterator(Cache("lqterm")))
                 if (e.path().filename().string().rfind("store-", 0) == 0) {
                     std::fstream f(e.path(), std::ios::binary | std::ios::in | std::ios::out);
                     f.seekp(200);
                     f.put('\x5a');
                 }
         }},
    };
    for (const Case& c : cases) {
        Run("before");
        c.spoil();
        const std::string s = Run("after");
        // Only the repeats within the session are references: the first replies cross whole.
        EXPECT_EQ(Stat(s, "storeHits"), 3u) << c.what << ": " << s << TermLog();
        EXPECT_EQ(Stat(s, "storeMisses"), 0u) << c.what;
        EXPECT_EQ(Read(home + "/after"), Read(home + "/warm")) << c.what;
        if (std::string(c.what).find("damaged") != std::string::npos) {
            EXPECT_NE(TermLog().find("message store"), std::string::npos) << "the damage is said: " << TermLog();
        }
    }
}

TEST_F(StoreEndToEnd, TwoXServersSharingOneCacheKeepAStoreEach) {
    // A second server, of another depth: its clients' long replies differ from the first's.
    const int first = xdisp;
    const int second = FreeDisplay(first + 1, 49);
    ASSERT_GT(second, 0);
    Spawn({"Xvfb", ":" + std::to_string(second), "-screen", "0", "800x600x16", "-nolisten", "tcp", "-noreset"}, {},
          dir + "/xvfb2.log");
    ASSERT_TRUE(WaitUntil([&] { return Exists("/tmp/.X11-unix/X" + std::to_string(second)); }, 10));
    auto on = [&](int display, const std::string& tag) {
        xdisp = display;
        const std::string s = Run(tag);
        xdisp = first;
        return s;
    };
    on(first, "a1");
    std::string s = on(second, "b1");
    EXPECT_EQ(Stat(s, "storeHits"), 3u) << "the second server's first session starts empty: " << s;
    s = on(first, "a2");
    EXPECT_EQ(Stat(s, "storeHits"), 5u) << "the first server's store outlived the second's session: " << s << TermLog();
    EXPECT_EQ(Read(home + "/a2"), Read(home + "/a1"));
    s = on(second, "b2");
    EXPECT_EQ(Stat(s, "storeHits"), 5u) << s;
    EXPECT_EQ(Read(home + "/b2"), Read(home + "/b1"));
    EXPECT_EQ(Stat(s, "storeMisses"), 0u) << s;
}

TEST_F(StoreEndToEnd, DrawingAndDisplayInformationAreExactFromAWarmStore) {
    const std::string direct = DrawDirect();
    ASSERT_FALSE(direct.empty());
    std::string info[2];
    for (int n = 0; n < 2; n++) {
        SCOPED_TRACE(n ? "warm" : "cold");
        unlink((home + "/wid").c_str());
        unlink((home + "/done").c_str());
        Session("xdpyinfo -ext all 2>/dev/null | grep -v '^name of display' > $HOME/info; xlsfonts -ll -fn fixed > /dev/null; "
                "\"$LQDRAW\" draw $HOME/wid $HOME/done");
        const std::string stats = dir + "/stats.json";
        pid_t t = StartRelay({"-stats", "-statsfile", stats});
        ASSERT_TRUE(WaitUntil([&] { return Exists(home + "/wid"); }, 60)) << TermLog();
        EXPECT_EQ(Dump(Read(home + "/wid")), direct) << "pixel for pixel";
        Write(home + "/done", "");
        EXPECT_EQ(Wait(t, 60), 0) << TermLog();
        info[n] = Read(home + "/info");
        const std::string s = Read(stats);
        if (n == 1) {
            EXPECT_GE(Stat(s, "storeHits"), 2u) << s;
        }
        EXPECT_EQ(Stat(s, "storeMisses"), 0u) << s;
    }
    EXPECT_GT(info[0].size(), 10000u);
    EXPECT_EQ(info[1], info[0]);
}
