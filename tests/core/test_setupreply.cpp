// Set-up differences at the relay: a reply sent as its difference reaches the client exactly as the
// X server made it, the base follows link order and lasts across sessions on disk, and a
// difference that does not rebuild ends the link instead of reaching a client wrong.
#include <filesystem>
#include <fstream>

#include "relay/link/linkext.h"
#include "relay/xspec/setupdiff.h"
#include "tests/core/relayharness.h"

namespace {

// A Success reply of the given total length (a multiple of 4, at least 40) and resource-id base.
std::vector<uint8_t> Reply(uint32_t idBase, size_t len = 1200) {
    std::vector<uint8_t> r(len);
    for (size_t i = 8; i < len; i++) r[i] = static_cast<uint8_t>(i * 13 % 7);
    r[0] = 1;
    r[3] = 11;
    r[6] = static_cast<uint8_t>((len - 8) / 4 >> 8);
    r[7] = static_cast<uint8_t>((len - 8) / 4);
    for (int i = 0; i < 4; i++) r[12 + i] = static_cast<uint8_t>(idBase >> (24 - 8 * i));
    return r;
}

std::vector<uint8_t> Offer(uint64_t base) {
    std::vector<uint8_t> v(LINKEXT_MAX);
    LinkExtParams p{base, 0};
    v.resize(LinkExtWrite(v.data(), LINKEXT_SETUPDIFF, &p));
    return v;
}

class SetupReplies : public Relay {
  protected:
    void SetUp() override {
        char t[] = "/tmp/lqcacheXXXXXX";
        cache = mkdtemp(t);
        setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    }
    // Not TearDown: StopRelay runs that between the sessions of one test, and the cache must last.
    ~SetupReplies() override {
        unsetenv("XDG_CACHE_HOME");
        std::filesystem::remove_all(cache);
    }

    // Starts with an offer of set-up differences from the given base; returns the answer.
    LinkExtParams StartOffering(uint64_t base) {
        readyExtra = Offer(base);
        Start();
        Pump(10);
        auto answers = Take(MSG_EXTENSIONS);
        LinkExtParams p{~0ull, ~0ull};
        uint32_t bits = 0;
        EXPECT_EQ(answers.size(), 1u);
        if (!answers.empty()) {
            EXPECT_EQ(LinkExtRead(answers[0].bytes.data(), answers[0].bytes.size(), &bits, &p), 0);
        }
        EXPECT_EQ(bits, LINKEXT_SETUPDIFF);
        return p;
    }

    // A client whose set-up has reached the terminal; its socket and link id.
    int Client(int* id) {
        int s = Connect();
        Send(s, SetupHeader(0, 0));
        EXPECT_TRUE(PumpUntil([&] { return !Take(MSG_CONNECT).empty(); }));
        *id = lstLastT<ClientRec>(&pRssDispData->clientRecList)->clientId;
        return s;
    }

    // The reply as the terminal sends a plain one: its head, then pieces of at most 256 bytes.
    void SendPlain(int id, const std::vector<uint8_t>& r) {
        TermSend(MSG_CONNECT, static_cast<uint8_t>(id), {r.begin(), r.begin() + 8});
        for (size_t at = 8; at < r.size(); at += 256)
            TermSend(MSG_CONNECT, static_cast<uint8_t>(id), {r.begin() + at, r.begin() + std::min(r.size(), at + 256)});
    }

    std::vector<uint8_t> Diff(const std::vector<uint8_t>& base, const std::vector<uint8_t>& r) {
        uint8_t d[SETUP_DIFF_MAX];
        size_t n = SetupDiffMake(base.data(), base.size(), r.data(), r.size(), d);
        EXPECT_GT(n, 0u);
        return {d, d + n};
    }

    std::string CacheFile(const std::vector<uint8_t>& r) {
        return SetupCachePath(cache + "/lqhostd", SetupHash(r.data(), r.size()));
    }

    std::string cache;
};

TEST_F(SetupReplies, LaterRepliesCrossAsDifferencesAndTheBaseOutlivesTheSession) {
    const auto first = Reply(0x00200000), second = Reply(0x00400000), third = Reply(0x00600000);
    EXPECT_EQ(StartOffering(0).setupBase, 0u) << "nothing to start from";

    int id1 = 0, id2 = 0;
    int s1 = Client(&id1);
    SendPlain(id1, first);
    EXPECT_EQ(Collect(s1, first.size()), first);
    int s2 = Client(&id2);
    const auto d = Diff(first, second);
    EXPECT_LE(d.size(), 20u);
    TermSend(MSG_CONNECT, static_cast<uint8_t>(id2), d);
    EXPECT_EQ(Collect(s2, second.size()), second);
    EXPECT_FALSE(ClientOf(id2)->inSetup) << "the rebuilt reply ends the set-up phase";
    EXPECT_TRUE(std::filesystem::exists(CacheFile(first)));
    EXPECT_TRUE(std::filesystem::exists(CacheFile(second)));
    StopRelay();

    // The next session's terminal offers the last reply; the relay holds it, so the first client
    // of the session is cheap too.
    EXPECT_EQ(StartOffering(SetupHash(second.data(), second.size())).setupBase, SetupHash(second.data(), second.size()));
    int id3 = 0;
    int s3 = Client(&id3);
    TermSend(MSG_CONNECT, static_cast<uint8_t>(id3), Diff(second, third));
    EXPECT_EQ(Collect(s3, third.size()), third);
    StopRelay();

    // A base the relay does not hold, or holds damaged, is not agreed: the terminal sends whole.
    {
        std::ofstream f(CacheFile(third), std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(100);
        f.put('\x55');
    }
    for (uint64_t offered : {SetupHash(first.data(), first.size()) ^ 1, SetupHash(third.data(), third.size())}) {
        EXPECT_EQ(StartOffering(offered).setupBase, 0u);
        StopRelay();
    }
}

TEST_F(SetupReplies, ADifferenceThatDoesNotRebuildEndsTheLink) {
    const auto first = Reply(0x00200000), second = Reply(0x00400000);
    StartOffering(0);
    int id1 = 0, id2 = 0;
    int s1 = Client(&id1);
    SendPlain(id1, first);
    EXPECT_EQ(Collect(s1, first.size()), first);
    int s2 = Client(&id2);
    auto d = Diff(first, second);
    d.back() ^= 0x10;
    TermSend(MSG_CONNECT, static_cast<uint8_t>(id2), d);
    EXPECT_TRUE(PumpUntil([&] { return !Take(MSG_SHUTDOWN).empty(); })) << "the relay asks to end the link";
    EXPECT_TRUE(Collect(s2, 1, 20).empty()) << "nothing reaches the client";
    EXPECT_TRUE(ClientOf(id2)->inSetup);
}

}  // namespace
