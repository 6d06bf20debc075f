// Transport, timers and windows, extended commands and merging: known answers and repaired faults.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "relay/link/linkpair.h"
#include "relay/link/transpriv.h"
#include "tests/link/linktest.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pkt(int ack, int seq, uint8_t typeByte, Bytes content = {}) {
    Bytes p{static_cast<uint8_t>(((ack & 0xF) << 4) | (seq & 0xF)), typeByte};
    p.insert(p.end(), content.begin(), content.end());
    return p;
}

Bytes RexmitPkt(int ack, uint32_t seq, uint8_t typeByte, Bytes content = {}) {
    Bytes p{static_cast<uint8_t>(((ack & 0xF) << 4) | (seq & 0xF)), MSG_REXMIT_HDR, static_cast<uint8_t>(seq >> 16),
            static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq), typeByte};
    p.insert(p.end(), content.begin(), content.end());
    return p;
}

// A host end that has sent its start message and heard a ready terminal of the given level.
struct Host : SoloEnd {
    explicit Host(int timeout = 30, int level = 3) : SoloEnd(LINK_HOST, timeout) {
        link.config.displayName = "unix:1.0";
        EXPECT_EQ(Start(), 0);
        if (level >= 0) LinkSetRemoteVersion(&link, 'B', 1, level);
    }
    std::vector<Buf*> Read() {
        Lst in;
        lstInit(&in);
        TransRead(&link, &in);
        std::vector<Buf*> got;
        while (Buf* b = lstGetT<Buf>(&in)) got.push_back(b);
        return got;
    }
    void Free(std::vector<Buf*>& v) {
        for (Buf* b : v) BufFree(&pool, b);
    }
    // Hands one message to the transport; false when it had to stay on the list.
    bool Send(uint8_t type, uint8_t client, const Bytes& content) {
        Lst l;
        lstInit(&l);
        lstAdd(&l, MakeMsg(&pool, type, client, content));
        TransWrite(&link, &l);
        bool taken = lstCount(&l) == 0;
        BufListFree(&pool, &l);
        return taken;
    }
};

// The last packet the end sent, without its header byte.
Bytes LastTypeAndContent(Host& h) {
    auto sent = h.Sent();
    return sent.empty() ? Bytes{} : Bytes(sent.back().begin() + 1, sent.back().end());
}

TEST(Trans, TypeByteDecodes) {
    Host h;
    struct {
        Bytes pkt;
        int d, type, client;
    } cases[] = {{{0x01, 0x1F}, 1, 3, 7}, {{0x01, 19}, 1, 19, 0}, {{0x03, 0xFB}, 3, 3, 62}, {{0x00, 5}, 0, 5, 0}};
    for (auto& c : cases) {
        Buf* b = MakeMsg(&h.pool, 0, 0, c.pkt);
        EXPECT_EQ(TransDecodePktCTS(&h.link, b), c.d);
        EXPECT_EQ(b->type, c.type);
        EXPECT_EQ(b->clientId, c.client);
        BufFree(&h.pool, b);
    }
}

TEST(Trans, ClientIds) {
    Host h;
    std::vector<int> got;
    for (int i = 0; i < 60; i++) got.push_back(TransAllocateClientID(&h.link, 100 + i));
    for (int i = 0; i < 52; i++) {
        int id = got[static_cast<size_t>(i)];
        EXPECT_TRUE((id >= 5 && id <= 30) || (id >= 37 && id <= 62)) << id;
    }
    for (size_t i = 52; i < got.size(); i++) EXPECT_EQ(got[i], 0);
    EXPECT_EQ(TransFreeClientID(&h.link, 7), -1);
    EXPECT_EQ(TransAllocateClientID(&h.link, 200), 7);
    EXPECT_EQ(TransFreeClientID(&h.link, 63), -1);
    EXPECT_EQ(TransFreeClientID(&h.link, -3), -1);
}

// Seconds after its start at which an end alone on a silent line gives up on it, or -1 when it has
// not within limit seconds.
double SecondsToGiveUp(SoloEnd& e, double limit) {
    FILE* err = std::tmpfile();
    e.link.errFile = err;
    const uint32_t t0 = e.clock.usec;
    while (e.link.running && e.clock.usec - t0 < limit * 1e6) {
        e.clock.usec += 250000;
        TransWrite(&e.link, nullptr);
    }
    e.link.errFile = nullptr;
    std::fclose(err);
    return e.link.running ? -1 : (e.clock.usec - t0) / 1e6;
}

TEST(Trans, StartMessageAndTimeoutClamp) {
    for (auto [given, used] : {std::pair{5, 10}, {30, 30}, {4000, 3600}, {0, 0}}) {
        Host h(given, -1);
        EXPECT_EQ(h.link.config.timeout, used);
        Bytes head(h.io.out.begin(), h.io.out.begin() + 8);
        EXPECT_EQ(head, (Bytes{0x1B, 0x5B, 0x36, 0x32, 0x22, 0x70, 0x90, 0x7E}));
        auto sent = h.Sent();
        ASSERT_EQ(sent.size(), 1u);
        Bytes want{0x01, MSG_START, 'B', 1, 3, 0, static_cast<uint8_t>(used >> 8), static_cast<uint8_t>(used), 9,
                   0x0a, 0x0d, 0x11, 0x13, 0x1d, 0x7f, 0x93, 0x9d, 0xff, 9};
        for (char c : std::string("unix:1.0")) want.push_back(static_cast<uint8_t>(c));
        want.push_back(0);
        EXPECT_EQ(sent[0], want);
        // The clamped timeout is the one the end keeps to; 0 never gives up.
        double gaveUp = SecondsToGiveUp(h, 4000);
        if (used == 0) {
            EXPECT_EQ(gaveUp, -1);
        } else {
            EXPECT_GT(gaveUp, used) << given;
            EXPECT_LE(gaveUp, used + 2) << given;
        }
    }
}

