// Frame layer: byte stuffing, FCS-16 and the two circular buffers between the transport and the line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/link/frame.h"

const uint8_t max_escapes[66] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10,
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f, 0x7f, 0x80,
    0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x8b, 0x8c, 0x8d, 0x8e, 0x8f, 0x90, 0x91,
    0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0x9b, 0x9c, 0x9d, 0x9e, 0x9f, 0xff,
};

namespace {

constexpr uint8_t FLAG = 0x7E;
constexpr uint8_t ESC = 0x7D;
constexpr uint8_t kWrapStart[8] = {0x1B, 0x5B, 0x36, 0x32, 0x22, 0x70, 0x90, 0x7E};
constexpr uint8_t kWrapEnd[2] = {0x9C, 0x7E};

// The FCS-16 table (reflected CRC-CCITT, polynomial 0x8408).
struct FcsTable {
    uint16_t t[256];
    constexpr FcsTable() : t() {
        for (int b = 0; b < 256; b++) {
            uint16_t v = static_cast<uint16_t>(b);
            for (int i = 0; i < 8; i++) v = (v & 1) ? static_cast<uint16_t>((v >> 1) ^ 0x8408) : static_cast<uint16_t>(v >> 1);
            t[b] = v;
        }
    }
};
constexpr FcsTable kFcs;

// Bytes a frame may occupy in the send buffer: everything stuffed, the flag, and the wrapper.
int FrameWorstCase(const Buf* b) {
    int n = 2 * (static_cast<int>(b->Len()) + 2) + 1;
    if (b->linkFlags & LINK_DCS_WRAP) n += sizeof kWrapStart + sizeof kWrapEnd;
    return n;
}

inline void FramePut(FrameCircBuf* cb, uint8_t c) {
    cb->area[cb->in] = c;
    cb->in = static_cast<uint16_t>((cb->in + 1) & cb->mask);
}

// A frame is gathered from 6 bytes before the data area, so that after the longest header the
// message starts at the data area.
inline uint8_t* FrameBase(Buf* b) { return b->hdr + BUF_HDR_ROOM - LINK_MAX_HDR; }
inline void FrameEmpty(Buf* b) { b->start = b->end = FrameBase(b); }

void FrameLineDown(LinkEnd* L) {
    L->lineDown = 1;
    if (L->shutdownHook) L->shutdownHook(L->shutdownCtx);
}

}  // namespace

FrameCircBuf* FrameAllocateCBuf(int requested) {
    int want = requested < 16384 ? requested : 16384;
    if (want < 512) want = 512;
    int size = 512;
    while (size < want) size <<= 1;
    FrameCircBuf* cb = static_cast<FrameCircBuf*>(Malloc(sizeof(FrameCircBuf) + static_cast<size_t>(size)));
    if (!cb) return nullptr;
    cb->in = cb->out = 0;
    cb->size = static_cast<uint16_t>(size);
    cb->mask = static_cast<uint16_t>(size - 1);
    return cb;
}

int FrameQueryCBufSpace(const FrameCircBuf* cb) { return (cb->out - cb->in - 1) & cb->mask; }

int FrameHeld(const FrameCircBuf* cb) { return (cb->in - cb->out) & cb->mask; }

int LinkOutputWaiting(const LinkEnd* L) { return L->frame.frame_cwbuf ? FrameHeld(L->frame.frame_cwbuf) : 0; }

// The send ring is the last thing TransInit makes.
bool LinkInitialised(const LinkEnd* L) { return L->frame.frame_cwbuf != nullptr; }

int FrameHeadspace(const FrameCircBuf* cb) {
    int free = FrameQueryCBufSpace(cb);
    int toEnd = cb->size - cb->in;
    return free < toEnd ? free : toEnd;
}

uint16_t FrameCRCCompute(uint16_t fcs, const uint8_t* p, int len) {
    if (!p) return 0xFFFF;
    for (int i = 0; i < len; i++) fcs = static_cast<uint16_t>((fcs >> 8) ^ kFcs.t[(fcs ^ p[i]) & 0xFF]);
    return fcs;
}

