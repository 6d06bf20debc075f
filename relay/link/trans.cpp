// Transport: sequence numbers and acknowledgements, the write list and resends, the read cache, the
// start message, keep-alive and the read time-out, link client ids.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <initializer_list>

#include "relay/link/transpriv.h"

namespace {

void LinkErr(LinkEnd* L, const char* fmt, ...) {
    FILE* f = L->errFile ? L->errFile : stderr;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(f, fmt, ap);
    va_end(ap);
    std::fflush(f);
}

inline bool SeqLE(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) <= 0; }

// Both ends work at the peer's version and at the lower of the two levels.
void LinkAgree(LinkEnd* L) {
    L->agreedVersion = L->peer.version;
    L->agreedLevel = L->peer.level < L->config.ourLevel ? L->peer.level : L->config.ourLevel;
}

// Moves a message's content to the start of the data area, so that both header forms fit in front.
bool TransNormalize(Buf* b) {
    size_t n = b->Len();
    if (n > LINK_MAX_MSG) return false;
    if (b->start != b->data) {
        std::memmove(b->data, b->start, n);
        b->start = b->data;
        b->end = b->data + n;
    }
    return true;
}

// A message the caller may hand over: its type and client id must survive the packet's type byte.
bool TransValidMsg(const Buf* b) {
    if (b->clientId == 0)
        return b->type <= 19 && b->type != MSG_TRANSPORT && b->type != MSG_REXMIT_HDR && b->type != MSG_EXTTRANSPORT;
    return b->clientId >= 5 && b->clientId <= 63 && b->type <= MSG_XDATA;
}

// Cuts msg so that its content is at most maxLen bytes; the rest goes into a new Buf inserted right
// after `after` in list (at its head when after is null). Each piece stays a valid message of its
// type: X data may be cut anywhere, a merged message only between pieces, and a file data piece of
// the current form keeps its file id and continues as a 'D' piece. -1 when no Buf is free.
int TransCut(LinkEnd* L, Buf* m, Lst* list, Buf* after, int maxLen) {
    int len = static_cast<int>(m->Len());
    if (len <= maxLen) return 0;
    uint8_t* s = m->start;
    int cut = maxLen;
    uint8_t clientId = m->clientId;
    int prefix = 0;
    if (m->type == MSG_XMERGED) {
        // Walk the pieces and cut before the last one that would cross maxLen.
        int pos = 0, lastCut = 0;
        uint8_t cur = m->clientId, cutClient = cur;
        while (pos < len) {
            int here = pos;
            uint8_t tok = s[pos];
            uint8_t next = cur;
            if (tok >= 0x40 && tok < 0x80) {
                next = tok & 0x3F;
                if (++pos >= len) break;
                tok = s[pos];
            }
            int piece = tok >= 0x80 ? 1 + (tok & 0x7F) : (tok < 0x40 ? 2 * tok + 2 : len);
            if (pos + piece > len) break;
            if (pos + piece > maxLen) break;
            pos += piece;
            cur = next;
            lastCut = pos;
            cutClient = cur;
            (void)here;
        }
        if (lastCut == 0) return -1;
        cut = lastCut;
        clientId = cutClient;
    } else if (m->type == MSG_FILEDATA && len >= 2 && (s[1] == 'F' || s[1] == 'D')) {
        prefix = 2;
    }
    Buf* r = BufGet(L->pBufData);
    if (!r) return -1;
    r->type = m->type;
    r->clientId = clientId;
    r->linkFlags = 0;
    r->seq = 0;
    if (prefix) {
        *r->end++ = s[0];
        *r->end++ = 'D';
    }
    std::memcpy(r->end, s + cut, static_cast<size_t>(len - cut));
    r->end += len - cut;
    m->end = m->start + cut;
    lstInsert(list, after, r);
    L->stats.splits++;
    return 0;
}