// An end's line with every byte the end wrote kept.
struct Tap {
    LinkIo inner;
    Bytes out;
};

LinkIo TapIo(Tap* t) {
    return LinkIo{[](void* c, uint8_t* p, int n) {
                      Tap* t = static_cast<Tap*>(c);
                      return t->inner.read(t->inner.ctx, p, n);
                  },
                  [](void* c, const uint8_t* p, int n) {
                      Tap* t = static_cast<Tap*>(c);
                      int k = t->inner.write(t->inner.ctx, p, n);
                      if (k > 0) t->out.insert(t->out.end(), p, p + k);
                      return k;
                  },
                  [](void* c) {
                      Tap* t = static_cast<Tap*>(c);
                      return t->inner.pending(t->inner.ctx);
                  },
                  t};
}

// True when every frame in the bytes is its packet stuffed with exactly the list (and 0x7D, 0x7E).
bool StuffedWithExactly(const Bytes& line, const Bytes& list, int* frames) {
    Bytes frame;
    *frames = 0;
    for (uint8_t c : line) {
        frame.push_back(c);
        if (c != 0x7E) continue;
        auto pkts = DecodeFrames(frame);
        if (pkts.size() != 1 || EncodeFrame(pkts[0], list) != frame) return false;
        ++*frames;
        frame.clear();
    }
    return frame.empty();
}

// The terminal takes the host's start message: the host's version, its timeout (which the
// terminal then keeps to) and its escape list (which both ends then stuff, and nothing more: the
// host narrows its stuffing once it has taken the terminal's ready answer).
TEST(Trans, TerminalTakesStartAndHostTakesReady) {
    LinkPair P;
    LinkPairConfig cfg;
    cfg.timeout = 45;
    cfg.escapes = "0x11 0x13 0x41";
    ASSERT_EQ(LinkPairInit(&P, &cfg), 0);
    FILE* termErr = std::tmpfile();
    P.term.errFile = termErr;
    Tap taps[2];
    for (int e = 0; e < 2; e++) {
        taps[e].inner = LinkPairEnd(&P, e)->io;
        LinkPairEnd(&P, e)->io = TapIo(&taps[e]);
    }
    LinkPairRun(&P, 500000);
    EXPECT_EQ(P.term.peer.version, 1);
    EXPECT_EQ(P.term.peer.level, 3);
    EXPECT_EQ(P.term.peer.timeout, 45);
    EXPECT_EQ(Bytes(P.term.config.escChars, P.term.config.escChars + P.term.config.escCount), (Bytes{0x11, 0x13, 0x41}));
    EXPECT_EQ(P.host.peer.version, 1);
    EXPECT_EQ(P.host.peer.level, 3);

    const Bytes content{0x01, 0x41, 0x93, 0x11, 0x7E, 0x20};
    for (int e = 0; e < 2; e++) {
        taps[e].out.clear();
        BufData* pool = e ? &P.termBufs : &P.hostBufs;
        lstAdd(LinkPairOut(&P, e), MakeMsg(pool, MSG_CONNECT, 5, content));
    }
    LinkPairRun(&P, 500000);
    for (int e = 0; e < 2; e++) {
        int frames = 0;
        EXPECT_TRUE(StuffedWithExactly(taps[e].out, {0x11, 0x13, 0x41}, &frames)) << e;
        EXPECT_GE(frames, 1) << e;
        ASSERT_EQ(lstCount(LinkPairIn(&P, 1 - e)), 1) << e;
        EXPECT_EQ(Content(lstFirstT<Buf>(LinkPairIn(&P, 1 - e))), content) << e;
    }

    // Silence: the terminal gives up after the host's 45 seconds (counted from the last frame it
    // took, at most a keep-alive interval before the silence began).
    SimLineAddOutage(&P.line, SimLineNow(&P.line), 120000000);
    int quietFor = 0;
    while (P.term.running && quietFor < 60) {
        LinkPairRun(&P, 1000000);
        quietFor++;
    }
    EXPECT_GE(quietFor, 43);
    EXPECT_LE(quietFor, 46);
    std::rewind(termErr);
    char text[256] = {};
    size_t n = std::fread(text, 1, sizeof text - 1, termErr);
    std::fclose(termErr);
    EXPECT_EQ(std::string(text, n), "serial connection timeout:\n   over 45 seconds without successful communication.\n");
    LinkPairDestroy(&P);
}

