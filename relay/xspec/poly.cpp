// Host end of the Poly encodings: PolyLine, PolySegment, PolyRectangle and PolyFillRectangle are
// sent as a shortened header and one small record per element, coded against move-to-front caches
// of recent differences. The layout of what crosses the line is described in poly.h.
#include "relay/xspec/poly.h"

#include <cstring>

// ---------------------------------------------------------------------------------------------
// Helpers shared by both ends

bool XspecPolySwaps(const ClientRec* client) {
    const uint16_t probe = 1;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    const bool machineBig = first == 0;
    return (client->byteOrder == 'B') != machineBig;
}

int XspecCache(uint16_t* cache, int code, uint16_t* pair) {
    uint16_t* xs = cache;
    uint16_t* ys = cache + POLY_CACHE_ENTRIES;
    int i;
    bool found = true;
    if (code >= 0 && code < POLY_CACHE_ENTRIES) {
        i = code;
        pair[0] = xs[i];
        pair[1] = ys[i];
    } else {
        for (i = 0; i < POLY_CACHE_ENTRIES; i++)
            if (xs[i] == pair[0] && ys[i] == pair[1]) break;
        if (i == POLY_CACHE_ENTRIES) {
            found = false;
            i = POLY_CACHE_ENTRIES - 1;
        }
    }
    for (int k = i; k > 0; k--) {
        xs[k] = xs[k - 1];
        ys[k] = ys[k - 1];
    }
    xs[0] = pair[0];
    ys[0] = pair[1];
    return found ? i : -1;
}

Buf* XspecPutByte(Buf* buf, uint8_t byte) {
    *buf->end++ = byte;
    return buf;
}

Buf* XspecPutBytes(Buf* buf, const void* src, int len) {
    std::memcpy(buf->end, src, static_cast<size_t>(len));
    buf->end += len;
    return buf;
}

void XspecSwapPoints(int n, uint16_t* pairs) {
    for (int i = 0; i < 2 * n; i++) pairs[i] = static_cast<uint16_t>(pairs[i] << 8 | pairs[i] >> 8);
}

void XspecDeltaPrev(int n, int words, uint16_t* elems, uint16_t* ref) {
    if (n <= 0) return;
    uint16_t last[4];
    std::memcpy(last, elems + (n - 1) * words, sizeof(uint16_t) * static_cast<size_t>(words));
    // Backwards, so that each element still sees its predecessor's original value.
    for (int k = n - 1; k >= 0; k--) {
        const uint16_t* prev = k > 0 ? elems + (k - 1) * words : ref;
        for (int w = 0; w < words; w++) elems[k * words + w] = static_cast<uint16_t>(elems[k * words + w] - prev[w]);
    }
    std::memcpy(ref, last, sizeof(uint16_t) * static_cast<size_t>(words));
}

void XspecDeltaFirst(int n, int words, uint16_t* elems, const uint16_t* ref) {
    for (int k = 0; k < n; k++)
        for (int w = 0; w < words; w++) elems[k * words + w] = static_cast<uint16_t>(elems[k * words + w] - ref[w]);
}

// ---------------------------------------------------------------------------------------------
// Mode choices

static int S(uint16_t v) { return static_cast<int16_t>(v); }
static bool FitsPos(int dx, int dy) { return dx >= -128 && dx <= 127 && dy >= -128 && dy <= 127; }
static bool FitsSize(int dw, int dh) { return dw <= 255 && dh <= 255; }

// Applies the chosen mode to the chunk: 0x80 codes every element against its predecessor, the
// first against (0, 0); 0x40 codes every element after the first against the first.
static uint8_t ApplyMode(bool prevWins, int n, int words, uint16_t* elems, uint16_t* ref) {
    if (prevWins) {
        std::memset(ref, 0, sizeof(uint16_t) * static_cast<size_t>(words));
        XspecDeltaPrev(n, words, elems, ref);
        return POLY_DELTA_PREV;
    }
    std::memcpy(ref, elems, sizeof(uint16_t) * static_cast<size_t>(words));
    XspecDeltaFirst(n - 1, words, elems + words, ref);
    return POLY_DELTA_FIRST;
}

uint8_t XspecLineChooseMode(int n, uint16_t* p, uint16_t* ref) {
    int prev = FitsPos(S(p[0]), S(p[1])) ? 1 : 0;
    int first = prev;
    for (int k = 1; k < n; k++) {
        if (FitsPos(S(p[2 * k]) - S(p[2 * k - 2]), S(p[2 * k + 1]) - S(p[2 * k - 1]))) prev++;
        if (FitsPos(S(p[2 * k]) - S(p[0]), S(p[2 * k + 1]) - S(p[1]))) first++;
    }
    return ApplyMode(prev > first, n, 2, p, ref);
}