// Delivers the packet received in order (header still in front) and every cached packet that
// follows on. Returns false when a merged message ran out of buffers (pSavedMerged is set).
bool TransDeliver(LinkEnd* L, Buf* p, Lst* list) {
    TransData* t = &L->trans;
    while (p) {
        t->transSnumRN = p->seq;
        t->transSnumRn = static_cast<uint8_t>(p->seq & 0xF);
        p->start += 2;
        if (t->transSnumRN - t->transSnumLastAcked > 4) t->transMakeACK = 1;
        const bool zcoded = TransZCoded(L, p->type, false);
        if (zcoded || MsgCompressible(p->type)) {
            Buf* u = t->pUncPkt;
            int r = zcoded ? TransZDecode(L, p, u) : TransUncompress(&L->lzw, p, u);
            u->type = p->type;
            u->clientId = p->clientId;
            u->linkFlags = p->linkFlags;
            u->seq = p->seq;
            if (r != 0) {
                if (!zcoded) LinkErr(L, "LQx panic: %s\n", "TransUncompress failed");
                BufFree(L->pBufData, p);
            } else if (p->type != MSG_XMERGED) {
                lstAdd(list, u);
                L->stats.msgsIn++;
                L->stats.msgBytesIn += u->Len();
                t->pUncPkt = p;
            } else if (TransUnmergeBufs(L, u, list)) {
                t->pSavedMerged = p;
                return false;
            } else {
                BufFree(L->pBufData, u);
                t->pUncPkt = p;
            }
        } else if (p->type == MSG_TRANSPORT) {
            BufFree(L->pBufData, p);
        } else if (p->type == MSG_EXTTRANSPORT) {
            // Extended commands act in sequence order, once: a resent close that arrives after a
            // later open must not close the window again.
            TransHandleExtTransportPkt(L, p);
            BufFree(L->pBufData, p);
        } else {
            TransNormalize(p);
            if (L->role == LINK_TERMINAL && p->type == MSG_START) {
                const uint8_t* s = p->start;
                size_t n = p->Len();
                if (n >= 7) {
                    LinkVersion* v = &L->peer;
                    v->byteOrder = s[0];
                    v->version = s[1];
                    v->level = s[2];
                    v->flags = s[3];
                    v->timeout = (s[4] << 8) | s[5];
                    LinkAgree(L);
                    L->config.timeout = v->timeout;
                    t->transReadTimeout = static_cast<uint32_t>(v->timeout) * 1000000u;
                    size_t e = s[6];
                    if (7 + e <= n && e <= MAX_ESC_CHARS) {
                        std::memcpy(L->config.escChars, s + 7, e);
                        L->config.escCount = static_cast<uint8_t>(e);
                        FrameSetEscapeTable(L, L->config.escChars, L->config.escCount, CE_ESCAPE | CE_IGNORE);
                    }
                }
            }
            if (p->type == MSG_EXTENSIONS && !TransExtReceived(L, p)) {
                BufFree(L->pBufData, p);
            } else {
                lstAdd(list, p);
                L->stats.msgsIn++;
                L->stats.msgBytesIn += p->Len();
            }
        }
        p = nullptr;
        // Drop cache entries that lie behind (a packet resent while its copy waited in the cache).
        Buf* c;
        while ((c = lstFirstT<Buf>(&t->transReadCacheList)) && SeqLE(c->seq, t->transSnumRN))
            BufFree(L->pBufData, lstGetT<Buf>(&t->transReadCacheList));
        if (c && c->seq == t->transSnumRN + 1) p = lstGetT<Buf>(&t->transReadCacheList);
    }
    return true;
}

int FdRead(void* ctx, uint8_t* p, int n) { return static_cast<int>(::read(*static_cast<int*>(ctx), p, static_cast<size_t>(n))); }
int FdWrite(void* ctx, const uint8_t* p, int n) { return static_cast<int>(::write(*static_cast<int*>(ctx), p, static_cast<size_t>(n))); }
int FdPending(void* ctx) {
    int n = 0;
    if (ioctl(*static_cast<int*>(ctx), FIONREAD, &n) < 0) return -1;
    return n;
}

}  // namespace