// The terminal end works at the lower of the two levels while it keeps the level the host
// announced: a terminal of level 1 asks for no window however short of buffers it runs.
TEST(Trans, TerminalWorksAtTheLowerLevel) {
    for (int level : {3, 1}) {
        LinkPair P;
        LinkPairConfig cfg;
        cfg.termLevel = level;
        ASSERT_EQ(LinkPairInit(&P, &cfg), 0);
        P.term.config.ourLevel = static_cast<uint8_t>(level);
        LinkPairRun(&P, 500000);
        EXPECT_EQ(P.term.peer.level, 3) << level;
        EXPECT_EQ(LinkAgreedLevel(&P.term), level);
        EXPECT_EQ(LinkAgreedLevel(&P.host), level);
        std::vector<Buf*> held;
        while (BufPoolCount(&P.termBufs) > 90) held.push_back(BufGet(&P.termBufs));
        LinkPairRun(&P, 500000);
        EXPECT_EQ(P.term.stats.extOut > 0, level >= 2) << level;
        for (Buf* b : held) BufFree(&P.termBufs, b);
        LinkPairDestroy(&P);
    }
}

// An escape list reads at the link as the relay reads its resource: quoted words, the form told by
// the first character's low 7 bits, a refused word left out, and a full list kept full.
TEST(Trans, EscapeListAsTheRelayReadsIt) {
    std::string many;
    for (int i = 0; i < 78; i++) many += "0x01 ";
    const struct {
        std::string text;
        int rc;
        Bytes chars;
    } cases[] = {
        {"0x11 '\\023' \xb0x41", 0, {0x11, 0x13, 0x41}},
        {"0x11 abc 0x1ff 0x1d", -1, {0x11, 0x1d}},
        {"", 0, {}},
        {many, -1, Bytes(76, 1)},
    };
    for (const auto& c : cases) {
        SoloEnd e;
        EXPECT_EQ(LinkParseEscChars(&e.link, c.text.c_str()), c.rc) << c.text;
        EXPECT_EQ(Bytes(e.link.config.escChars, e.link.config.escChars + e.link.config.escCount), c.chars) << c.text;
    }
}

TEST(Trans, FirstCompressedMessage) {
    Host h;
    h.Send(MSG_XDATA, 5, Bytes{'a', 'b', 'a', 'b'});
    auto sent = h.Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], (Bytes{0x02, 5 * 4 + 3, 0x61, 0xC4, 0x04, 0x04}));
}

TEST(Trans, MergeExampleAndSplit) {
    Host h;
    Lst l;
    lstInit(&l);
    Bytes a(40), b(40), c(40);
    for (int i = 0; i < 40; i++) a[i] = static_cast<uint8_t>(i), b[i] = static_cast<uint8_t>(100 + i), c[i] = static_cast<uint8_t>(200 + i);
    lstAdd(&l, MakeMsg(&h.pool, MSG_XDATA, 7, a));
    lstAdd(&l, MakeMsg(&h.pool, MSG_XDATA, 7, b));
    lstAdd(&l, MakeMsg(&h.pool, MSG_XDATA, 9, c));
    Buf* m = TransMergeBufs(&h.link, lstFirstT<Buf>(&l), &l);
    EXPECT_EQ(lstCount(&l), 1);
    EXPECT_EQ(m->type, MSG_XMERGED);
    EXPECT_EQ(m->clientId, 7);
    EXPECT_EQ(m->linkFlags, 9);
    Bytes want{0xA8};
    want.insert(want.end(), a.begin(), a.end());
    want.push_back(0xA8);
    want.insert(want.end(), b.begin(), b.end());
    want.push_back(0x49);
    want.push_back(0xA8);
    want.insert(want.end(), c.begin(), c.end());
    EXPECT_EQ(Content(m), want);
    EXPECT_EQ(want.size(), 124u);
    lstGet(&l);
    Lst out;
    lstInit(&out);
    EXPECT_EQ(TransUnmergeBufs(&h.link, m, &out), nullptr);
    std::vector<std::pair<int, Bytes>> split;
    while (Buf* p = lstGetT<Buf>(&out)) {
        EXPECT_EQ(p->type, MSG_XDATA);
        split.push_back({p->clientId, Content(p)});
        BufFree(&h.pool, p);
    }
    EXPECT_EQ(split, (std::vector<std::pair<int, Bytes>>{{7, a}, {7, b}, {9, c}}));
    BufFree(&h.pool, m);
}

TEST(Trans, MergeCachedPiecesAndLimits) {
    Host h;
    Bytes cached(32);
    for (int i = 0; i < 32; i++) cached[i] = static_cast<uint8_t>(0x50 + i);
    cached[1] = 15;
    Bytes oddCached = cached;
    oddCached[1] = 3;  // its second byte does not give its length: cannot be a piece
    Lst l;
    lstInit(&l);
    lstAdd(&l, MakeMsg(&h.pool, MSG_XDATA, 5, Bytes{1, 2}));
    lstAdd(&l, MakeMsg(&h.pool, MSG_XCACHED, 5, cached));
    lstAdd(&l, MakeMsg(&h.pool, MSG_XCACHED, 5, oddCached));
    Buf* m = TransMergeBufs(&h.link, lstFirstT<Buf>(&l), &l);
    EXPECT_EQ(lstCount(&l), 2);
    Bytes want{0x82, 1, 2, 15, 0x50};
    want.insert(want.end(), cached.begin() + 2, cached.end());
    EXPECT_EQ(Content(m), want);
    lstGet(&l);
    Lst out;
    lstInit(&out);
    TransUnmergeBufs(&h.link, m, &out);
    ASSERT_EQ(lstCount(&out), 2);
    Buf* second = lstLastT<Buf>(&out);
    EXPECT_EQ(second->type, MSG_XCACHED);
    EXPECT_EQ(Content(second), cached);
    BufListFree(&h.pool, &out);
    BufListFree(&h.pool, &l);
    BufFree(&h.pool, m);

    // File data is never merged, as head or as follower.
    for (bool headIsFile : {true, false}) {
        lstAdd(&l, MakeMsg(&h.pool, headIsFile ? MSG_FILEDATA : MSG_XDATA, headIsFile ? 0 : 5, Bytes{1}));
        lstAdd(&l, MakeMsg(&h.pool, headIsFile ? MSG_XDATA : MSG_FILEDATA, headIsFile ? 5 : 0, Bytes{2}));
        TransMergeBufs(&h.link, lstFirstT<Buf>(&l), &l);
        EXPECT_EQ(lstCount(&l), 2);
        EXPECT_NE(lstFirstT<Buf>(&l)->type, MSG_XMERGED);
        BufListFree(&h.pool, &l);
    }
}

