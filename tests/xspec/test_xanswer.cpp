// Answers made at the relay: which requests are answered and when, what the client's stream
// looks like with the answers in it (order, sequence numbers, the X server's own replies dropped),
// and that a colour table or set-up reply from outside is taken only when it is sound.
#include "relay/xspec/xanswer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kMap = 0x20;
constexpr uint64_t kRed = 0xffffull << 32;
constexpr uint64_t kBlue = 0xffff;
const XAnswerColor kRedMade{{0xffff, 0, 0}, 0xff0000};
const XAnswerColor kBlueMade{{0, 0, 0xffff}, 0x0000ff};

void Put16(Bytes* b, size_t at, uint16_t v) { (*b)[at] = v & 0xff, (*b)[at + 1] = v >> 8; }
void Put32(Bytes* b, size_t at, uint32_t v) { Put16(b, at, v & 0xffff), Put16(b, at + 2, v >> 16); }

Bytes Request(uint8_t op, uint16_t words = 1) {
    Bytes r(4 * words, 0);
    r[0] = op;
    Put16(&r, 2, words);
    return r;
}

Bytes AllocColor(uint64_t color, uint32_t map = kMap) {
    Bytes r = Request(X_ALLOC_COLOR, 4);
    Put32(&r, 4, map);
    for (int i = 0; i < 3; i++) Put16(&r, 8 + 2 * i, static_cast<uint16_t>(color >> (32 - 16 * i)));
    return r;
}

Bytes Reply(uint16_t seq, uint32_t extraWords = 0) {
    Bytes r(32 + 4 * extraWords, 0x5a);
    std::fill(r.begin(), r.begin() + 32, 0);
    r[0] = 1;
    Put16(&r, 2, seq);
    Put32(&r, 4, extraWords);
    return r;
}

Bytes ColorReply(uint16_t seq, const XAnswerColor& c) {
    Bytes r = Reply(seq);
    for (int i = 0; i < 3; i++) Put16(&r, 8 + 2 * i, c.rgb[i]);
    Put32(&r, 16, c.pixel);
    return r;
}

Bytes Event(uint8_t type, uint16_t seq) {
    Bytes e(32, 0);
    e[0] = type;
    Put16(&e, 2, seq);
    return e;
}

uint16_t SeqAt(const Bytes& out, size_t at) { return static_cast<uint16_t>(out[at + 2] | out[at + 3] << 8); }

struct Client {
    XAnswerTable table;
    XAnswerStream s;
    Bytes out;
    size_t chunk = 1u << 20;  // server bytes are handed over this many at a time

    Client() {
        s.little = true;
        s.colormap = kMap;
        table.server = 1;
        table.colors[kRed] = kRedMade;
    }
    static bool Sink(void* ctx, const uint8_t* p, size_t n) {
        auto* o = static_cast<Bytes*>(ctx);
        o->insert(o->end(), p, p + n);
        return true;
    }
    bool Send(Bytes req) {
        const bool answered = XAnswerRequest(&s, &table, req.data(), req.size());
        XAnswerFlush(&s, Sink, &out);
        return answered;
    }
    void Server(const Bytes& m) {
        for (size_t at = 0; at < m.size(); at += chunk)
            ASSERT_TRUE(XAnswerServer(&s, &table, m.data() + at, std::min(chunk, m.size() - at), Sink, &out));
    }
};

class XAnswerChunks : public ::testing::TestWithParam<size_t> {};

// The client waits for each colour: the first is passed on and learnt, the second answered at once;
// the X server's own reply to it never reaches the client, and an event the X server made before
// it handled the answered request comes with the answer's sequence number, not an older one.
TEST_P(XAnswerChunks, AnsweredInOrderWithTheServersReplyDropped) {
    Client c;
    c.chunk = GetParam();
    EXPECT_FALSE(c.Send(AllocColor(kBlue)));
    c.Server(ColorReply(1, kBlueMade));
    EXPECT_EQ(c.table.colors.at(kBlue), kBlueMade);
    EXPECT_TRUE(c.Send(AllocColor(kRed)));
    EXPECT_TRUE(c.Send(AllocColor(kBlue)));  // answered ones in a row count as handled
    ASSERT_EQ(c.out.size(), 96u);
    EXPECT_EQ(Bytes(c.out.begin() + 32, c.out.begin() + 64), ColorReply(2, kRedMade));
    EXPECT_EQ(Bytes(c.out.begin() + 64, c.out.end()), ColorReply(3, kBlueMade));
    c.Server(Event(12, 1));  // an Expose of before the answers
    c.Server(ColorReply(2, kRedMade));
    c.Server(ColorReply(3, kBlueMade));
    c.Server(Event(12, 3));
    ASSERT_EQ(c.out.size(), 160u);
    EXPECT_EQ(c.out[96], 12);
    EXPECT_EQ(SeqAt(c.out, 96), 3);
    EXPECT_EQ(SeqAt(c.out, 128), 3);
    EXPECT_EQ(c.table.checked, 2u);
    EXPECT_EQ(c.table.wrong, 0u);
}