void LinkSetDefaults(LinkEnd* L, int role, BufData* pBufData, Clock clock) {
    std::memset(static_cast<void*>(L), 0, sizeof *L);
    L->role = role;
    L->pBufData = pBufData;
    L->clock = clock;
    L->ttyFd = -1;
    LinkConfig* c = &L->config;
    c->timeout = 30;
    c->ourByteOrder = 'B';
    c->ourVersion = 1;
    c->ourLevel = 3;
    c->displayName = "";
    L->running = 1;
    LinkParseEscChars(L, LINK_DEFAULT_ESCAPES);
}

void LinkUseFd(LinkEnd* L, int fd) {
    L->ttyFd = fd;
    L->io = LinkIo{FdRead, FdWrite, FdPending, &L->ttyFd};
}

bool LinkEarlierVersion(const LinkEnd* L, int v, int l) { return EarlierVersion(L->agreedVersion, L->agreedLevel, v, l); }

int LinkAgreedLevel(const LinkEnd* L) { return L->agreedLevel; }

void LinkNoteRemoteVersion(LinkEnd* L, uint8_t byteOrder, int version, int level) {
    L->peer.byteOrder = byteOrder;
    L->peer.version = version & 0xFF;
    L->peer.level = level & 0xFF;
}

void LinkSetRemoteVersion(LinkEnd* L, uint8_t byteOrder, int version, int level) {
    LinkNoteRemoteVersion(L, byteOrder, version, level);
    LinkAgree(L);
    FrameSetEscapeTable(L, L->config.escChars, L->config.escCount, CE_ESCAPE);
}

void LinkDestroy(LinkEnd* L) {
    TransData* t = &L->trans;
    BufData* d = L->pBufData;
    if (d) {
        BufListFree(d, &t->transWriteList);
        BufListFree(d, &t->transExtWriteList);
        BufListFree(d, &t->transReadCacheList);
        BufListFree(d, &t->transCompList);
        if (t->pUncPkt) BufFree(d, t->pUncPkt);
        if (t->pSavedMerged) BufFree(d, t->pSavedMerged);
        if (L->frame.frame_pkt_rbuf_ptr) BufFree(d, L->frame.frame_pkt_rbuf_ptr);
    }
    t->pUncPkt = t->pSavedMerged = L->frame.frame_pkt_rbuf_ptr = nullptr;
    Free(L->frame.frame_crbuf);
    Free(L->frame.frame_cwbuf);
    L->frame.frame_crbuf = L->frame.frame_cwbuf = nullptr;
    TransCompressFree(&L->lzw);
    TransZFree(L);
}

int TransSeqIncr(uint8_t oldNibble, uint8_t newNibble) { return (newNibble - oldNibble) & 0xF; }

int TransInit(LinkEnd* L) {
    TransData* t = &L->trans;
    uint32_t now = GetTime(&L->clock);
    t->transSnumWN = t->transSnumRN = t->transSnumLastAcked = t->transAnumRN = t->transAnumRNPrev = 0;
    t->transSnumRn = t->transAnumRn = 0;
    t->transWTime = t->transRTime = t->time_last_check = now;
    t->transWriteListWCount = 0;
    std::memset(t->transClientCloseSend, 0, sizeof t->transClientCloseSend);
    std::memset(t->transClientCloseRecv, 0, sizeof t->transClientCloseRecv);
    lstInit(&t->transWriteList);
    lstInit(&t->transExtWriteList);
    lstInit(&t->transReadCacheList);
    lstInit(&t->transCompList);
    if (Buf* spare = BufGet(L->pBufData)) lstAdd(&t->transCompList, spare);
    t->pUncPkt = BufGet(L->pBufData);
    if (!t->pUncPkt) return -1;
    t->pUncPkt->type = t->pUncPkt->clientId = t->pUncPkt->linkFlags = 0;
    t->pSavedMerged = nullptr;
    t->transMakeACK = 0;
    t->transSendWindowOpen = t->transRecvWindowOpen = 1;
    t->transSnumTimedRexmit = 0;
    t->transRexmitRetries = 3;
    TransGetTimeouts(L);
    t->transTimeout = TRANS_TIMEOUT_USEC;
    for (int i = 0; i < 63; i++) t->transClientTable[i] = 0;
    for (int i : {0, 1, 2, 3, 4, 31, 32, 33, 34, 35, 36, 63}) t->transClientTable[i] = -1;
    if (TransCompressInit(&L->lzw) != 0) return -1;
    return FrameInit(L);
}