int FrameFCSAdd(Buf* b) {
    if (!b || b->Len() == 0) return -1;
    uint16_t fcs = static_cast<uint16_t>(~FrameCRCCompute(0xFFFF, b->start, static_cast<int>(b->Len())));
    *b->end++ = static_cast<uint8_t>(fcs & 0xFF);
    *b->end++ = static_cast<uint8_t>(fcs >> 8);
    return 0;
}

int FrameFCSStrip(Buf* b) {
    if (!b || b->Len() <= 2) return -1;
    int n = static_cast<int>(b->Len()) - 2;
    uint16_t fcs = static_cast<uint16_t>(~FrameCRCCompute(0xFFFF, b->start, n));
    b->end -= 2;
    return (b->end[0] == (fcs & 0xFF) && b->end[1] == (fcs >> 8)) ? 0 : -1;
}

int FrameSetEscapeTable(LinkEnd* L, const uint8_t* list, int count, uint8_t classBits) {
    uint8_t* t = L->frame.frame_ce_table;
    for (int i = 0; i < 256; i++) t[i] = static_cast<uint8_t>(t[i] & ~classBits);
    for (int i = 0; list && i < count; i++) t[list[i]] = static_cast<uint8_t>(t[list[i]] | classBits);
    t[ESC] = CE_ESCAPE;
    t[FLAG] = CE_ESCAPE;
    return 0;
}

int FrameInit(LinkEnd* L) {
    FrameData* f = &L->frame;
    f->frame_crbuf = FrameAllocateCBuf(1024);
    if (!f->frame_crbuf) return -1;
    f->frame_cwbuf = FrameAllocateCBuf(1024);
    if (!f->frame_cwbuf) return -1;
    FrameSetEscapeTable(L, nullptr, 0, 0xFF);
    FrameSetEscapeTable(L, max_escapes, 66, CE_ESCAPE | CE_IGNORE);
    FrameSetEscapeTable(L, L->config.escChars, L->config.escCount, CE_IGNORE);
    // Until the other end has told us it is ready, it drops every configured escape character that
    // arrives unstuffed, including ones outside the conservative set: stuff those too.
    for (int i = 0; i < L->config.escCount; i++) f->frame_ce_table[L->config.escChars[i]] |= CE_ESCAPE;
    f->frame_LCE = 0;
    f->frame_pkt_rbuf_ptr = nullptr;
    return 0;
}

int FrameStart(LinkEnd*) { return 0; }

int FrameWriteChar(LinkEnd* L, uint8_t c) {
    FrameCircBuf* cb = L->frame.frame_cwbuf;
    if (FrameQueryCBufSpace(cb) == 0) return -1;
    FramePut(cb, c);
    return 0;
}

int FrameWriteCWBuf(LinkEnd* L) {
    FrameCircBuf* cb = L->frame.frame_cwbuf;
    while (cb->in != cb->out) {
        int chunk = cb->in > cb->out ? cb->in - cb->out : cb->size - cb->out;
        int n = L->io.write ? L->io.write(L->io.ctx, cb->area + cb->out, chunk) : -1;
        if (n > 0) cb->out = static_cast<uint16_t>((cb->out + n) & cb->mask);
        if (n < chunk) break;
    }
    return FrameQueryCBufSpace(cb);
}