uint8_t XspecRectChooseMode(int n, uint16_t* r, uint16_t* ref) {
    int prevPos = FitsPos(S(r[0]), S(r[1])) ? 1 : 0, firstPos = prevPos;
    int prevSize = r[2] <= 255 && r[3] <= 255 ? 1 : 0, firstSize = prevSize;
    for (int k = 1; k < n; k++) {
        const uint16_t* e = r + 4 * k;
        const uint16_t* p = e - 4;
        if (FitsPos(S(e[0]) - S(p[0]), S(e[1]) - S(p[1]))) prevPos++;
        if (FitsPos(S(e[0]) - S(r[0]), S(e[1]) - S(r[1]))) firstPos++;
        if (FitsSize(e[2] - p[2], e[3] - p[3])) prevSize++;
        if (FitsSize(e[2] - r[2], e[3] - r[3])) firstSize++;
    }
    return ApplyMode(prevPos + prevSize > firstPos + firstSize, n, 4, r, ref);
}

uint8_t XspecSegChooseMode(int n, uint16_t* s, uint16_t* ref) {
    int prev = (FitsPos(S(s[0]), S(s[1])) ? 1 : 0) + (FitsPos(S(s[2]), S(s[3])) ? 1 : 0);
    int first = prev;
    for (int k = 1; k < n; k++) {
        const uint16_t* e = s + 4 * k;
        const uint16_t* p = e - 4;
        for (int h = 0; h < 4; h += 2) {
            if (FitsPos(S(e[h]) - S(p[h]), S(e[h + 1]) - S(p[h + 1]))) prev++;
            if (FitsPos(S(e[h]) - S(s[h]), S(e[h + 1]) - S(s[h + 1]))) first++;
        }
    }
    return ApplyMode(prev > first, n, 4, s, ref);
}

// ---------------------------------------------------------------------------------------------
// Encoding

ClientRec* XspecInputElements(XspecEnv* env, ClientRec* client, Lst* reqList, XspecState* state, int size) {
    const size_t n = static_cast<size_t>(state->elemCount) * static_cast<size_t>(size);
    XspecInPeek(reqList, 0, state->elements, n);
    XspecInSkip(env->pBufData, reqList, n);
    return client;
}

static XspecPolyStats* StatsFor(XspecEnv* env, uint8_t opcode) {
    if (opcode == X_POLY_LINE) return &env->polyLineStats;
    if (opcode == X_POLY_SEGMENT) return &env->polySegStats;
    return &env->polyRectStats;
}

static Buf* NewOut(XspecEnv* env, XspecState* s) { return XspecNewBuf(env->pBufData, MSG_XDATA, s->polyClientId); }

static void QueueOut(XspecEnv* env, XspecState* s, uint8_t opcode, Lst* encList) {
    StatsFor(env, opcode)->bytesOut += static_cast<uint32_t>(s->polyOut->Len());
    lstAdd(encList, s->polyOut);
    s->polyOut = nullptr;
}

// Code of one pair: 0..13 a cache hit, 14 one byte per number, 15 two bytes per number.
static int PairCode(uint16_t* cache, uint16_t* pair, bool unsignedBytes) {
    int c = XspecCache(cache, 15, pair);
    if (c >= 0) return c;
    if (unsignedBytes) return pair[0] <= 255 && pair[1] <= 255 ? 14 : 15;
    return FitsPos(S(pair[0]), S(pair[1])) ? 14 : 15;
}

static void PutPair(Buf* out, int code, const uint16_t* pair, bool little) {
    if (code == 14) {
        XspecPutByte(out, static_cast<uint8_t>(pair[0]));
        XspecPutByte(out, static_cast<uint8_t>(pair[1]));
    } else if (code == 15) {
        uint8_t b[4];
        XspecStore16(b, pair[0], little);
        XspecStore16(b + 2, pair[1], little);
        XspecPutBytes(out, b, 4);
    }
}

