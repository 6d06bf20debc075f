// The message store at the relay: a long reply that crossed whole is resolved from a reference in
// its client's stream, with that reference's sequence number; the store lasts across sessions by
// digest; and a reference the relay cannot resolve is asked for again, the client's later output
// waiting behind it, or closes the client when the terminal cannot send it either.
#include <filesystem>
#include <fstream>

#include "relay/link/linkext.h"
#include "relay/xspec/xstore.h"
#include "tests/core/relayharness.h"

namespace {

// A reply of len bytes (a multiple of 4, at least 32) with the given sequence number and a body
// drawn from salt, in the byte order of a 'B' client.
std::vector<uint8_t> Reply(uint16_t seq, size_t len, uint8_t salt) {
    std::vector<uint8_t> r(len);
    for (size_t i = 8; i < len; i++) r[i] = static_cast<uint8_t>(i * 7 + salt);
    r[0] = 1;
    r[2] = static_cast<uint8_t>(seq >> 8);
    r[3] = static_cast<uint8_t>(seq);
    const uint32_t words = static_cast<uint32_t>((len - 32) / 4);
    for (int i = 0; i < 4; i++) r[4 + i] = static_cast<uint8_t>(words >> (24 - 8 * i));
    return r;
}

std::vector<uint8_t> Event(uint8_t code) {
    std::vector<uint8_t> e(32, 0);
    e[0] = code;
    e[4] = 0x5a;
    return e;
}

class StoreRelay : public Relay {
  protected:
    void SetUp() override {
        char t[] = "/tmp/lqstoreXXXXXX";
        cache = mkdtemp(t);
        setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    }
    ~StoreRelay() override {
        unsetenv("XDG_CACHE_HOME");
        std::filesystem::remove_all(cache);
    }

    // Starts with an offer of the store of this digest; returns the digest answered.
    uint64_t StartOffering(uint64_t digest) {
        readyExtra.assign(LINKEXT_MAX, 0);
        const LinkExtParams p{0, digest};
        readyExtra.resize(LinkExtWrite(readyExtra.data(), LINKEXT_STORE, &p));
        Start();
        Pump(10);
        auto answers = Take(MSG_EXTENSIONS);
        uint32_t bits = 0;
        LinkExtParams got{~0ull, ~0ull};
        EXPECT_EQ(answers.size(), 1u);
        if (!answers.empty()) {
            EXPECT_EQ(LinkExtRead(answers[0].bytes.data(), answers[0].bytes.size(), &bits, &got), 0);
        }
        EXPECT_EQ(bits, LINKEXT_STORE);
        return got.store;
    }

    // A message as the terminal's encoder sends it: pieces of at most 128 bytes.
    void SendWhole(int id, const std::vector<uint8_t>& m) {
        for (size_t at = 0; at < m.size(); at += 128)
            TermSend(MSG_XDATA, static_cast<uint8_t>(id), {m.begin() + at, m.begin() + std::min(m.size(), at + 128)});
    }
    void SendRef(int id, const std::vector<uint8_t>& m) {
        uint8_t ref[XSTORE_REF_LEN];
        const XStoreRef r{XSTORE_REF, static_cast<uint8_t>(id), {m[2], m[3]}, XStoreKeyOf(m.data(), m.size())};
        TermSend(MSG_XSTORE, 0, {ref, ref + XStoreRefWrite(r, ref)});
    }
    // The bytes asked for by a miss, as lqterm answers it (the entry, sequence number cleared).
    void SendData(int id, std::vector<uint8_t> m) {
        m[2] = m[3] = 0;
        for (size_t at = 0; at < m.size(); at += XSTORE_DATA_MAX) {
            std::vector<uint8_t> piece = {XSTORE_DATA, static_cast<uint8_t>(id)};
            piece.insert(piece.end(), m.begin() + at, m.begin() + std::min(m.size(), at + XSTORE_DATA_MAX));
            TermSend(MSG_XSTORE, 0, piece);
        }
    }
    std::vector<XStoreRef> Misses() {
        std::vector<XStoreRef> out;
        for (const TermMsg& m : Take(MSG_XSTORE)) {
            XStoreRef r;
            if (XStoreRefRead(m.bytes.data(), m.bytes.size(), &r) == 0 && r.kind == XSTORE_MISS) out.push_back(r);
        }
        return out;
    }
    static std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> all;
        for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    }

    std::string cache;
};