int TransStart(LinkEnd* L) {
    FrameStart(L);
    if (L->role != LINK_HOST) return 0;
    Buf* b = BufGet(L->pBufData);
    if (!b) return -1;
    b->type = MSG_START;
    b->clientId = 0;
    b->linkFlags = 0;
    const char* name = L->config.displayName ? L->config.displayName : "";
    size_t m = std::strlen(name) + 1;
    // Keep the start message within what an older peer can take back in its resend form.
    if (8 + L->config.escCount + m > static_cast<size_t>(LINK_LEGACY_FRAME - LINK_MAX_HDR - 2) || m > 255) {
        BufFree(L->pBufData, b);
        return -1;
    }
    uint8_t* e = b->end;
    *e++ = L->config.ourByteOrder;
    *e++ = L->config.ourVersion;
    *e++ = L->config.ourLevel;
    *e++ = static_cast<uint8_t>(L->config.flags & 0xFF);
    *e++ = static_cast<uint8_t>((L->config.timeout >> 8) & 0xFF);
    *e++ = static_cast<uint8_t>(L->config.timeout & 0xFF);
    *e++ = L->config.escCount;
    std::memcpy(e, L->config.escChars, L->config.escCount);
    e += L->config.escCount;
    *e++ = static_cast<uint8_t>(m);
    std::memcpy(e, name, m);
    b->end = e + m;
    Lst local;
    lstInit(&local);
    lstAdd(&local, b);
    TransWrite(L, &local);
    if (lstCount(&local) != 0) {
        BufListFree(L->pBufData, &local);
        return -1;
    }
    return 0;
}

int TransPrepareBuf(LinkEnd* L, Buf* b) {
    TransData* t = &L->trans;
    uint8_t typeByte = b->clientId == 0 ? b->type : static_cast<uint8_t>(b->clientId * 4 + (b->type & 3));
    if (!(b->linkFlags & LINK_NUMBERED)) {
        b->seq = ++t->transSnumWN;
        b->linkFlags |= LINK_NUMBERED;
    }
    b->start -= 2;
    b->start[0] = static_cast<uint8_t>(((t->transSnumRN & 0xF) << 4) | (b->seq & 0xF));
    b->start[1] = typeByte;
    return 0;
}

Buf* TransAddRetransHdr(LinkEnd*, Buf* b) {
    uint8_t h = b->start[0];
    b->start -= 4;
    b->start[0] = h;
    b->start[1] = MSG_REXMIT_HDR;
    b->start[2] = static_cast<uint8_t>(b->seq >> 16);
    b->start[3] = static_cast<uint8_t>(b->seq >> 8);
    b->start[4] = static_cast<uint8_t>(b->seq);
    b->linkFlags |= LINK_REXMIT_HDR;
    return b;
}

Buf* TransEnsureTWLTransport(LinkEnd* L) {
    TransData* t = &L->trans;
    Buf* p = lstLastT<Buf>(&t->transWriteList);
    if (!p || p->type != MSG_TRANSPORT) {
        p = BufGet(L->pBufData);
        if (!p) return nullptr;
        p->type = MSG_TRANSPORT;
        p->clientId = 0;
        p->linkFlags = 0;
        TransPrepareBuf(L, p);
        lstAdd(&t->transWriteList, p);
    }
    if (!(p->linkFlags & LINK_SEND)) {
        p->linkFlags |= LINK_SEND;
        t->transWriteListWCount++;
    }
    return p;
}