int FrameWrite(LinkEnd* L, Buf* b) {
    if (!b) return FrameWriteCWBuf(L);
    FrameCircBuf* cb = L->frame.frame_cwbuf;
    // The transport sizes its packets so this never fails; a frame that would overrun the ring is
    // left unsent rather than corrupt the frames around it, and retransmission delivers it later.
    if (FrameQueryCBufSpace(cb) < FrameWorstCase(b)) return FrameWriteCWBuf(L);
    const uint8_t* t = L->frame.frame_ce_table;
    int before = FrameHeld(cb);
    bool wrap = b->linkFlags & LINK_DCS_WRAP;
    if (wrap)
        for (uint8_t c : kWrapStart) FrameWriteChar(L, c);
    uint8_t* end = b->end;
    FrameFCSAdd(b);
    uint8_t* fcsEnd = b->end;
    b->end = end;
    for (const uint8_t* p = b->start; p < fcsEnd; p++) {
        if (t[*p] & CE_ESCAPE) {
            FramePut(cb, ESC);
            FramePut(cb, static_cast<uint8_t>(*p ^ 0x20));
        } else {
            FramePut(cb, *p);
        }
    }
    FramePut(cb, FLAG);
    if (wrap)
        for (uint8_t c : kWrapEnd) FrameWriteChar(L, c);
    L->stats.framesOut++;
    L->stats.frameBytesOut += static_cast<uint64_t>(FrameHeld(cb) - before);
    return FrameWriteCWBuf(L);
}

int FrameFillCRBuf(LinkEnd* L) {
    FrameCircBuf* cb = L->frame.frame_crbuf;
    int waiting = L->io.pending ? L->io.pending(L->io.ctx) : 0;
    // A line that has hung up reports nothing waiting, so only a read can tell its end: when
    // nothing is reported, one read of the non-blocking line looks (it normally finds EAGAIN).
    bool probe = waiting <= 0;
    if (probe) waiting = 1;
    while (waiting > 0) {
        int free = FrameHeadspace(cb);
        if (free == 0) break;
        int n = L->io.read ? L->io.read(L->io.ctx, cb->area + cb->in, free) : 0;
        int oldErrno = errno;
        if (n == 0) {
            // A raw terminal line (VMIN 0) reads 0 bytes when nothing is waiting, even non-blocking.
            if (probe && L->ttyFd >= 0 && isatty(L->ttyFd)) break;
            FrameLineDown(L);
            break;
        }
        if (n < 0) {
            if (oldErrno == EBADF || oldErrno == EPIPE || oldErrno == EIO) {  // EIO: a hung-up terminal
                FrameLineDown(L);
            } else if (oldErrno != EAGAIN) {
                errno = oldErrno;
                std::perror("frameread read error");
            }
            break;
        }
        cb->in = static_cast<uint16_t>((cb->in + n) & cb->mask);
        waiting = probe ? 0 : waiting - n;
    }
    return FrameHeld(cb);
}

Buf* FrameRead(LinkEnd* L) {
    FrameData* f = &L->frame;
    if (!f->frame_pkt_rbuf_ptr) {
        Buf* nb = BufGet(L->pBufData);
        if (!nb) return nullptr;
        FrameEmpty(nb);
        f->frame_pkt_rbuf_ptr = nb;
    }
    Buf* b = f->frame_pkt_rbuf_ptr;
    FrameCircBuf* cb = f->frame_crbuf;
    // The longest packet that can legally arrive is a full message resent with the 6-byte header.
    uint8_t* const limit = b->data + (FRAME_MAX_STORED - LINK_MAX_HDR);
    const uint8_t* t = f->frame_ce_table;
    while (FrameFillCRBuf(L) > 0) {
        uint16_t i = cb->out;
        const uint16_t in = cb->in;
        while (i != in) {
            uint8_t c = cb->area[i];
            i = static_cast<uint16_t>((i + 1) & cb->mask);
            bool store = false;
            if (f->frame_LCE) {
                c ^= 0x20;
                f->frame_LCE = 0;
                store = true;
            } else if (t[c] == 0) {
                store = true;
            } else if (c == ESC) {
                f->frame_LCE = 1;
            } else if (c == FLAG) {
                if (FrameFCSStrip(b) == 0) {
                    cb->out = i;
                    f->frame_pkt_rbuf_ptr = nullptr;
                    L->stats.framesIn++;
                    return b;
                }
                if (b->end != b->start) L->stats.badFrames++;
                FrameEmpty(b);
            } else if (!(t[c] & CE_IGNORE)) {
                store = true;
            }
            if (store && b->end < limit) *b->end++ = c;
        }
        cb->out = i;
    }
    return nullptr;
}
