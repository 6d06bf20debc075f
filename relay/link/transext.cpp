// Extended transport commands (windows, received count) and merging of small client messages into
// one packet, with the split on the receiving side.
#include <cstring>

#include "relay/link/linkext.h"
#include "relay/link/transpriv.h"

namespace {

int ExtOpposite(int request) {
    switch (request) {
    case EXT_OPEN: return EXT_CLOSE;
    case EXT_CLOSE: return EXT_OPEN;
    case EXT_OPEN_CLIENT: return EXT_CLOSE_CLIENT;
    case EXT_CLOSE_CLIENT: return EXT_OPEN_CLIENT;
    default: return 0;
    }
}

inline bool IsClientExt(uint8_t sub) { return sub == EXT_OPEN_CLIENT || sub == EXT_CLOSE_CLIENT; }

// True when a type 2 message can travel as a merged piece: its second byte must give its length.
inline bool CachedMergeable(const Buf* b) {
    size_t n = b->Len();
    return n >= 2 && n % 2 == 0 && b->start[1] == (n - 2) / 2 && b->start[1] < 64;
}

inline bool Mergeable(const Buf* b) {
    if (b->clientId > 63) return false;
    return b->type == MSG_XDATA || (b->type == MSG_XCACHED && CachedMergeable(b));
}

void SwapFirstTwo(uint8_t* p) {
    uint8_t c = p[0];
    p[0] = p[1];
    p[1] = c;
}

}  // namespace

Buf* TransFindLastExt(LinkEnd* L, int subtype, int clientId) {
    if (subtype < 0 && clientId < 0) return nullptr;
    for (Buf* b = lstLastT<Buf>(&L->trans.transExtWriteList); b; b = b->prev) {
        if (b->Len() < 1) continue;
        uint8_t sub = b->start[0];
        bool hasClient = IsClientExt(sub) && b->Len() >= 2;
        if (subtype >= 0 && clientId >= 0) {
            if (hasClient && sub == subtype && b->start[1] == clientId) return b;
        } else if (subtype >= 0) {
            if (sub == subtype) return b;
        } else if (hasClient && b->start[1] == clientId) {
            return b;
        }
    }
    return nullptr;
}

int TransExtendedCheck(LinkEnd* L, int request, int clientId) {
    int opp = ExtOpposite(request);
    if (!opp) return 1;
    Buf* b = TransFindLastExt(L, opp, IsClientExt(static_cast<uint8_t>(opp)) ? clientId : -1);
    if (!b) return 1;
    lstDelete(&L->trans.transExtWriteList, b);
    BufFree(L->pBufData, b);
    return 0;
}

int TransExtendedTransport(LinkEnd* L, int request, int, int clientId) {
    if (request == EXT_POLL) {
        TransEnsureTWLTransport(L);
        return 1;
    }
    if (TransExtendedCheck(L, request, clientId) == 0) return -1;
    Buf* b = BufGet(L->pBufData);
    if (!b) return 0;
    b->type = MSG_EXTTRANSPORT;
    b->clientId = 0;
    b->linkFlags = 0;
    *b->end++ = static_cast<uint8_t>(request);
    if (IsClientExt(static_cast<uint8_t>(request))) *b->end++ = static_cast<uint8_t>(clientId);
    if (request == EXT_RECEIVED) {
        uint32_t v = L->trans.transSnumRN;
        for (int i = 0; i < 4; i++) *b->end++ = static_cast<uint8_t>(v >> (8 * i));
    }
    lstAdd(&L->trans.transExtWriteList, b);
    return 1;
}

int TransHandleExtTransportPkt(LinkEnd* L, Buf* p) {
    TransData* t = &L->trans;
    const uint8_t* s = p->start;
    int n = static_cast<int>(p->Len());
    if (n < 1) return 0;
    switch (s[0]) {
    case EXT_OPEN:
        t->transSendWindowOpen = 1;
        t->transTimers[TIMER_WINDOW].period = 0;
        return n - 1;
    case EXT_CLOSE:
        t->transSendWindowOpen = 0;
        t->transTimers[TIMER_WINDOW].startTime = GetTime(&L->clock);
        t->transTimers[TIMER_WINDOW].period = 2000000;
        return n - 1;
    case EXT_OPEN_CLIENT:
    case EXT_CLOSE_CLIENT:
        if (n < 2) return n;
        TransSetClientSendClosed(L, s[1], s[0] == EXT_CLOSE_CLIENT);
        return n - 2;
    case EXT_RECEIVED: {
        if (n < 5) return n;
        uint32_t v = s[1] | (s[2] << 8) | (s[3] << 16) | (static_cast<uint32_t>(s[4]) << 24);
        // Only forward, and never beyond what was actually sent.
        if (static_cast<int32_t>(t->transAnumRN - v) < 0 && static_cast<int32_t>(v - t->transSnumWN) <= 0) {
            t->transAnumRN = v;
            t->transAnumRn = static_cast<uint8_t>(v & 0xF);
        }
        return n - 5;
    }
    default:
        return n;
    }
}