// Writes the staged elements (points, rectangles or segments). When no buffer can be had the
// unwritten elements stay staged, moved to the front, for the next call.
static int PutElements(XspecEnv* env, ClientRec* client, Lst* encList, uint8_t opcode, uint16_t* el) {
    XspecState* s = client->xspec;
    const bool line = opcode == X_POLY_LINE;
    const int words = line ? 2 : 4;
    const size_t full = line ? POLY_LINE_OUT_FULL : POLY_RECT_OUT_FULL;
    const bool little = XspecLittle(client);
    if (!s->polyOut && !(s->polyOut = NewOut(env, s))) return -1;
    for (int i = 0; i < s->elemCount; i++) {
        if (s->polyOut->Len() >= full) {
            QueueOut(env, s, opcode, encList);
            if (!(s->polyOut = NewOut(env, s))) {
                std::memmove(el, el + i * words, sizeof(uint16_t) * static_cast<size_t>((s->elemCount - i) * words));
                s->elemCount -= i;
                return -1;
            }
        }
        uint16_t* e = el + i * words;
        if (line) {
            int c = PairCode(s->lineCache, e, false);
            XspecPutByte(s->polyOut, static_cast<uint8_t>(c));
            PutPair(s->polyOut, c, e, little);
            continue;
        }
        const bool rect = opcode != X_POLY_SEGMENT;
        int a = PairCode(rect ? s->rectPosCache : s->segCache, e, false);
        int b = PairCode(rect ? s->rectSizeCache : s->segCache, e + 2, rect);
        XspecPutByte(s->polyOut, static_cast<uint8_t>(a << 4 | b));
        PutPair(s->polyOut, a, e, little);
        PutPair(s->polyOut, b, e + 2, little);
    }
    s->elemCount = 0;
    return 0;
}

// Sends a malformed request unchanged behind its verbatim marker, as far as its bytes are queued.
static int PassVerbatim(XspecEnv* env, ClientRec* client, Lst* reqList, Lst* encList, uint8_t opcode) {
    XspecState* s = client->xspec;
    while (s->passRemaining > 0) {
        if (!s->polyOut && !(s->polyOut = NewOut(env, s))) return -1;
        size_t room = POLY_OUT_MAX - s->polyOut->Len();
        if (room == 0) {
            QueueOut(env, s, opcode, encList);
            continue;
        }
        if (room > static_cast<size_t>(s->passRemaining)) room = static_cast<size_t>(s->passRemaining);
        const size_t k = XspecInPeek(reqList, 0, s->polyOut->end, room);
        if (k == 0) return -1;
        s->polyOut->end += k;
        XspecInSkip(env->pBufData, reqList, k);
        s->passRemaining -= static_cast<int32_t>(k);
    }
    if (s->polyOut) QueueOut(env, s, opcode, encList);
    return 0;
}

// True when the request cannot be coded: shorter than its own header, element data that is not a
// whole number of elements, or a PolyLine coordinate mode the X server would refuse.
static bool Malformed(uint8_t opcode, uint8_t byte1, uint16_t len) {
    if (len < 3) return true;
    if (opcode == X_POLY_LINE) return byte1 > 1;
    return ((len - 3) & 1) != 0;
}

static void PutHeader(XspecState* s, uint8_t* hdr) {
    if (std::memcmp(hdr + 2, s->lastPolyHeader + 2, 10) == 0) {
        hdr[1] |= POLY_SAME_HEADER;
        XspecPutBytes(s->polyOut, hdr, 2);
    } else {
        XspecPutBytes(s->polyOut, hdr, 12);
    }
    std::memcpy(s->lastPolyHeader, hdr, 12);
}

// True while a request of this client is partly sent: elements still to come or staged, or the
// rest of a verbatim request. A request the previous call could not start has none of these.
static bool Started(const XspecState* s) {
    return s->inProgress != 0 && (s->elemRemaining != 0 || s->elemCount != 0 || s->passRemaining > 0);
}

