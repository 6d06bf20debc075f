// The message store's rules, which both ends must follow alike: what a key covers, how the store
// keeps in step under its cap, and that a file or a reference read from outside is taken only
// when it is exactly sound.
#include "relay/xspec/xstore.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::vector<uint8_t> Reply(uint16_t seq, size_t len, uint8_t salt) {
    std::vector<uint8_t> r(len);
    for (size_t i = 8; i < len; i++) r[i] = static_cast<uint8_t>(i * 7 + salt);
    r[0] = 1;
    r[2] = static_cast<uint8_t>(seq >> 8);
    r[3] = static_cast<uint8_t>(seq);
    return r;
}

TEST(XStore, AKeyIgnoresTheSequenceNumberAndNothingElse) {
    const auto base = Reply(1, 300, 0);
    const XStoreKey k = XStoreKeyOf(base.data(), base.size());
    auto with = [&](size_t at, uint8_t v) {
        auto m = base;
        m[at] = v;
        return XStoreKeyOf(m.data(), m.size());
    };
    EXPECT_EQ(with(2, 0x77), k);
    EXPECT_EQ(with(3, 0x77), k);
    for (size_t at : {size_t(0), size_t(1), size_t(4), size_t(8), size_t(150), size_t(299)}) {
        const XStoreKey other = with(at, static_cast<uint8_t>(base[at] ^ 1));
        EXPECT_NE(other.a, k.a) << at;
        EXPECT_NE(other.b, k.b) << at;
    }
    auto longer = base;
    longer.push_back(0);
    EXPECT_FALSE(XStoreKeyOf(longer.data(), longer.size()) == k);
}

TEST(XStore, TwoStoresFedAlikeStayAlikeUnderTheirCap) {
    XStore a, b;
    a.cap = b.cap = 2000;
    std::vector<std::vector<uint8_t>> m;
    for (int i = 0; i < 6; i++) m.push_back(Reply(static_cast<uint16_t>(i), 600, static_cast<uint8_t>(i)));
    for (XStore* s : {&a, &b}) {
        XStoreAdd(s, m[0].data(), m[0].size());
        XStoreAdd(s, m[1].data(), m[1].size());
        XStoreAdd(s, m[2].data(), m[2].size());
        EXPECT_NE(XStoreTake(s, XStoreKeyOf(m[0].data(), m[0].size())), nullptr);  // m[0] newest again
        XStoreAdd(s, m[3].data(), m[3].size());  // over the cap: the oldest, m[1], goes
    }
    EXPECT_EQ(XStoreDigest(&a), XStoreDigest(&b));
    EXPECT_EQ(a.bytes, 1800u);
    EXPECT_FALSE(XStoreHolds(&a, XStoreKeyOf(m[1].data(), m[1].size())));
    for (int i : {0, 2, 3}) EXPECT_TRUE(XStoreHolds(&a, XStoreKeyOf(m[i].data(), m[i].size()))) << i;
    // An entry resolves to its bytes with the reference's sequence number.
    std::vector<uint8_t> out;
    const uint8_t seq[2] = {0x12, 0x34};
    XStoreResolve(*XStoreFind(&a, XStoreKeyOf(m[2].data(), m[2].size())), seq, &out);
    auto want = m[2];
    want[2] = 0x12;
    want[3] = 0x34;
    EXPECT_EQ(out, want);
    // The order is part of the digest: the same entries taken in another order are another store.
    XStoreTake(&b, XStoreKeyOf(m[2].data(), m[2].size()));
    EXPECT_NE(XStoreDigest(&a), XStoreDigest(&b));
    XStore empty;
    EXPECT_EQ(XStoreDigest(&empty), 0u);
}

