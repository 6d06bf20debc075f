// The terminal end of the X encodings: rebuilds each client's plain X requests from the host's
// stream, and codes the X server's events, errors and replies for the host.
//
// How the host's stream is read (choices where the protocol leaves the peer open):
//  * The MSG_XDATA messages of one client form one byte stream, cut anywhere. At a request
//    boundary the first byte tells the form: 65, 66, 67 and 70 are Poly forms (compact or
//    verbatim, polydec.h); 76 is an ImageText8 form, told apart by its flags (bytes 2-3): 0xffff the
//    verbatim form, 0x8000 with 0x4000 a single form, 0x8000 alone a run; any other opcode is a plain
//    X request, whose length field (0 counting as 4 bytes) gives its size.
//  * A MSG_XCACHED message holds exactly one coded record, standing for one request of 4 to 64
//    bytes (its length field times 4). It arrives only at a request boundary.
//  * A plain request of at most 64 bytes, and every request rebuilt from a record, is stored into
//    the mirror request cache, in link order across all clients (XspecEnv::stalled); nothing else is.
//  * A run message stands for the requests the host left out, rebuilt from the templates: a triple
//    gives template 1, template 2 drawn at template 1's place, and template 3; a pair gives
//    template 2 at template 1's place, then template 3. Templates and lastText then change as
//    XspecTextApplyRun describes, exactly as at the host.
//  * A Poly request without elements arrives as its compact header without records and is rebuilt
//    as the 12-byte request; malformed ones come verbatim. Both reach the X server, so the server's
//    sequence numbers match the client's.
//  * Bytes that break off before a MSG_XCACHED message cannot be a whole request: they are dropped.
#include <cstring>

#include "relay/xspec/polydec.h"
#include "relay/xspec/xspec.h"

namespace {

// The stream data before the next coded record cannot be completed: drop it.
void DropPartial(XspecEnv* env, Lst* in) {
    while (Buf* b = lstFirstT<Buf>(in)) {
        if (b->type == MSG_XCACHED) break;
        BufFree(env->pBufData, lstGetT<Buf>(in));
    }
}

void ResetUnit(XspecState* st) {
    st->inProgress = 0;
    st->passRemaining = 0;
    st->verbatim = 0;
}

}  // namespace

