// Known answers of the X encodings: byte formats, cache slot choice, pass-through pieces, the
// ImageText8 single and run forms, and the host's decoding of the terminal's messages.
#include "tests/xspec/harness.h"

namespace {

using xh::Bytes;

struct One {  // one end with one client
    xh::End e;
    ClientRec c{};
    std::mt19937 rng{7};
    xh::Gen g{rng, false};
    explicit One(uint8_t order = 'B', int id = 7) {
        ClientRecInitQueues(&c);
        c.clientId = id;
        c.byteOrder = order;
        g.little = order == 'l';
        EXPECT_EQ(XspecEncodeInit(&e.env, &c), 0);
    }
    ~One() {
        e.Release();
        for (Lst* l : {c.reqList, c.encList, c.replyInList, c.replyOutList}) BufListFree(&e.pool, l);
        XspecFree(c.xspec);
    }
    void Queue(Lst* l, const Bytes& b, size_t chunk = 256, uint8_t type = MSG_XDATA) {
        ASSERT_EQ(xh::Put(e, l, b.data(), b.size(), chunk, type, c.clientId), b.size());
    }
    struct Msg {
        uint8_t type;
        Bytes data;
    };
    std::vector<Msg> Out() {
        std::vector<Msg> v;
        while (Buf* b = lstGetT<Buf>(c.encList)) {
            v.push_back({b->type, Bytes(b->start, b->end)});
            BufFree(&e.pool, b);
        }
        return v;
    }
    int Encode(const Bytes& req, size_t chunk = 256) {
        Queue(c.reqList, req, chunk, 0);
        return XspecEncode(&e.env, &c);
    }
};

TEST(CacheRecord, SlotChoiceAndLimits) {
    uint8_t slots[16][64] = {};
    for (int i = 0; i < 16; i++)
        for (int j = 0; j < 64; j++) slots[i][j] = static_cast<uint8_t>(i * 3 + j);
    struct Row {
        const char* what;
        int len;
        int base;      // slot the message is made from
        int changes;   // bytes changed from it
        int expectSlot;  // -1: no coded form
    };
    const Row rows[] = {
        {"4 bytes, equal", 4, 3, 0, 3},
        {"4 bytes, one differs (limit 0)", 4, 3, 1, -1},
        {"20 bytes, 7 differ (limit 7)", 20, 5, 7, 5},
        {"20 bytes, 8 differ", 20, 5, 8, -1},
        {"64 bytes, 29 differ (limit 29)", 64, 9, 29, 9},
        {"64 bytes, 30 differ", 64, 9, 30, -1},
    };
    for (const Row& r : rows) {
        uint8_t m[64];
        std::memcpy(m, slots[r.base], 64);
        for (int k = 0; k < r.changes; k++) m[k * 2 % r.len + (k * 2 >= r.len)] ^= 0x80;
        uint8_t rec[64];
        int n = XspecCacheRecord(m, r.len, slots, 16, rec);
        if (r.expectSlot < 0) {
            EXPECT_EQ(n, -1) << r.what;
            continue;
        }
        ASSERT_EQ(n, 2 + 2 * r.changes) << r.what;
        EXPECT_EQ(rec[0], r.expectSlot) << r.what;
        EXPECT_EQ(rec[1], r.changes) << r.what;
        for (int k = 1; k < r.changes; k++) EXPECT_LT(rec[2 * k], rec[2 * k + 2]) << r.what;
    }
    // Equal counts: the lower slot wins.
    uint8_t twin[16][64] = {};
    std::memset(twin[2], 1, 64);
    std::memset(twin[6], 1, 64);
    uint8_t m[8] = {1, 1, 1, 1, 1, 1, 1, 9}, rec[64];
    ASSERT_EQ(XspecCacheRecord(m, 8, twin, 16, rec), 4);
    EXPECT_EQ(rec[0], 2);
    EXPECT_EQ(rec[2], 7);
    EXPECT_EQ(rec[3], 9);
}

TEST(Encode, SmallRequestsPlainThenCodedAndSlotsWrap) {
    One o;
    Bytes first = o.g.Plain(12, 43);
    o.Encode(first);
    auto out = o.Out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, MSG_XDATA);
    EXPECT_EQ(out[0].data, first);
    EXPECT_EQ(std::memcmp(o.e.cache.reqSlots[0], first.data(), 12), 0);
    o.Encode(first);  // the same again: the 2-byte record [0][0]
    out = o.Out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, MSG_XCACHED);
    EXPECT_EQ(out[0].data, (Bytes{0, 0}));
    for (int i = 2; i < 16; i++) o.Encode(o.g.Plain(64));
    EXPECT_EQ(o.e.cache.reqNext, 0);
    EXPECT_EQ(o.e.cache.reqFull & 1, 1);
    Bytes seventeenth = o.g.Plain(8, 1);
    o.Encode(seventeenth);
    EXPECT_EQ(std::memcmp(o.e.cache.reqSlots[0], seventeenth.data(), 8), 0);
    EXPECT_EQ(o.e.cache.reqNext, 1);
    // 68 bytes: passed through, not stored.
    o.Out();
    o.Encode(o.g.Plain(68));
    EXPECT_EQ(o.e.cache.reqNext, 1);
    out = o.Out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data.size(), 68u);
}

