// Terminal end of the Poly encodings: compact and verbatim forms back into X requests.
#include "relay/xspec/polydec.h"

#include <cstring>

namespace {

constexpr size_t OUT_FILL = 256;  // X bytes per output Buf

struct Out {
    XspecEnv* env;
    Lst* list;
    uint8_t clientId;
    Buf* buf;  // partly filled, queued when full and at the end of the call
};

// Makes room for n bytes (n <= OUT_FILL); false when no buffer can be had.
bool Room(Out* o, size_t n) {
    if (o->buf && o->buf->Len() + n <= OUT_FILL) return true;
    if (o->buf) lstAdd(o->list, o->buf);
    o->buf = XspecNewBuf(o->env->pBufData, MSG_XDATA, o->clientId);
    return o->buf != nullptr;
}

int Finish(Out* o, int rc) {
    if (o->buf) {
        if (o->buf->Len() > 0)
            lstAdd(o->list, o->buf);
        else
            BufFree(o->env->pBufData, o->buf);
        o->buf = nullptr;
    }
    return rc;
}

// Bytes that follow code c of a pair.
size_t PairBytes(int c) { return c == 15 ? 4 : c == 14 ? 2 : 0; }

// Reads one pair's difference and runs it through its cache exactly as the encoder did.
const uint8_t* GetPair(uint16_t* cache, int code, const uint8_t* p, bool unsignedBytes, bool little, uint16_t* pair) {
    if (code == 14) {
        pair[0] = unsignedBytes ? p[0] : static_cast<uint16_t>(static_cast<int8_t>(p[0]));
        pair[1] = unsignedBytes ? p[1] : static_cast<uint16_t>(static_cast<int8_t>(p[1]));
        XspecCache(cache, 15, pair);
        return p + 2;
    }
    if (code == 15) {
        pair[0] = XspecLoad16(p, little);
        pair[1] = XspecLoad16(p + 2, little);
        XspecCache(cache, 15, pair);
        return p + 4;
    }
    XspecCache(cache, code, pair);
    return p;
}

uint32_t ElementCount(const uint8_t* hdr, bool little) {
    const uint32_t len = XspecLoad16(hdr + 2, little);
    return (len * 4u - 12u) / (hdr[0] == X_POLY_LINE ? 4u : 8u);
}

bool GoodLength(uint8_t opcode, uint16_t len) {
    return len >= 3 && (opcode == X_POLY_LINE || ((len - 3) & 1) == 0);
}

int Bad(XspecState* s, Out* o) {
    s->elemRemaining = 0;
    s->passRemaining = 0;
    return Finish(o, XSPEC_POLY_BAD);
}

// Need more bytes than are queued: wait, unless a MSG_XCACHED message already stands in the way.
int Short(XspecState* s, Out* o, const Lst* in) { return XspecInBlocked(in) ? Bad(s, o) : Finish(o, -1); }

}  // namespace

bool XspecPolyDecoding(const XspecState* s) { return s && (s->elemRemaining != 0 || s->passRemaining > 0); }

