// Compact forms of the Poly requests: PolyLine (65), PolySegment (66), PolyRectangle (67) and
// PolyFillRectangle (70). The host end encodes them (Xspec...Encode), the terminal end rebuilds the
// X requests from them (XspecPolyDecode, polydec.h). Both ends keep the same move-to-front caches,
// reference element and last Poly header in the client's XspecState, updated by the same rules.
//
// What crosses the line. These four opcodes never cross in their X form: a Poly request starts,
// at a request boundary of the client's MSG_XDATA stream, with its opcode and a flags byte.
//
//  * Compact form (every flags byte but 0xff):
//      [opcode][flags][length 2][drawable 4][gc 4] [element records...]
//    flags: 0x01 PolyLine coordinate mode (0 for the other three); 0x20 length, drawable and gc
//    left out because they equal those of lastPolyHeader; 0x40 differences from the first element;
//    0x80 differences from the preceding element (exactly one of the two); 0x02, 0x04, 0x08, 0x10
//    are 0, so 0xff is never a compact flags byte. Length, drawable, gc and code-15 numbers are in
//    the client's byte order.
//    PolyLine record: code 0..13 (cache entry), 14 + dx, dy as signed bytes, 15 + dx, dy as 16-bit.
//    Rectangle/segment record: one byte (codeA << 4 | codeB), then the bytes of the first pair,
//    then those of the second pair; code 14 of a rectangle's size pair carries unsigned bytes.
//    A request without elements goes in this form too (mode 0x40, no records) and updates
//    lastPolyHeader like any other: the X server numbers every request it receives, so it must
//    arrive there, or every later reply, event and error of the client lands on the wrong request.
//
//  * Verbatim form (flags byte XSPEC_POLY_VERBATIM, 0xff), for malformed requests only:
//      [opcode][0xff][the X request from its byte 1 on: byte 1, length field, the rest]
//    The X request is length field times 4 bytes long, or 4 bytes when the length field is 0
//    (request intake reads only its first 4 bytes). Malformed means: a length field below 3 (the
//    request is shorter than its own header), rectangles or segments whose data is not a whole
//    number of 8-byte elements, or a PolyLine coordinate mode above 1. The request goes whole and
//    unchanged to the X server, which answers it with its own error, and touches no cache and not
//    lastPolyHeader. It may span several MSG_XDATA messages of at most 128 bytes.
//
// Contract with the encoding driver (XspecEncode):
//  * A new request with opcode 65, 66, 67 or 70 goes to its encoder whatever its length field,
//    a length field of 0 included (the encoder sends those 4 bytes in the verbatim form; they must
//    not go out plain).
//  * The result goes into inProgress as usual; while it is -1 the driver calls the same encoder
//    (curOpcode) again before anything else of the client. The encoder itself tells a request
//    that has not started yet (no buffer, or not yet 4 bytes / a header and an element queued:
//    nothing consumed) from one in progress, so a -1 for "nothing consumed" is safe to store.
//  * The encoders use passRemaining for the verbatim form (bytes still to send) and clear it when
//    they start a request. Empty and malformed Poly requests are the encoders' business: the driver
//    routes them like any other Poly request.
//
// Contract with the terminal decoding driver (XspecTermDecode): at a request boundary whose first
// byte is 65, 66, 67 or 70, and while the previous call returned -1, call XspecPolyDecode with the
// client's incoming and output queues; see polydec.h.
#pragma once
#include <cstdint>

#include "relay/core/buf.h"
#include "relay/core/client.h"
#include "relay/xspec/xbytes.h"
#include "relay/xspec/xspec.h"

constexpr uint8_t X_POLY_LINE = 65;
constexpr uint8_t X_POLY_SEGMENT = 66;
constexpr uint8_t X_POLY_RECTANGLE = 67;
constexpr uint8_t X_POLY_FILL_RECTANGLE = 70;

// Flags byte of the verbatim form; never a compact flags byte.
constexpr uint8_t XSPEC_POLY_VERBATIM = 0xff;

// Flags byte of the compact form.
constexpr uint8_t POLY_COORD_MODE = 0x01;
constexpr uint8_t POLY_SAME_HEADER = 0x20;
constexpr uint8_t POLY_DELTA_FIRST = 0x40;
constexpr uint8_t POLY_DELTA_PREV = 0x80;

constexpr int POLY_CACHE_ENTRIES = 14;
constexpr int POLY_CHUNK = 10;         // elements staged at a time
constexpr int POLY_OUT_MAX = 128;      // bytes of one output message
constexpr int POLY_LINE_OUT_FULL = 124;  // a point record is at most 5 bytes
constexpr int POLY_RECT_OUT_FULL = 120;  // a rectangle or segment record is at most 9 bytes

inline bool XspecIsPolyOpcode(uint8_t op) {
    return op == X_POLY_LINE || op == X_POLY_SEGMENT || op == X_POLY_RECTANGLE || op == X_POLY_FILL_RECTANGLE;
}

// Host end. Each takes the head request of reqList (at the start of its first Buf) and writes its
// compact form to encList in MSG_XDATA Bufs of at most 128 bytes. 0 when the request has been sent
// completely; -1 when more of it is needed or no buffer could be had (call again later).
int XspecPolyLineEncode(XspecEnv* env, ClientRec* client, Lst* reqList, Lst* encList);
int XspecPolySegEncode(XspecEnv* env, ClientRec* client, Lst* reqList, Lst* encList);
int XspecPolyRectEncode(XspecEnv* env, ClientRec* client, Lst* reqList, Lst* encList);

// Move-to-front cache of 14 pairs: cache[0..13] the x values, cache[14..27] the y values.
// code 0..13: pair := entry code, moved to the front; returns code. code > 13: returns the index of
// pair in the cache, or -1 when absent; either way pair ends up at the front.
int XspecCache(uint16_t* cache, int code, uint16_t* pair);

Buf* XspecPutByte(Buf* buf, uint8_t byte);
Buf* XspecPutBytes(Buf* buf, const void* src, int len);
// Swaps the two bytes of each of the 2 * n numbers of n pairs.
void XspecSwapPoints(int n, uint16_t* pairs);
// Moves elemCount * size bytes from the front of reqList into state->elements, freeing every Buf
// it empties. The bytes must be queued.
ClientRec* XspecInputElements(XspecEnv* env, ClientRec* client, Lst* reqList, XspecState* state, int size);

// Delta coding over n elements of `words` 16-bit numbers each (2 for points, 4 for rectangles and
// segments), field by field modulo 2^16.
void XspecDeltaPrev(int n, int words, uint16_t* elems, uint16_t* ref);
void XspecDeltaFirst(int n, int words, uint16_t* elems, const uint16_t* ref);

// Mode choices on the first chunk; they code the chunk and set the reference, returning the mode
// bit (POLY_DELTA_PREV or POLY_DELTA_FIRST).
uint8_t XspecLineChooseMode(int n, uint16_t* points, uint16_t* ref);
uint8_t XspecRectChooseMode(int n, uint16_t* rects, uint16_t* ref);
uint8_t XspecSegChooseMode(int n, uint16_t* segs, uint16_t* ref);

// True when the client's byte order is not the byte order of this machine.
bool XspecPolySwaps(const ClientRec* client);