TEST(Encode, LengthZeroGoesAsFourBytesAndParsingResumes) {
    One o;
    Bytes two = {43, 0, 0, 0};
    Bytes next = o.g.Plain(8, 1);
    two.insert(two.end(), next.begin(), next.end());
    o.Encode(two);
    auto out = o.Out();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].data, (Bytes{43, 0, 0, 0}));
    EXPECT_EQ(out[1].data, next);
    EXPECT_EQ(o.e.cache.reqNext, 1);  // only the second was stored
}

TEST(Encode, LongRequestInPiecesOfAtMost128) {
    One o;
    Bytes big = o.g.Plain(1000, 72);
    Bytes small = o.g.Plain(8, 1);
    // As request intake queues it: 256, 256, 256, then 232 bytes, the last arriving later.
    o.Queue(o.c.reqList, Bytes(big.begin(), big.begin() + 768), 256, 0);
    EXPECT_EQ(XspecEncode(&o.e.env, &o.c), 0);
    EXPECT_EQ(o.c.xspec->inProgress, 1);
    o.Queue(o.c.reqList, Bytes(big.begin() + 768, big.end()), 256, 0);
    o.Queue(o.c.reqList, small, 256, 0);
    EXPECT_EQ(XspecEncode(&o.e.env, &o.c), 0);
    EXPECT_EQ(o.c.xspec->inProgress, 0);
    auto out = o.Out();
    Bytes joined;
    std::vector<size_t> sizes;
    for (auto& m : out) {
        sizes.push_back(m.data.size());
        joined.insert(joined.end(), m.data.begin(), m.data.end());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{128, 128, 128, 128, 128, 128, 128, 104, 8}));
    big.insert(big.end(), small.begin(), small.end());
    EXPECT_EQ(joined, big);
    EXPECT_EQ(o.e.cache.reqNext, 1);
}

TEST(Encode, EmptyPoolKeepsTheRequestAndTheCache) {
    One o;
    Bytes two = o.g.Plain(8, 1);
    Bytes b = o.g.Plain(12, 2);
    two.insert(two.end(), b.begin(), b.end());  // two requests in one buffer: the first needs a split
    o.Queue(o.c.reqList, two, 256, 0);
    o.e.Hog(0);
    EXPECT_EQ(XspecEncode(&o.e.env, &o.c), 0);
    EXPECT_TRUE(o.Out().empty());
    EXPECT_EQ(o.e.cache.reqNext, 0);
    o.e.Release();
    XspecEncode(&o.e.env, &o.c);
    auto out = o.Out();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(o.e.cache.reqNext, 2);
}

// ---- ImageText8 ----

