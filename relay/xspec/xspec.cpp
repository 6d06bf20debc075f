// The X request encoder driver of the host end: small requests coded against the shared request
// cache, long requests passed on in pieces, the compact forms handed to their encoders; and the
// decoder of the terminal's events, errors and replies with its shared reply cache.
#include "relay/xspec/xspec.h"

#include <cstring>

#include "relay/core/msg.h"
#include "relay/xspec/poly.h"

static int Min(int a, int b) { return a < b ? a : b; }
static bool Later(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

bool XspecEarlierVersion(const XspecEnv* env, int v, int l) {
    int rv = env->pRemoteVersion ? *env->pRemoteVersion : 0;
    int rl = env->pRemoteLevel ? *env->pRemoteLevel : 0;
    return EarlierVersion(rv, rl, v, l);
}

Buf* XspecBufGet(XspecEnv* env) { return BufGet(env->pBufData); }

static void FreeHead(XspecEnv* env, Lst* q) { BufFree(env->pBufData, lstGetT<Buf>(q)); }

int XspecEncodeInit(XspecEnv* env, ClientRec* client) {
    if (!env || !client || !env->xspecCache || !env->pBufData) return -1;
    XspecMsgCache* mc = env->xspecCache;
    if (mc && !mc->reqSlots) {
        mc->reqSlots = mc->reqStore;
        mc->replySlots = mc->replyStore;
        mc->reqNext = mc->reqFull = mc->replyNext = mc->replyFull = 0;
    }
    XspecState* st = static_cast<XspecState*>(Malloc(sizeof(XspecState)));
    if (!st) return -1;
    std::memset(st, 0, sizeof(XspecState));
    st->pEnv = env;
    st->clientId = client->clientId;
    client->xspec = st;
    return 0;
}

XspecState* XspecFree(XspecState* st) {
    if (!st) return st;
    if (XspecEnv* env = st->pEnv) {
        if (st->polyOut) BufFree(env->pBufData, st->polyOut);
        XspecStoreDone(env, st->clientId);  // a client that goes must not hold up the others
    }
    Free(st);
    return st;
}

// ---------------------------------------------------------------------------------------------
// Caches

int XspecCacheRecord(const uint8_t* m, int len, const uint8_t (*slots)[64], int n, uint8_t* rec) {
    if (len < 4) len = 4;
    if (len > 64) return -1;
    const int limit = (len - 5) / 2;
    int best = 64, bestSlot = -1;
    for (int i = 0; i < n; i++) {
        int count = 0;
        for (int j = 0; j < len && count <= best && count <= limit; j++)
            if (m[j] != slots[i][j]) count++;
        if (count > best || count > limit) continue;
        if (count < best || bestSlot < 0) {
            best = count;
            bestSlot = i;
        }
    }
    if (bestSlot < 0) return -1;
    int k = 0;
    rec[k++] = static_cast<uint8_t>(bestSlot);
    rec[k++] = static_cast<uint8_t>(best);
    for (int j = 0; j < len; j++)
        if (m[j] != slots[bestSlot][j]) {
            rec[k++] = static_cast<uint8_t>(j);
            rec[k++] = m[j];
        }
    return k;
}

Buf* XspecCacheDelta(XspecEnv* env, const uint8_t* m, int len, const uint8_t (*slots)[64], uint8_t next,
                     uint8_t full, int clientId) {
    uint8_t rec[64];
    int n = (full & 1) ? XSPEC_CACHE_SLOTS : next;
    int k = XspecCacheRecord(m, len, slots, n, rec);
    if (k < 0) return nullptr;
    return XspecNewBuf(env->pBufData, MSG_XCACHED, clientId, rec, static_cast<size_t>(k));
}

void XspecCacheStore(const uint8_t* m, int len, uint8_t (*slots)[64], uint8_t* next, uint8_t* full) {
    std::memcpy(slots[*next], m, static_cast<size_t>(Min(len, 64)));
    *next = static_cast<uint8_t>((*next + 1) & 15);
    if (*next == 0 && !(*full & 1)) *full |= 1;
}

// A MSG_XCACHED message is a whole message of its own: gathering never reaches into one.
static bool IsStreamData(const Buf* b) { return b->type != MSG_XCACHED && b->type != MSG_XSTORE; }

// ---------------------------------------------------------------------------------------------
// Link order of cache stores

void XspecStampIncoming(XspecEnv* env, XspecState* st, Lst* in) {
    int i = 0;
    for (Buf* b = lstFirstT<Buf>(in); b; b = b->next, i++)
        if (i >= st->nStamped) {
            if (++env->arrivalStamp == 0) ++env->arrivalStamp;  // 0 means "not waiting"
            b->seq = env->arrivalStamp;
        }
}

bool XspecMayStore(XspecEnv* env, int clientId, uint32_t stamp) {
    if (env->nStalled == 0) return true;
    for (int id = 0; id < XSPEC_MAX_CLIENT_IDS; id++)
        if (id != clientId && env->stalled[id] && Later(stamp, env->stalled[id])) {
            XspecStall(env, clientId, stamp);
            return false;
        }
    return true;
}

void XspecStall(XspecEnv* env, int clientId, uint32_t stamp) {
    clientId &= XSPEC_MAX_CLIENT_IDS - 1;
    if (!env->stalled[clientId]) env->nStalled++;
    env->stalled[clientId] = stamp ? stamp : 1;
}

void XspecStoreDone(XspecEnv* env, int clientId) {
    clientId &= XSPEC_MAX_CLIENT_IDS - 1;
    if (env->stalled[clientId]) {
        env->stalled[clientId] = 0;
        env->nStalled--;
    }
}

// ---------------------------------------------------------------------------------------------
// Encoding driver

int XspecGather(XspecEnv* env, Lst* queue, Buf* b, int want) {
    int total = 0;
    while (b) {
        if (b->start != b->data) {
            if (static_cast<int>(b->Len()) > want) return 0;
            std::memmove(b->data, b->start, b->Len());
            b->end = b->data + b->Len();
            b->start = b->data;
        }
        for (Buf* n = b->next; n && n->Len() == 0 && IsStreamData(n); n = b->next) {
            lstDelete(queue, n);
            BufFree(env->pBufData, n);
        }
        for (Buf* n = b->next; n && IsStreamData(n) && static_cast<int>(b->Len()) < want && b->Len() < 256;
             n = b->next) {
            int k = Min(static_cast<int>(n->Len()), 256 - static_cast<int>(b->Len()));
            std::memcpy(b->end, n->start, static_cast<size_t>(k));
            b->end += k;
            n->start += k;
            if (k > 0 && Later(n->seq, b->seq)) b->seq = n->seq;  // completed by the later message
            if (n->Len() == 0) {
                lstDelete(queue, n);
                BufFree(env->pBufData, n);
            }
        }
        total += static_cast<int>(b->Len());
        if (total >= want) return 0;
        b = b->next;
        if (b && !IsStreamData(b)) return -1;
    }
    return -1;
}

// Moves the first n bytes of the head buffer into a buffer of their own at the head. -1: no buffer.
static int SplitHead(XspecEnv* env, Lst* q, int n) {
    Buf* r = lstFirstT<Buf>(q);
    if (static_cast<int>(r->Len()) <= n) return 0;
    Buf* nb = XspecNewBuf(env->pBufData, MSG_XDATA, r->clientId, r->start, static_cast<size_t>(n));
    if (!nb) return -1;
    r->start += n;
    lstInsert(q, nullptr, nb);
    return 0;
}

int XspecEncodeSmall(XspecEnv* env, ClientRec* client) {
    XspecMsgCache* mc = env->xspecCache;
    Buf* r = lstGetT<Buf>(client->reqList);
    if (!r) return -1;
    r->type = MSG_XDATA;
    r->clientId = static_cast<uint8_t>(client->clientId);
    int len = static_cast<int>(r->Len());
    Buf* coded = nullptr;
    if (mc->reqNext != 0 || (mc->reqFull & 1))
        coded = XspecCacheDelta(env, r->start, len, mc->reqSlots, mc->reqNext, mc->reqFull, client->clientId);
    XspecCacheStore(r->start, len, mc->reqSlots, &mc->reqNext, &mc->reqFull);
    if (coded) {
        lstAdd(client->encList, coded);
        BufFree(env->pBufData, r);
    } else {
        lstAdd(client->encList, r);
    }
    return 0;
}

// Sends at most 128 bytes of the request in progress (or starting) at the head of the queue.
// c is the number of its bytes not yet sent. -1: nothing could be sent now.
static int PassPiece(XspecEnv* env, ClientRec* client, XspecState* st, int c, uint8_t op) {
    Buf* r = lstFirstT<Buf>(client->reqList);
    int n = Min(Min(c, static_cast<int>(r->Len())), XSPEC_PIECE_MAX);
    if (!st->inProgress && n < c && r->Len() < 4) return -1;
    uint8_t hdr[4] = {};
    if (!st->inProgress && n < c) std::memcpy(hdr, r->start, 4);
    if (n == static_cast<int>(r->Len())) {
        lstGet(client->reqList);
    } else {
        if (SplitHead(env, client->reqList, n) < 0) return -1;
        r = lstGetT<Buf>(client->reqList);
    }
    r->type = MSG_XDATA;
    r->clientId = static_cast<uint8_t>(client->clientId);
    lstAdd(client->encList, r);
    if (n == c) {
        st->inProgress = 0;
        st->passRemaining = 0;
        st->verbatim = 0;
    } else {
        if (!st->inProgress) {
            st->inProgress = 1;
            st->curOpcode = op;
            std::memcpy(st->curHeader, hdr, 4);
        }
        st->passRemaining = c - n;
    }
    return 0;
}

// An ImageText8 request without a compact form: the marker [76][n][0xff][0xff] replaces its
// first two bytes, and the rest of it follows as a long request does.
static int TextVerbatimStart(XspecEnv* env, ClientRec* client, XspecState* st, int size) {
    Buf* r = lstFirstT<Buf>(client->reqList);
    const uint8_t mark[4] = {X_IMAGE_TEXT8, r->start[1], 0xff, 0xff};
    Buf* m = XspecNewBuf(env->pBufData, MSG_XDATA, client->clientId, mark, 4);
    if (!m) return -1;
    std::memcpy(st->curHeader, r->start, 4);
    r->start += 2;
    lstAdd(client->encList, m);
    st->inProgress = 1;
    st->verbatim = 1;
    st->curOpcode = X_IMAGE_TEXT8;
    st->passRemaining = size - 2;
    return 0;
}


int XspecEncode(XspecEnv* env, ClientRec* client) {
    if (!env || !client || !client->xspec) return 0;
    XspecState* st = client->xspec;
    st->swapBytes = client->byteOrder != env->hostByteOrder;
    const bool little = XspecLittle(client);
    Lst* q = client->reqList;
    for (Buf* b = lstFirstT<Buf>(q); b;) {
        Buf* next = b->next;
        if (b->Len() == 0) {
            lstDelete(q, b);
            BufFree(env->pBufData, b);
        } else {
            b->type = MSG_XDATA;
        }
        b = next;
    }
    for (;;) {
        Buf* r = lstFirstT<Buf>(q);
        if (!r) return 0;
        if (r->Len() == 0) {
            FreeHead(env, q);
            continue;
        }
        uint8_t op;
        int c, b;
        if (st->inProgress) {
            op = st->curOpcode;
            c = st->passRemaining;
            b = XspecLoad16(st->curHeader + 2, little) * 4;
        } else {
            if (r->Len() < 4) {
                XspecGather(env, q, r, 4);
                r = lstFirstT<Buf>(q);
                if (r->Len() < 4) return 0;
            }
            op = r->start[0];
            c = b = XspecLoad16(r->start + 2, little) * 4;
            const bool poly = XspecIsPolyOpcode(op);
            if (b == 0 && !poly && op != X_IMAGE_TEXT8) {
                // Length field 0: request intake read 4 bytes; they go on unchanged and unstored.
                if (SplitHead(env, q, 4) < 0) return 0;
                Buf* m = lstGetT<Buf>(q);
                m->type = MSG_XDATA;
                m->clientId = static_cast<uint8_t>(client->clientId);
                lstAdd(client->encList, m);
                continue;
            }
            if (op == X_IMAGE_TEXT8) {
                if (b == 0 || !XspecTextWellFormed(r->start, little)) {
                    if (TextVerbatimStart(env, client, st, static_cast<int>(XspecRequestSize(r->start, little))) < 0)
                        return 0;
                    continue;
                }
                int res = XspecTextStep(env, client);
                if (res != 0) return res < 0 ? 0 : res;
                continue;
            }
        }
        r = lstFirstT<Buf>(q);
        XspecGather(env, q, r, Min(c, XSPEC_PIECE_MAX));
        r = lstFirstT<Buf>(q);
        if (!r) return 0;
        if (XspecIsPolyOpcode(op) && !st->verbatim) {
            if (!st->inProgress && static_cast<int>(r->Len()) < Min(b, 52)) return 0;
            if (!st->inProgress) st->curOpcode = op;
            int res;
            if (op == X_POLY_LINE)
                res = XspecPolyLineEncode(env, client, q, client->encList);
            else if (op == X_POLY_SEGMENT)
                res = XspecPolySegEncode(env, client, q, client->encList);
            else
                res = XspecPolyRectEncode(env, client, q, client->encList);
            st->inProgress = res;
            if (res != 0) return 0;
            continue;
        }
        if (!st->inProgress && b <= XSPEC_SMALL_MAX) {
            if (static_cast<int>(r->Len()) < b) return 0;
            if (SplitHead(env, q, b) < 0) return 0;
            st->inProgress = 0;
            if (XspecEncodeSmall(env, client) < 0) return 0;
            continue;
        }
        if (PassPiece(env, client, st, c, op) < 0) return 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Decoding driver (host end): the terminal's events, errors and replies

static void FocusRule(XspecEnv* env, const uint8_t* m, int clientId) {
    if (!env->pFocusClient) return;
    if (m[0] == 7 || m[0] == 9) *env->pFocusClient = clientId;
    if ((m[0] == 8 || m[0] == 10) && *env->pFocusClient == clientId) *env->pFocusClient = 0;
}

// Parses the records of a coded message. Returns the number of whole, valid records; records
// after a malformed one are not decoded.
static int CountRecords(const uint8_t* p, int len) {
    int n = 0, i = 0;
    while (i + 2 <= len) {
        int k = p[i + 1];
        if (p[i] > 15 || i + 2 + 2 * k > len) break;
        for (int j = 0; j < k; j++)
            if (p[i + 2 + 2 * j] > 63) return n;
        i += 2 + 2 * k;
        n++;
    }
    return n;
}

// Rebuilds the messages of a coded record message against `slots`, storing each, and appends them
// to `out` packed four to a buffer. All records of the message are decoded in one go, or none
// (-1: not enough buffers). `little` gives the byte order of reply lengths; reqSide selects the
// request size rule (length field times 4) instead of the reply rule.
int XspecRebuildRecords(XspecEnv* env, const Buf* s, uint8_t (*slots)[64], uint8_t* next, uint8_t* full,
                        Lst* out, int clientId, bool little, bool reqSide) {
    const int nrec = CountRecords(s->start, static_cast<int>(s->Len()));
    Buf* bufs[(BUF_DATA_SIZE / 2 + 3) / 4 + 1];
    const int nbuf = (nrec + 3) / 4;
    for (int i = 0; i < nbuf; i++) {
        bufs[i] = XspecNewBuf(env->pBufData, MSG_XDATA, clientId);
        if (!bufs[i]) {
            while (i > 0) BufFree(env->pBufData, bufs[--i]);
            return -1;
        }
    }
    const uint8_t* p = s->start;
    for (int r = 0; r < nrec; r++) {
        uint8_t m[64];
        std::memcpy(m, slots[p[0]], 64);
        int k = p[1];
        for (int j = 0; j < k; j++) m[p[2 + 2 * j]] = p[3 + 2 * j];
        p += 2 + 2 * k;
        int size;
        if (reqSide) {
            size = static_cast<int>(XspecRequestSize(m, little));
        } else {
            const uint32_t whole = XspecLinkMessageSize(m, little);
            size = static_cast<int>(whole > 64 ? 64 : whole);
            FocusRule(env, m, clientId);
        }
        if (size > 64) size = 64;
        XspecCacheStore(m, size, slots, next, full);
        Buf* b = bufs[r / 4];
        std::memcpy(b->end, m, static_cast<size_t>(size));
        b->end += size;
    }
    for (int i = 0; i < nbuf; i++) lstAdd(out, bufs[i]);
    return 0;
}

int XspecDecodeCached(XspecEnv* env, ClientRec* client) {
    XspecMsgCache* mc = env->xspecCache;
    Buf* s = lstFirstT<Buf>(client->replyInList);
    if (!XspecMayStore(env, client->clientId, s->seq)) return -1;
    if (XspecRebuildRecords(env, s, mc->replySlots, &mc->replyNext, &mc->replyFull, client->replyOutList,
                            client->clientId, XspecLittle(client), false) < 0) {
        XspecStall(env, client->clientId, s->seq);
        return -1;
    }
    XspecStoreDone(env, client->clientId);
    FreeHead(env, client->replyInList);
    return 0;
}

// Moves the head buffer to the reply output queue, in pieces of at most 128 bytes when buffers
// allow (the pieces only bound the size of socket writes, so a short pool passes it whole).
static void DeliverHead(XspecEnv* env, ClientRec* client) {
    Lst* in = client->replyInList;
    Buf* h = lstFirstT<Buf>(in);
    while (h->Len() > XSPEC_PIECE_MAX) {
        Buf* nb = XspecNewBuf(env->pBufData, MSG_XDATA, client->clientId, h->start, XSPEC_PIECE_MAX);
        if (!nb) break;
        h->start += XSPEC_PIECE_MAX;
        lstAdd(client->replyOutList, nb);
    }
    lstAdd(client->replyOutList, lstGet(in));
}

int XspecDecode(XspecEnv* env, ClientRec* client) {
    if (!env || !client || !client->xspec) return 0;
    XspecState* st = client->xspec;
    st->swapBytes = client->byteOrder != env->hostByteOrder;
    const bool little = XspecLittle(client);
    XspecMsgCache* mc = env->xspecCache;
    Lst* in = client->replyInList;
    XspecStampIncoming(env, st, in);
    for (;;) {
        Buf* q = lstFirstT<Buf>(in);
        if (!q) break;
        if (q->Len() == 0) {
            FreeHead(env, in);
            continue;
        }
        if (q->type == MSG_XCACHED) {
            if (XspecDecodeCached(env, client) < 0) break;
            continue;
        }
        if (q->type == MSG_XSTORE) {  // whole messages only: never inside a long one
            if (env->storeOut && env->storeOut(env, client) < 0) break;
            FreeHead(env, in);
            continue;
        }
        if (st->replyPartial) {
            if (st->replyRemaining > static_cast<int32_t>(q->Len()))
                st->replyRemaining -= static_cast<int32_t>(q->Len());
            else
                st->replyPartial = 0;
            DeliverHead(env, client);
            continue;
        }
        if (q->Len() < 8) XspecGather(env, in, q, 8);
        q = lstFirstT<Buf>(in);
        uint32_t size = q->Len() >= 8 ? XspecLinkMessageSize(q->start, little) : 32;
        XspecGather(env, in, q, size > 256 ? 256 : static_cast<int>(size));
        q = lstFirstT<Buf>(in);
        const bool broken = q->next && !IsStreamData(q->next);  // the peer cut a message short
        if (q->Len() < size) {
            if (size <= XSPEC_SMALL_MAX && !broken) break;
            if (size > XSPEC_SMALL_MAX && q->Len() < 8 && !broken) break;
        }
        if (size <= XSPEC_SMALL_MAX && q->Len() >= size) {
            if (!XspecMayStore(env, client->clientId, q->seq)) break;
            XspecStoreDone(env, client->clientId);
            FocusRule(env, q->start, client->clientId);
            XspecCacheStore(q->start, static_cast<int>(size), mc->replySlots, &mc->replyNext, &mc->replyFull);
        } else if (q->Len() >= 8) {
            FocusRule(env, q->start, client->clientId);
            if (q->Len() < size) {
                st->replyPartial = 1;
                uint32_t rest = size - static_cast<uint32_t>(q->Len());
                st->replyRemaining = rest > 0x7fffffff ? 0x7fffffff : static_cast<int32_t>(rest);
            }
        }
        DeliverHead(env, client);
    }
    st->nStamped = lstCount(in);
    return 0;
}