int TransFlushWriteList(LinkEnd* L) {
    TransData* t = &L->trans;
    TransRecFlush(L);
    int a = -1;
    uint32_t now = GetTime(&L->clock);
    Buf* first = lstFirstT<Buf>(&t->transWriteList);
    if (now - t->transWTime > 5000000u && t->transSnumWN != 0 && first &&
        !(lstCount(&t->transWriteList) == 1 && first->type == MSG_TRANSPORT && lstCount(&t->transReadCacheList) == 0)) {
        if (TransEnsureTWLTransport(L)) t->transWTime = now;
    }
    if (t->transMakeACK && t->transWriteListWCount == 0) {
        if (TransEnsureTWLTransport(L)) t->transMakeACK = 0;
    }
    for (Buf* b = lstFirstT<Buf>(&t->transWriteList); b && t->transWriteListWCount > 0; b = b->next) {
        if (!(b->linkFlags & LINK_SEND)) continue;
        if (a == -1) a = FrameWriteCWBuf(L);
        if (b->type == MSG_TRANSPORT) {
            // Name every packet missing below the highest one held (state reports do that once
            // recovery is agreed).
            b->end = b->start + ((b->linkFlags & LINK_REXMIT_HDR) ? 6 : 2);
            uint32_t prev = t->transSnumRN;
            for (Buf* c = TransRecOn(L) ? nullptr : lstFirstT<Buf>(&t->transReadCacheList); c; c = c->next) {
                for (uint32_t s = prev + 1; s < c->seq && b->end < b->Limit(); s++) *b->end++ = static_cast<uint8_t>(s);
                prev = c->seq;
            }
        }
        // Room for the frame with every byte stuffed (and the start wrapper, for a resent start).
        if (a < 2 * (static_cast<int>(b->Len()) + 3) + ((b->linkFlags & LINK_DCS_WRAP) ? 10 : 0)) break;
        b->start[0] = static_cast<uint8_t>(((t->transSnumRN & 0xF) << 4) | (b->seq & 0xF));
        if (b->linkFlags & LINK_REXMIT_HDR) L->stats.resends++;
        L->stats.packetsOut++;
        uint64_t before = L->stats.frameBytesOut;
        a = FrameWrite(L, b);
        TransRecSent(L, b, L->stats.frameBytesOut - before, false);
        t->transWriteListWCount--;
        b->linkFlags &= static_cast<uint8_t>(~LINK_SEND);
        t->transSnumLastAcked = t->transSnumRN;
        t->transWTime = GetTime(&L->clock);
    }
    // The window test lets a ninth packet out when eight are outstanding (the newest may be
    // numbered first + 8). That is still safe with 4-bit acknowledgements, which tell apart up to 15
    // outstanding packets; nothing else may widen it (transport packets reuse the tail slot) but
    // the wider window of an agreed recovery, which stays within those 15 as well.
    first = lstFirstT<Buf>(&t->transWriteList);
    if (first && static_cast<int32_t>(t->transSnumWN - (first->seq + TransRecWindow(L))) >= 0) return 0;
    return t->transWriteListWCount == 0 ? a : 0;
}