int XspecPolyDecode(XspecEnv* env, ClientRec* client, Lst* in, Lst* out) {
    XspecState* s = client ? client->xspec : nullptr;
    if (!s) return XSPEC_POLY_BAD;
    const bool little = XspecLittle(client);
    Out o{env, out, static_cast<uint8_t>(client->clientId), nullptr};

    if (!XspecPolyDecoding(s)) {
        s->elemRemaining = 0;
        s->passRemaining = 0;
        uint8_t h[12];
        const size_t have = XspecInPeek(in, 0, h, sizeof h);
        if (have >= 1 && !XspecIsPolyOpcode(h[0])) return Bad(s, &o);
        if (have < 2) return Short(s, &o, in);
        if (h[1] == XSPEC_POLY_VERBATIM) {
            if (have < 5) return Short(s, &o, in);
            // The X request from its byte 1 on: its length field is at bytes 3 and 4 here.
            const uint32_t bytes = XspecRequestSize(h + 1, little);
            if (!Room(&o, 4)) return Finish(&o, -1);
            const uint8_t x[4] = {h[0], h[2], h[3], h[4]};
            XspecPutBytes(o.buf, x, 4);
            XspecInSkip(env->pBufData, in, 5);
            s->curOpcode = h[0];
            s->passRemaining = static_cast<int32_t>(bytes - 4);
        } else {
            const uint8_t flags = h[1];
            const uint8_t mode = flags & (POLY_DELTA_FIRST | POLY_DELTA_PREV);
            const uint8_t allowed = POLY_SAME_HEADER | POLY_DELTA_FIRST | POLY_DELTA_PREV |
                                    (h[0] == X_POLY_LINE ? POLY_COORD_MODE : 0);
            if ((flags & ~allowed) != 0 || (mode != POLY_DELTA_FIRST && mode != POLY_DELTA_PREV)) return Bad(s, &o);
            const size_t hdrLen = (flags & POLY_SAME_HEADER) ? 2 : 12;
            if (have < hdrLen) return Short(s, &o, in);
            uint8_t hdr[12];
            std::memcpy(hdr, (flags & POLY_SAME_HEADER) ? s->lastPolyHeader : h, sizeof hdr);
            hdr[0] = h[0];
            hdr[1] = flags;
            if (!GoodLength(hdr[0], XspecLoad16(hdr + 2, little))) return Bad(s, &o);
            if (!Room(&o, 12)) return Finish(&o, -1);
            uint8_t x[12];
            std::memcpy(x, hdr, sizeof x);
            x[1] = flags & POLY_COORD_MODE;
            XspecPutBytes(o.buf, x, 12);
            XspecInSkip(env->pBufData, in, hdrLen);
            std::memcpy(s->lastPolyHeader, hdr, sizeof hdr);
            s->curOpcode = hdr[0];
            s->elemRemaining = ElementCount(hdr, little);
        }
    }

    // The rest of a verbatim request passes unchanged.
    while (s->passRemaining > 0) {
        if (XspecInAvail(in, 1) == 0) return Short(s, &o, in);
        if (!Room(&o, 1)) return Finish(&o, -1);
        size_t k = OUT_FILL - o.buf->Len();
        if (k > static_cast<size_t>(s->passRemaining)) k = static_cast<size_t>(s->passRemaining);
        k = XspecInPeek(in, 0, o.buf->end, k);
        o.buf->end += k;
        XspecInSkip(env->pBufData, in, k);
        s->passRemaining -= static_cast<int32_t>(k);
    }

    const uint8_t opcode = s->lastPolyHeader[0];
    const uint8_t flags = s->lastPolyHeader[1];
    const bool line = opcode == X_POLY_LINE;
    const bool rect = opcode == X_POLY_RECTANGLE || opcode == X_POLY_FILL_RECTANGLE;
    const int words = line ? 2 : 4;
    const uint32_t total = ElementCount(s->lastPolyHeader, little);
    while (s->elemRemaining != 0) {
        uint8_t r[9];
        const size_t have = XspecInPeek(in, 0, r, line ? 5 : 9);
        if (have < 1) return Short(s, &o, in);
        const int a = r[0] >> 4, b = r[0] & 15;
        const size_t recLen = line ? 1 + PairBytes(r[0] > 15 ? 16 : r[0]) : 1 + PairBytes(a) + PairBytes(b);
        if (line && r[0] > 15) return Bad(s, &o);
        if (have < recLen) return Short(s, &o, in);
        if (!Room(&o, static_cast<size_t>(words) * 2)) return Finish(&o, -1);

        uint16_t e[4];
        if (line) {
            GetPair(s->lineCache, r[0], r + 1, false, little, e);
        } else {
            const uint8_t* p = GetPair(rect ? s->rectPosCache : s->segCache, a, r + 1, false, little, e);
            GetPair(rect ? s->rectSizeCache : s->segCache, b, p, rect, little, e + 2);
        }
        // The first element is sent as it is; the others against the reference, which is the
        // first element (0x40) or the preceding one (0x80).
        const bool first = s->elemRemaining == total;
        for (int w = 0; w < words; w++) {
            if (!first) e[w] = static_cast<uint16_t>(e[w] + s->polyRef[w]);
            if (first || (flags & POLY_DELTA_PREV)) s->polyRef[w] = e[w];
        }
        uint8_t x[8];
        for (int w = 0; w < words; w++) XspecStore16(x + 2 * w, e[w], little);
        XspecPutBytes(o.buf, x, words * 2);
        XspecInSkip(env->pBufData, in, recLen);
        s->elemRemaining--;
    }
    return Finish(&o, 0);
}