// What is left of a client's stream buffer after a request was split off its front starts late in
// the buffer: short enough to merge, but without room behind it for the next message. It goes
// alone, and nothing is written past it.
TEST(Trans, MergeNeedsRoomBehindAHeadThatStartsLate) {
    Host h;
    Bytes a(40, 0x11), b(40, 0x22);
    for (int shift : {0, 180}) {
        Lst l;
        lstInit(&l);
        Buf* head = MakeMsg(&h.pool, MSG_XDATA, 7, a);
        std::memmove(head->start + shift, head->start, a.size());
        head->start += shift;
        head->end += shift;
        lstAdd(&l, head);
        lstAdd(&l, MakeMsg(&h.pool, MSG_XDATA, 7, b));
        TransMergeBufs(&h.link, head, &l);
        if (shift == 0) {
            EXPECT_EQ(lstCount(&l), 1);
            EXPECT_EQ(head->type, MSG_XMERGED);
        } else {
            ASSERT_EQ(lstCount(&l), 2);
            EXPECT_EQ(Content(head), a);
            EXPECT_EQ(Content(lstLastT<Buf>(&l)), b);
        }
        EXPECT_LE(head->end, head->Limit());
        BufListFree(&h.pool, &l);
    }
}

TEST(Trans, UnmergeRejectsBrokenContent) {
    Host h;
    FILE* err = std::tmpfile();
    h.link.errFile = err;
    for (Bytes content : {Bytes{0x82, 1, 2, 0x45, 0x46, 0x81, 9}, Bytes{0x85, 1, 2}, Bytes{0x05, 1}, Bytes{0x81, 1, 0x47}}) {
        Buf* m = MakeMsg(&h.pool, MSG_XMERGED, 5, content);
        Lst out;
        lstInit(&out);
        EXPECT_EQ(TransUnmergeBufs(&h.link, m, &out), nullptr);
        for (Buf* p = lstFirstT<Buf>(&out); p; p = p->next) EXPECT_LE(p->Len(), content.size());
        BufListFree(&h.pool, &out);
        BufFree(&h.pool, m);
    }
    std::fclose(err);
    EXPECT_EQ(BufPoolCount(&h.pool), NUM_POOL_BUFS - 3);  // the transport's spares and the start message
}

TEST(Trans, ExtendedCommandWithdrawal) {
    Host h;
    LinkEnd* L = &h.link;
    EXPECT_EQ(TransExtendedTransport(L, EXT_OPEN, 0, 0), 1);
    EXPECT_EQ(TransExtendedTransport(L, EXT_CLOSE, 0, 0), -1);
    EXPECT_EQ(lstCount(&L->trans.transExtWriteList), 0);
    EXPECT_EQ(TransExtendedTransport(L, EXT_CLOSE_CLIENT, 0, 7), 1);
    EXPECT_EQ(TransExtendedTransport(L, EXT_OPEN_CLIENT, 0, 8), 1);
    EXPECT_EQ(TransExtendedTransport(L, EXT_OPEN_CLIENT, 0, 7), -1);
    EXPECT_EQ(lstCount(&L->trans.transExtWriteList), 1);
    EXPECT_EQ(TransExtendedTransport(L, EXT_RECEIVED, 0, 0), 1);
    EXPECT_EQ(TransExtendedTransport(L, EXT_POLL, 0, 0), 1);
    EXPECT_EQ(lstCount(&L->trans.transExtWriteList), 2);
    BufListFree(&h.pool, &L->trans.transExtWriteList);

    // The window flag follows what the peer will see: a close queued and then withdrawn leaves it
    // open; an open queued after a sent close and then withdrawn leaves it closed, so that the open
    // is asked for again.
    TransCloseWindow(L);
    EXPECT_EQ(L->trans.transRecvWindowOpen, 0);
    TransOpenWindow(L);
    EXPECT_EQ(L->trans.transRecvWindowOpen, 1);
    EXPECT_EQ(lstCount(&L->trans.transExtWriteList), 0);
    std::vector<Buf*> held;
    while (BufPoolCount(&h.pool) > 95) held.push_back(BufGet(&h.pool));
    TransWrite(L, nullptr);  // a close goes out
    EXPECT_EQ(LastTypeAndContent(h), (Bytes{MSG_EXTTRANSPORT, EXT_CLOSE}));
    h.Free(held);
    TransOpenWindow(L);
    EXPECT_EQ(L->trans.transRecvWindowOpen, 1);
    TransCloseWindow(L);
    EXPECT_EQ(L->trans.transRecvWindowOpen, 0);
    EXPECT_EQ(lstCount(&L->trans.transExtWriteList), 0);
    TransWrite(L, nullptr);
    EXPECT_EQ(LastTypeAndContent(h), (Bytes{MSG_EXTTRANSPORT, EXT_OPEN}));
}