TEST_F(StoreRelay, AReferenceIsTheReplyWithItsOwnSequenceNumberInThisSessionAndTheNext) {
    const auto font = Reply(3, 3316, 1), keys = Reply(4, 6976, 2);
    EXPECT_EQ(StartOffering(0), 0u);
    int id = 0;
    int s = Accepted(&id);
    SendWhole(id, font);
    SendWhole(id, Event(12));
    SendWhole(id, keys);
    EXPECT_EQ(Collect(s, font.size() + 32 + keys.size()), Cat({font, Event(12), keys}));
    // The same replies again, as references amid plain messages, each with its new number.
    const auto font9 = Reply(9, 3316, 1), keys10 = Reply(10, 6976, 2);
    SendRef(id, font9);
    SendWhole(id, Event(13));
    SendRef(id, keys10);
    EXPECT_EQ(Collect(s, font.size() + 32 + keys.size()), Cat({font9, Event(13), keys10}));
    EXPECT_TRUE(Misses().empty());
    // The terminal's store now holds font, then keys (the newest, by the last reference).
    XStore mirror;
    XStoreAdd(&mirror, font.data(), font.size());
    XStoreAdd(&mirror, keys.data(), keys.size());
    const uint64_t digest = XStoreDigest(&mirror);
    StopRelay();

    EXPECT_EQ(StartOffering(digest), digest) << "the relay kept the same store";
    s = Accepted(&id);
    SendRef(id, Reply(2, 3316, 1));
    EXPECT_EQ(Collect(s, font.size()), Reply(2, 3316, 1));
    StopRelay();

    // Another digest, or a damaged file, is not agreed: both start empty.
    for (const auto& e : std::filesystem::directory_iterator(cache + "/lqhostd")) {
        if (e.path().filename().string().rfind("store-", 0) != 0) continue;
        std::fstream f(e.path(), std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(300);
        f.put('\x33');
    }
    for (uint64_t offered : {digest ^ 1, digest}) {
        EXPECT_EQ(StartOffering(offered), 0u);
        StopRelay();
    }
}

TEST_F(StoreRelay, AMissIsAskedForAndLaterOutputWaitsBehindIt) {
    StartOffering(0);
    int id = 0;
    int s = Accepted(&id);
    struct Case {
        const char* what;
        bool answered;  // the terminal sends the bytes (else it has lost them too)
    } cases[] = {{"sent again", true}, {"lost at both ends", false}};
    uint8_t salt = 7;
    for (const Case& c : cases) {
        const auto lost = Reply(5, 1000, salt++);
        SendRef(id, lost);
        SendWhole(id, Event(14));
        const auto misses = (Pump(40), Misses());
        ASSERT_EQ(misses.size(), 1u) << c.what;
        EXPECT_EQ(misses[0].key, XStoreKeyOf(lost.data(), lost.size()));
        EXPECT_EQ(misses[0].clientId, id);
        EXPECT_TRUE(Collect(s, 1, 20).empty()) << c.what << ": the event waits behind the reply";
        if (c.answered) {
            SendData(id, lost);
            EXPECT_EQ(Collect(s, lost.size() + 32), Cat({lost, Event(14)})) << c.what;
            continue;
        }
        TermSend(MSG_XSTORE, 0, {XSTORE_LOST, static_cast<uint8_t>(id)});
        EXPECT_TRUE(PumpUntil([&] { return !Take(MSG_DEADCLIENT).empty(); })) << c.what << ": the client is closed";
        EXPECT_TRUE(Collect(s, 1, 20).empty()) << c.what << ": nothing wrong reaches it";
    }
}

}  // namespace

namespace {

TEST_F(StoreRelay, AStoreThatCannotBeWrittenStartsTheNextSessionEmpty) {
    // A cache directory that cannot be made (a file stands in its way), as a full disk refuses it.
    const std::string blocked = cache + "/blocked";
    { std::ofstream(blocked) << "x"; }
    setenv("XDG_CACHE_HOME", blocked.c_str(), 1);
    StartOffering(0);
    int id = 0;
    int s = Accepted(&id);
    const auto font = Reply(3, 3316, 1);
    SendWhole(id, font);
    EXPECT_EQ(Collect(s, font.size()), font);
    StopRelay();
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    XStore mirror;
    XStoreAdd(&mirror, font.data(), font.size());
    EXPECT_EQ(StartOffering(XStoreDigest(&mirror)), 0u) << "the terminal's store is not held: both start empty";
}

}  // namespace