uint32_t TransWrite(LinkEnd* L, Lst* list) {
    TransData* t = &L->trans;
    uint32_t now = GetTime(&L->clock);
    if (now - t->time_last_check > 1000000u) TransCheckResponse(L, now);
    if (!LinkEarlierVersion(L, 1, 2)) {
        TransCheckTimers(L);
        if (BufPoolCount(L->pBufData) + TransRecBoundBuffers(L) > 95)
            TransOpenWindow(L);
        else
            TransCloseWindow(L);
        // While the peer holds our window closed no new message is taken, but window commands
        // still go out: when both ends have closed each other's window, the open that one of them
        // queues is the only way out.
        if (!t->transSendWindowOpen) list = nullptr;
    }
    int lastWrite = -1;
    uint32_t interval = t->transTimeout;
    for (;;) {
        int a = TransFlushWriteList(L);
        if (a == 0) break;
        if (lstCount(&t->transExtWriteList) == 0 && !list) break;
        if (TransRecPaced(L)) {
            // Held back with something to send: the caller comes back as the line frees.
            if (lstCount(&t->transExtWriteList) > 0 || (list && lstCount(list) > 0)) interval = std::min(interval, TransRecPaceWait(L));
            break;
        }
        Lst* from = &t->transExtWriteList;
        Buf* m = lstFirstT<Buf>(from);
        if (!m) {
            from = list;
            m = lstFirstT<Buf>(list);
            if (!m) break;
        }
        if (a == -1) a = lastWrite >= 0 ? lastWrite : FrameWriteCWBuf(L);
        if (from == list && !TransValidMsg(m)) {
            // The type byte could not carry it, or it is the transport's own: a caller fault.
            lstDelete(from, m);
            BufFree(L->pBufData, m);
            LinkErr(L, "LQx panic: %s\n", "TransWrite bad message type");
            continue;
        }
        if (from == list) TransMergeBufs(L, m, list);
        const bool zcoded = TransZCoded(L, m->type, true);
        bool compressible = zcoded || MsgCompressible(m->type);
        if (!TransNormalize(m) && !compressible) {
            // Longer than any packet can carry: a caller fault, reported and dropped.
            lstDelete(from, m);
            BufFree(L->pBufData, m);
            LinkErr(L, "LQx panic: %s\n", "TransWrite message too long");
            continue;
        }
        if (!zcoded && compressible && L->role == LINK_HOST && m->type != MSG_XMERGED && m->Len() > LINK_SAFE_CODED &&
            TransCut(L, m, from, m, LINK_SAFE_CODED) != 0)
            break;
        // The link-life coder adds at most a byte, and our own peer stores a packet one longer.
        if (zcoded && m->Len() > LINK_MAX_MSG && TransCut(L, m, from, m, LINK_MAX_MSG) != 0) break;
        int e = static_cast<int>(m->Len()) + 12;
        // A coded packet is at most LZW_MAX_OUT bytes; the bound covers its header and FCS too.
        if (zcoded)
            e++;
        else if (compressible)
            e = 2 * e < LZW_MAX_OUT + 2 ? 2 * e : LZW_MAX_OUT + 2;
        if (a < 2 * (e + 3)) break;
        lstDelete(from, m);
        m->next = m->prev = nullptr;
        m->linkFlags = (m->type == MSG_START && L->role == LINK_HOST) ? LINK_DCS_WRAP : 0;
        size_t msgLen = m->Len();
        if (zcoded) {
            if (TransZCode(L, m, &t->transCompList) != 0) {
                lstInsert(from, nullptr, m);
                break;
            }
        } else if (compressible) {
            int r;
            while ((r = TransCompress(&L->lzw, m, &t->transCompList)) == 2) {
                // The coded form would not fit one packet; the coder has taken back every change of
                // the attempt, so send the message in pieces that always fit.
                if (TransCut(L, m, from, nullptr, LZW_SAFE_MSG) != 0) break;
                msgLen = m->Len();
            }
            if (r != 0) {
                lstInsert(from, nullptr, m);
                break;
            }
        }
        if (compressible) {
            Buf* c = lstGetT<Buf>(&t->transCompList);
            c->linkFlags = 0;
            c->type = m->type;
            c->clientId = m->clientId;
            m->start = m->end = m->data;
            lstAdd(&t->transCompList, m);
            m = c;
        }
        TransPrepareBuf(L, m);
        L->stats.packetsOut++;
        L->stats.msgsOut++;
        L->stats.msgBytesOut += msgLen;
        if (m->type == MSG_EXTTRANSPORT) L->stats.extOut++;
        uint64_t before = L->stats.frameBytesOut;
        lastWrite = FrameWrite(L, m);
        TransRecSent(L, m, L->stats.frameBytesOut - before, true);
        if (m->type == MSG_EXTENSIONS) TransExtSent(L, m->start + 2, m->Len() - 2);
        t->transSnumLastAcked = t->transSnumRN;
        t->transWTime = GetTime(&L->clock);
        lstAdd(&t->transWriteList, m);
        if (!LinkEarlierVersion(L, 1, 2)) TransCheckRexmit(L, m);
    }
    // Frame bytes the line did not take at once must not wait for the next packet.
    if (FrameHeld(L->frame.frame_cwbuf)) FrameWriteCWBuf(L);
    return interval;
}

