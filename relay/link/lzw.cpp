#include "relay/link/lzw.h"

#include <cstdio>
#include <cstring>

namespace {

void lzwPanic(const LzwData* d, const char* msg) {
    if (d->panic) d->panic(msg);
    else std::fprintf(stderr, "LQx panic: %s\n", msg);
}

int32_t lzwLargestCode(int32_t width) {
    return width == LZW_BITS ? LZW_CODE_LIMIT : (1 << width) - 1;
}

// Appends n bytes to the output unless that takes its content past LZW_MAX_OUT.
int lzwPut(Buf* out, const uint8_t* p, int n) {
    if (out->end - out->data + n > LZW_MAX_OUT) return -1;
    std::memcpy(out->end, p, static_cast<size_t>(n));
    out->end += n;
    return 0;
}

// Writes the group whole (the width of the current codes), zeroing the bits after its last code.
int lzwPutWholeGroup(LzwEncoder* e, Buf* out) {
    int used = (e->bitOffset + 7) / 8;
    std::memset(e->group + used, 0, static_cast<size_t>(e->codeWidth - used));
    if (lzwPut(out, e->group, e->codeWidth) < 0) return -1;
    e->outCount += e->codeWidth;
    e->bitOffset = 0;
    return 0;
}

int lzwOutputCode(LzwEncoder* e, Buf* out, int32_t code) {
    // Add the code's bits at bitOffset, least significant bit first. A code never crosses the end
    // of the group: the group is exactly eight codes wide.
    int r = e->bitOffset & 7;
    uint8_t* bp = e->group + (e->bitOffset >> 3);
    uint32_t v = static_cast<uint32_t>(code);
    *bp = static_cast<uint8_t>((*bp & ((1u << r) - 1)) | (v << r));
    int bits = e->codeWidth - (8 - r);
    v >>= 8 - r;
    while (bits > 0) {
        *++bp = static_cast<uint8_t>(v);
        v >>= 8;
        bits -= 8;
    }
    e->bitOffset += e->codeWidth;

    if (e->bitOffset == e->codeWidth * 8) {
        if (lzwPut(out, e->group, e->codeWidth) < 0) return -1;
        e->outCount += e->codeWidth;
        e->bitOffset = 0;
    }
    if (e->nextCode > e->largestCode || e->clearFlag) {
        // The width changes: the peer drops the rest of this group, so it goes out whole.
        if (e->bitOffset > 0 && lzwPutWholeGroup(e, out) < 0) return -1;
        if (e->clearFlag) {
            e->codeWidth = LZW_INIT_BITS;
            e->clearFlag = 0;
        } else {
            e->codeWidth++;
        }
        e->largestCode = lzwLargestCode(e->codeWidth);
    }
    return 0;
}

int lzwFlush(LzwEncoder* e, Buf* out) {
    if (e->bitOffset > 0) {
        int n = (e->bitOffset + 7) / 8;
        if (lzwPut(out, e->group, n) < 0) return -1;
        e->outCount += n;
        e->bitOffset = 0;
    }
    return 0;
}

void lzwSetSlot(LzwData* d, int32_t slot, int32_t key, int32_t code) {
    LzwEncoder* e = &d->encoder;
    if (d->undoCount < LZW_MAX_MSG) d->undoLog[d->undoCount++] = LzwUndo{slot, e->hashTable[slot], e->codeTable[slot]};
    e->hashTable[slot] = key;
    e->codeTable[slot] = static_cast<uint16_t>(code);
}

void lzwClearHash(LzwEncoder* e) {
    for (int32_t i = 0; i < e->hashSize; i++) e->hashTable[i] = -1;
}

// Ratio check on a full dictionary: start afresh once compression stops improving.
int lzwClearBlock(LzwData* d, Buf* out) {
    LzwEncoder* e = &d->encoder;
    e->checkpoint = e->inCount + LZW_CHECK_GAP;
    int32_t r;
    if (e->inCount > 0x007fffff) {
        int32_t q = e->outCount >> 8;
        r = q == 0 ? 0x7fffffff : e->inCount / q;
    } else {
        r = e->outCount == 0 ? 0x7fffffff : (e->inCount << 8) / e->outCount;
    }
    if (r > e->ratio) {
        e->ratio = r;
        return 0;
    }
    // The wipe is the one change too large for the undo log: keep the whole table instead. At most
    // one clear fits in a message (the dictionary cannot fill again within it).
    if (d->undoClearAt < 0) {
        d->undoClearAt = d->undoCount;
        std::memcpy(d->savedHashTable, e->hashTable, sizeof(int32_t) * LZW_HSIZE);
        std::memcpy(d->savedCodeTable, e->codeTable, sizeof(uint16_t) * LZW_HSIZE);
    }
    e->ratio = 0;
    lzwClearHash(e);
    e->nextCode = LZW_FIRST;
    e->clearFlag = 1;
    if (lzwOutputCode(e, out, LZW_CLEAR) < 0) return -1;
    e->outCount = 0;
    e->inCount = 0;
    e->checkpoint = LZW_CHECK_GAP;
    return 0;
}

// Takes back every change the current message made to the encoder.
void lzwUndo(LzwData* d) {
    LzwEncoder* e = &d->encoder;
    int32_t n = d->undoCount;
    if (d->undoClearAt >= 0) {
        std::memcpy(e->hashTable, d->savedHashTable, sizeof(int32_t) * LZW_HSIZE);
        std::memcpy(e->codeTable, d->savedCodeTable, sizeof(uint16_t) * LZW_HSIZE);
        n = d->undoClearAt;
    }
    while (n > 0) {
        const LzwUndo& u = d->undoLog[--n];
        e->hashTable[u.slot] = u.key;
        e->codeTable[u.slot] = u.code;
    }
    *e = d->savedEncoder;
}

// Next code of the packet, or -1 when none is left.
int32_t lzwGetCode(LzwDecoder* g, const uint8_t** pp, const uint8_t* end) {
    if (g->clearFlag || g->bitOffset >= g->groupBits || g->nextCode > g->largestCode) {
        if (g->nextCode > g->largestCode) {
            g->codeWidth++;
            g->largestCode = lzwLargestCode(g->codeWidth);
        }
        if (g->clearFlag) {
            g->codeWidth = LZW_INIT_BITS;
            g->largestCode = lzwLargestCode(g->codeWidth);
            g->clearFlag = 0;
        }
        int n = static_cast<int>(end - *pp);
        if (n > g->codeWidth) n = g->codeWidth;
        // A fragment shorter than one code is no code (only a damaged packet ends so).
        if (n <= 0 || n * 8 < g->codeWidth) {
            g->groupBits = 0;
            g->bitOffset = 0;
            *pp = end;
            return -1;
        }
        std::memcpy(g->group, *pp, static_cast<size_t>(n));
        std::memset(g->group + n, 0, sizeof(g->group) - static_cast<size_t>(n));
        *pp += n;
        g->bitOffset = 0;
        g->groupBits = n * 8 - g->codeWidth + 1;
    }
    int o = g->bitOffset;
    const uint8_t* bp = g->group + (o >> 3);
    uint32_t v = bp[0] | (static_cast<uint32_t>(bp[1]) << 8) | (static_cast<uint32_t>(bp[2]) << 16);
    g->bitOffset += g->codeWidth;
    return static_cast<int32_t>((v >> (o & 7)) & ((1u << g->codeWidth) - 1));
}

int lzwCorrupt(Buf* out) {
    out->end = out->start = out->data;
    return -1;
}

}  // namespace