TEST(XStore, AFileIsTakenWholeAndExactOrNotAtAll) {
    XStore s;
    for (int i = 0; i < 3; i++) {
        const auto m = Reply(static_cast<uint16_t>(i), 200 + 40 * i, static_cast<uint8_t>(i));
        XStoreAdd(&s, m.data(), m.size());
    }
    const std::vector<uint8_t> file = XStoreEncode(&s);
    XStore back;
    std::string why;
    ASSERT_EQ(XStoreDecode(&back, file.data(), file.size(), &why), 0) << why;
    EXPECT_EQ(XStoreDigest(&back), XStoreDigest(&s));
    EXPECT_EQ(back.bytes, s.bytes);

    // Damage anywhere is found; so are files whose every hash is right but whose contents break
    // the store's rules (rebuilt with a fresh trailer).
    auto resealed = [](std::vector<uint8_t> f) {
        uint64_t h = 0xcbf29ce484222325ull;
        for (size_t i = 0; i + 8 < f.size(); i++) h = (h ^ f[i]) * 0x100000001b3ull;
        for (int i = 0; i < 8; i++) f[f.size() - 8 + i] = static_cast<uint8_t>(h >> (56 - 8 * i));
        return f;
    };
    auto flip = [&](size_t at) {
        auto f = file;
        f[at] ^= 0x40;
        return f;
    };
    auto twice = [&] {  // the first entry repeated, the count raised
        std::vector<uint8_t> f(file.begin(), file.end() - 8);
        const size_t n = 20 + 200;
        f.insert(f.end(), file.begin() + 12, file.begin() + 12 + static_cast<long>(n));
        f[11]++;
        f.resize(f.size() + 8);
        return resealed(f);
    };
    auto badEntry = [&] {  // an entry whose bytes do not match its key
        auto f = file;
        f[12 + 20 + 100] ^= 1;
        return resealed(f);
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"empty", {}},
        {"another magic", flip(0)},
        {"a count changed", flip(11)},
        {"a length changed", flip(12 + 3)},
        {"a byte of an entry", flip(12 + 20 + 50)},
        {"the trailer", flip(file.size() - 1)},
        {"cut short", std::vector<uint8_t>(file.begin(), file.end() - 9)},
        {"a byte too many", [&] { auto f = file; f.push_back(0); return f; }()},
        {"a key twice", twice()},
        {"an entry that is not its key's", badEntry()},
    };
    for (const Case& c : cases) {
        XStore got;  // holding something, which a refused file clears
        const auto held = Reply(9, 200, 9);
        XStoreAdd(&got, held.data(), held.size());
        why.clear();
        EXPECT_EQ(XStoreDecode(&got, c.bytes.data(), c.bytes.size(), &why), -1) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
        EXPECT_TRUE(got.entries.empty()) << c.what;
    }
}

TEST(XStore, ReferencesReadBackOnlyWhenWellFormed) {
    const auto m = Reply(0x0102, 400, 3);
    const XStoreRef ref{XSTORE_REF, 9, {0x01, 0x02}, XStoreKeyOf(m.data(), m.size())};
    const XStoreRef miss{XSTORE_MISS, 63, {0, 0}, ref.key};
    for (const XStoreRef& r : {ref, miss}) {
        uint8_t p[XSTORE_REF_LEN];
        const size_t n = XStoreRefWrite(r, p);
        XStoreRef back;
        ASSERT_EQ(XStoreRefRead(p, n, &back), 0);
        EXPECT_EQ(back.kind, r.kind);
        EXPECT_EQ(back.clientId, r.clientId);
        EXPECT_EQ(back.key, r.key);
        EXPECT_EQ(std::memcmp(back.seq, r.seq, 2), 0);
        EXPECT_EQ(XStoreRefRead(p, n - 1, &back), -1) << "cut short";
        p[1] = 64;
        EXPECT_EQ(XStoreRefRead(p, n, &back), -1) << "no such client id";
    }
    const auto small = Reply(1, 64, 0);
    uint8_t p[XSTORE_REF_LEN];
    XStoreRef back;
    const size_t n = XStoreRefWrite(XStoreRef{XSTORE_REF, 5, {0, 1}, XStoreKeyOf(small.data(), small.size())}, p);
    EXPECT_EQ(XStoreRefRead(p, n, &back), -1) << "a length the store never takes";
}

}  // namespace
