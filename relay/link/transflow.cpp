// Flow control and timers: the read time-out, keep-alive, timed retransmission with a growing
// interval, and the link-wide and per-client windows in both directions.
#include "relay/link/transpriv.h"

namespace {

inline bool BitTest(const uint32_t* map, int c) { return (map[(c >> 5) & 31] >> (c & 31)) & 1u; }
inline void BitSet(uint32_t* map, int c) { map[(c >> 5) & 31] |= 1u << (c & 31); }
inline void BitClear(uint32_t* map, int c) { map[(c >> 5) & 31] &= ~(1u << (c & 31)); }

}  // namespace

void TransGetTimeouts(LinkEnd* L) {
    TransData* t = &L->trans;
    if (L->config.timeout != 0) {
        if (L->config.timeout < 10) L->config.timeout = 10;
        if (L->config.timeout > 3600) L->config.timeout = 3600;
    }
    t->transReadTimeout = static_cast<uint32_t>(L->config.timeout) * 1000000u;
    t->transKeepAliveTimeout = 2500000;
    TransInitTimers(L);
}

void TransInitTimers(LinkEnd* L) {
    TransData* t = &L->trans;
    uint32_t now = GetTime(&L->clock);
    t->transWTime = t->transRTime = now;
    t->transRexmitTimeout = 8000000;
    for (int i = 0; i < 3; i++) {
        t->transTimers[i].startTime = now;
        TransInitTimerTimeout(L, i);
    }
}

void TransInitTimerTimeout(LinkEnd* L, int timer) {
    TransData* t = &L->trans;
    uint32_t period = 0;
    if (timer == TIMER_KEEPALIVE) period = t->transKeepAliveTimeout;
    if (timer == TIMER_REXMIT && t->transSnumTimedRexmit != 0) period = t->transRexmitTimeout;
    t->transTimers[timer].period = period;
}

void TransCheckTimers(LinkEnd* L) {
    TransData* t = &L->trans;
    uint32_t now = GetTime(&L->clock);
    bool due[3] = {false, false, false};
    for (int i = 0; i < 3; i++) {
        TransTimer* tm = &t->transTimers[i];
        if (i == TIMER_REXMIT && TransRecOn(L)) continue;  // TransRecCheckTimers times resends
        if (tm->period == 0 || !(now - tm->startTime > tm->period)) continue;
        due[i] = true;
        if (i == TIMER_REXMIT) {
            if (t->transRexmitRetries > 0) {
                t->transRexmitRetries--;
                tm->period += t->transRexmitTimeout;
            } else if (Buf* waiting = TransFindLastExt(L, EXT_RECEIVED, -1)) {
                // One unsent count is enough; queueing another per expiry while the window is full
                // would drain the pool on a dead line with no time-out.
                for (int k = 0; k < 4; k++) waiting->start[1 + k] = static_cast<uint8_t>(t->transSnumRN >> (8 * k));
            } else {
                TransExtendedTransport(L, EXT_RECEIVED, 0, 0);
            }
            TransDoRexmit(L);
        } else if (i == TIMER_WINDOW) {
            TransExtendedTransport(L, EXT_POLL, 0, 0);
            tm->period = 2000000;
        }
    }
    now = GetTime(&L->clock);
    for (int i = 0; i < 3; i++)
        if (due[i]) t->transTimers[i].startTime = now;
    if (TransRecOn(L)) TransRecCheckTimers(L);
}

void TransDoRexmit(LinkEnd* L) {
    TransData* t = &L->trans;
    if (t->transSnumTimedRexmit == 0) return;
    for (Buf* b = lstFirstT<Buf>(&t->transWriteList); b; b = b->next) {
        if (b->seq != t->transSnumTimedRexmit) continue;
        if (!(b->linkFlags & LINK_REXMIT_HDR)) TransAddRetransHdr(L, b);
        if (!(b->linkFlags & LINK_SEND)) {
            b->linkFlags |= LINK_SEND;
            t->transWriteListWCount++;
        }
        L->stats.timedResends++;
        return;
    }
}

void TransCheckRexmit(LinkEnd* L, Buf* p) {
    TransData* t = &L->trans;
    if (t->transSnumTimedRexmit != 0 || p->type == MSG_TRANSPORT) return;
    t->transSnumTimedRexmit = p->seq;
    t->transTimers[TIMER_REXMIT].startTime = GetTime(&L->clock);
    t->transTimers[TIMER_REXMIT].period = t->transRexmitTimeout;
    t->transRexmitRetries = 3;
}

// Window commands alternate, so when a request withdraws the unsent opposite command the peer is
// left in the state that was just asked for: the flag must say so. Leaving it as it was would,
// after a close withdraws an unsent open, keep the flag open while the peer stays closed for good.
void TransOpenWindow(LinkEnd* L) {
    if (L->trans.transRecvWindowOpen == 0 && TransExtendedTransport(L, EXT_OPEN, 0, 0) != 0)
        L->trans.transRecvWindowOpen = 1;
}

void TransCloseWindow(LinkEnd* L) {
    if (L->trans.transRecvWindowOpen == 1 && TransExtendedTransport(L, EXT_CLOSE, 0, 0) != 0)
        L->trans.transRecvWindowOpen = 0;
}

int TransIsSendWindowOpen(const LinkEnd* L) { return L->trans.transSendWindowOpen; }

int TransIsClientSendWindowOpen(const LinkEnd* L, int c) { return BitTest(L->trans.transClientCloseSend, c) ? 0 : 1; }
int TransIsClientRecvWindowOpen(const LinkEnd* L, int c) { return BitTest(L->trans.transClientCloseRecv, c) ? 0 : 1; }

void TransClientCloseWindow(LinkEnd* L, int c) {
    if (!BitTest(L->trans.transClientCloseRecv, c) && !LinkEarlierVersion(L, 1, 2) &&
        TransExtendedTransport(L, EXT_CLOSE_CLIENT, 0, c) != 0)
        BitSet(L->trans.transClientCloseRecv, c);
}

void TransClientOpenWindow(LinkEnd* L, int c) {
    if (BitTest(L->trans.transClientCloseRecv, c) && !LinkEarlierVersion(L, 1, 2) &&
        TransExtendedTransport(L, EXT_OPEN_CLIENT, 0, c) != 0)
        BitClear(L->trans.transClientCloseRecv, c);
}

// Used by the extended packet handler for the peer's per-client commands.
void TransSetClientSendClosed(LinkEnd* L, int c, bool closed) {
    if (closed)
        BitSet(L->trans.transClientCloseSend, c);
    else
        BitClear(L->trans.transClientCloseSend, c);
}

void TransClientGone(LinkEnd* L, int c) {
    TransClientOpenWindow(L, c);
    BitClear(L->trans.transClientCloseSend, c);
}