int XspecTermDecode(XspecEnv* env, ClientRec* client) {
    if (!env || !client || !client->xspec) return 0;
    XspecState* st = client->xspec;
    st->swapBytes = client->byteOrder != env->hostByteOrder;
    const bool little = XspecLittle(client);
    XspecMsgCache* mc = env->xspecCache;
    Lst* in = client->replyInList;
    Lst* out = client->replyOutList;
    const int id = client->clientId;
    XspecStampIncoming(env, st, in);
    for (;;) {
        Buf* q = lstFirstT<Buf>(in);
        if (!q) break;
        if (q->Len() == 0) {
            BufFree(env->pBufData, lstGetT<Buf>(in));
            continue;
        }
        if (q->type == MSG_XCACHED) {
            if (st->inProgress) {
                if (XspecIsPolyOpcode(st->curOpcode) && !st->verbatim) XspecPolyDecode(env, client, in, out);
                ResetUnit(st);  // the host never cuts a request short: what was begun is lost
            }
            if (!XspecMayStore(env, id, q->seq)) break;
            if (XspecRebuildRecords(env, q, mc->reqSlots, &mc->reqNext, &mc->reqFull, out, id, little, true) < 0) {
                XspecStall(env, id, q->seq);
                break;
            }
            XspecStoreDone(env, id);
            BufFree(env->pBufData, lstGetT<Buf>(in));
            continue;
        }
        if (st->inProgress && XspecIsPolyOpcode(st->curOpcode) && !st->verbatim) {
            int res = XspecPolyDecode(env, client, in, out);
            if (res == -1) break;
            ResetUnit(st);
            if (res == XSPEC_POLY_BAD) DropPartial(env, in);
            continue;
        }
        if (st->inProgress) {  // a long plain or verbatim request
            uint8_t tmp[256];
            size_t n = XspecInAvail(in, st->passRemaining < 256 ? static_cast<size_t>(st->passRemaining) : 256);
            if (n == 0) break;
            XspecInPeek(in, 0, tmp, n);
            if (XspecOutPut(env->pBufData, out, MSG_XDATA, id, tmp, n) < 0) break;
            XspecInSkip(env->pBufData, in, n);
            st->passRemaining -= static_cast<int32_t>(n);
            if (st->passRemaining <= 0) ResetUnit(st);
            continue;
        }
        uint8_t h[6];
        const size_t have = XspecInPeek(in, 0, h, sizeof h);
        const uint8_t op = h[0];
        size_t need = 4;
        if (XspecIsPolyOpcode(op)) {
            st->curOpcode = op;
            int res = XspecPolyDecode(env, client, in, out);
            if (res == -1) {
                if (XspecPolyDecoding(st)) st->inProgress = -1;
                break;
            }
            if (res == XSPEC_POLY_BAD) DropPartial(env, in);
            continue;
        }
        if (op == X_IMAGE_TEXT8 && have >= 4 && h[2] == 0xff && h[3] == 0xff) need = 6;
        if (have < need) {
            if (XspecInBlocked(in)) {
                DropPartial(env, in);
                continue;
            }
            break;
        }
        if (op == X_IMAGE_TEXT8) {
            const uint16_t flags = XspecLoad16(h + 2, false);  // ours: most significant byte first
            if (flags == XSPEC_TEXT_VERBATIM) {
                const uint8_t x[4] = {X_IMAGE_TEXT8, h[1], h[4], h[5]};
                const int size = static_cast<int>(XspecRequestSize(x, little));
                if (XspecOutPut(env->pBufData, out, MSG_XDATA, id, x, 4) < 0) break;
                XspecInSkip(env->pBufData, in, 6);
                if (size > 4) {
                    st->inProgress = 1;
                    st->verbatim = 1;
                    st->curOpcode = op;
                    st->passRemaining = size - 4;
                }
                continue;
            }
            if (!(flags & 0x8000)) {  // no form of ours: skip the marker
                XspecInSkip(env->pBufData, in, 4);
                continue;
            }
            const bool single = flags & 0x4000;
            const size_t len = single ? static_cast<size_t>(XspecTextSingleHdrSize(flags) + ((flags & 0x100) ? 1 : h[1]))
                                      : static_cast<size_t>(XspecTextRunSize(flags));
            uint8_t msg[4 + 12 + 255];
            if (XspecInPeek(in, 0, msg, len) < len) {
                if (XspecInBlocked(in)) {
                    DropPartial(env, in);
                    continue;
                }
                break;
            }
            XspecState trial = *st;
            uint8_t req[272];
            size_t size = single ? static_cast<size_t>(XspecTextDecodeSingle(&trial, msg, little, req))
                                 : static_cast<size_t>(20 * XspecTextApplyRun(&trial, msg, req));
            if (XspecOutPut(env->pBufData, out, MSG_XDATA, id, req, size) < 0) break;
            *st = trial;
            XspecInSkip(env->pBufData, in, len);
            continue;
        }
        int size = XspecLoad16(h + 2, little) * 4;
        if (size == 0) {
            if (XspecOutPut(env->pBufData, out, MSG_XDATA, id, h, 4) < 0) break;
            XspecInSkip(env->pBufData, in, 4);
            continue;
        }
        if (size > XSPEC_SMALL_MAX) {
            st->inProgress = 1;
            st->curOpcode = op;
            st->passRemaining = size;
            continue;
        }
        uint8_t m[64];
        if (XspecInPeek(in, 0, m, static_cast<size_t>(size)) < static_cast<size_t>(size)) {
            if (XspecInBlocked(in)) {
                DropPartial(env, in);
                continue;
            }
            break;
        }
        const uint32_t stamp = XspecInStampAt(in, static_cast<size_t>(size - 1));
        if (!XspecMayStore(env, id, stamp)) break;
        if (XspecOutPut(env->pBufData, out, MSG_XDATA, id, m, static_cast<size_t>(size)) < 0) {
            XspecStall(env, id, stamp);
            break;
        }
        XspecStoreDone(env, id);
        XspecCacheStore(m, size, mc->reqSlots, &mc->reqNext, &mc->reqFull);
        XspecInSkip(env->pBufData, in, static_cast<size_t>(size));
    }
    st->nStamped = lstCount(in);
    return 0;
}