int TransDecodePktCTS(LinkEnd* L, Buf* p) {
    TransData* t = &L->trans;
    int d;
    uint8_t* s = p->start;
    if (s[1] == MSG_REXMIT_HDR) {
        int32_t n = (s[2] << 16) | (s[3] << 8) | s[4];
        s[4] = s[0];
        p->start += 4;
        d = n - static_cast<int32_t>(t->transSnumRN & 0xFFFFFF);
        if (d > 0x7FFFFF) d -= 1 << 24;
        if (d < -0x7FFFFF) d += 1 << 24;
    } else {
        d = TransSeqIncr(t->transSnumRn, s[0] & 0xF);
    }
    uint8_t tb = p->start[1];
    if (tb <= 19) {
        p->type = tb;
        p->clientId = 0;
    } else {
        p->clientId = tb / 4;
        p->type = tb & 3;
    }
    return d;
}

Buf* TransAddToReadCache(LinkEnd* L, Buf* p) {
    Lst* cache = &L->trans.transReadCacheList;
    Buf* after = lstLastT<Buf>(cache);
    while (after && !(static_cast<int32_t>(after->seq - p->seq) < 0)) after = after->prev;
    Buf* n = after ? after->next : lstFirstT<Buf>(cache);
    while (n && n->seq == p->seq) {
        Buf* nx = n->next;
        lstDelete(cache, n);
        BufFree(L->pBufData, n);
        n = nx;
    }
    lstInsert(cache, after, p);
    if (lstLast(cache) == p && (!p->prev || p->prev->seq != p->seq - 1) && !TransRecNoteLoss(L, false)) TransEnsureTWLTransport(L);
    return p;
}

void TransUpdateACKs(LinkEnd* L) {
    TransData* t = &L->trans;
    Buf* b;
    bool released = false;
    while ((b = lstFirstT<Buf>(&t->transWriteList)) && SeqLE(b->seq, t->transAnumRN)) {
        if (b->linkFlags & LINK_SEND) {
            if (b->type == MSG_TRANSPORT && b == lstLast(&t->transWriteList)) break;
            t->transWriteListWCount--;
        }
        released = true;
        lstDelete(&t->transWriteList, b);
        b->linkFlags = 0;
        BufFree(L->pBufData, b);
    }
    if (released) TransRecAcked(L);
    if (!LinkEarlierVersion(L, 1, 2) && t->transSnumTimedRexmit != 0 && SeqLE(t->transSnumTimedRexmit, t->transAnumRN)) {
        Buf* f = lstFirstT<Buf>(&t->transWriteList);
        if (f && f->type != MSG_TRANSPORT) {
            t->transSnumTimedRexmit = f->seq;
            t->transTimers[TIMER_REXMIT].startTime = GetTime(&L->clock);
            t->transTimers[TIMER_REXMIT].period = t->transRexmitTimeout;
            t->transRexmitRetries = 3;
        } else {
            t->transTimers[TIMER_REXMIT].period = 0;
            t->transSnumTimedRexmit = 0;
        }
    }
}

int TransHandleTransportPkt(LinkEnd* L, Buf* p) {
    TransData* t = &L->trans;
    const uint8_t* q = p->start + 2;
    for (Buf* w = lstFirstT<Buf>(&t->transWriteList); w && q < p->end; w = w->next) {
        if (*q != static_cast<uint8_t>(w->seq)) continue;
        q++;
        if (!(w->linkFlags & LINK_SEND)) {
            if (!(w->linkFlags & LINK_REXMIT_HDR)) TransAddRetransHdr(L, w);
            w->linkFlags |= LINK_SEND | LINK_REXMIT_HDR;
            t->transWriteListWCount++;
        }
    }
    return static_cast<int>(p->end - q);
}