TEST(Trans, WindowByFreeBuffers) {
    Host h;
    std::vector<Buf*> held;
    while (BufPoolCount(&h.pool) > 96) held.push_back(BufGet(&h.pool));
    TransWrite(&h.link, nullptr);
    EXPECT_EQ(h.link.trans.transRecvWindowOpen, 1);
    held.push_back(BufGet(&h.pool));
    size_t before = h.Sent().size();
    TransWrite(&h.link, nullptr);
    TransWrite(&h.link, nullptr);
    EXPECT_EQ(h.link.trans.transRecvWindowOpen, 0);
    auto sent = h.Sent();
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(sent.back(), Pkt(0, 2, MSG_EXTTRANSPORT, {EXT_CLOSE}));
    h.Free(held);
    TransWrite(&h.link, nullptr);
    EXPECT_EQ(h.Sent().back(), Pkt(0, 3, MSG_EXTTRANSPORT, {EXT_OPEN}));
}

TEST(Trans, NinePacketsOutstandingAtMost) {
    Host h;
    Lst l;
    lstInit(&l);
    for (int i = 0; i < 20; i++) lstAdd(&l, MakeMsg(&h.pool, MSG_CONNECT, 5, Bytes(10, static_cast<uint8_t>(i))));
    TransWrite(&h.link, &l);
    EXPECT_EQ(h.Sent().size(), 9u);  // the start message and eight more
    EXPECT_EQ(lstCount(&h.link.trans.transWriteList), 9);
    TransEnsureTWLTransport(&h.link);  // a keep-alive still goes out; it takes the tenth number
    TransWrite(&h.link, &l);
    EXPECT_EQ(h.Sent().size(), 10u);
    // The terminal acknowledges the first four.
    h.Feed(EncodeFrame(Pkt(4, 1, MSG_TRANSPORT)));
    h.Read();
    TransWrite(&h.link, &l);
    EXPECT_EQ(h.Sent().size(), 13u);  // numbers up to first unacknowledged + 8
    BufListFree(&h.pool, &l);
}

// Timed resends 8, 16, 24 and 32 seconds apart, then every 32, the later ones after a received count.
TEST(Trans, TimedResends) {
    for (int level : {3, 1}) {
        Host h(0, level);
        h.Send(MSG_CONNECT, 5, Bytes{'h', 'i'});
        uint32_t t0 = h.clock.usec;
        std::vector<double> resends, counts;
        size_t seen = 0;
        while (h.clock.usec - t0 < 150000000u) {
            h.clock.usec += 26624;
            TransWrite(&h.link, nullptr);
            auto sent = h.Sent();
            for (; seen < sent.size(); seen++) {
                const Bytes& p = sent[seen];
                double at = (h.clock.usec - t0) / 1e6;
                if (p.size() > 5 && p[1] == MSG_REXMIT_HDR && p[4] == 2) resends.push_back(at);
                if (p.size() > 2 && p[1] == MSG_EXTTRANSPORT && p[2] == EXT_RECEIVED) counts.push_back(at);
            }
        }
        // Each expiry is seen at the next poll of the loop, up to one interval late.
        std::vector<double> gaps = {8, 16, 24, 32, 32, 32}, countAt = {3, 4, 5};
        if (level == 1) gaps.clear(), countAt.clear();
        ASSERT_EQ(resends.size(), gaps.size()) << level;
        for (size_t i = 0; i < gaps.size(); i++) {
            double gap = resends[i] - (i ? resends[i - 1] : 0);
            EXPECT_GE(gap, gaps[i]) << i;
            EXPECT_LT(gap, gaps[i] + 0.03) << i;
        }
        ASSERT_EQ(counts.size(), countAt.size());
        for (size_t i = 0; i < countAt.size(); i++) EXPECT_EQ(counts[i], resends[static_cast<size_t>(countAt[i])]);
    }
}

// A timed packet that the terminal also asked for and that then times out goes out once more.
TEST(Trans, RequestedAndTimedPacketIsSentOnce) {
    Host h;
    h.Send(MSG_CONNECT, 5, Bytes{1});
    Buf* req = MakeMsg(&h.pool, MSG_TRANSPORT, 0, Pkt(1, 1, MSG_TRANSPORT, {2}));
    TransHandleTransportPkt(&h.link, req);
    BufFree(&h.pool, req);
    EXPECT_EQ(h.link.trans.transWriteListWCount, 1);
    h.clock.usec += 8000001;
    TransCheckTimers(&h.link);
    EXPECT_EQ(h.link.trans.transWriteListWCount, 1);
    size_t before = h.Sent().size();
    TransWrite(&h.link, nullptr);
    auto sent = h.Sent();
    int resends = 0;
    for (size_t i = before; i < sent.size(); i++) resends += sent[i].size() > 5 && sent[i][1] == MSG_REXMIT_HDR && sent[i][4] == 2;
    EXPECT_EQ(resends, 1);
}

