// The X byte helpers both ends share: byte order, message and request sizes, a queue of Bufs read
// as one stream, and building Bufs.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "relay/xspec/xbytes.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(XBytes, NumbersInEitherByteOrder) {
    const uint8_t p[4] = {0x12, 0x34, 0x56, 0x78};
    struct Case {
        bool little;
        uint16_t v16;
        uint32_t v32;
    } cases[] = {{true, 0x3412, 0x78563412}, {false, 0x1234, 0x12345678}};
    for (const Case& c : cases) {
        EXPECT_EQ(XspecLoad16(p, c.little), c.v16);
        EXPECT_EQ(XspecLoad32(p, c.little), c.v32);
        uint8_t q[4] = {};
        XspecStore16(q, c.v16, c.little);
        EXPECT_EQ(std::memcmp(q, p, 2), 0);
        XspecStore32(q, c.v32, c.little);
        EXPECT_EQ(std::memcmp(q, p, 4), 0);
    }
    // A client's letter: only 'B' is most significant byte first, as request intake reads it.
    struct Letter {
        char letter;
        bool little;
    } letters[] = {{'B', false}, {'l', true}, {'X', true}};
    for (const Letter& l : letters) {
        ClientRec c{};
        c.byteOrder = static_cast<uint8_t>(l.letter);
        EXPECT_EQ(XspecLittle(&c), l.little) << l.letter;
    }
}

Bytes Msg(uint8_t type, uint32_t len, bool little) {
    Bytes m(32, 0);
    m[0] = type;
    XspecStore32(&m[4], len, little);
    return m;
}

TEST(XBytes, MessageSizesOfTheXProtocolAndOfTheLine) {
    struct Case {
        uint8_t type;
        uint32_t len;
        uint32_t server;  // as the X protocol sizes it
        uint32_t line;    // as the reply coding of the line counts it
    } cases[] = {
        {0, 9, 32, 32},                          // error: always 32
        {1, 0, 32, 32},                          // reply without extra data
        {1, 5, 52, 52},                          // reply with 5 words
        {2, 7, 32, 32},                          // core event: length bytes are event data
        {35, 4, 48, 32},                         // GenericEvent
        {35 | 0x80, 2, 40, 32},                  // GenericEvent sent with SendEvent
        {1, 0xffffffff, 0xfffffffc, 0xfffffffc},  // absurd length stays in range
        {1, 0x3ffffff8, 0xfffffffc, 0xfffffffc},  // would wrap round to 0
    };
    for (const Case& c : cases)
        for (bool little : {true, false}) {
            const Bytes m = Msg(c.type, c.len, little);
            EXPECT_EQ(XspecServerMessageSize(m.data(), little), c.server) << int(c.type) << " " << c.len;
            EXPECT_EQ(XspecLinkMessageSize(m.data(), little), c.line) << int(c.type) << " " << c.len;
        }
    // Requests: 4 bytes a length unit, and a length field of 0 reads as the 4 bytes intake takes.
    struct Req {
        uint16_t len;
        uint32_t size;
    } reqs[] = {{0, 4}, {1, 4}, {17, 68}, {0xffff, 0x3fffc}};
    for (const Req& r : reqs)
        for (bool little : {true, false}) {
            uint8_t h[4] = {70, 0, 0, 0};
            XspecStore16(h + 2, r.len, little);
            EXPECT_EQ(XspecRequestSize(h, little), r.size) << r.len;
        }
}

struct Pool {
    BufData d{};
    Lst q{};
    Pool() {
        BufInit(&d);
        lstInit(&q);
    }
    ~Pool() {
        BufListFree(&d, &q);
        BufDestroy(&d);
    }
    Buf* Add(const Bytes& b, uint8_t type = MSG_XDATA, uint32_t seq = 0) {
        Buf* x = XspecNewBuf(&d, type, 7, b.data(), b.size());
        x->seq = seq;
        lstAdd(&q, x);
        return x;
    }
};