Buf* TransMergeBufs(LinkEnd* L, Buf* head, Lst* list) {
    if (head->type != MSG_XMERGED && head->type != MSG_XCACHED && head->type != MSG_XDATA) return head;
    if (head->type == MSG_XCACHED && !CachedMergeable(head)) return head;
    uint8_t cur = head->type == MSG_XMERGED ? head->linkFlags : head->clientId;
    Buf* next;
    // Room is checked as well as length: a head whose data starts late in its buffer (the rest of
    // a client's stream buffer after the X encoder split a request off its front) has less than the
    // full data area behind it. Each step adds at most three bytes besides the next message: a
    // length byte for the head, a client switch and a length byte for the next. With the link-life
    // coder (our own peer) a merged message may fill a packet; a piece of X data stays within what
    // its length byte holds.
    const size_t most = (L->extOut & LINKEXT_ZCODER) ? LINK_MAX_MSG - 3 : 126;
    while (head->Len() < most && (next = head->next) && Mergeable(next) && next->Len() + head->Len() <= most &&
           head->Room() >= next->Len() + 3 && (head->type != MSG_XDATA || head->Len() <= 127) &&
           (next->type != MSG_XDATA || next->Len() <= 127)) {
        if (head->type != MSG_XMERGED) {
            if (head->type == MSG_XDATA) {
                std::memmove(head->start + 1, head->start, head->Len());
                head->start[0] = static_cast<uint8_t>(0x80 + head->Len());
                head->end++;
            } else {
                SwapFirstTwo(head->start);
            }
            head->type = MSG_XMERGED;
        }
        if (next->clientId != cur) {
            *head->end++ = static_cast<uint8_t>(0x40 + next->clientId);
            cur = next->clientId;
        }
        head->linkFlags = cur;
        size_t n = next->Len();
        if (next->type == MSG_XDATA) {
            *head->end++ = static_cast<uint8_t>(0x80 + n);
            std::memcpy(head->end, next->start, n);
        } else {
            std::memcpy(head->end, next->start, n);
            SwapFirstTwo(head->end);
        }
        head->end += n;
        lstDelete(list, next);
        BufFree(L->pBufData, next);
    }
    return head;
}

Buf* TransUnmergeBufs(LinkEnd* L, Buf* p, Lst* list) {
    uint8_t cur = p->clientId;
    while (p->start < p->end) {
        Buf* b = BufGet(L->pBufData);
        if (!b) return p;
        uint8_t* q = p->start;
        uint8_t tok = *q++;
        bool bad = false;
        if (tok >= 0x40 && tok < 0x80) {
            cur = tok & 0x3F;
            p->clientId = cur;
            if (q >= p->end) {
                bad = true;
            } else {
                tok = *q++;
                if (tok >= 0x40 && tok < 0x80) {
                    bad = true;
                    std::fprintf(L->errFile ? L->errFile : stderr, "LQx panic: %s\n",
                                 "TransUnmergeBufs WRONG TOKEN (MERGED_CLIENT_ID)");
                }
            }
        }
        size_t n = 0;
        const uint8_t* from = q;
        if (!bad) {
            if (tok >= 0x80) {
                n = tok & 0x7F;
                b->type = MSG_XDATA;
            } else {
                n = 2 * static_cast<size_t>(tok) + 2;
                from = q - 1;
                b->type = MSG_XCACHED;
            }
            if (from + n > p->end) bad = true;
        }
        if (bad) {
            // The rest of the message cannot be split into pieces; it is dropped.
            BufFree(L->pBufData, b);
            p->start = p->end;
            return nullptr;
        }
        std::memcpy(b->end, from, n);
        if (b->type == MSG_XCACHED) SwapFirstTwo(b->end);
        b->end += n;
        b->clientId = cur;
        b->linkFlags = 0;
        b->seq = p->seq;
        lstAdd(list, b);
        L->stats.msgsIn++;
        L->stats.msgBytesIn += n;
        p->start = const_cast<uint8_t*>(from) + n;
    }
    return nullptr;
}