TEST(Text, SingleFormFlagsAndHold) {
    One o;
    Bytes r1 = o.g.Text(0x01020304, 0x0a0b0c0d, 100, 50, {'h'});
    EXPECT_EQ(o.Encode(r1), XSPEC_HOLD_USEC);  // one character: a run may follow, so it is held
    EXPECT_TRUE(o.Out().empty());
    EXPECT_EQ(XspecEncode(&o.e.env, &o.c), 0);  // nothing new within the hold: sent
    auto out = o.Out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, (Bytes{76, 1, 0xc6, 0xc0, 1, 2, 3, 4, 0x0a, 0x0b, 0x0c, 0x0d, 0, 100, 0, 50, 'h'}));
    EXPECT_EQ(o.Encode(o.g.Text(0x01020304, 0x0a0b0c0d, 300, 50, {'a', 'b', 'c', 'd', 'e'})), 0);  // sent at once
    out = o.Out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, (Bytes{76, 5, 0xc0, 0x80, 0x01, 0x2c, 'a', 'b', 'c', 'd', 'e'}));
}

TEST(Text, EchoRunsShrinkToTheChangedFields) {
    One o;
    const uint32_t w = 0x200001, G = 0x200002, C = 0x200003;
    auto triple = [&](uint16_t x, uint8_t ch) {
        Bytes t = o.g.Text(w, G, x, 20, {ch});
        Bytes a = t;
        a.insert(a.end(), t.begin(), t.end());
        Bytes cur = o.g.Text(w, C, static_cast<uint16_t>(x + 8), 20, {' '});
        a.insert(a.end(), cur.begin(), cur.end());
        return a;
    };
    o.Encode(triple(10, 'a'));
    auto out = o.Out();  // set up as templates 1, 2 and 3
    ASSERT_EQ(out.size(), 3u);
    for (int k = 0; k < 3; k++) {
        EXPECT_EQ(out[k].data[1], k + 1);
        EXPECT_TRUE(out[k].data[2] & 0x01) << "template flag";
    }
    o.Encode(triple(18, 'b'));
    out = o.Out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data[0], 76);
    EXPECT_EQ(out[0].data[1], 0);
    o.Encode(triple(26, 'b'));  // the same character in the next cell: only the cursor's x moves
    out = o.Out();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, (Bytes{76, 0, 0x80, 0x20, 0, 34}));
}

TEST(Text, TwoHundredCharactersForCurrentAndEarlierPeers) {
    for (int level : {3, 2}) {
        One o;
        o.e.level = level;
        Bytes chars(200);
        for (size_t i = 0; i < chars.size(); i++) chars[i] = static_cast<uint8_t>('A' + i % 26);
        o.Encode(o.g.Text(1, 2, 3, 4, chars));
        XspecEncode(&o.e.env, &o.c);
        auto out = o.Out();
        if (level == 3) {
            ASSERT_EQ(out.size(), 2u);
            EXPECT_EQ(out[0].data.size(), 131u);  // 16 header bytes and 115 characters
            EXPECT_EQ(out[1].data, Bytes(chars.begin() + 115, chars.end()));
            EXPECT_EQ(out[0].data[1], 200);
        } else {
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out[0].data.size(), 163u);
            EXPECT_EQ(out[0].data[1], 147);
        }
        EXPECT_TRUE(lstCount(o.c.reqList) == 0);
    }
}

// ---- the host's decoding of the terminal's messages ----

TEST(Decode, LongReplyInPiecesIsNotStored) {
    One o;
    Bytes reply = o.g.Reply(100, 1);  // 432 bytes
    ASSERT_EQ(reply.size(), 432u);
    size_t sent = 0;
    Bytes got;
    for (size_t piece : {128, 128, 128, 48}) {
        o.Queue(o.c.replyInList, Bytes(reply.begin() + sent, reply.begin() + sent + piece));
        sent += piece;
        XspecDecode(&o.e.env, &o.c);
        Bytes b = xh::Take(o.e, o.c.replyOutList);
        EXPECT_EQ(b.size(), piece);
        got.insert(got.end(), b.begin(), b.end());
        EXPECT_EQ(o.c.xspec->replyPartial != 0, sent < 432);
    }
    EXPECT_EQ(got, reply);
    EXPECT_EQ(o.e.cache.replyNext, 0);
}

