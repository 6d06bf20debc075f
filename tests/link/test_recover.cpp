// Faster loss recovery (LINKEXT_RECOVER): the link controls a receiver and a sender exchange, what
// each end does on them, and delivery when controls themselves are lost.
#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "relay/link/linkext.h"
#include "relay/link/linkpair.h"
#include "relay/link/transpriv.h"
#include "tests/link/linktest.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pkt(int ack, int seq, uint8_t typeByte, const Bytes& content = {}) {
    Bytes p(2);
    p[0] = static_cast<uint8_t>(((ack & 0xF) << 4) | (seq & 0xF));
    p[1] = typeByte;
    for (uint8_t c : content) p.push_back(c);
    return p;
}

// A control as the other end writes it, with the given acknowledgement nibble and content.
Bytes Control(int ack, const Bytes& content) {
    Bytes p(REC_CONTROL_HDR);
    p[0] = static_cast<uint8_t>((ack & 0xF) << 4);
    p[1] = p[5] = MSG_REXMIT_HDR;
    for (uint8_t c : content) p.push_back(c);
    return p;
}

Bytes StateOf(uint8_t flags, uint16_t count, uint16_t held, uint16_t waitMs = 0, uint16_t byteTime = 87) {
    Bytes c(10);
    c[0] = REC_STATE;
    c[1] = flags;
    c[2] = static_cast<uint8_t>(count), c[3] = static_cast<uint8_t>(count >> 8);
    c[4] = static_cast<uint8_t>(held), c[5] = static_cast<uint8_t>(held >> 8);
    c[6] = static_cast<uint8_t>(waitMs), c[7] = static_cast<uint8_t>(waitMs >> 8);
    c[8] = static_cast<uint8_t>(byteTime), c[9] = static_cast<uint8_t>(byteTime >> 8);
    return c;
}

bool IsControl(const Bytes& p) { return p.size() > REC_CONTROL_HDR && p[1] == MSG_REXMIT_HDR && p[5] == MSG_REXMIT_HDR; }

struct State {
    uint8_t flags;
    uint16_t count, held;
};

std::vector<State> StatesIn(const std::vector<Bytes>& pkts) {
    std::vector<State> v;
    for (const Bytes& p : pkts)
        if (IsControl(p) && p.size() >= REC_CONTROL_HDR + 10 && p[6] == REC_STATE)
            v.push_back({p[7], static_cast<uint16_t>(p[8] | (p[9] << 8)), static_cast<uint16_t>(p[10] | (p[11] << 8))});
    return v;
}

// Sequence numbers of the packets resent in the retransmission form.
std::vector<uint32_t> ResendsIn(const std::vector<Bytes>& pkts) {
    std::vector<uint32_t> v;
    for (const Bytes& p : pkts)
        if (p.size() > 5 && p[1] == MSG_REXMIT_HDR && !IsControl(p)) v.push_back((p[2] << 16) | (p[3] << 8) | p[4]);
    return v;
}