int TransCompressInit(LzwData* d) {
    if (!d) return -1;
    if (d->initialized) return 0;
    LzwEncoder* e = &d->encoder;
    LzwDecoder* g = &d->decoder;
    *e = LzwEncoder{};
    *g = LzwDecoder{};
    e->hashTable = static_cast<int32_t*>(Malloc(sizeof(int32_t) * LZW_HSIZE));
    e->codeTable = static_cast<uint16_t*>(Malloc(sizeof(uint16_t) * LZW_HSIZE));
    d->savedHashTable = static_cast<int32_t*>(Malloc(sizeof(int32_t) * LZW_HSIZE));
    d->savedCodeTable = static_cast<uint16_t*>(Malloc(sizeof(uint16_t) * LZW_HSIZE));
    d->undoLog = static_cast<LzwUndo*>(Malloc(sizeof(LzwUndo) * LZW_MAX_MSG));
    g->prefix = static_cast<uint16_t*>(Malloc(sizeof(uint16_t) * LZW_CODE_LIMIT));
    g->suffix = static_cast<uint8_t*>(Malloc(LZW_CODE_LIMIT));
    g->stack = static_cast<uint8_t*>(Malloc(LZW_CODE_LIMIT));
    d->initialized = 1;
    if (!e->hashTable || !e->codeTable || !d->savedHashTable || !d->savedCodeTable || !d->undoLog || !g->prefix ||
        !g->suffix || !g->stack) {
        TransCompressFree(d);
        return -1;
    }

    e->hashSize = LZW_HSIZE;
    e->hashShift = LZW_HSHIFT;
    e->maxBits = LZW_BITS;
    e->codeLimit = LZW_CODE_LIMIT;
    e->codeWidth = LZW_INIT_BITS;
    e->largestCode = lzwLargestCode(LZW_INIT_BITS);
    e->nextCode = LZW_FIRST;
    e->blockMode = LZW_BLOCK_MODE;
    e->clearFlag = 0;
    e->ratio = 0;
    e->checkpoint = LZW_CHECK_GAP;
    e->inCount = 0;
    e->outCount = 0;
    e->bitOffset = 0;
    lzwClearHash(e);
    std::memset(e->codeTable, 0, sizeof(uint16_t) * LZW_HSIZE);
    d->undoCount = 0;
    d->undoClearAt = -1;

    g->codeWidth = LZW_INIT_BITS;
    g->largestCode = lzwLargestCode(LZW_INIT_BITS);
    g->nextCode = LZW_FIRST;
    g->clearFlag = 0;
    g->bitOffset = 0;
    g->groupBits = 0;
    std::memset(g->prefix, 0, sizeof(uint16_t) * LZW_CODE_LIMIT);
    std::memset(g->suffix, 0, LZW_CODE_LIMIT);
    for (int i = 0; i < 256; i++) g->suffix[i] = static_cast<uint8_t>(i);
    return 0;
}

