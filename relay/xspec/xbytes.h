// The X byte helpers that both ends share: numbers in a client's byte order, the sizes of X
// messages and requests, a queue of Bufs read as one byte stream, and building a Buf. The host's
// encoder and decoder, the terminal end and lqterm all count and cut X bytes with these, so the
// two ends of the line cannot come to disagree about where a message ends.
#pragma once
#include <cstddef>
#include <cstdint>

#include "relay/core/buf.h"
#include "relay/core/client.h"
#include "relay/core/lst.h"

// ---- byte order ------------------------------------------------------------------------------
// One flag throughout: little is true when the least significant byte comes first.

// A client's byte order. Request intake reads every letter but 'B' as least significant byte
// first, so the encoders read the same client's numbers the same way.
inline bool XspecLittle(const ClientRec* c) { return c->byteOrder != 'B'; }

inline uint16_t XspecLoad16(const uint8_t* p, bool little) {
    return little ? static_cast<uint16_t>(p[0] | p[1] << 8) : static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t XspecLoad32(const uint8_t* p, bool little) {
    return little ? (uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0])
                  : (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
}
inline void XspecStore16(uint8_t* p, uint16_t v, bool little) {
    p[little ? 0 : 1] = static_cast<uint8_t>(v);
    p[little ? 1 : 0] = static_cast<uint8_t>(v >> 8);
}
inline void XspecStore32(uint8_t* p, uint32_t v, bool little) {
    for (int i = 0; i < 4; i++) p[little ? i : 3 - i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---- sizes -----------------------------------------------------------------------------------

constexpr uint8_t X_REPLY = 1;
constexpr uint8_t X_GENERIC_EVENT = 35;
constexpr uint32_t XSPEC_MESSAGE_SIZE_MAX = 0xfffffffc;  // a length field beyond this is cut to it

// An extension's generic event (bit 7 of the code marks one sent with SendEvent).
inline bool XspecIsGenericEvent(const uint8_t* m) { return (m[0] & 0x7f) == X_GENERIC_EVENT; }

// Size of the X server message at m (at least 8 bytes there): 32 for errors and events, 32 plus 4
// times the 32-bit length for replies and generic events, never more than XSPEC_MESSAGE_SIZE_MAX.
uint32_t XspecServerMessageSize(const uint8_t* m, bool little);
// The same message as the reply coding of the line counts it: the peer in the terminal sizes every
// event 32 bytes, generic events too, and the mirrored reply caches store by that count, so both
// ends must cut the stream here exactly as it does. (The terminal end sends a generic event of up
// to a link message whole, and the host passes a link message on whole, so its client still
// receives all of it.)
uint32_t XspecLinkMessageSize(const uint8_t* m, bool little);
// Size of the X request at r (at least 4 bytes there): 4 times its length field, or 4 when the
// field is 0. Request intake reads only the first 4 bytes of such a request (the extended length
// of BIG-REQUESTS, which lqterm hides, cannot be carried).
inline uint32_t XspecRequestSize(const uint8_t* r, bool little) {
    const uint32_t n = XspecLoad16(r + 2, little) * 4u;
    return n ? n : 4u;
}

// ---- a queue of Bufs as one byte stream --------------------------------------------------------
// The stream ends at the first MSG_XCACHED Buf: a coded record stands for a whole message of its
// own, so no message continues into it.

size_t XspecInAvail(const Lst* in, size_t max);                         // bytes there, counted up to max
size_t XspecInPeek(const Lst* in, size_t off, uint8_t* dst, size_t n);  // copies what is there
bool XspecInBlocked(const Lst* in);  // a MSG_XCACHED Buf is queued: no more bytes can follow
uint32_t XspecInStampAt(const Lst* in, size_t off);  // Buf::seq of the buffer holding byte off
// Consumes up to n bytes, giving every buffer it empties back to the pool.
void XspecInSkip(BufData* pool, Lst* in, size_t n);

// ---- building Bufs -----------------------------------------------------------------------------

// A Buf from the pool with the given type and client id, holding the n bytes at src (n at most
// BUF_DATA_SIZE; src may be null when n is 0), with no link state. Null when the pool is empty.
Buf* XspecNewBuf(BufData* pool, uint8_t type, int clientId, const void* src = nullptr, size_t n = 0);
// Appends n bytes (at most 1024) to out, filling its last buffer when that has the same type and
// id and then buffers of at most 256 bytes; all or nothing: -1 with nothing appended when the
// buffers needed cannot be had.
int XspecOutPut(BufData* pool, Lst* out, uint8_t type, int clientId, const uint8_t* src, size_t n);
