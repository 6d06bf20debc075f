// Set-up replies end to end: the relay and lqterm agree on differences, every client after the
// first (and, from the cache, the first client of the next session) gets its set-up reply from a
// few line bytes, and what the clients see is what they saw before.
#include "tests/e2e/e2e.h"

namespace {

// X servers whose set-up replies differ in size and content.
struct Server {
    const char* name;
    std::vector<std::string> args;
};
void PrintTo(const Server& s, std::ostream* os) { *os << s.name; }

class SetupEndToEnd : public E2E, public ::testing::WithParamInterface<Server> {
  protected:
    SetupEndToEnd() { xServerArgs = GetParam().args; }
    // The counts of the session's statistics record.
    uint64_t Stat(const std::string& json, const std::string& key) {
        const size_t p = json.find("\"" + key + "\": ");
        return p == std::string::npos ? ~0ull : std::strtoull(json.c_str() + p + key.size() + 4, nullptr, 10);
    }
    std::string Run(const std::string& body, const std::vector<std::string>& extra = {}) {
        Session(body);
        const std::string stats = dir + "/stats.json";
        std::vector<std::string> args = {"-stats", "-statsfile", stats};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_t t = StartRelay(args);
        EXPECT_EQ(Wait(t, 60), 0) << TermLog();
        return Read(stats);
    }
};

}  // namespace

TEST_P(SetupEndToEnd, LaterClientsAndSessionsGetTheirSetUpAsADifference) {
    // xdpyinfo prints what the set-up reply says (screens, visuals, formats, vendor).
    std::string s = Run("xdpyinfo | grep -v '^name of display' > $HOME/a1; xdpyinfo | grep -v '^name of display' > $HOME/a2");
    EXPECT_EQ(Stat(s, "setupDiffs"), 1u) << s << TermLog();
    EXPECT_GT(Stat(s, "setupBytesSaved"), 200u) << s;
    // The link-life coder carried the rest, the first set-up reply among it, in fewer bytes.
    EXPECT_GT(Stat(s, "coderBytesIn"), 0u) << s;
    EXPECT_LT(Stat(s, "coderCodedOut"), Stat(s, "coderBytesOut")) << s;
    EXPECT_NE(Read(home + "/a1").find("number of visuals"), std::string::npos);
    EXPECT_EQ(Read(home + "/a1"), Read(home + "/a2"));

    s = Run("xdpyinfo | grep -v '^name of display' > $HOME/b1");
    EXPECT_EQ(Stat(s, "setupDiffs"), 1u) << "the first client of a new session: " << s << TermLog();
    EXPECT_EQ(Read(home + "/b1"), Read(home + "/a1"));

    // Without extensions the replies cross whole, and nothing else changes for the client.
    s = Run("xdpyinfo | grep -v '^name of display' > $HOME/c1", {"-noext"});
    EXPECT_EQ(Stat(s, "setupDiffs"), 0u) << s;
    EXPECT_EQ(Stat(s, "coderBytesOut"), 0u) << s;
    EXPECT_EQ(Read(home + "/c1"), Read(home + "/a1"));
}

INSTANTIATE_TEST_SUITE_P(Servers, SetupEndToEnd,
                         ::testing::Values(Server{"depth24", {"-screen", "0", "640x480x24"}},
                                           Server{"depth16NoGlx", {"-screen", "0", "800x600x16", "-extension", "GLX"}},
                                           Server{"depth8", {"-screen", "0", "320x200x8"}}),
                         [](const auto& info) { return std::string(info.param.name); });