TEST(Trans, ReadCacheAndRequests) {
    Host h;
    h.Feed(EncodeFrame(Pkt(1, 3, 19, {3})));
    h.Feed(EncodeFrame(Pkt(1, 3, 19, {3})));
    EXPECT_TRUE(h.Read().empty());
    EXPECT_EQ(lstCount(&h.link.trans.transReadCacheList), 1);
    EXPECT_EQ(h.Sent().back(), Pkt(0, 2, MSG_TRANSPORT, {1, 2}));
    h.Feed(EncodeFrame(Pkt(1, 1, 19, {1})));
    h.Feed(EncodeFrame(Pkt(1, 2, 19, {2})));
    auto got = h.Read();
    ASSERT_EQ(got.size(), 3u);
    for (int i = 0; i < 3; i++) EXPECT_EQ(Content(got[static_cast<size_t>(i)]), Bytes{static_cast<uint8_t>(i + 1)});
    h.Free(got);
    // A resend of something already delivered is dropped without an answer.
    size_t before = h.io.out.size();
    h.Feed(EncodeFrame(RexmitPkt(1, 2, 19, {2})));
    EXPECT_TRUE(h.Read().empty());
    EXPECT_EQ(h.io.out.size(), before);
}

TEST(Trans, RequestedPacketIsResentInRetransmissionForm) {
    Host h;
    h.Send(MSG_CONNECT, 5, Bytes(256, 0x41));
    h.Feed(EncodeFrame(Pkt(1, 1, MSG_TRANSPORT, {2})));
    h.Read();
    auto sent = h.Sent();
    ASSERT_EQ(sent.size(), 3u);
    Bytes want = RexmitPkt(1, 2, 5 * 4 + 1, Bytes(256, 0x41));
    EXPECT_EQ(sent[2], want);
    EXPECT_LE(sent[2].size() + 2, static_cast<size_t>(FRAME_MAX_STORED));
}

TEST(Trans, AckEmptiesWriteListButUnsentTransport) {
    Host h;
    h.Send(MSG_CONNECT, 5, Bytes{1});
    h.Send(MSG_CONNECT, 5, Bytes{2});
    TransEnsureTWLTransport(&h.link);
    h.link.trans.transAnumRN = 4;
    TransUpdateACKs(&h.link);
    ASSERT_EQ(lstCount(&h.link.trans.transWriteList), 1);
    EXPECT_EQ(lstFirstT<Buf>(&h.link.trans.transWriteList)->type, MSG_TRANSPORT);
    EXPECT_EQ(h.link.trans.transWriteListWCount, 1);
}

TEST(Trans, ReceivedCountOnlyMovesForward) {
    Host h;
    for (int i = 0; i < 5; i++) h.Send(MSG_CONNECT, 5, Bytes{1});
    Bytes received = {EXT_RECEIVED, 4, 0, 0, 0};
    h.Feed(EncodeFrame(Pkt(0, 1, MSG_EXTTRANSPORT, received)));
    h.Read();
    EXPECT_EQ(h.link.trans.transAnumRN, 4u);
    EXPECT_EQ(h.link.trans.transAnumRn, 4);
    h.Feed(EncodeFrame(Pkt(4, 2, MSG_EXTTRANSPORT, {EXT_RECEIVED, 2, 0, 0, 0})));
    h.Feed(EncodeFrame(Pkt(4, 3, MSG_EXTTRANSPORT, {EXT_RECEIVED, 99, 0, 0, 0})));  // never sent
    h.Read();
    EXPECT_EQ(h.link.trans.transAnumRN, 4u);
}

// Extended commands act in sequence order, once.
TEST(Trans, ExtendedCommandsActInOrderOnce) {
    {
        Host h;
        h.Feed(EncodeFrame(Pkt(0, 1, MSG_EXTTRANSPORT, {EXT_CLOSE})));
        h.Feed(EncodeFrame(Pkt(0, 2, MSG_EXTTRANSPORT, {EXT_OPEN})));
        h.Feed(EncodeFrame(RexmitPkt(0, 1, MSG_EXTTRANSPORT, {EXT_CLOSE})));
        h.Feed(EncodeFrame(Pkt(0, 2, MSG_EXTTRANSPORT, {EXT_CLOSE_CLIENT, 9})));
        h.Read();
        EXPECT_EQ(TransIsSendWindowOpen(&h.link), 1);
        EXPECT_EQ(TransIsClientSendWindowOpen(&h.link, 9), 1);
    }
    {
        Host h;
        h.Feed(EncodeFrame(Pkt(0, 2, MSG_EXTTRANSPORT, {EXT_CLOSE})));
        h.Read();
        EXPECT_EQ(TransIsSendWindowOpen(&h.link), 1);
        h.Feed(EncodeFrame(Pkt(0, 1, 19)));
        auto got = h.Read();
        EXPECT_EQ(got.size(), 1u);
        h.Free(got);
        EXPECT_EQ(TransIsSendWindowOpen(&h.link), 0);
        // While closed, no new message goes out, but requests for missing packets are answered.
        size_t before = h.Sent().size();
        EXPECT_FALSE(h.Send(MSG_CONNECT, 5, Bytes{1}));
        EXPECT_EQ(h.Sent().size(), before);
        h.Feed(EncodeFrame(Pkt(0, 3, MSG_TRANSPORT, {1})));
        h.Read();
        EXPECT_EQ(h.Sent().back()[1], MSG_REXMIT_HDR);
    }
}