// A host end past its start and the terminal's ready message, with recovery agreed or not.
struct Host : SoloEnd {
    explicit Host(bool recover) : SoloEnd(LINK_HOST, 0) {
        link.config.displayName = "unix:1.0";
        EXPECT_EQ(Start(), 0);
        LinkSetRemoteVersion(&link, 'B', 1, 3);
        if (recover) link.extOut = link.extIn = LINKEXT_RECOVER;
    }
    size_t Read() {
        Lst in;
        lstInit(&in);
        TransRead(&link, &in);
        size_t n = lstCount(&in);
        BufListFree(&pool, &in);
        return n;
    }
    void Send(const Bytes& content) {
        Lst l;
        lstInit(&l);
        lstAdd(&l, MakeMsg(&pool, MSG_XDATA, 5, content));
        TransWrite(&link, &l);
        EXPECT_EQ(lstCount(&l), 0);
        BufListFree(&pool, &l);
    }
    std::vector<Bytes> SentSince(size_t from) {
        auto all = Sent();
        return std::vector<Bytes>(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
    }
};

Bytes Damaged(Bytes frame) {
    frame[1] ^= 0x01;
    return frame;
}

// What a receiver says, and when, for each way it can notice a loss; without the extension it
// answers as the base protocol does and writes no control.
TEST(Recover, ReceiverReportsLossesAtOnce) {
    struct Case {
        const char* name;
        std::vector<Bytes> frames;  // line bytes fed, one read each
        uint16_t count, held;
        uint8_t flags;
    };
    const std::vector<Case> cases = {
        {"a gap", {EncodeFrame(Pkt(1, 2, 19, {2}))}, 0, 0x0002, 0},
        {"a damaged frame", {Damaged(EncodeFrame(Pkt(1, 1, 19, {1})))}, 0, 0, 0},
        {"a frame cut short", {Bytes{0x41, 0x7E}}, 0, 0, 0},
        {"a duplicate", {EncodeFrame(Pkt(1, 1, 19, {1})), EncodeFrame(Pkt(1, 1, 19, {1}))}, 1, 0, 0},
        {"gaps around held packets", {EncodeFrame(Pkt(1, 3, 19, {3})), EncodeFrame(Pkt(1, 5, 19, {5}))}, 0, 0x0014, 0},
        {"a probe", {EncodeFrame(Control(1, {REC_PROBE}))}, 0, 0, REC_STATE_ANSWER},
    };
    for (const Case& c : cases) {
        for (bool recover : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (recover ? " (agreed)" : " (base)"));
            Host h(recover);
            uint32_t wn = h.link.trans.transSnumWN;
            size_t from = h.Sent().size();
            for (const Bytes& f : c.frames) {
                h.Feed(f);
                h.Read();
            }
            auto sent = h.SentSince(from);
            auto states = StatesIn(sent);
            if (!recover) {
                for (const Bytes& p : sent) EXPECT_FALSE(IsControl(p));
                continue;
            }
            ASSERT_FALSE(states.empty());
            const State& s = states.back();
            EXPECT_EQ(s.count, c.count);
            EXPECT_EQ(s.held, c.held);
            EXPECT_EQ(s.flags, c.flags);
            // Controls take no sequence number, and no numbered request goes with them.
            EXPECT_EQ(h.link.trans.transSnumWN, wn);
            for (const Bytes& p : sent) EXPECT_FALSE(p.size() > 2 && p[1] == MSG_TRANSPORT);
        }
    }
}

// A state report: what it acknowledges is released; a packet below the highest one held that
// went out once is resent at once; anything else only once it must have arrived before the report.
TEST(Recover, SenderResendsWhatAReportLacks) {
    Host h(true);
    for (uint8_t i = 0; i < 4; i++) h.Send(Bytes(20, i));  // packets 2 to 5 (1 is the start)
    size_t from = h.Sent().size();
    h.Feed(EncodeFrame(Control(2, StateOf(0, 2, 0x0002))));  // holds 4, lacks 3 and 5
    h.Read();
    EXPECT_EQ(h.link.trans.transAnumRN, 2u);
    EXPECT_EQ(ResendsIn(h.SentSince(from)), (std::vector<uint32_t>{3}));

    // The same report again at once: 3 is on its way again and 5 may still be.
    from = h.Sent().size();
    h.Feed(EncodeFrame(Control(2, StateOf(0, 2, 0x0002))));
    h.Read();
    EXPECT_TRUE(ResendsIn(h.SentSince(from)).empty());

    // A second later both must have arrived. The timer has resent the oldest by then; a report
    // that waited long in the other end's output (as it says) may still be older than the resend.
    h.clock.usec += 1000000;
    TransWrite(&h.link, nullptr);
    EXPECT_EQ(h.link.stats.recTimed, 1u);
    from = h.Sent().size();
    h.Feed(EncodeFrame(Control(2, StateOf(0, 2, 0x0002, 5000))));
    h.Read();
    EXPECT_TRUE(ResendsIn(h.SentSince(from)).empty());
    h.clock.usec += 100000;
    h.Feed(EncodeFrame(Control(2, StateOf(0, 2, 0x0002))));
    h.Read();
    EXPECT_EQ(ResendsIn(h.SentSince(from)), (std::vector<uint32_t>{3, 5}));
    EXPECT_EQ(h.link.stats.recRequested, 3u);

    // A report of everything releases the write list.
    h.Feed(EncodeFrame(Control(5, StateOf(0, 5, 0))));
    h.Read();
    EXPECT_EQ(lstCount(&h.link.trans.transWriteList), 0);
}