void TransTakeAck(LinkEnd* L, uint8_t header) {
    TransData* t = &L->trans;
    uint8_t n = header >> 4;
    t->transAnumRNPrev = t->transAnumRN;
    uint32_t acked = t->transAnumRN + static_cast<uint32_t>(TransSeqIncr(t->transAnumRn, n));
    // The peer cannot acknowledge what was never sent; such a nibble is ignored.
    if (SeqLE(acked, t->transSnumWN)) {
        t->transAnumRN = acked;
        t->transAnumRn = n;
        TransUpdateACKs(L);
    }
}

uint32_t TransRead(LinkEnd* L, Lst* list) {
    TransData* t = &L->trans;
    if (t->pSavedMerged) {
        if (TransUnmergeBufs(L, t->pUncPkt, list)) return TransWrite(L, nullptr);
        BufFree(L->pBufData, t->pUncPkt);
        t->pUncPkt = t->pSavedMerged;
        t->pSavedMerged = nullptr;
        Buf* c = lstFirstT<Buf>(&t->transReadCacheList);
        if (c && c->seq == t->transSnumRN + 1 && !TransDeliver(L, lstGetT<Buf>(&t->transReadCacheList), list))
            return TransWrite(L, nullptr);
    }
    Buf* p;
    const uint64_t badBefore = L->stats.badFrames;
    while (lstCount(list) <= 31 && (p = FrameRead(L))) {
        t->transRTime = GetTime(&L->clock);
        if (TransRecControl(L, p)) continue;
        // A frame too short for its header cannot be a packet of the peer.
        if (p->Len() < 2 || (p->start[1] == MSG_REXMIT_HDR && p->Len() < 6)) {
            L->stats.badFrames++;
            BufFree(L->pBufData, p);
            continue;
        }
        TransRecArrival(L, p);
        int d = TransDecodePktCTS(L, p);
        p->linkFlags = 0;
        p->seq = t->transSnumRN + static_cast<uint32_t>(d);
        TransTakeAck(L, p->start[0]);
        // Nothing legitimate lies further ahead than the 4-bit numbers reach.
        if (d < 0 || d > 15) {
            // A resend of what we hold: our acknowledgement has not reached the peer.
            if (d < 0) TransRecNoteLoss(L, true);
            BufFree(L->pBufData, p);
            continue;
        }
        if (p->type == MSG_TRANSPORT) TransHandleTransportPkt(L, p);
        if (d == 0) {
            if (!(p->Len() > 2 && TransRecNoteLoss(L, true)) && (t->transAnumRN != t->transAnumRNPrev || p->Len() > 2))
                TransEnsureTWLTransport(L);
            BufFree(L->pBufData, p);
        } else if (d > 1) {
            TransAddToReadCache(L, p);
        } else if (!TransDeliver(L, p, list)) {
            TransRecAfterRead(L, L->stats.badFrames != badBefore);
            return TransWrite(L, nullptr);
        }
    }
    TransRecAfterRead(L, L->stats.badFrames != badBefore);
    return TransWrite(L, nullptr);
}

uint32_t TransCheckResponse(LinkEnd* L, uint32_t now) {
    TransData* t = &L->trans;
    t->time_last_check = now;
    if (t->transKeepAliveTimeout && now - t->transWTime > t->transKeepAliveTimeout) TransEnsureTWLTransport(L);
    if (t->transReadTimeout && now - t->transRTime > t->transReadTimeout && L->running) {
        LinkErr(L, "serial connection timeout:\n");
        LinkErr(L, "   over %d seconds without successful communication.\n", L->config.timeout);
        L->running = 0;
    }
    return now - t->transWTime;
}

int TransAllocateClientID(LinkEnd* L, int sock) {
    for (int id = 0; id <= 62; id++) {
        if (L->trans.transClientTable[id] == 0) {
            L->trans.transClientTable[id] = sock;
            TransClientGone(L, id);  // a hold left over from the id's last client is not this one's
            return id;
        }
    }
    return 0;
}

int TransFreeClientID(LinkEnd* L, int id) {
    if (id >= 0 && id <= 62 && L->trans.transClientTable[id] > 0) L->trans.transClientTable[id] = 0;
    return -1;
}