TEST(Trans, BadCallerMessagesAreRefused) {
    Host h;
    FILE* err = std::tmpfile();
    h.link.errFile = err;
    Lst l;
    lstInit(&l);
    lstAdd(&l, MakeMsg(&h.pool, MSG_REXMIT_HDR, 0, Bytes{1}));
    lstAdd(&l, MakeMsg(&h.pool, MSG_XDATA, 3, Bytes{1}));
    lstAdd(&l, MakeMsg(&h.pool, MSG_FILEOPEN, 9, Bytes{1}));
    lstAdd(&l, MakeMsg(&h.pool, MSG_CONNECT, 9, Bytes{7}));
    TransWrite(&h.link, &l);
    EXPECT_EQ(lstCount(&l), 0);
    auto sent = h.Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], Pkt(0, 2, 9 * 4 + 1, {7}));
    std::rewind(err);
    char text[256] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text - 1, err), 3 * std::strlen("LQx panic: TransWrite bad message type\n"));
    std::fclose(err);
}

// Incompressible data: no coded packet of the host exceeds what an older terminal can take back
// when resent, the terminal end cuts what its coder cannot fit, and the dictionaries stay in step.
TEST(Trans, IncompressibleMessagesKeepDictionariesInStep) {
    std::mt19937 rng(11);
    for (int end = 0; end < 2; end++) {
        SoloEnd e(end ? LINK_TERMINAL : LINK_HOST, 30);
        ASSERT_EQ(e.Start(), 0);
        LzwData peer{};
        ASSERT_EQ(TransCompressInit(&peer), 0);
        BufData scratch{};
        BufInit(&scratch);
        Bytes sentStream, gotStream;
        int peerSeq = 0;
        for (int i = 0; i < 60; i++) {
            Bytes m(i % 3 == 2 ? 40 : 256);
            for (auto& c : m) c = i % 3 == 2 ? static_cast<uint8_t>('a' + i % 4) : static_cast<uint8_t>(rng());
            sentStream.insert(sentStream.end(), m.begin(), m.end());
            Lst l;
            lstInit(&l);
            lstAdd(&l, MakeMsg(&e.pool, MSG_XDATA, 5, m));
            while (lstCount(&l)) {
                TransWrite(&e.link, &l);
                // The peer acknowledges everything so far.
                e.Feed(EncodeFrame(Pkt(static_cast<int>(e.link.trans.transSnumWN), ++peerSeq, MSG_TRANSPORT)));
                Lst in;
                lstInit(&in);
                TransRead(&e.link, &in);
            }
        }
        int pieces = 0;
        for (const Bytes& p : e.Sent()) {
            if (p.size() < 2 || p[1] != 5 * 4 + 3) continue;
            if (end == 0) {
                EXPECT_LE(p.size() + 2 + 4, static_cast<size_t>(LINK_LEGACY_FRAME));
            }
            Buf* in = MakeMsg(&scratch, 0, 0, Bytes(p.begin() + 2, p.end()));
            Buf* out = BufGet(&scratch);
            ASSERT_EQ(TransUncompress(&peer, in, out), 0);
            gotStream.insert(gotStream.end(), out->start, out->end);
            BufFree(&scratch, in);
            BufFree(&scratch, out);
            pieces++;
        }
        EXPECT_EQ(gotStream, sentStream) << end;
        EXPECT_GT(pieces, 60);
        EXPECT_GT(e.link.stats.splits, 0u);
        TransCompressFree(&peer);
        BufDestroy(&scratch);
    }
}

struct SilenceCase {
    uint32_t length;  // seconds of silence
    bool endsLink;
};

TEST(Trans, SilenceAndReadTimeout) {
    for (SilenceCase c : {SilenceCase{20, false}, SilenceCase{40, true}}) {
        LinkPair P;
        LinkPairConfig cfg;
        cfg.timeout = 30;
        cfg.line.rate = 9600;
        FILE* err = std::tmpfile();
        cfg.errFile = err;
        ASSERT_EQ(LinkPairInit(&P, &cfg), 0);
        FILE* termErr = std::tmpfile();
        P.term.errFile = termErr;
        SimLineAddOutage(&P.line, 2000000, static_cast<uint64_t>(c.length) * 1000000);
        LinkPairRun(&P, 1000000);
        lstAdd(&P.hostOut, MakeMsg(&P.hostBufs, MSG_CONNECT, 5, Bytes{1, 2, 3}));
        LinkPairRun(&P, 1500000);
        lstAdd(&P.hostOut, MakeMsg(&P.hostBufs, MSG_CONNECT, 5, Bytes{4, 5, 6}));
        LinkPairRun(&P, 60000000);
        std::rewind(err);
        char text[256] = {};
        size_t n = std::fread(text, 1, sizeof text - 1, err);
        std::fclose(err);
        std::fclose(termErr);
        if (c.endsLink) {
            EXPECT_EQ(P.host.running, 0);
            EXPECT_EQ(std::string(text, n),
                      "serial connection timeout:\n   over 30 seconds without successful communication.\n");
        } else {
            EXPECT_EQ(P.host.running, 1);
            EXPECT_EQ(n, 0u);
            EXPECT_EQ(lstCount(&P.termIn), 2);
        }
        LinkPairDestroy(&P);
    }
}

}  // namespace