TEST(Decode, EventInTwoMessagesIsForwardedAndStoredOnce) {
    One o;
    Bytes ev = o.g.Event(12, 3);
    o.Queue(o.c.replyInList, Bytes(ev.begin(), ev.begin() + 10));
    XspecDecode(&o.e.env, &o.c);
    EXPECT_EQ(lstCount(o.c.replyOutList), 0);
    o.Queue(o.c.replyInList, Bytes(ev.begin() + 10, ev.end()));
    XspecDecode(&o.e.env, &o.c);
    EXPECT_EQ(xh::Take(o.e, o.c.replyOutList), ev);
    EXPECT_EQ(o.e.cache.replyNext, 1);
    EXPECT_EQ(std::memcmp(o.e.cache.replySlots[0], ev.data(), 32), 0);
}

TEST(Decode, FocusRule) {
    struct Row {
        int client;
        uint8_t code;
        int before, after;
    };
    const Row rows[] = {
        {7, 7, 0, 7},    {9, 8, 7, 7},  {7, 8, 7, 0},  {7, 9, 0, 7},
        {7, 10, 7, 0},   {7, 0x87, 0, 0},  // sent by SendEvent: no change
    };
    for (const Row& r : rows) {
        One o('B', r.client);
        o.e.focus = r.before;
        o.Queue(o.c.replyInList, o.g.Event(r.code, 1));
        XspecDecode(&o.e.env, &o.c);
        EXPECT_EQ(o.e.focus, r.after) << "client " << r.client << " event " << int(r.code);
    }
}

TEST(Decode, SixCodedRecordsAllDecodedInOrder) {
    One o;
    std::vector<Bytes> evs;
    for (int i = 0; i < 6; i++) {
        evs.push_back(o.g.Event(static_cast<uint8_t>(2 + i), i));
        o.Queue(o.c.replyInList, evs.back());  // plain first: they fill slots 0 to 5
    }
    XspecDecode(&o.e.env, &o.c);
    xh::Take(o.e, o.c.replyOutList);
    Bytes rec;
    Bytes want;
    for (int i = 0; i < 6; i++) {
        rec.insert(rec.end(), {static_cast<uint8_t>(5 - i), 1, 3, static_cast<uint8_t>(0x40 + i)});
        Bytes m = evs[5 - i];
        m[3] = static_cast<uint8_t>(0x40 + i);
        want.insert(want.end(), m.begin(), m.end());
    }
    o.Queue(o.c.replyInList, rec, 256, MSG_XCACHED);
    XspecDecode(&o.e.env, &o.c);
    EXPECT_EQ(xh::Take(o.e, o.c.replyOutList), want);
    EXPECT_EQ(o.e.cache.replyNext, 12);
}

}  // namespace

