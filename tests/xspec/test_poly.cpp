#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "relay/xspec/polydec.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t DRAWABLE = 0x00400001;
constexpr uint32_t GC = 0x00400002;

// One end of the line: its own pool, context record and client.
struct End {
    BufData pool{};
    XspecEnv env{};
    XspecState st{};
    ClientRec client{};
    std::vector<Buf*> held;  // buffers taken out of the pool to starve it
    std::mt19937* starveRng = nullptr;  // when set, some calls find the pool (nearly) empty

    explicit End(uint8_t byteOrder, int clientId = 9) {
        EXPECT_EQ(BufInit(&pool), 0);
        env.pBufData = &pool;
        ClientRecInitQueues(&client);
        client.clientId = clientId;
        client.byteOrder = byteOrder;
        client.xspec = &st;
    }
    ~End() {
        Feed();
        for (Lst* l : {client.reqList, client.encList, client.replyInList, client.replyOutList}) BufListFree(&pool, l);
        if (st.polyOut) BufFree(&pool, st.polyOut);
        BufDestroy(&pool);
    }
    // Leaves only `keep` buffers in the pool.
    void Starve(int keep) {
        while (BufPoolCount(&pool) > keep) held.push_back(BufGet(&pool));
    }
    // Before an encoder or decoder call: maybe leave 0 to 2 buffers. True when it did.
    bool MaybeStarve() {
        if (!starveRng || (*starveRng)() % 3 != 0) return false;
        Starve(static_cast<int>((*starveRng)() % 3));
        return true;
    }
    void Feed() {
        for (Buf* b : held) BufFree(&pool, b);
        held.clear();
    }
    void Queue(Lst* l, const uint8_t* p, size_t n, uint8_t type = MSG_XDATA) {
        Buf* b = BufGet(&pool);
        ASSERT_NE(b, nullptr);
        ASSERT_LE(n, static_cast<size_t>(BUF_DATA_SIZE));
        std::memcpy(b->end, p, n);
        b->end += n;
        b->type = type;
        b->clientId = static_cast<uint8_t>(client.clientId);
        lstAdd(l, b);
    }
};

Bytes Drain(End& e, Lst* l, std::vector<size_t>* sizes = nullptr) {
    Bytes out;
    while (Buf* b = lstGetT<Buf>(l)) {
        out.insert(out.end(), b->start, b->end);
        if (sizes) sizes->push_back(b->Len());
        BufFree(&e.pool, b);
    }
    return out;
}

// X request builder in a given byte order.
struct Req {
    bool big;
    Bytes b;
    void U8(int v) { b.push_back(static_cast<uint8_t>(v)); }
    void U16(int v) {
        uint8_t p[2];
        XspecStore16(p, static_cast<uint16_t>(v), !big);
        b.insert(b.end(), p, p + 2);
    }
    void U32(uint32_t v) {
        U16(big ? static_cast<int>(v >> 16) : static_cast<int>(v & 0xffff));
        U16(big ? static_cast<int>(v & 0xffff) : static_cast<int>(v >> 16));
    }
};

// A Poly request: `words` holds 2 (points) or 4 (rectangles, segments) numbers per element.
Bytes Poly(uint8_t opcode, uint8_t order, const std::vector<int>& words, int byte1 = 0, uint32_t drawable = DRAWABLE,
           uint32_t gc = GC) {
    Req r{order == 'B', {}};
    r.U8(opcode);
    r.U8(byte1);
    r.U16(3 + static_cast<int>(words.size()) / 2);
    r.U32(drawable);
    r.U32(gc);
    for (int w : words) r.U16(w);
    return r.b;
}

int Encode(End& h, uint8_t opcode) {
    Lst* q = h.client.reqList;
    Lst* o = h.client.encList;
    int rc = opcode == X_POLY_LINE      ? XspecPolyLineEncode(&h.env, &h.client, q, o)
             : opcode == X_POLY_SEGMENT ? XspecPolySegEncode(&h.env, &h.client, q, o)
                                        : XspecPolyRectEncode(&h.env, &h.client, q, o);
    h.st.inProgress = rc;  // as the driver keeps it
    return rc;
}