namespace {

TEST(Trans, PerClientWindows) {
    LinkPair P;
    LinkPairConfig cfg;
    ASSERT_EQ(LinkPairInit(&P, &cfg), 0);
    LinkPairRun(&P, 500000);
    TransClientCloseWindow(&P.host, 7);
    TransClientCloseWindow(&P.host, 9);
    TransClientOpenWindow(&P.host, 9);  // withdraws the unsent close
    EXPECT_EQ(TransIsClientRecvWindowOpen(&P.host, 7), 0);
    EXPECT_EQ(TransIsClientRecvWindowOpen(&P.host, 9), 1);
    LinkPairRun(&P, 500000);
    EXPECT_EQ(TransIsClientSendWindowOpen(&P.term, 7), 0);
    EXPECT_EQ(TransIsClientSendWindowOpen(&P.term, 9), 1);
    TransClientOpenWindow(&P.host, 7);
    LinkPairRun(&P, 500000);
    EXPECT_EQ(TransIsClientSendWindowOpen(&P.term, 7), 1);
    LinkPairDestroy(&P);
}

// Both ends over a real non-blocking descriptor pair; the other end closing is seen as the end of
// the line.
TEST(Trans, DescriptorLine) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    for (int fd : fds) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    VirtualClock clock{1000};
    BufData pools[2] = {};
    LinkEnd* ends = new LinkEnd[2];
    Lst in[2], out[2];
    int down = 0;
    for (int e = 0; e < 2; e++) {
        BufInit(&pools[e]);
        LinkSetDefaults(&ends[e], e ? LINK_TERMINAL : LINK_HOST, &pools[e], clock.AsClock());
        LinkUseFd(&ends[e], fds[e]);
        lstInit(&in[e]);
        lstInit(&out[e]);
        ASSERT_EQ(TransInit(&ends[e]), 0);
        ASSERT_EQ(TransStart(&ends[e]), 0);
    }
    ends[0].shutdownHook = [](void* c) { return ++*static_cast<int*>(c); };
    ends[0].shutdownCtx = &down;
    for (int i = 0; i < 50; i++) lstAdd(&out[1], MakeMsg(&pools[1], MSG_XDATA, 9, Bytes(static_cast<size_t>(i * 5), 'q')));
    int got = 0;
    for (int step = 0; step < 400 && got < 50; step++) {
        clock.usec += 1000;
        for (int e = 0; e < 2; e++) {
            TransRead(&ends[e], &in[e]);
            TransWrite(&ends[e], &out[e]);
        }
        while (Buf* b = lstGetT<Buf>(&in[0])) {
            if (b->type == MSG_XDATA) {
                EXPECT_EQ(Content(b), Bytes(static_cast<size_t>(got * 5), 'q'));
                got++;
            }
            BufFree(&pools[0], b);
        }
    }
    EXPECT_EQ(got, 50);
    close(fds[1]);
    TransRead(&ends[0], &in[0]);
    EXPECT_EQ(down, 1);
    EXPECT_EQ(ends[0].lineDown, 1);
    close(fds[0]);
    for (int e = 0; e < 2; e++) {
        BufListFree(&pools[e], &in[e]);
        BufListFree(&pools[e], &out[e]);
        LinkDestroy(&ends[e]);
        BufDestroy(&pools[e]);
    }
    delete[] ends;
}

// A raw terminal line that reads 0 bytes when idle is not taken for a line that has ended; a hung
// up one is.
TEST(Trans, TerminalLineIdleAndHungUp) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    termios tio;
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &tio);
    SoloEnd e(LINK_HOST);
    LinkUseFd(&e.link, slave);
    ASSERT_EQ(TransInit(&e.link), 0);
    EXPECT_EQ(FrameRead(&e.link), nullptr);
    EXPECT_EQ(e.link.lineDown, 0);
    close(master);
    EXPECT_EQ(FrameRead(&e.link), nullptr);
    EXPECT_EQ(e.link.lineDown, 1);
    close(slave);
}

// The receiving end runs out of buffers in the middle of splitting a merged message: the split
// stops, resumes when buffers come back, and nothing is lost, duplicated or reordered.
TEST(Trans, SplitResumesWhenBuffersRunOut) {
    LinkPair P;
    LinkPairConfig cfg;
    ASSERT_EQ(LinkPairInit(&P, &cfg), 0);
    LinkPairRun(&P, 500000);
    std::vector<std::pair<int, Bytes>> sent;
    for (int i = 0; i < 24; i++) {
        Bytes m(10, static_cast<uint8_t>(i));
        uint8_t client = static_cast<uint8_t>(5 + i % 3);
        lstAdd(&P.termOut, MakeMsg(&P.termBufs, MSG_XDATA, client, m));
        sent.push_back({client, m});
    }
    LinkPairPass(&P, 1);  // the merged messages are on the line before the host runs short
    std::vector<Buf*> held;
    while (BufPoolCount(&P.hostBufs) > 4) held.push_back(BufGet(&P.hostBufs));
    LinkPairRun(&P, 200000);
    EXPECT_NE(P.host.trans.pSavedMerged, nullptr);
    std::vector<std::pair<int, Bytes>> got;
    auto drain = [&] {
        while (Buf* b = lstGetT<Buf>(&P.hostIn)) {
            EXPECT_EQ(b->type, MSG_XDATA);
            got.push_back({b->clientId, Content(b)});
            BufFree(&P.hostBufs, b);
        }
    };
    drain();
    for (Buf* b : held) BufFree(&P.hostBufs, b);
    LinkPairRun(&P, 3000000);
    drain();
    EXPECT_EQ(got, sent);
    LinkPairDestroy(&P);
}

}  // namespace