// A tail that nobody acknowledges: probes first, then timed resends with a growing interval that
// stays within 8 s; an answer to a probe stops both.
TEST(Recover, TailIsProbedThenResentWithBackOff) {
    Host h(true);
    h.Send(Bytes(40, 7));  // packet 2
    uint32_t t0 = h.clock.usec;
    std::vector<double> probes, resends;
    size_t seen = h.Sent().size();
    auto run = [&](double seconds) {
        uint32_t until = h.clock.usec + static_cast<uint32_t>(seconds * 1e6);
        while (static_cast<int32_t>(h.clock.usec - until) < 0) {
            h.clock.usec += TRANS_TIMEOUT_USEC;
            TransWrite(&h.link, nullptr);
            auto sent = h.Sent();
            for (; seen < sent.size(); seen++) {
                double at = (h.clock.usec - t0) / 1e6;
                if (IsControl(sent[seen]) && sent[seen][6] == REC_PROBE) probes.push_back(at);
                if (!ResendsIn({sent[seen]}).empty()) resends.push_back(at);
            }
        }
    };
    run(40);
    ASSERT_GE(probes.size(), 2u);
    ASSERT_GE(resends.size(), 4u);
    EXPECT_LT(probes[0], resends[0]);
    EXPECT_LT(resends[0], 8.0);  // sooner than the base protocol's first timed resend
    for (size_t i = 2; i < resends.size(); i++) {
        double gap = resends[i] - resends[i - 1], before = resends[i - 1] - resends[i - 2];
        EXPECT_GE(gap + 0.03, before) << i;
        EXPECT_LT(gap, 8.0 + 0.06) << i;
    }
    EXPECT_EQ(h.link.stats.recTimed, resends.size());

    h.Feed(EncodeFrame(Control(2, StateOf(REC_STATE_ANSWER, 2, 0))));
    h.Read();
    probes.clear(), resends.clear();
    run(30);
    EXPECT_TRUE(probes.empty());
    EXPECT_TRUE(resends.empty());
}

// Controls that are cut short or unknown change nothing, and are never delivered.
TEST(Recover, MalformedControlsChangeNothing) {
    Bytes cut = StateOf(0, 1, 0xFFFF);
    cut.pop_back();
    const std::vector<Bytes> odd = {
        Control(0, {REC_STATE}),
        Control(0, cut),
        Control(0, {0}),
        Control(0, {0xFF, 1, 2, 3}),
        Control(0, StateOf(0xFF, 0x8000, 0xFFFF, 0xFFFF, 0xFFFF)),  // far behind: no count, no resend
    };
    for (const Bytes& c : odd) {
        Host h(true);
        h.Send(Bytes(10, 1));
        size_t from = h.Sent().size();
        h.Feed(EncodeFrame(c));
        EXPECT_EQ(h.Read(), 0u);
        EXPECT_EQ(h.link.trans.transAnumRN, 0u);
        EXPECT_EQ(lstCount(&h.link.trans.transReadCacheList), 0);
        EXPECT_TRUE(ResendsIn(h.SentSince(from)).empty());
    }
}

// ---- both ends, with controls and other packets lost on purpose ---------------------------------

// Passes an end's frames to the line, dropping those the predicate picks.
struct FrameFilter {
    LinkIo inner;
    Bytes cur;
    std::deque<uint8_t> out;
    std::function<bool(const Bytes&)> drop;
    uint64_t dropped = 0;