// Feeds the request stream to the host end in pieces (cut at the given offsets, then every 256
// bytes) and runs the encoder as the driver would: a new request once min(size, 52) bytes are
// queued, a request in progress whenever more arrives.
Bytes HostEncode(End& h, const Bytes& stream, const std::vector<size_t>& cuts, std::vector<size_t>* sizes = nullptr) {
    size_t pos = 0, next = 0;
    Bytes out;
    auto pump = [&](bool final) {
        for (;;) {
            if (h.st.inProgress == 0) {
                uint8_t hd[4];
                if (XspecInPeek(h.client.reqList, 0, hd, 4) < 4) return;
                size_t want = std::min<size_t>(XspecRequestSize(hd, XspecLittle(&h.client)), 52);
                if (XspecInAvail(h.client.reqList, want) < want) return;
                h.st.curOpcode = hd[0];
            }
            const bool starved = h.MaybeStarve();
            int rc = Encode(h, h.st.curOpcode);
            h.Feed();
            Bytes part = Drain(h, h.client.encList, sizes);
            out.insert(out.end(), part.begin(), part.end());
            if (rc != 0 && !(starved && final)) return;
        }
    };
    while (pos < stream.size()) {
        size_t end = next < cuts.size() ? cuts[next++] : stream.size();
        end = std::min(std::max(end, pos + 1), stream.size());
        end = std::min(end, pos + 256);
        h.Queue(h.client.reqList, stream.data() + pos, end - pos);
        pos = end;
        pump(false);
    }
    pump(true);
    return out;
}

// Feeds the line stream to the terminal end in pieces and decodes every Poly request in it.
Bytes TermDecode(End& t, const Bytes& line, size_t piece) {
    Bytes out;
    for (size_t pos = 0; pos < line.size(); pos += piece) {
        t.Queue(t.client.replyInList, line.data() + pos, std::min(piece, line.size() - pos));
        while (lstCount(t.client.replyInList) > 0) {
            const bool starved = t.MaybeStarve();
            int rc = XspecPolyDecode(&t.env, &t.client, t.client.replyInList, t.client.replyOutList);
            t.Feed();
            EXPECT_NE(rc, XSPEC_POLY_BAD);
            if (rc != 0 && !starved) break;
        }
    }
    return Drain(t, t.client.replyOutList);
}

