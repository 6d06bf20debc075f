// Faster loss recovery between our own two ends (LINKEXT_RECOVER).
//
// The base transport learns of a loss only when a later packet shows the gap, and finds a lost last
// packet (or a lost request for one) by a timer of 8 seconds and more. Once both ends have agreed,
// the receiving side answers every damaged frame, new gap and duplicate at once with a state report
// (REC_STATE: its in-order count and which later packets it holds), and the sending side probes
// (REC_PROBE) when the tail of what it sent stays unacknowledged, so that a lost tail is found in
// about one round trip. Both are link controls: unnumbered frames, so a lost one leaves no gap to
// repair. The timed resend runs on an interval derived from the measured round trip and line rate,
// doubling while nothing comes back.
//
// A state report cannot name a frame whose damage hid its number, so the sender resends every
// packet the report does not hold that must have reached the other end before the report was made:
// one that left the line at least a round trip ago, less the time the report itself waited in the
// other end's output (which the report states). Departures are estimated from the bytes written and
// the line time of a byte, which each end measures on the frames it receives (the two directions
// of a serial line run at one rate).
#include <cstring>

#include "relay/link/linkext.h"
#include "relay/link/transpriv.h"

namespace {

constexpr uint32_t kDefaultByteNs = 1041667;      // 9600 bit/s until a frame has been measured
constexpr uint32_t kFullFrame = 272;              // line bytes of a full frame without stuffing
constexpr uint32_t kRtoFloor = 250000;            // the timed resend never comes sooner
constexpr uint32_t kRtoCap = 8000000;             // nor later, once backed off
constexpr uint32_t kDeafAfter = 30000000;         // heard nothing for this long: probe slowly
constexpr uint32_t kDeafProbe = 2000000;
constexpr uint32_t kSampleEvery = 10000000;       // a busy link measures its round trip this often
constexpr uint32_t kPaceFloor = TRANS_TIMEOUT_USEC * 3 / 2;
constexpr uint32_t kSameRead = 500;                // frames closer than this were read together
constexpr size_t kStateLen = 10;  // subtype, flags, count (2), held (2), wait (2), byte time (2)
// What this end may have written and not yet seen leave: the window's frames and a few controls.
// The estimate of when the line is free is held within it, so a rate learnt late (the first
// frames are timed at 9600 bit/s) cannot leave it far ahead of the line.
constexpr uint32_t kMostQueued = 12 * kFullFrame;

inline bool SeqLE(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) <= 0; }
inline bool Before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }
inline uint32_t Later(uint32_t a, uint32_t b) { return Before(a, b) ? b : a; }

uint32_t Now(LinkEnd* L) { return GetTime(&L->clock); }

// Line time of a byte as measured on what arrives, and of one this end sends: as the other end
// measures it, else as our direction shows it.
uint32_t InNs(const TransData* t) { return t->transRecByteNs ? t->transRecByteNs : kDefaultByteNs; }
uint32_t OutNs(const TransData* t) { return t->transRecPeerByteNs ? t->transRecPeerByteNs : InNs(t); }

uint32_t LineUs(const TransData* t, uint64_t bytes) { return static_cast<uint32_t>(bytes * OutNs(t) / 1000); }

// The round trip of a small control: measured, or a guess of two full frames until then.
uint32_t Rtt(const TransData* t) {
    if (t->transRecSrtt) return t->transRecSrtt;
    if (t->transRecRttMin) return t->transRecRttMin;
    return 2 * LineUs(t, kFullFrame);
}

// How long the tail may go unacknowledged before a probe: a round trip, its spread, half a frame
// that the answer may wait behind, and two main-loop intervals at both ends.
uint32_t ProbeUs(const TransData* t) {
    return Rtt(t) + 4 * t->transRecRttVar + LineUs(t, kFullFrame) / 2 + 2 * TRANS_TIMEOUT_USEC;
}

