// Link coders with a history for the life of the link: an encoder and a separate decoder must stay
// in step over long runs of mixed messages, incompressible ones included, and a decoder must refuse
// what no encoder made.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "relay/link/zcoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kDict = [] {
    std::string s;
    for (int i = 0; i < 200; i++) s += "PolyText8 window " + std::to_string(i) + " gc ";
    return Bytes(s.begin(), s.end());
}();

struct Case {
    const char* name;
    ZKind kind;
    int level;
    int windowLog;
    bool dict;
};

const Case kCases[] = {
    {"deflate1", ZKind::Deflate, 1, 15, false}, {"deflate6", ZKind::Deflate, 6, 15, false},
    {"deflate9w10", ZKind::Deflate, 9, 10, false}, {"deflate6dict", ZKind::Deflate, 6, 15, true},
    {"zstd1", ZKind::Zstd, 1, 15, false},        {"zstd3", ZKind::Zstd, 3, 17, false},
    {"zstd19", ZKind::Zstd, 19, 15, false},      {"zstd3dict", ZKind::Zstd, 3, 15, true},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

ZCoderParams Params(const Case& c) {
    ZCoderParams p;
    p.kind = c.kind;
    p.level = c.level;
    p.windowLog = c.windowLog;
    if (c.dict) {
        p.dict = kDict.data();
        p.dictLen = kDict.size();
    }
    return p;
}

// Messages of every kind the link carries, in an order that makes later ones refer to earlier
// ones: text-like runs, random blocks (sent raw), repeats of those random blocks (which only
// compress if the raw copy entered the decoder's history), runs of one byte, empty messages.
std::vector<Bytes> Messages() {
    std::mt19937 rng(7);
    std::vector<Bytes> out, randoms;
    for (int i = 0; i < 600; i++) {
        Bytes m;
        size_t n = rng() % 257;
        switch (i % 6) {
        case 0: {
            std::string s;
            while (s.size() < n) s += "window " + std::to_string(rng() % 50) + " PolyText8 ";
            m.assign(s.begin(), s.begin() + static_cast<long>(n));
            break;
        }
        case 1:
            for (size_t k = 0; k < n; k++) m.push_back(static_cast<uint8_t>(rng()));
            randoms.push_back(m);
            break;
        case 2: m = randoms[rng() % randoms.size()]; break;
        case 3: m.assign(n % 7, static_cast<uint8_t>(rng())); break;  // short runs of one byte
        case 4: m.assign(n, 0); break;
        default: m = i % 12 == 5 ? Bytes() : randoms.back(); break;
        }
        out.push_back(m);
    }
    return out;
}

class ZCoderTest : public testing::TestWithParam<Case> {};

TEST_P(ZCoderTest, RoundTripKeepsBothEndsInStepAndBoundsGrowth) {
    ZCoderParams p = Params(GetParam());
    ZEncoder enc;
    ZDecoder dec;
    ASSERT_EQ(enc.Init(p), 0);
    ASSERT_EQ(dec.Init(p), 0);
    size_t plain = 0, coded = 0, i = 0;
    Bytes body, got;
    for (const Bytes& m : Messages()) {
        ASSERT_EQ(enc.Code(m.data(), m.size(), &body), 0) << i;
        EXPECT_LE(body.size(), m.size() + 1) << i;
        ASSERT_EQ(dec.Decode(body.data(), body.size(), 256, &got), 0) << i;
        ASSERT_EQ(got, m) << i;
        plain += m.size();
        coded += body.size();
        i++;
    }
    EXPECT_LT(coded * 2, plain);  // the repeats and text must find the history
}

// The transport keeps a coded packet and resends those bytes; the coder never codes a message
// again. Bodies must not depend on anything but the messages before them, so a copy made when a
// packet was first sent decodes in order even after the encoder has moved far on.
TEST_P(ZCoderTest, KeptBodiesDecodeLaterAndCodingIsRepeatable) {
    ZCoderParams p = Params(GetParam());
    ZEncoder a, b;
    ASSERT_EQ(a.Init(p), 0);
    ASSERT_EQ(b.Init(p), 0);
    std::vector<Bytes> msgs = Messages(), kept;
    Bytes body, again;
    for (const Bytes& m : msgs) {
        ASSERT_EQ(a.Code(m.data(), m.size(), &body), 0);
        ASSERT_EQ(b.Code(m.data(), m.size(), &again), 0);
        ASSERT_EQ(body, again);
        kept.push_back(body);
    }
    ZDecoder dec;
    ASSERT_EQ(dec.Init(p), 0);
    Bytes got;
    for (size_t i = 0; i < kept.size(); i++) {
        ASSERT_EQ(dec.Decode(kept[i].data(), kept[i].size(), 256, &got), 0) << i;
        ASSERT_EQ(got, msgs[i]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Coders, ZCoderTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// Bodies no encoder makes, each fed to a fresh decoder after a few good messages; every one must be
// refused, leave no output, and make the decoder refuse from then on.
TEST(ZCoder, MalformedBodiesAreRefused) {
    const Bytes text(300, 'x');
    struct Bad {
        const char* name;
        ZKind kind;
        Bytes body;  // empty: made from a good body of `text` (300 bytes) under a cap of 256
    };
    const Bad bads[] = {
        {"deflate reserved block type", ZKind::Deflate, {0x06, 0x00}},
        {"deflate bad stored length", ZKind::Deflate, {0x00, 0x05, 0x00, 0x00, 0x00}},
        {"deflate ends inside a block", ZKind::Deflate, {0x4a, 0x4c, 0x4a}},
        {"deflate raw over the cap", ZKind::Deflate, Bytes(258, 0x01)},
        {"deflate output over the cap", ZKind::Deflate, {}},
        {"zstd reserved type", ZKind::Zstd, {0x03, 0x00}},
        {"zstd unknown type", ZKind::Zstd, {0x80, 0x00}},
        {"zstd garbage block", ZKind::Zstd, {0x02, 0xff, 0xff, 0xff, 0xff}},
        {"zstd empty compressed block", ZKind::Zstd, {0x02}},
        {"zstd run too short", ZKind::Zstd, {0x01, 0x41}},
        {"zstd run over the cap", ZKind::Zstd, {0x01, 0x41, 0x01, 0x01}},
        {"zstd raw over the cap", ZKind::Zstd, Bytes(258, 0x00)},
        {"zstd output over the cap", ZKind::Zstd, {}},
    };
    const Bytes warm = {'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'};
    for (const Bad& b : bads) {
        ZCoderParams p;
        p.kind = b.kind;
        ZEncoder enc;
        ZDecoder dec;
        ASSERT_EQ(enc.Init(p), 0);
        ASSERT_EQ(dec.Init(p), 0);
        Bytes body, got;
        for (int i = 0; i < 3; i++) {
            ASSERT_EQ(enc.Code(warm.data(), warm.size(), &body), 0);
            ASSERT_EQ(dec.Decode(body.data(), body.size(), 256, &got), 0);
        }
        Bytes bad = b.body;
        if (bad.empty()) {
            ASSERT_EQ(enc.Code(text.data(), text.size(), &bad), 0);
        }
        EXPECT_EQ(dec.Decode(bad.data(), bad.size(), 256, &got), -1) << b.name;
        EXPECT_TRUE(got.empty()) << b.name;
        ASSERT_EQ(enc.Code(warm.data(), warm.size(), &body), 0);
        EXPECT_EQ(dec.Decode(body.data(), body.size(), 256, &got), -1) << b.name << ": a failed decoder goes on";
    }
}

}  // namespace