// Codes the X server's bytes for the host: every event, error and reply starts a link message of
// its own; one of at most 64 bytes goes plain or, when a slot of the mirror reply cache is close
// enough, as a coded record (records of one call share a MSG_XCACHED message up to 128 bytes); a
// longer reply goes in pieces of at most 128 bytes with nothing after its end.
int XspecTermEncode(XspecEnv* env, ClientRec* client) {
    if (!env || !client || !client->xspec) return 0;
    XspecState* st = client->xspec;
    st->swapBytes = client->byteOrder != env->hostByteOrder;
    const bool little = XspecLittle(client);
    XspecMsgCache* mc = env->xspecCache;
    Lst* in = client->reqList;
    const int id = client->clientId;
    Buf* cached = nullptr;  // the coded message being filled in this call
    for (;;) {
        uint8_t m[XSPEC_PIECE_MAX];
        if (st->replyPartial && st->replyRemaining <= 0) st->replyPartial = 0;
        if (st->replyPartial) {
            size_t want = st->replyRemaining < XSPEC_PIECE_MAX ? static_cast<size_t>(st->replyRemaining) : XSPEC_PIECE_MAX;
            size_t n = XspecInPeek(in, 0, m, want);
            if (n == 0) break;
            Buf* b = XspecNewBuf(env->pBufData, MSG_XDATA, id, m, n);
            if (!b) break;
            lstAdd(client->encList, b);
            XspecInSkip(env->pBufData, in, n);
            st->replyRemaining -= static_cast<int32_t>(n);
            if (st->replyRemaining <= 0) st->replyPartial = 0;
            continue;
        }
        if (XspecInPeek(in, 0, m, 32) < 32) break;
        const uint32_t size = XspecLinkMessageSize(m, little);
        if (XspecIsGenericEvent(m)) {
            // An extension's generic event is longer than the 32 bytes the host counts for an
            // event: it goes whole in one plain message, which the host passes on whole, and only
            // its first 32 bytes enter the cache at both ends. (One longer than a link message
            // cannot be carried in a way the host would read; it goes in pieces regardless.)
            const uint32_t total = XspecServerMessageSize(m, little);
            if (total <= 256) {
                uint8_t g[256];
                if (XspecInPeek(in, 0, g, total) < total) break;
                Buf* b = XspecNewBuf(env->pBufData, MSG_XDATA, id, g, total);
                if (!b) break;
                lstAdd(client->encList, b);
                XspecCacheStore(g, 32, mc->replySlots, &mc->replyNext, &mc->replyFull);
                XspecInSkip(env->pBufData, in, total);
                continue;
            }
        }
        if (size <= XSPEC_SMALL_MAX) {
            if (XspecInPeek(in, 0, m, size) < size) break;
            uint8_t rec[64];
            int k = -1;
            if (mc->replyNext || (mc->replyFull & 1))
                k = XspecCacheRecord(m, static_cast<int>(size), mc->replySlots,
                                     (mc->replyFull & 1) ? XSPEC_CACHE_SLOTS : mc->replyNext, rec);
            if (k > 0 && !(cached && cached == lstLast(client->encList) && cached->Len() + k <= XSPEC_PIECE_MAX)) {
                cached = XspecNewBuf(env->pBufData, MSG_XCACHED, id);
                if (cached) lstAdd(client->encList, cached);
            }
            if (k > 0 && cached) {
                std::memcpy(cached->end, rec, static_cast<size_t>(k));
                cached->end += k;
            } else {
                Buf* b = XspecNewBuf(env->pBufData, MSG_XDATA, id, m, size);
                if (!b) break;
                lstAdd(client->encList, b);
            }
            XspecCacheStore(m, static_cast<int>(size), mc->replySlots, &mc->replyNext, &mc->replyFull);
            XspecInSkip(env->pBufData, in, size);
            continue;
        }
        st->replyPartial = 1;  // the first piece goes out below
        st->replyRemaining = size > 0x7fffffff ? 0x7fffffff : static_cast<int32_t>(size);
    }
    return 0;
}