uint32_t RexmitUs(const TransData* t) {
    uint64_t r = 2ull * ProbeUs(t) + LineUs(t, kFullFrame);
    if (r < kRtoFloor) r = kRtoFloor;
    for (int i = 0; i < t->transRecBackoff && r < kRtoCap; i++) r *= 2;
    return r > kRtoCap ? kRtoCap : static_cast<uint32_t>(r);
}

// Line bytes the frame of a received packet took, as the peer stuffed it (by our own table).
uint64_t LineBytesOf(const LinkEnd* L, const Buf* p) {
    uint64_t n = p->Len() + 3;
    for (const uint8_t* q = p->start; q < p->end; q++)
        if (L->frame.frame_ce_table[*q] & CE_ESCAPE) n++;
    return n;
}

void RttSample(TransData* t, uint32_t s) {
    if (t->transRecSrtt == 0) {
        t->transRecSrtt = s;
        t->transRecRttVar = s / 2;
    } else {
        uint32_t dev = s > t->transRecSrtt ? s - t->transRecSrtt : t->transRecSrtt - s;
        t->transRecRttVar = t->transRecRttVar - t->transRecRttVar / 4 + dev / 4;
        t->transRecSrtt = t->transRecSrtt - t->transRecSrtt / 8 + s / 8;
    }
    // The smallest of the last four samples: one sample made short by a wrong estimate of a wait
    // is forgotten soon.
    for (int i = 3; i > 0; i--) t->transRecRttLast[i] = t->transRecRttLast[i - 1];
    t->transRecRttLast[0] = s;
    t->transRecRttMin = s;
    for (uint32_t r : t->transRecRttLast)
        if (r && r < t->transRecRttMin) t->transRecRttMin = r;
}

void MarkResend(LinkEnd* L, Buf* w) {
    if (!(w->linkFlags & LINK_REXMIT_HDR)) TransAddRetransHdr(L, w);
    w->linkFlags |= LINK_SEND | LINK_REXMIT_HDR;
    L->trans.transWriteListWCount++;
}

uint16_t Get16(const uint8_t* q) { return static_cast<uint16_t>(q[0] | (q[1] << 8)); }

void Put16(uint8_t* q, uint32_t v) {
    q[0] = static_cast<uint8_t>(v);
    q[1] = static_cast<uint8_t>(v >> 8);
}

void HandleState(LinkEnd* L, const uint8_t* q) {
    TransData* t = &L->trans;
    uint8_t flags = q[0];
    // The count is sent as its low 16 bits: it lies near what the other end has acknowledged.
    uint32_t v = t->transAnumRN + static_cast<uint32_t>(static_cast<int16_t>(Get16(q + 1) - static_cast<uint16_t>(t->transAnumRN)));
    uint16_t held = Get16(q + 3);
    uint16_t waitMs = Get16(q + 5);  // 0xFFFF: the other end cannot tell yet
    uint32_t waited = waitMs == 0xFFFF ? 0 : waitMs * 1000u;
    if (uint32_t ns = Get16(q + 7) * 100u) t->transRecPeerByteNs = ns;
    uint32_t now = Now(L);
    if (!SeqLE(v, t->transSnumWN)) return;  // counts what was never sent: not a report of ours
    if (Before(t->transAnumRN, v)) {
        t->transAnumRN = v;
        t->transAnumRn = static_cast<uint8_t>(v & 0xF);
        TransUpdateACKs(L);
    }
    // A report older than what the acknowledgements have shown since tells nothing new, and one
    // sent for its byte time alone was not made on a loss.
    if (Before(v, t->transAnumRN) || (flags & REC_STATE_RATE)) return;
    bool answer = (flags & REC_STATE_ANSWER) && t->transRecProbeDepart != 0;
    if (answer) {
        int32_t s = static_cast<int32_t>(now - t->transRecProbeDepart - waited);
        // An answer may be to an earlier probe than the last; only one to a lone probe is timed.
        if (s > 0 && waitMs != 0xFFFF && t->transRecProbeLone) RttSample(t, static_cast<uint32_t>(s));
        t->transRecLastSample = now;
        t->transRecProbeDepart = 0;
    }
    // What must have arrived before the report was made: left the line a round trip ago, plus the
    // time the report waited behind the other end's own output. A little is taken off the round trip
    // so that a loss is rather resent once too often than found by the timer.
    uint32_t rtt = t->transRecRttMin ? t->transRecRttMin : Rtt(t);
    uint32_t need = rtt - rtt / 8 + waited;
    // Packets go out in order the first time, so one below the highest held that was sent once is
    // lost for certain.
    uint32_t top = v;
    for (int i = 15; i >= 0; i--)
        if ((held >> i) & 1) {
            top = v + 1 + static_cast<uint32_t>(i);
            break;
        }
    for (Buf* w = lstFirstT<Buf>(&t->transWriteList); w; w = w->next) {
        if (SeqLE(w->seq, v) || (w->linkFlags & LINK_SEND)) continue;
        uint32_t off = w->seq - v - 1;
        if (off < 16 && ((held >> off) & 1)) continue;
        bool once = !((t->transRecResent >> (w->seq & 15)) & 1);
        if (!(once && Before(w->seq, top)) &&
            static_cast<int32_t>(now - t->transRecDepart[w->seq & 15]) < static_cast<int32_t>(need))
            continue;
        MarkResend(L, w);
        if (answer)
            L->stats.recProbed++;
        else
            L->stats.recRequested++;
    }
}