void ExpectSameState(const XspecState& a, const XspecState& b) {
    EXPECT_EQ(0, std::memcmp(a.lastPolyHeader, b.lastPolyHeader, sizeof a.lastPolyHeader));
    EXPECT_EQ(0, std::memcmp(a.polyRef, b.polyRef, sizeof a.polyRef));
    EXPECT_EQ(0, std::memcmp(a.lineCache, b.lineCache, sizeof a.lineCache));
    EXPECT_EQ(0, std::memcmp(a.rectPosCache, b.rectPosCache, sizeof a.rectPosCache));
    EXPECT_EQ(0, std::memcmp(a.rectSizeCache, b.rectSizeCache, sizeof a.rectSizeCache));
    EXPECT_EQ(0, std::memcmp(a.segCache, b.segCache, sizeof a.segCache));
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Header(uint8_t opcode, uint8_t flags, int len, bool big) {
    Req r{big, {opcode, flags}};
    r.U16(len);
    r.U32(DRAWABLE);
    r.U32(GC);
    return r.b;
}

std::vector<int> Line30(int step) {
    std::vector<int> w;
    for (int i = 0; i < 30; i++) w.insert(w.end(), {i * step, 0});
    return w;
}

struct KnownCase {
    const char* name;
    uint8_t order;
    std::vector<Bytes> requests;
    std::vector<Bytes> encoded;  // one per request
};

std::vector<KnownCase> KnownCases() {
    std::vector<KnownCase> cases;
    const std::vector<int> tri = {0, 0, 10, 10, 20, 20};
    cases.push_back({"line_then_same_header",
                     'B',
                     {Poly(65, 'B', tri), Poly(65, 'B', tri)},
                     {Cat({Header(65, 0x40, 6, true), {0, 14, 10, 10, 14, 20, 20}}), {65, 0x60, 2, 2, 2}}});
    Bytes prev30 = Cat({Header(65, 0x80, 33, true), {0, 14, 20, 0}});
    prev30.insert(prev30.end(), 28, 0);
    cases.push_back({"line_30_points_prev", 'B', {Poly(65, 'B', Line30(20))}, {prev30}});
    // (1000,1000) and (200,0) need code 15, (-128,127) code 14 and then the cache.
    const std::vector<int> far = {1000, 1000, 1200, 1000, 1072, 1127, 944, 1254};
    for (uint8_t order : {'B', 'l'}) {
        bool big = order == 'B';
        Req r{big, Header(65, 0x81, 7, big)};
        r.U8(15), r.U16(1000), r.U16(1000), r.U8(15), r.U16(200), r.U16(0);
        r.b.insert(r.b.end(), {14, 0x80, 0x7f, 0});
        cases.push_back({big ? "line_codes_15_14_big" : "line_codes_15_14_little",
                         order,
                         {Poly(65, order, far, 1)},
                         {r.b}});
    }
    const std::vector<int> rects = {10, 10, 50, 20, 70, 10, 50, 20, 130, 10, 50, 20};
    for (uint8_t order : {'B', 'l'}) {
        bool big = order == 'B';
        cases.push_back({big ? "fill_rect_then_rect_big" : "fill_rect_then_rect_little",
                         order,
                         {Poly(70, order, rects), Poly(67, order, rects)},
                         {Cat({Header(70, 0x40, 9, big), {0xEE, 10, 10, 50, 20, 0xE1, 60, 0, 0xE0, 120, 0}}),
                          {67, 0x60, 0x21, 0x21, 0x20}}});
    }
    // A PolyLine with the rectangles' length, drawable and gc shares their header.
    cases.push_back({"line_after_rect",
                     'B',
                     {Poly(67, 'B', {0, 0, 1, 1}), Poly(65, 'B', {0, 0, 1, 1})},
                     {Cat({Header(67, 0x40, 5, true), {0x0E, 1, 1}}), {65, 0x60, 0, 14, 1, 1}}});
    // Mode 0x80: a narrower rectangle counts as fitting but goes with code 15.
    cases.push_back({"rect_narrower_prev",
                     'B',
                     {Poly(67, 'B', {0, 0, 100, 10, 100, 0, 90, 10, 200, 0, 80, 10})},
                     {Cat({Header(67, 0x80, 9, true), {0x0E, 100, 10, 0xEF, 100, 0, 0xFF, 0xF6, 0, 0, 0x00}})}});
    cases.push_back({"segment_twice",
                     'B',
                     {Poly(66, 'B', {0, 0, 10, 10, 0, 0, 10, 10})},
                     {Cat({Header(66, 0x40, 7, true), {0x0E, 10, 10, 0x10}})}});
    return cases;
}

TEST(PolyEncode, KnownAnswersAtEverySplit) {
    for (const KnownCase& c : KnownCases()) {
        SCOPED_TRACE(c.name);
        Bytes stream, want;
        for (const Bytes& r : c.requests) stream.insert(stream.end(), r.begin(), r.end());
        for (const Bytes& e : c.encoded) want.insert(want.end(), e.begin(), e.end());
        for (size_t cut = 0; cut < stream.size(); cut++) {
            End h(c.order);
            std::vector<size_t> sizes;
            const Bytes got = HostEncode(h, stream, {cut}, &sizes);
            ASSERT_EQ(got, want) << "cut " << cut;
            ASSERT_EQ(h.st.inProgress, 0);
            End t(c.order);
            ASSERT_EQ(TermDecode(t, got, cut ? cut : 1), stream) << "cut " << cut;
            ExpectSameState(h.st, t.st);
        }
    }
}

// The mode is decided on the first chunk of 10 points and holds for the whole request.
TEST(PolyEncode, ModeFromFirstChunk) {
    std::vector<int> turn;  // 10 points a pixel apart (a tie), then 15 that only the 0x80 mode suits
    for (int i = 0; i < 25; i++) turn.insert(turn.end(), {i < 10 ? i : 9 + (i - 9) * 20, 0});
    const struct {
        std::vector<int> points;
        uint8_t flags;
    } cases[] = {{Line30(1), 0x40}, {Line30(20), 0x80}, {turn, 0x40}};
    for (const auto& c : cases) {
        End h('B');
        const Bytes req = Poly(65, 'B', c.points);
        const Bytes got = HostEncode(h, req, {});
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(got[1], c.flags);
        End t('B');
        EXPECT_EQ(TermDecode(t, got, 5), req);
    }
}

TEST(PolyCache, MoveToFrontAndInsert) {
    uint16_t cache[28] = {};
    uint16_t p[2] = {5, 6};
    EXPECT_EQ(XspecCache(cache, 15, p), -1);  // absent: inserted at the front, entry 13 drops
    EXPECT_EQ(cache[0], 5);
    EXPECT_EQ(cache[14], 6);
    uint16_t z[2] = {0, 0};
    EXPECT_EQ(XspecCache(cache, 15, z), 1);
    for (int i = 2; i < 14; i++) cache[i] = static_cast<uint16_t>(100 + i), cache[14 + i] = 0;
    uint16_t q[2];
    EXPECT_EQ(XspecCache(cache, 13, q), 13);  // the last entry by code
    EXPECT_EQ(q[0], 113);
    EXPECT_EQ(cache[0], 113);
    EXPECT_EQ(cache[1], 0);
    EXPECT_EQ(cache[2], 5);
    EXPECT_EQ(cache[15], 0);
    EXPECT_EQ(cache[16], 6);
    uint16_t r[2] = {7, 7};
    EXPECT_EQ(XspecCache(cache, 15, r), -1);
    EXPECT_EQ(cache[13], 111);  // the last entry, 112, dropped out
}

// Malformed and empty requests reach the X server whole and in order, one for one, never as
// their X form on the line, and leave the caches and the last header alone (malformed) or update
// them as any request (empty).
TEST(PolyEncode, MalformedAndEmptyRequestsReachTheServer) {
    struct Case {
        const char* name;
        Bytes request;
        bool verbatim;
    };
    auto raw = [](std::initializer_list<int> v) {
        Bytes b;
        for (int x : v) b.push_back(static_cast<uint8_t>(x));
        return b;
    };
    const Bytes oddRects = Poly(67, 'B', std::vector<int>(162, 3));  // 40 rectangles and a half
    const std::vector<Case> cases = {
        {"line_len0", raw({65, 0, 0, 0}), true},
        {"line_len1", raw({65, 0, 0, 1}), true},
        {"line_len2", raw({65, 1, 0, 2, 1, 2, 3, 4}), true},
        {"line_bad_mode", Poly(65, 'B', {1, 2, 3, 4}, 2), true},
        {"seg_half", Poly(66, 'B', {1, 2}), true},
        {"fill_len2", raw({70, 0, 0, 2, 0, 0, 0, 1}), true},
        {"rects_odd_long", oddRects, true},
        {"line_empty", Poly(65, 'B', {}, 1), false},
        {"rect_empty", Poly(67, 'B', {}), false},
        {"seg_empty", Poly(66, 'B', {}, 0, 7, 8), false},
    };
    const Bytes before = Poly(65, 'B', {5, 5, 6, 6, 7, 9});
    const Bytes after = Poly(70, 'B', {1, 1, 2, 2, 3, 3, 4, 4});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes stream = Cat({before, c.request, after});
        for (size_t cut : {size_t(0), before.size() + 1, before.size() + 3, before.size() + c.request.size() - 1}) {
            End h('B');
            std::vector<size_t> sizes;
            const Bytes line = HostEncode(h, stream, {cut}, &sizes);
            for (size_t s : sizes) EXPECT_LE(s, 128u);
            // The request's own encoding starts where the first request's ends.
            End h1('B');
            const size_t off = HostEncode(h1, before, {}).size();
            ASSERT_GT(line.size(), off + 1);
            EXPECT_EQ(line[off], c.request[0]);
            if (c.verbatim) {
                EXPECT_EQ(line[off + 1], XSPEC_POLY_VERBATIM);
                ASSERT_GE(line.size(), off + 1 + c.request.size());
                const auto body = line.begin() + static_cast<long>(off) + 2;
                EXPECT_TRUE(std::equal(c.request.begin() + 1, c.request.end(), body));
            } else {
                EXPECT_EQ(line[off + 1] & 0xC0, 0x40);
            }
            End t('B');
            EXPECT_EQ(TermDecode(t, line, 7), stream);
            ExpectSameState(h.st, t.st);
        }
    }
}