// An answer waits for the end of a message in progress, and goes before one that has only begun.
TEST_P(XAnswerChunks, AnAnswerWaitsForTheMessageInProgress) {
    Client c;
    c.chunk = GetParam();
    EXPECT_FALSE(c.Send(Request(20, 6)));  // GetProperty
    const Bytes prop = Reply(1, 2);
    c.Server(Bytes(prop.begin(), prop.begin() + 33));
    EXPECT_TRUE(c.Send(AllocColor(kRed)));
    EXPECT_EQ(c.out.size(), 33u);
    c.Server(Bytes(prop.begin() + 33, prop.end()));
    EXPECT_EQ(c.out.size(), 40u + 32u);
    EXPECT_EQ(Bytes(c.out.begin(), c.out.begin() + 40), prop);
    EXPECT_EQ(SeqAt(c.out, 40), 2);
}

INSTANTIATE_TEST_SUITE_P(Chunks, XAnswerChunks, ::testing::Values(size_t{1}, size_t{7}, size_t{32}, size_t{1} << 20));

// Nothing is answered while something the client sent before could still have a reply or an error
// on its way.
TEST(XAnswer, NotAnsweredWhileAnEarlierRequestIsOpen) {
    struct Case {
        const char* what;
        Bytes earlier;
        Bytes server;  // what came back before the AllocColor
    } cases[] = {
        {"a reply not yet come", Request(16, 2), {}},
        {"a request without reply, nothing after it", Request(2, 3), {}},
        {"the first of several replies", Request(50, 2), Reply(1)},
        {"an extension's reply", Request(140, 2), Reply(1)},
        {"an event of before that request", Request(2, 3), Event(12, 0)},
    };
    for (const Case& k : cases) {
        Client c;
        c.Send(k.earlier);
        if (!k.server.empty()) c.Server(k.server);
        EXPECT_FALSE(c.Send(AllocColor(kRed))) << k.what;
    }
    Client other;
    EXPECT_FALSE(other.Send(AllocColor(kRed, kMap + 1))) << "another colormap";
    // Once a later request's reply shows that the X server has handled it, it is.
    Client c;
    c.Send(Request(2, 3));
    c.Send(Request(16, 2));
    c.Server(Reply(2));
    EXPECT_TRUE(c.Send(AllocColor(kRed)));
    Client e;
    e.Send(Request(16, 2));
    e.Server(Event(0, 1));  // an error ends a request too
    EXPECT_TRUE(e.Send(AllocColor(kRed)));
}

TEST(XAnswer, AWrongAnswerStopsAnswering) {
    Client c;
    ASSERT_TRUE(c.Send(AllocColor(kRed)));
    c.Server(ColorReply(1, kBlueMade));
    EXPECT_EQ(c.out.size(), 32u);  // the client has the answer made here; the X server's is not added
    EXPECT_EQ(c.table.wrong, 1u);
    EXPECT_TRUE(c.table.off);
    EXPECT_FALSE(c.Send(AllocColor(kRed)));
}

TEST(XAnswer, AClientThatNeverReadsIsNoLongerFollowed) {
    Client c;
    for (size_t i = 0; i <= XANSWER_PENDING_MAX; i++) c.Send(Request(16, 2));
    EXPECT_TRUE(c.s.lost);
    EXPECT_LE(c.s.pending.size(), XANSWER_PENDING_MAX);
    c.Server(Reply(static_cast<uint16_t>(XANSWER_PENDING_MAX + 1)));
    EXPECT_FALSE(c.Send(AllocColor(kRed)));
}