// Writes one control whose content (after the 6-byte control header) is n bytes at c.
void WriteControl(LinkEnd* L, const uint8_t* c, size_t n) {
    TransData* t = &L->trans;
    Buf* b = BufGet(L->pBufData);
    if (!b) return;
    uint8_t* s = b->data;
    uint32_t a = t->transAnumRN;
    // The sequence fields name a packet the other end has acknowledged, so that a reader without
    // this extension takes the control for an old resend and drops it.
    s[0] = static_cast<uint8_t>(((t->transSnumRN & 0xF) << 4) | (a & 0xF));
    s[1] = MSG_REXMIT_HDR;
    s[2] = static_cast<uint8_t>(a >> 16);
    s[3] = static_cast<uint8_t>(a >> 8);
    s[4] = static_cast<uint8_t>(a);
    s[5] = MSG_REXMIT_HDR;
    std::memcpy(s + REC_CONTROL_HDR, c, n);
    b->start = s;
    b->end = s + REC_CONTROL_HDR + n;
    b->linkFlags = 0;
    uint64_t before = L->stats.frameBytesOut;
    FrameWrite(L, b);
    TransRecSent(L, nullptr, L->stats.frameBytesOut - before, false);
    BufFree(L->pBufData, b);
    t->transSnumLastAcked = t->transSnumRN;
    t->transWTime = Now(L);
}

}  // namespace

bool TransRecOn(const LinkEnd* L) { return ((L->extOut | L->extIn) & LINKEXT_RECOVER) != 0; }

int32_t TransRecBoundBuffers(const LinkEnd* L) {
    if (!TransRecOn(L)) return 0;
    return lstCount(&L->trans.transReadCacheList) + lstCount(&L->trans.transWriteList);
}

namespace {

// How far ahead of now the line may be kept busy: half a full frame keeps it going without a long
// queue, and so does half as much again as the longer gaps between this end's passes (at most a
// main-loop interval and a half, which is when the next pass comes at the latest).
uint32_t PaceLimit(const TransData* t) {
    uint32_t limit = LineUs(t, kFullFrame) / 2;
    uint32_t floor = t->transRecPassGap + t->transRecPassGap / 2;
    if (floor > kPaceFloor || floor == 0) floor = kPaceFloor;
    return limit < floor ? floor : limit;
}

}  // namespace

bool TransRecPaced(LinkEnd* L) {
    TransData* t = &L->trans;
    if (!TransRecOn(L) || t->transRecPeerByteNs == 0) return false;
    return static_cast<int32_t>(t->transRecLineFree - Now(L)) > static_cast<int32_t>(PaceLimit(t));
}