// Random Poly requests of both byte orders, 0 to 300 elements, cut at random offsets, through the
// encoder and the decoder, with the pools running dry at random moments: the X bytes come back
// exactly and both ends' caches, reference and last header agree.
TEST(PolyRoundTrip, RandomRequestsSplitsAndStarvedPools) {
    int modes[2] = {0, 0};
    for (uint32_t seed = 1; seed <= 60; seed++) {
        std::mt19937 rng(seed);
        auto rnd = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        const uint8_t order = seed % 2 ? 'B' : 'l';
        const uint8_t opcodes[4] = {65, 66, 67, 70};
        Bytes stream;
        for (int r = 0; r < 12; r++) {
            const uint8_t op = opcodes[rnd(0, 3)];
            const int n = rnd(0, 3) == 0 ? rnd(0, 3) : rnd(0, 300);
            const int words = op == X_POLY_LINE ? 2 : 4;
            const int style = rnd(0, 3);  // walk, star, wide, repeats
            std::vector<int> w;
            int base[4] = {rnd(-300, 300), rnd(-300, 300), rnd(0, 300), rnd(0, 300)};
            for (int i = 0; i < n; i++) {
                for (int k = 0; k < words; k++) {
                    int v;
                    switch (style) {
                        case 0: v = base[k] += rnd(-40, 40); break;
                        case 1: v = base[k] + rnd(-100, 100); break;
                        case 2: v = rnd(-32768, 65535); break;
                        default: v = rnd(0, 2) * 7; break;
                    }
                    w.push_back(v);
                }
            }
            const uint32_t drawable = rnd(0, 2) ? DRAWABLE : DRAWABLE + 1;
            stream = Cat({stream, Poly(op, order, w, op == X_POLY_LINE ? rnd(0, 1) : 0, drawable)});
        }
        std::vector<size_t> cuts;
        for (size_t pos = 0; pos < stream.size();) cuts.push_back(pos += static_cast<size_t>(rnd(1, 300)));

        End h(order), t(order);
        h.starveRng = &rng;
        t.starveRng = &rng;
        Bytes line;
        size_t pos = 0;
        for (size_t i = 0; i < cuts.size() && pos < stream.size(); i++) {
            size_t end = std::min(cuts[i], stream.size());
            Bytes part(stream.begin() + static_cast<long>(pos), stream.begin() + static_cast<long>(end));
            Bytes enc = HostEncode(h, part, {});  // the state carries on from piece to piece
            line.insert(line.end(), enc.begin(), enc.end());
            pos = end;
        }
        ASSERT_EQ(h.st.inProgress, 0) << "seed " << seed;

        // The terminal gets the line in pieces of its own.
        Bytes x;
        for (size_t p = 0; p < line.size();) {
            size_t k = std::min(line.size() - p, static_cast<size_t>(rnd(1, 140)));
            Bytes piece(line.begin() + static_cast<long>(p), line.begin() + static_cast<long>(p + k));
            Bytes dec = TermDecode(t, piece, k);
            x.insert(x.end(), dec.begin(), dec.end());
            p += k;
        }
        EXPECT_FALSE(XspecPolyDecoding(&t.st));
        EXPECT_EQ(lstCount(t.client.replyInList), 0);
        ASSERT_EQ(x, stream) << "seed " << seed;
        ExpectSameState(h.st, t.st);
        modes[(h.st.lastPolyHeader[1] & POLY_DELTA_PREV) ? 1 : 0]++;
    }
    EXPECT_GT(modes[0], 0);
    EXPECT_GT(modes[1], 0);
}