    void Flush() {
        while (!out.empty()) {
            uint8_t chunk[512];
            int n = 0;
            while (n < static_cast<int>(sizeof chunk) && n < static_cast<int>(out.size())) chunk[n] = out[static_cast<size_t>(n)], n++;
            int k = inner.write(inner.ctx, chunk, n);
            if (k <= 0) return;
            out.erase(out.begin(), out.begin() + k);
        }
    }
    static int Write(void* ctx, const uint8_t* p, int n) {
        FrameFilter* f = static_cast<FrameFilter*>(ctx);
        for (int i = 0; i < n; i++) {
            f->cur.push_back(p[i]);
            if (p[i] != 0x7E) continue;
            auto pkts = DecodeFrames(f->cur);
            if (pkts.size() == 1 && f->drop(pkts[0])) {
                f->dropped++;
            } else {
                f->out.insert(f->out.end(), f->cur.begin(), f->cur.end());
            }
            f->cur.clear();
        }
        f->Flush();
        return n;
    }
    LinkIo Io() {
        return LinkIo{[](void* c, uint8_t* p, int n) {
                          FrameFilter* f = static_cast<FrameFilter*>(c);
                          return f->inner.read(f->inner.ctx, p, n);
                      },
                      Write,
                      [](void* c) {
                          FrameFilter* f = static_cast<FrameFilter*>(c);
                          return f->inner.pending(f->inner.ctx);
                      },
                      this};
    }
};

struct FilteredRun {
    LinkPair pair;
    MsgGen gen{42};
    DeliveryCheck check[2];
    uint64_t toSend[2];
    FrameFilter* filters[2];
    bool hold = false;  // the terminal keeps what it receives for half of every second
};

bool FilteredDrive(LinkPair* P, void* ctx) {
    FilteredRun* R = static_cast<FilteredRun*>(ctx);
    for (int e = 0; e < 2; e++) {
        R->filters[e]->Flush();
        Lst* in = LinkPairIn(P, e);
        BufData* pool = e ? &P->termBufs : &P->hostBufs;
        // Held buffers leave the terminal's pool short, so that it closes the host's window.
        bool hold = e == 1 && R->hold && R->toSend[0] > 0 && P->vclock.usec % 1000000 < 500000;
        while (Buf* b = hold ? nullptr : lstGetT<Buf>(in)) {
            R->check[1 - e].Take(b);
            BufFree(pool, b);
        }
        if (!LinkEarlierVersion(LinkPairEnd(P, 0), 1, 2)) TopUpStream(pool, LinkPairOut(P, e), &R->gen, &R->check[e], &R->toSend[e]);
    }
    return StreamDone(R->check, R->toSend);
}