uint32_t TransRecPaceWait(LinkEnd* L) {
    TransData* t = &L->trans;
    int32_t ahead = static_cast<int32_t>(t->transRecLineFree - Now(L)) - static_cast<int32_t>(PaceLimit(t));
    return ahead > 1000 ? static_cast<uint32_t>(ahead) : 1000;
}

// Measured on seeded noisy lines at 9600 to 115200 bit/s: 12 keeps the line going through most
// repairs at 38400 and 115200 where 8 stops it, and 14 gains nothing more. With a transport packet
// at the tail that is 14 outstanding, within what 4-bit numbers tell apart.
uint32_t TransRecWindow(const LinkEnd* L) { return TransRecOn(L) ? 12 : 8; }

bool TransRecControl(LinkEnd* L, Buf* p) {
    if (p->Len() < REC_CONTROL_HDR + 1 || p->start[1] != MSG_REXMIT_HDR || p->start[5] != MSG_REXMIT_HDR) return false;
    TransData* t = &L->trans;
    TransRecArrival(L, p);
    TransTakeAck(L, p->start[0]);
    const uint8_t* q = p->start + REC_CONTROL_HDR;
    size_t left = p->Len() - REC_CONTROL_HDR;
    if (q[0] == REC_STATE && left >= kStateLen) {
        HandleState(L, q + 1);
    } else if (q[0] == REC_PROBE) {
        t->transRecStateDue |= 1 | REC_STATE_ANSWER;
    }
    BufFree(L->pBufData, p);
    return true;
}

void TransRecArrival(LinkEnd* L, const Buf* p) {
    TransData* t = &L->trans;
    uint32_t now = Now(L);
    uint64_t bytes = LineBytesOf(L, p);
    uint32_t gap = now - t->transRecLastIn;
    // A frame cannot arrive sooner after the one before than its own line time takes; frames that
    // follow each other closely show just that, and a pause before one only makes its sample
    // longer. So the line time is about the smallest of the recent samples. Frames read together
    // are no measure; nor quite is the first frame read after this end was held up, whose sample is
    // short: a sample may take the estimate down to a quarter of it at most, and is forgotten in time.
    if (t->transRecLastIn != 0 && bytes >= 24 && gap >= kSameRead) {
        uint64_t ns = static_cast<uint64_t>(gap) * 1000 / bytes;
        if (t->transRecByteNs && ns < t->transRecByteNs / 4) ns = t->transRecByteNs / 4;
        if (ns == 0) ns = 1;
        if (ns > UINT32_MAX) ns = UINT32_MAX;
        constexpr int n = sizeof t->transRecRateSamples / sizeof t->transRecRateSamples[0];
        t->transRecRateSamples[t->transRecRateNext++ % n] = static_cast<uint32_t>(ns);
        // A lone sample is too likely one with a pause before it, or a short one: the estimate
        // waits for eight samples, and is the second smallest of the last sixteen, so that one
        // short sample is ignored.
        uint32_t least = UINT32_MAX, second = UINT32_MAX;
        int samples = 0;
        for (uint32_t s : t->transRecRateSamples) {
            if (!s) continue;
            samples++;
            if (s < least) {
                second = least;
                least = s;
            } else if (s < second) {
                second = s;
            }
        }
        if (samples >= 8) {
            t->transRecByteNs = second;
            // The other end paces its output by this: it hears of a change by a quarter at once.
            uint32_t said = t->transRecByteNsSaid;
            if (TransRecOn(L) && (said == 0 || second / 4 * 3 > said || second < said / 4 * 3))
                t->transRecStateDue |= REC_STATE_RATE;
        }
    }
    t->transRecLastIn = now ? now : 1;
}

bool TransRecNoteLoss(LinkEnd* L, bool duplicate) {
    if (!TransRecOn(L)) return false;
    TransData* t = &L->trans;
    // Duplicates come in runs when a resend crosses our report: one report a round trip does.
    if (duplicate && static_cast<int32_t>(Now(L) - t->transRecLastState) < static_cast<int32_t>(Rtt(t) / 2)) return true;
    t->transRecStateDue |= 1;
    return true;
}