namespace {

// ---- faults mended: state both ends can see, drawables, odd requests, link order ----

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

// Runs one client's requests through both ends with every request buffer `chunk` bytes long;
// the harness compares the ends' templates after every batch of messages.
void Cross(const Bytes& reqs, size_t chunk, int seed = 1) {
    xh::Pair p(static_cast<uint32_t>(seed));
    p.fixedChunk = chunk;
    xh::Client& c = p.Add(9, 'B');
    c.reqs = reqs;
    ASSERT_TRUE(p.Run());
    p.Drain();
    p.ExpectInStep();
}

TEST(TextFaults, TemplatesStayAlikeWhateverTheSplits) {
    std::mt19937 rng(3);
    xh::Gen g{rng, false};
    const uint32_t w = 0x300001, G = 0x300002, C = 0x300003;
    Bytes typing;
    uint16_t x = 4;
    for (int i = 0; i < 40; i++, x = static_cast<uint16_t>(x + 7)) {
        uint8_t ch = static_cast<uint8_t>('a' + g.R(3));
        Bytes cell = g.Text(w, G, x, 30, {ch});
        Bytes cursor = g.Text(w, C, static_cast<uint16_t>(x + 7), 30, {' '});
        switch (g.R(5)) {
            case 0:  // broken: the cursor in another context
                typing = Cat({typing, cell, cell, g.Text(w, G + 9, static_cast<uint16_t>(x + 7), 30, {' '})});
                break;
            case 1:  // a lone character in the text context, no run around it
                typing = Cat({typing, cell, g.Plain(8, 43)});
                break;
            case 2:
                typing = Cat({typing, cell, cursor});
                break;
            default:
                typing = Cat({typing, cell, cell, cursor});
        }
    }
    for (size_t chunk = 1; chunk <= 64; chunk++) {
        SCOPED_TRACE(chunk);
        Cross(typing, chunk);
    }
}

TEST(TextFaults, TypingInASecondWindowWithTheSameContexts) {
    std::mt19937 rng(4);
    xh::Gen g{rng, false};
    auto triple = [&](uint32_t w, uint16_t x, uint8_t ch) {
        Bytes cell = g.Text(w, 0x500002, x, 8, {ch});
        return Cat({cell, cell, g.Text(w, 0x500003, static_cast<uint16_t>(x + 6), 8, {' '})});
    };
    // Templates are set up and used in window 1, then the same contexts draw into window 2.
    Cross(Cat({triple(0x500001, 10, 'a'), triple(0x500001, 16, 'b'), triple(0x500007, 22, 'c'),
               triple(0x500007, 28, 'd')}),
          256);
    One o;
    o.Encode(Cat({triple(0x500001, 10, 'a'), triple(0x500001, 16, 'b')}));
    o.Out();
    o.Encode(triple(0x500007, 22, 'c'));
    auto out = o.Out();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].data[2] & 0xc4, 0xc4) << "a single form naming window 2, not a run into window 1";
}

TEST(Faults, OddRequestsReachTheServerAndKeepTheirPlace) {
    One host;
    std::mt19937 rng(5);
    xh::Gen g{rng, false};
    Bytes text0 = {76, 3, 0, 0};                        // length field 0
    Bytes textBad = g.Text(1, 2, 3, 4, {'a', 'b'});     // count says 9, length says 2 characters
    textBad[1] = 9;
    Bytes emptyLine = g.Poly(65, 0, 1, 2);
    Bytes shortRect = {67, 0, 0, 2, 0, 0, 0, 1};        // shorter than its own header
    Bytes halfRect = g.Poly(70, 1, 1, 2);               // one and a half rectangles
    halfRect.insert(halfRect.end(), {0, 1, 0, 2});
    halfRect[3] = static_cast<uint8_t>(halfRect.size() / 4);
    Bytes poly0 = {66, 0, 0, 0};
    Bytes getFocus = {43, 0, 0, 1};
    std::vector<Bytes> reqs = {text0, textBad, emptyLine, shortRect, halfRect, poly0, getFocus};
    Bytes all;
    for (const Bytes& r : reqs) all.insert(all.end(), r.begin(), r.end());
    // On the line the ImageText8 ones are marked, never in their X form.
    host.Encode(Cat({text0, textBad}));
    XspecEncode(&host.e.env, &host.c);
    Bytes line;
    for (auto& m : host.Out()) line.insert(line.end(), m.data.begin(), m.data.end());
    EXPECT_EQ(line, Cat({{76, 3, 0xff, 0xff, 0, 0}, {76, 9, 0xff, 0xff}, Bytes(textBad.begin() + 2, textBad.end())}));
    // Through both ends: the server receives every request, whole and in order, so the reply to
    // GetInputFocus carries the sequence number the client expects (the 7th request).
    for (size_t chunk : {1, 3, 7, 256}) {
        xh::Pair p(6);
        p.fixedChunk = chunk;
        xh::Client& c = p.Add(11, 'B');
        c.reqs = all;
        ASSERT_TRUE(p.Run());
        p.Drain();
        EXPECT_EQ(c.reqsGot, all) << chunk;
        size_t n = 0, at = 0;
        for (; at + 4 <= c.reqsGot.size(); n++) {
            size_t len = 4u * XspecLoad16(&c.reqsGot[at + 2], false);
            if (n + 1 == reqs.size()) {
                EXPECT_EQ(c.reqsGot[at], 43);
            }
            at += len ? len : 4;
        }
        EXPECT_EQ(n, reqs.size());
    }
}