// Every kind of control, and the numbered packets of the base that recovery relies on, lost in
// both directions (each fourth data packet is lost too, so that there is something to repair).
TEST(Recover, LossOfEachKindOfControl) {
    struct Case {
        const char* name;
        std::function<bool(const Bytes&)> kind;
        bool hold;
    };
    auto isData = [](const Bytes& p) { return p.size() > 2 && p[1] >= 20 && !IsControl(p); };
    const std::vector<Case> cases = {
        {"state reports", [](const Bytes& p) { return IsControl(p) && p[6] == REC_STATE; }, false},
        {"probes", [](const Bytes& p) { return IsControl(p) && p[6] == REC_PROBE; }, false},
        {"acknowledgements", [](const Bytes& p) { return p.size() >= 2 && (p[1] == MSG_TRANSPORT || (p.size() > 5 && p[5] == MSG_TRANSPORT)); }, false},
        {"window commands", [](const Bytes& p) {
             size_t at = p.size() > 5 && p[1] == MSG_REXMIT_HDR ? 6 : 2;
             return p.size() > at && p[at - 1] == MSG_EXTTRANSPORT && (p[at] == EXT_OPEN || p[at] == EXT_CLOSE);
         }, true},
        {"resends", [](const Bytes& p) { return p.size() > 5 && p[1] == MSG_REXMIT_HDR && !IsControl(p); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FilteredRun R;
        R.toSend[0] = R.toSend[1] = 400;
        R.hold = c.hold;
        LinkPairConfig cfg;
        cfg.line.rate = 38400;
        cfg.line.latency = 20000;
        cfg.ext = LINKEXT_RECOVER;
        ASSERT_EQ(LinkPairInit(&R.pair, &cfg), 0);
        uint64_t kindDropped[2] = {0, 0};
        FrameFilter filters[2];
        for (int e = 0; e < 2; e++) {
            LinkEnd* L = LinkPairEnd(&R.pair, e);
            filters[e].inner = L->io;
            uint64_t* mine = &kindDropped[e];
            uint64_t data = 0;
            filters[e].drop = [&, mine, data](const Bytes& p) mutable {
                if (c.kind(p)) return (*mine)++ < 6 || (*mine % 3) == 0;
                return isData(p) && (++data % 4) == 0;
            };
            L->io = filters[e].Io();
            R.filters[e] = &filters[e];
        }
        LinkPairRun(&R.pair, 3600u * 1000000u, FilteredDrive, &R);
        EXPECT_EQ(R.check[0].error, "");
        EXPECT_EQ(R.check[1].error, "");
        EXPECT_EQ(R.check[0].delivered, 400u);
        EXPECT_EQ(R.check[1].delivered, 400u);
        EXPECT_GT(kindDropped[0] + kindDropped[1], 0u) << "nothing of the kind was sent";
        for (const LinkEnd* L : {&R.pair.host, &R.pair.term}) {
            EXPECT_EQ(L->running, 1);
            EXPECT_EQ(L->extIn & L->extOut & LINKEXT_RECOVER, LINKEXT_RECOVER);
        }
        LinkPairDestroy(&R.pair);
    }
}

}  // namespace

namespace {

struct PlainRun {
    MsgGen gen{7};
    DeliveryCheck check[2];
    uint64_t toSend[2];
};

bool PlainDrive(LinkPair* P, void* ctx) {
    PlainRun* R = static_cast<PlainRun*>(ctx);
    for (int e = 0; e < 2; e++) {
        BufData* pool = e ? &P->termBufs : &P->hostBufs;
        while (Buf* b = lstGetT<Buf>(LinkPairIn(P, e))) {
            R->check[1 - e].Take(b);
            BufFree(pool, b);
        }
        TopUpStream(pool, LinkPairOut(P, e), &R->gen, &R->check[e], &R->toSend[e]);
    }
    return StreamDone(R->check, R->toSend);
}

// Each end measures the line's rate on what it receives, whatever the rate, and the pacing that
// rests on it keeps the line busy: a bulk exchange takes little more than its bytes' line time.
// That holds too when an end starts out told a far slower rate (as a first estimate made across
// pauses would tell it): acknowledgements show the line is free, and the other end's measure follows.
TEST(Recover, LineRateIsMeasuredAndKeepsTheLineBusy) {
    struct Case {
        uint32_t rate, toldRate;  // toldRate: what both ends are told of their own output first; 0 = nothing
    };
    for (Case c : {Case{2400, 0}, Case{9600, 0}, Case{38400, 0}, Case{115200, 0}, Case{115200, 2400}, Case{38400, 1200}}) {
        SCOPED_TRACE(testing::Message() << c.rate << " told " << c.toldRate);
        PlainRun R;
        R.toSend[0] = R.toSend[1] = 300;
        LinkPair pair;
        LinkPairConfig cfg;
        cfg.line.rate = c.rate;
        cfg.line.latency = 20000;
        cfg.ext = LINKEXT_RECOVER;
        ASSERT_EQ(LinkPairInit(&pair, &cfg), 0);
        if (c.toldRate)
            for (LinkEnd* L : {&pair.host, &pair.term}) L->trans.transRecPeerByteNs = static_cast<uint32_t>(1e10 / c.toldRate);
        uint32_t start = pair.vclock.usec;
        LinkPairRun(&pair, 3600u * 1000000u, PlainDrive, &R);
        EXPECT_EQ(R.check[0].delivered, 300u);
        EXPECT_EQ(R.check[1].delivered, 300u);
        double lineUs = 0;
        for (const LinkEnd* L : {&pair.host, &pair.term}) {
            double trueNs = 1e10 / c.rate;
            EXPECT_GT(L->trans.transRecByteNs, trueNs * 0.9);
            EXPECT_LT(L->trans.transRecByteNs, trueNs * 1.1);
            EXPECT_GT(L->trans.transRecPeerByteNs, trueNs * 0.9);
            EXPECT_LT(L->trans.transRecPeerByteNs, trueNs * 1.1);
            lineUs = std::max(lineUs, static_cast<double>(L->stats.frameBytesOut) * 1e7 / c.rate);
        }
        EXPECT_LT(pair.vclock.usec - start, lineUs * 1.2 + 500000);
        LinkPairDestroy(&pair);
    }
}

}  // namespace