static int PolyEncode(XspecEnv* env, ClientRec* client, Lst* reqList, Lst* encList, uint8_t opcode) {
    XspecState* s = client ? client->xspec : nullptr;
    if (!s) return 0;
    const bool line = opcode == X_POLY_LINE;
    const int size = line ? 4 : 8;
    const int words = size / 2;
    const bool little = XspecLittle(client);
    uint16_t el[sizeof s->elements / sizeof(uint16_t)];
    std::memcpy(el, s->elements, sizeof el);
    uint8_t hdr[12];
    bool pending = false;

    if (!Started(s)) {
        s->passRemaining = 0;
        s->elemCount = 0;
        s->elemRemaining = 0;
        const size_t have = XspecInPeek(reqList, 0, hdr, sizeof hdr);
        if (have < 4) return -1;
        const uint16_t len = XspecLoad16(hdr + 2, little);
        const uint32_t bytes = XspecRequestSize(hdr, little);
        s->polyClientId = static_cast<uint8_t>(client->clientId);
        if (Malformed(opcode, hdr[1], len)) {
            if (!(s->polyOut = NewOut(env, s))) return -1;
            XspecPolyStats* st = StatsFor(env, opcode);
            st->requests++;
            st->bytesIn += bytes;
            XspecPutByte(s->polyOut, hdr[0]);
            XspecPutByte(s->polyOut, XSPEC_POLY_VERBATIM);
            XspecInSkip(env->pBufData, reqList, 1);
            s->passRemaining = static_cast<int32_t>(bytes - 1);
            return PassVerbatim(env, client, reqList, encList, opcode);
        }
        const uint32_t count = (bytes - 12u) / static_cast<uint32_t>(size);
        // The header goes out together with the first chunk, which decides the mode.
        const size_t first = 12u + static_cast<size_t>(size);
        if (have < 12 || (count > 0 && XspecInAvail(reqList, first) < first)) return -1;
        if (!(s->polyOut = NewOut(env, s))) return -1;
        XspecPolyStats* st = StatsFor(env, opcode);
        st->requests++;
        st->bytesIn += bytes;
        XspecInSkip(env->pBufData, reqList, sizeof hdr);
        hdr[1] = line ? (hdr[1] & POLY_COORD_MODE) : 0;
        s->elemRemaining = count;
        pending = true;
    } else if (s->passRemaining > 0) {
        return PassVerbatim(env, client, reqList, encList, opcode);
    } else {
        std::memcpy(hdr, s->lastPolyHeader, sizeof hdr);
    }

    int rc = 0;
    size_t avail = XspecInAvail(reqList, static_cast<size_t>(s->elemRemaining) * static_cast<size_t>(size));
    while (s->elemCount != 0 || (s->elemRemaining != 0 && avail >= static_cast<size_t>(size))) {
        if (s->elemCount != 0 && PutElements(env, client, encList, opcode, el) != 0) {
            rc = -1;
            break;
        }
        if (s->elemRemaining == 0) break;
        size_t n = s->elemRemaining;
        if (n > avail / static_cast<size_t>(size)) n = avail / static_cast<size_t>(size);
        if (n > POLY_CHUNK) n = POLY_CHUNK;
        s->elemCount = static_cast<int32_t>(n);
        XspecInputElements(env, client, reqList, s, size);
        std::memcpy(el, s->elements, n * static_cast<size_t>(size));
        avail -= n * static_cast<size_t>(size);
        s->elemRemaining -= static_cast<uint32_t>(n);
        const int m = static_cast<int>(n);
        if (XspecPolySwaps(client)) XspecSwapPoints(m * words / 2, el);
        if (hdr[1] & POLY_DELTA_PREV) {
            XspecDeltaPrev(m, words, el, s->polyRef);
        } else if (hdr[1] & POLY_DELTA_FIRST) {
            XspecDeltaFirst(m, words, el, s->polyRef);
        } else if (line) {
            hdr[1] |= XspecLineChooseMode(m, el, s->polyRef);
        } else if (opcode == X_POLY_SEGMENT) {
            hdr[1] |= XspecSegChooseMode(m, el, s->polyRef);
        } else {
            hdr[1] |= XspecRectChooseMode(m, el, s->polyRef);
        }
        if (pending) {
            PutHeader(s, hdr);
            pending = false;
        }
    }
    std::memcpy(s->elements, el, sizeof el);
    if (rc != 0) return rc;
    if (pending) {
        // No elements at all: the header alone still carries the request to the X server.
        hdr[1] |= POLY_DELTA_FIRST;
        PutHeader(s, hdr);
    }
    if (s->elemRemaining != 0) return -1;
    if (s->polyOut) QueueOut(env, s, opcode, encList);
    return 0;
}

int XspecPolyLineEncode(XspecEnv* env, ClientRec* client, Lst* reqList, Lst* encList) {
    return PolyEncode(env, client, reqList, encList, X_POLY_LINE);
}

int XspecPolySegEncode(XspecEnv* env, ClientRec* client, Lst* reqList, Lst* encList) {
    return PolyEncode(env, client, reqList, encList, X_POLY_SEGMENT);
}

// PolyRectangle and PolyFillRectangle share the encoder and its caches; the header carries the
// request's own opcode.
int XspecPolyRectEncode(XspecEnv* env, ClientRec* client, Lst* reqList, Lst* encList) {
    return PolyEncode(env, client, reqList, encList, X_POLY_RECTANGLE);
}