void TransCompressFree(LzwData* d) {
    if (!d) return;
    Free(d->encoder.hashTable);
    Free(d->encoder.codeTable);
    Free(d->savedHashTable);
    Free(d->savedCodeTable);
    Free(d->undoLog);
    Free(d->decoder.prefix);
    Free(d->decoder.suffix);
    Free(d->decoder.stack);
    void (*panic)(const char*) = d->panic;
    *d = LzwData{};
    d->panic = panic;
}

int TransCompress(LzwData* d, Buf* msg, Lst* transCompList) {
    if (!d || !msg || !transCompList || !d->initialized) return -1;
    Buf* out = lstFirstT<Buf>(transCompList);
    if (!out) return -2;
    if (out == msg) return -1;
    out->start = out->end = out->data;
    if (msg->Len() > static_cast<size_t>(LZW_MAX_MSG)) return 2;

    LzwEncoder* e = &d->encoder;
    d->savedEncoder = *e;
    d->undoCount = 0;
    d->undoClearAt = -1;
    e->bitOffset = 0;

    const uint8_t* p = msg->start;
    const uint8_t* end = msg->end;
    if (p == end) return 0;
    int32_t* htab = e->hashTable;
    uint16_t* codetab = e->codeTable;
    const int32_t hsize = e->hashSize;
    const char* failure = nullptr;
    int32_t ent = *p++;
    bool first = true;
    while (p < end) {
        int32_t c = *p++;
        e->inCount++;
        int32_t key = (c << e->maxBits) + ent;
        int32_t slot = (c << e->hashShift) ^ ent;
        if (!first) {
            if (htab[slot] == key) {
                ent = codetab[slot];
                continue;
            }
            if (htab[slot] >= 0) {
                // Secondary probe; the table never fills (at most 7935 entries in 9001 slots, a
                // prime), so an empty slot ends every walk.
                int32_t step = slot == 0 ? 1 : hsize - slot;
                bool found = false;
                do {
                    slot -= step;
                    if (slot < 0) slot += hsize;
                    if (htab[slot] == key) {
                        found = true;
                        break;
                    }
                } while (htab[slot] > 0);
                if (found) {
                    ent = codetab[slot];
                    continue;
                }
            }
        }
        // Not found (the first pair of a message is never looked up, so its first code is a literal).
        first = false;
        if (lzwOutputCode(e, out, ent) < 0) {
            failure = "restore_htab_map called(1)";
            break;
        }
        if (e->nextCode < e->codeLimit) {
            lzwSetSlot(d, slot, key, e->nextCode++);
        } else if (e->inCount >= e->checkpoint && e->blockMode) {
            if (lzwClearBlock(d, out) < 0) {
                failure = "restore_htab_map called(1)";
                break;
            }
        }
        ent = c;
    }
    if (!failure && lzwOutputCode(e, out, ent) < 0) failure = "restore_htab_map called(1)";
    if (!failure && lzwFlush(e, out) < 0) failure = "restore_htab_map called(2)";

    if (failure) {
        lzwUndo(d);
        out->start = out->end = out->data;
        lstDelete(transCompList, out);
        lstAdd(transCompList, out);
        lzwPanic(d, failure);
        return 2;
    }
    msg->start = msg->end;
    return 0;
}