// Bytes 0..9 over four buffers (one of them empty), then a coded record and more data behind it.
TEST(XBytes, BufQueueReadAsOneStreamThatEndsAtACodedRecord) {
    Pool p;
    p.Add({0, 1, 2}, MSG_XDATA, 11);
    p.Add({}, MSG_XDATA, 12);
    p.Add({3, 4, 5, 6, 7}, MSG_XDATA, 13);
    p.Add({8, 9}, MSG_XDATA, 14);
    p.Add({0xee, 0xee}, MSG_XCACHED, 15);
    p.Add({0xdd}, MSG_XDATA, 16);
    const int32_t free0 = BufPoolCount(&p.d);

    EXPECT_TRUE(XspecInBlocked(&p.q));
    EXPECT_EQ(XspecInAvail(&p.q, 100), 10u);
    EXPECT_EQ(XspecInAvail(&p.q, 4), 4u);
    struct Peek {
        size_t off, n, got;
    } peeks[] = {{0, 10, 10}, {2, 4, 4}, {3, 20, 7}, {9, 5, 1}, {10, 4, 0}};
    for (const Peek& k : peeks) {
        uint8_t out[32];
        ASSERT_EQ(XspecInPeek(&p.q, k.off, out, k.n), k.got) << k.off;
        for (size_t i = 0; i < k.got; i++) EXPECT_EQ(out[i], static_cast<uint8_t>(k.off + i)) << k.off;
    }
    EXPECT_EQ(XspecInStampAt(&p.q, 2), 11u);
    EXPECT_EQ(XspecInStampAt(&p.q, 3), 13u);
    EXPECT_EQ(XspecInStampAt(&p.q, 9), 14u);

    // Skipping frees every buffer it empties, the empty one it passes too, and keeps the rest.
    XspecInSkip(&p.d, &p.q, 4);
    EXPECT_EQ(BufPoolCount(&p.d), free0 + 2);
    uint8_t b[8];
    ASSERT_EQ(XspecInPeek(&p.q, 0, b, 8), 6u);
    EXPECT_EQ(b[0], 4);
    // It never reaches into the coded record.
    XspecInSkip(&p.d, &p.q, 100);
    EXPECT_EQ(BufPoolCount(&p.d), free0 + 4);
    EXPECT_EQ(XspecInAvail(&p.q, 100), 0u);
    ASSERT_EQ(lstCount(&p.q), 2);
    EXPECT_EQ(lstFirstT<Buf>(&p.q)->type, MSG_XCACHED);
    EXPECT_EQ(lstFirstT<Buf>(&p.q)->Len(), 2u);
}

TEST(XBytes, BuildingBufsAllOrNothing) {
    Pool p;
    Buf* b = XspecNewBuf(&p.d, MSG_XCACHED, 9, "abc", 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->type, MSG_XCACHED);
    EXPECT_EQ(b->clientId, 9);
    EXPECT_EQ(b->linkFlags, 0);
    EXPECT_EQ(std::memcmp(b->start, "abc", 3), 0);
    ASSERT_EQ(b->Len(), 3u);
    lstAdd(&p.q, b);

    Bytes data(600);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i);
    Pool out;
    out.Add(Bytes(250, 0xaa));  // same type and id: filled up to 256 first
    struct Step {
        int leave;   // buffers left in the pool
        int rc;
        std::vector<size_t> lens;  // the queue afterwards
    } steps[] = {
        {2, -1, {250}},            // needs three more: nothing appended
        {3, 0, {256, 256, 256, 82}},
    };
    for (const Step& s : steps) {
        std::vector<Buf*> held;
        while (BufPoolCount(&out.d) > s.leave) held.push_back(BufGet(&out.d));
        EXPECT_EQ(XspecOutPut(&out.d, &out.q, MSG_XDATA, 7, data.data(), data.size()), s.rc);
        std::vector<size_t> lens;
        for (Buf* x = lstFirstT<Buf>(&out.q); x; x = x->next) lens.push_back(x->Len());
        EXPECT_EQ(lens, s.lens);
        for (Buf* x : held) BufFree(&out.d, x);
    }
    Bytes got(BufGetListByteLen(&out.q) - 250);
    XspecInPeek(&out.q, 250, got.data(), got.size());
    EXPECT_EQ(got, data);

    while (BufPoolCount(&p.d) > 0) lstAdd(&p.q, BufGet(&p.d));
    EXPECT_EQ(XspecNewBuf(&p.d, MSG_XDATA, 1, "x", 1), nullptr);
}

}  // namespace