TEST(XAnswer, TheColourFileIsTakenOnlyWhole) {
    XAnswerTable t;
    t.server = 42;
    t.colors[kRed] = kRedMade;
    t.colors[kBlue] = kBlueMade;
    const Bytes good = XAnswerFileBytes(t);
    XAnswerTable back;
    std::string why;
    ASSERT_EQ(XAnswerFileRead(&back, 42, good.data(), good.size(), &why), 0) << why;
    EXPECT_EQ(back.colors, t.colors);

    auto damaged = [&](size_t at) {
        Bytes b = good;
        b[at] ^= 0x40;
        return b;
    };
    const struct {
        const char* what;
        Bytes bytes;
        uint64_t server;
    } bad[] = {
        {"another X server's", good, 43},
        {"cut short", Bytes(good.begin(), good.end() - 1), 42},
        {"one byte longer", [&] { Bytes b = good; b.push_back(0); return b; }(), 42},
        {"magic", damaged(0), 42},
        {"version", damaged(4), 42},
        {"count", damaged(16), 42},
        {"a colour", damaged(20), 42},
        {"the check", damaged(good.size() - 1), 42},
        {"empty", {}, 42},
    };
    for (const auto& k : bad) {
        XAnswerTable r;
        r.colors[1] = kRedMade;
        EXPECT_EQ(XAnswerFileRead(&r, k.server, k.bytes.data(), k.bytes.size(), &why), -1) << k.what;
        EXPECT_TRUE(r.colors.empty()) << k.what;
    }

    char dir[] = "/tmp/lqanswerXXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/colors";
    ASSERT_EQ(XAnswerSave(t, dir, path, &why), 0) << why;
    ASSERT_EQ(XAnswerLoad(&back, 42, path, &why), 0) << why;
    EXPECT_EQ(back.colors, t.colors);
    std::remove(path.c_str());
    EXPECT_EQ(XAnswerLoad(&back, 42, path, &why), -1);
    rmdir(dir);
}

// A set-up reply with one screen whose root visual (id 0x21) is of the given class.
Bytes SetupReply(uint8_t visualClass, bool little) {
    Bytes r(40 + 4 + 8 + 40 + 8 + 2 * 24, 0);
    auto p16 = [&](size_t at, uint16_t v) {
        r[at + (little ? 0 : 1)] = v & 0xff;
        r[at + (little ? 1 : 0)] = v >> 8;
    };
    auto p32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) r[at + (little ? i : 3 - i)] = static_cast<uint8_t>(v >> (8 * i));
    };
    r[0] = 1;
    p16(2, 11);
    p16(6, static_cast<uint16_t>((r.size() - 8) / 4));
    p16(24, 3);  // vendor, padded to 4
    r[28] = 1;   // screens
    r[29] = 1;   // formats
    const size_t scr = 40 + 4 + 8;
    p32(scr + 4, kMap);
    p32(scr + 32, 0x21);
    r[scr + 39] = 1;  // depths
    p16(scr + 40 + 2, 2);
    const size_t vis = scr + 48;
    p32(vis, 0x22);
    r[vis + 4] = 3;
    p32(vis + 24, 0x21);
    r[vis + 24 + 4] = visualClass;
    return r;
}

TEST(XAnswer, OnlyATrueColorDefaultColormapIsAnswered) {
    for (bool little : {true, false}) {
        const Bytes tc = SetupReply(4, little);
        EXPECT_EQ(XAnswerTrueColormap(tc.data(), tc.size()), kMap) << little;
        const Bytes pc = SetupReply(3, little);
        EXPECT_EQ(XAnswerTrueColormap(pc.data(), pc.size()), 0u) << little;
        for (size_t n = 0; n < tc.size(); n += 5) EXPECT_EQ(XAnswerTrueColormap(tc.data(), n), 0u) << n;
    }
    // The key of an X server leaves out the client's resource ids and nothing else.
    Bytes a = SetupReply(4, true), b = a;
    b[12] = 0x40, b[16] = 0x1f;
    EXPECT_EQ(XAnswerServerKey(a.data(), a.size()), XAnswerServerKey(b.data(), b.size()));
    b[8] = 1;
    EXPECT_NE(XAnswerServerKey(a.data(), a.size()), XAnswerServerKey(b.data(), b.size()));
}

}  // namespace