int TransUncompress(LzwData* d, Buf* pkt, Buf* out) {
    if (!d || !pkt || !out || pkt == out || !d->initialized) return -1;
    LzwDecoder* g = &d->decoder;
    out->start = out->end = out->data;
    g->bitOffset = 0;
    g->groupBits = 0;

    const uint8_t* p = pkt->start;
    const uint8_t* end = pkt->end;
    uint8_t* o = out->data;
    uint8_t* const limit = out->data + LZW_MAX_OUT;
    uint8_t* const stackEnd = g->stack + LZW_CODE_LIMIT;

    int32_t code = lzwGetCode(g, &p, end);
    if (code < 0) return 0;
    if (code >= LZW_CLEAR) return lzwCorrupt(out);  // every message begins with a literal
    *o++ = static_cast<uint8_t>(code);
    int32_t oldcode = code;
    uint8_t finchar = static_cast<uint8_t>(code);

    while ((code = lzwGetCode(g, &p, end)) >= 0) {
        if (code == LZW_CLEAR) {
            for (int i = 0; i < 256; i++) g->prefix[i] = 0;
            g->clearFlag = 1;
            g->nextCode = LZW_CLEAR;
            code = lzwGetCode(g, &p, end);
            if (code < 0) break;
            if (code >= LZW_CLEAR) return lzwCorrupt(out);  // the table is empty: only literals
        }
        int32_t incode = code;
        uint8_t* sp = g->stack;
        if (code >= g->nextCode) {
            if (code > g->nextCode) return lzwCorrupt(out);
            *sp++ = finchar;  // the entry being defined: old string plus its own first byte
            code = oldcode;
        }
        // Every entry's prefix is a smaller code, so the walk ends within the stack.
        while (code > 255) {
            if (sp == stackEnd) return lzwCorrupt(out);
            *sp++ = g->suffix[code];
            code = g->prefix[code];
        }
        if (sp == stackEnd) return lzwCorrupt(out);
        finchar = g->suffix[code];
        *sp++ = finchar;
        while (sp > g->stack && o < limit) *o++ = *--sp;

        if (g->nextCode < LZW_CODE_LIMIT) {
            g->prefix[g->nextCode] = static_cast<uint16_t>(oldcode);
            g->suffix[g->nextCode] = finchar;
            g->nextCode++;
        }
        oldcode = incode;
    }
    out->end = o;
    return 0;
}