TEST(Faults, ReplyCacheStoresKeepLinkOrderAcrossStalledClients) {
    xh::End e;
    ClientRec a{}, b{};
    for (ClientRec* c : {&a, &b}) {
        ClientRecInitQueues(c);
        c->byteOrder = 'B';
    }
    a.clientId = 5;
    b.clientId = 6;
    ASSERT_EQ(XspecEncodeInit(&e.env, &a), 0);
    ASSERT_EQ(XspecEncodeInit(&e.env, &b), 0);
    std::mt19937 rng(8);
    xh::Gen g{rng, false};
    Bytes e0 = g.Event(12, 1), e1 = g.Event(22, 2);
    auto put = [&](ClientRec& c, const Bytes& m, uint8_t type) {
        ASSERT_EQ(xh::Put(e, c.replyInList, m.data(), m.size(), 256, type, c.clientId), m.size());
    };
    put(a, e0, MSG_XDATA);
    XspecDecode(&e.env, &a);  // slot 0
    put(a, Bytes{0, 1, 5, 0x77}, MSG_XCACHED);
    put(b, e1, MSG_XDATA);
    e.Hog(0);
    XspecDecode(&e.env, &a);  // no buffer for the record: A waits
    XspecDecode(&e.env, &b);  // B's event came later on the line: it must wait for A
    EXPECT_EQ(lstCount(b.replyOutList), 0);
    EXPECT_EQ(e.cache.replyNext, 1);
    e.Release();
    XspecDecode(&e.env, &b);  // still behind A
    EXPECT_EQ(e.cache.replyNext, 1);
    XspecDecode(&e.env, &a);
    XspecDecode(&e.env, &b);
    EXPECT_EQ(e.cache.replyNext, 3);
    Bytes rebuilt = e0;
    rebuilt[5] = 0x77;
    EXPECT_EQ(std::memcmp(e.cache.replySlots[1], rebuilt.data(), 32), 0);
    EXPECT_EQ(std::memcmp(e.cache.replySlots[2], e1.data(), 32), 0);
    EXPECT_EQ(xh::Take(e, b.replyOutList), e1);
    EXPECT_EQ(xh::Take(e, a.replyOutList), Cat({e0, rebuilt}));
    XspecFree(a.xspec);
    XspecFree(b.xspec);
}

// A reply whose length field claims more than 32 bits can count is long at both ends: its size
// must not wrap round to a short one, which would cut it into "messages", store them in the reply
// caches and, at the terminal, send empty link messages until the pool ran dry.
TEST(Faults, ReplyLengthPastFourGigabytesStaysALongReply) {
    for (uint32_t words : {0x3ffffff8u, 0x3fffffffu, 0x40000007u, 0xffffffffu}) {
        One t, h;
        Bytes reply(232, 0x11);
        reply[0] = 1;
        XspecStore32(&reply[4], words, false);
        t.Queue(t.c.reqList, reply, 100, 0);
        XspecTermEncode(&t.e.env, &t.c);
        EXPECT_EQ(lstCount(t.c.reqList), 0) << words;
        Bytes line;
        for (auto& m : t.Out()) {
            EXPECT_EQ(m.type, MSG_XDATA) << words;
            EXPECT_TRUE(m.data.size() > 0 && m.data.size() <= 128) << words;
            line.insert(line.end(), m.data.begin(), m.data.end());
            h.Queue(h.c.replyInList, m.data);
            XspecDecode(&h.e.env, &h.c);
        }
        EXPECT_EQ(line, reply) << words;
        EXPECT_EQ(xh::Take(h.e, h.c.replyOutList), reply) << words;
        EXPECT_NE(h.c.xspec->replyPartial, 0u) << words;
        EXPECT_EQ(t.e.cache.replyNext, 0) << words;
        EXPECT_EQ(h.e.cache.replyNext, 0) << words;
    }
}