// The decoder refuses what no encoder sends, without consuming it.
TEST(PolyDecode, RejectsWhatNoEncoderSends) {
    const std::vector<Bytes> bad = {
        {60, 0x40},                                  // not a Poly opcode
        {65, 0x00, 0, 3, 0, 0, 0, 1, 0, 0, 0, 2},    // no mode
        {65, 0xC0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 2},    // both modes
        {67, 0x41, 0, 3, 0, 0, 0, 1, 0, 0, 0, 2},    // coordinate mode on rectangles
        {65, 0x48, 0, 3, 0, 0, 0, 1, 0, 0, 0, 2},    // reserved bit
        {65, 0x60},                                  // short header with no header before it
        {66, 0x40, 0, 4, 0, 0, 0, 1, 0, 0, 0, 2},    // half a segment
        {65, 0x40, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2},    // shorter than its header
        {65, 0x40, 0, 4, 0, 0, 0, 1, 0, 0, 0, 2, 16},  // point code above 15
    };
    for (const Bytes& b : bad) {
        End t('B');
        t.Queue(t.client.replyInList, b.data(), b.size());
        EXPECT_EQ(XspecPolyDecode(&t.env, &t.client, t.client.replyInList, t.client.replyOutList), XSPEC_POLY_BAD)
            << int(b[0]) << " " << int(b[1]);
        EXPECT_FALSE(XspecPolyDecoding(&t.st));
    }
    // A form that breaks off before a coded request can never be finished.
    End t('B');
    const Bytes part = {65, 0x40, 0, 5};
    t.Queue(t.client.replyInList, part.data(), part.size());
    EXPECT_EQ(XspecPolyDecode(&t.env, &t.client, t.client.replyInList, t.client.replyOutList), -1);
    t.Queue(t.client.replyInList, part.data(), 2, MSG_XCACHED);
    EXPECT_EQ(XspecPolyDecode(&t.env, &t.client, t.client.replyInList, t.client.replyOutList), XSPEC_POLY_BAD);
}

}  // namespace