void TransRecAfterRead(LinkEnd* L, bool damaged) {
    TransData* t = &L->trans;
    if (damaged) TransRecNoteLoss(L, false);
    bool gap = lstCount(&t->transReadCacheList) > 0;
    uint32_t now = Now(L);
    if (t->transRecStallStart == 0) {
        if (gap || damaged) {
            t->transRecStallStart = now ? now : 1;
            t->transRecStallRN = t->transSnumRN;
        }
    } else if (!gap && t->transSnumRN != t->transRecStallRN) {
        L->stats.recStallUsec += now - t->transRecStallStart;
        t->transRecStallStart = 0;
    }
}

void TransRecFlush(LinkEnd* L) {
    TransData* t = &L->trans;
    if (!t->transRecStateDue && !t->transRecProbeDue) return;
    if (!TransRecOn(L)) {
        t->transRecStateDue = t->transRecProbeDue = 0;
        return;
    }
    // Room for both controls with every byte stuffed.
    if (FrameWriteCWBuf(L) < 2 * 2 * static_cast<int>(REC_CONTROL_HDR + kStateLen + 3)) return;
    uint32_t now = Now(L);
    if (t->transRecStateDue) {
        uint8_t c[kStateLen];
        c[0] = REC_STATE;
        c[1] = static_cast<uint8_t>((t->transRecStateDue & REC_STATE_ANSWER) | ((t->transRecStateDue & 1) ? 0 : REC_STATE_RATE));
        Put16(c + 2, t->transSnumRN);
        uint32_t held = 0;
        for (Buf* b = lstFirstT<Buf>(&t->transReadCacheList); b; b = b->next) {
            uint32_t off = b->seq - t->transSnumRN - 1;
            if (off < 16) held |= 1u << off;
        }
        Put16(c + 4, held);
        // How long this report will wait behind what this end has written before it.
        // Unknown until the other end has told us the rate of our bytes.
        uint32_t wait = Before(now, t->transRecLineFree) ? (t->transRecLineFree - now) / 1000 : 0;
        Put16(c + 6, t->transRecPeerByteNs == 0 || wait > 0xFFFE ? 0xFFFF : wait);
        uint32_t ns = t->transRecByteNs ? (t->transRecByteNs + 50) / 100 : 0;
        Put16(c + 8, ns > 0xFFFF ? 0xFFFF : ns < 1 && t->transRecByteNs ? 1 : ns);
        t->transRecByteNsSaid = t->transRecByteNs;
        WriteControl(L, c, sizeof c);
        t->transRecStateDue = 0;
        t->transRecLastState = now;
        L->stats.recStatesOut++;
    }
    if (t->transRecProbeDue) {
        const uint8_t c[1] = {REC_PROBE};
        WriteControl(L, c, sizeof c);
        t->transRecProbeDue = 0;
        t->transRecLastProbe = now;
        t->transRecProbeLone = t->transRecProbeDepart == 0;
        t->transRecProbeDepart = t->transRecLineFree ? t->transRecLineFree : 1;
        L->stats.recProbesOut++;
    }
}

void TransRecSent(LinkEnd* L, const Buf* b, uint64_t lineBytes, bool fresh) {
    if (lineBytes == 0) return;
    TransData* t = &L->trans;
    uint32_t now = Now(L);
    uint32_t free = Later(now, t->transRecLineFree);
    if (free - now > LineUs(t, kMostQueued)) free = now + LineUs(t, kMostQueued);
    uint32_t depart = free + LineUs(t, lineBytes);
    t->transRecLineFree = depart;
    if (!b) return;
    t->transRecDepart[b->seq & 15] = depart;
    if (b->type != MSG_TRANSPORT) t->transRecDataFree = depart;
    // A transport packet is numbered without telling us; its slot may then still say "sent", which
    // only makes its loss wait for the time rule.
    uint16_t bit = static_cast<uint16_t>(1u << (b->seq & 15));
    if (fresh) t->transRecSentMap = static_cast<uint16_t>(t->transRecSentMap & ~bit);
    if (t->transRecSentMap & bit)
        t->transRecResent = static_cast<uint16_t>(t->transRecResent | bit);
    else
        t->transRecResent = static_cast<uint16_t>(t->transRecResent & ~bit);
    t->transRecSentMap = static_cast<uint16_t>(t->transRecSentMap | bit);
}