TEST(TermEncode, LongReplyInPiecesAndCodedEventsShareAMessage) {
    One t;
    Bytes reply = t.g.Reply(100, 1);
    Bytes ev = t.g.Event(6, 2), ev2 = ev, ev3 = ev;
    ev2[2] = 3;
    ev3[2] = 4;
    t.Queue(t.c.reqList, Cat({reply, ev, ev2, ev3}), 100, 0);
    XspecTermEncode(&t.e.env, &t.c);
    auto out = t.Out();
    std::vector<size_t> sizes;
    for (auto& m : out) sizes.push_back(m.data.size());
    ASSERT_EQ(sizes, (std::vector<size_t>{128, 128, 128, 48, 32, 8}));
    EXPECT_EQ(out[4].data, ev);  // the reply cache was empty: plain
    EXPECT_EQ(out[5].type, MSG_XCACHED);
    EXPECT_EQ(out[5].data, (Bytes{0, 1, 2, 3, 0, 1, 2, 4}));  // both against slot 0, the lower of a tie
}

}  // namespace

namespace {

// The Poly examples, through the driver of a fresh client each (the caches start all zero).
TEST(Encode, PolyExamplesThroughTheDriver) {
    struct Row {
        const char* what;
        uint8_t op;
        std::vector<uint16_t> elems;
        Bytes tail;  // what follows the 12-byte header
    };
    const Row rows[] = {
        {"PolyLine", 65, {0, 0, 10, 10, 20, 20}, {0, 14, 10, 10, 14, 20, 20}},
        {"PolyFillRectangle", 70, {10, 10, 50, 20, 70, 10, 50, 20, 130, 10, 50, 20},
         {0xEE, 10, 10, 50, 20, 0xE1, 60, 0, 0xE0, 120, 0}},
        {"PolySegment", 66, {0, 0, 10, 10, 0, 0, 10, 10}, {0x0E, 10, 10, 0x10}},
    };
    for (const Row& r : rows) {
        One o;
        Bytes req{r.op, 0};
        o.g.P16(req, static_cast<uint16_t>(3 + r.elems.size() / 2));
        o.g.P32(req, 0x11223344);
        o.g.P32(req, 0x55667788);
        for (uint16_t v : r.elems) o.g.P16(req, v);
        o.Encode(req);
        Bytes line;
        for (auto& m : o.Out()) line.insert(line.end(), m.data.begin(), m.data.end());
        Bytes want{r.op, 0x40};
        want.insert(want.end(), req.begin() + 2, req.begin() + 12);
        want.insert(want.end(), r.tail.begin(), r.tail.end());
        EXPECT_EQ(line, want) << r.what;
        if (r.op == 65) {  // the same again: short header, every difference found at entry 2
            o.Encode(req);
            line.clear();
            for (auto& m : o.Out()) line.insert(line.end(), m.data.begin(), m.data.end());
            EXPECT_EQ(line, (Bytes{65, 0x60, 2, 2, 2}));
        }
    }
}

}  // namespace

namespace {

// The pool runs dry in the middle of setting up the templates: whatever reached the line, both
// ends hold the same templates, and the typing that follows is drawn right.
TEST(TextFaults, TemplateSetUpCutShortByThePool) {
    for (size_t leave = 0; leave <= 3; leave++) {
        SCOPED_TRACE(leave);
        xh::Pair p(9);
        xh::Client& c = p.Add(5, 'B');
        xh::Gen g{p.rng, false};
        for (uint16_t x = 10; x < 60; x = static_cast<uint16_t>(x + 10)) {
            Bytes cell = g.Text(0x700001, 0x700002, x, 9, {static_cast<uint8_t>('a' + x / 10)});
            c.reqs = Cat({c.reqs, cell, cell, g.Text(0x700001, 0x700003, static_cast<uint16_t>(x + 10), 9, {' '})});
        }
        c.reqFed = xh::Put(p.host, c.h.reqList, c.reqs.data(), c.reqs.size(), 256, 0, 5);
        p.host.Hog(leave);
        XspecEncode(&p.host.env, &c.h);
        xh::Pair::Ship(p.host, c.h.encList, p.down, c.h.xspec);
        p.host.Release();
        ASSERT_TRUE(p.Run());
        p.Drain();
        p.ExpectInStep();
    }
}

}  // namespace