void TransRecAcked(LinkEnd* L) {
    TransData* t = &L->trans;
    uint32_t now = Now(L);
    t->transRecProgress = now;
    t->transRecBackoff = 0;
    // The newest packet acknowledged has left the line. If it was thought to be still on its way
    // (the byte time used was too long, or the other end has not measured it yet), all written after
    // it is that much further on as well; else the pacing would hold output for a line that is free.
    uint32_t slot = t->transAnumRN & 15;
    uint32_t depart = t->transRecDepart[slot];
    if (((t->transRecSentMap >> slot) & 1) && Before(now, depart)) {
        uint32_t early = depart - now;
        t->transRecLineFree -= early;
        if (!Before(t->transRecDataFree, depart)) t->transRecDataFree -= early;
        t->transRecDepart[slot] = now;
    }
}

void TransRecCheckTimers(LinkEnd* L) {
    TransData* t = &L->trans;
    // The longer gaps between passes: the largest seen, forgotten by an eighth a pass.
    uint32_t at = Now(L);
    if (t->transRecLastPass != 0) {
        uint32_t gap = at - t->transRecLastPass;
        t->transRecPassGap = gap > t->transRecPassGap ? gap : t->transRecPassGap - t->transRecPassGap / 8;
    }
    t->transRecLastPass = at ? at : 1;
    Buf* oldest = nullptr;
    for (Buf* b = lstFirstT<Buf>(&t->transWriteList); b && !oldest; b = b->next)
        if (b->type != MSG_TRANSPORT) oldest = b;
    if (!oldest) return;
    uint32_t now = Now(L);
    // Nothing is overdue while this end's own output is still on its way.
    uint32_t quiet = Later(t->transRecProgress, t->transRecLineFree);
    uint32_t probe = ProbeUs(t);
    // A probe that brought no answer within a round trip was lost, or the line is silent: the next
    // follows a round trip later, so that the line's return is noticed within about two.
    if (t->transRecProbeDepart != 0 && Rtt(t) + t->transRecPassGap < probe) probe = Rtt(t) + t->transRecPassGap;
    if (now - t->transRTime > kDeafAfter && probe < kDeafProbe) probe = kDeafProbe;
    if (!t->transRecProbeDue && static_cast<int32_t>(now - Later(quiet, t->transRecLastProbe)) > static_cast<int32_t>(probe))
        t->transRecProbeDue = 1;
    // A link busy both ways rarely goes quiet: measure the round trip now and then all the same.
    if (!t->transRecProbeDue && t->transRecProbeDepart == 0 &&
        (t->transRecSrtt == 0 || now - t->transRecLastSample > kSampleEvery) && now - t->transRecLastProbe > kSampleEvery / 4)
        t->transRecProbeDue = 1;
    // Probes go on while the timer runs: its interval counts from the last packet of data.
    TransTimer* tm = &t->transTimers[TIMER_REXMIT];
    uint32_t dataQuiet = Later(Later(t->transRecProgress, t->transRecDataFree), tm->startTime);
    if (static_cast<int32_t>(now - dataQuiet) > static_cast<int32_t>(RexmitUs(t))) {
        if (t->transSnumTimedRexmit == 0 || Before(t->transSnumTimedRexmit, oldest->seq)) t->transSnumTimedRexmit = oldest->seq;
        TransDoRexmit(L);
        L->stats.recTimed++;
        if (t->transRecBackoff < 16) t->transRecBackoff++;
        tm->startTime = now;
    }
}
