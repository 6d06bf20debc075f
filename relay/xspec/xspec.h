// X request encoding: the rewriting of each client's X byte streams into short link messages and
// back, with every cache and piece of state mirrored by the other end of the line.
//
// Both ends live in this module. The host end encodes a client's requests (XspecEncode) and decodes
// the terminal's events, errors and replies (XspecDecode). The terminal end decodes the host's
// request stream back into plain X requests (XspecTermDecode) and encodes the X server's events,
// errors and replies (XspecTermEncode). Each end has its own XspecEnv (pool, clock, shared caches),
// so both ends can run in one process.
//
// Queues of a ClientRec:
//   host end:     reqList  X requests from the client      -> XspecEncode     -> encList (to the line)
//                 replyInList messages from the terminal    -> XspecDecode     -> replyOutList (X bytes)
//   terminal end: replyInList messages from the host        -> XspecTermDecode -> replyOutList (X requests)
//                 reqList  X bytes from the X server        -> XspecTermEncode -> encList (to the line)
// The caller hands encList to the transport after every encoding call, and calls the decoding
// function after every message it appends to replyInList (that call fixes the message's place in
// link order, see XspecEnv::arrivalStamp).
#pragma once
#include <cstddef>
#include <cstdint>

#include "relay/core/buf.h"
#include "relay/core/client.h"
#include "relay/core/lst.h"
#include "relay/xspec/xbytes.h"

constexpr int XSPEC_HOLD_USEC = 27800;  // how long ImageText8 requests may be held for a run
constexpr int XSPEC_SMALL_MAX = 64;     // largest message coded against the shared caches
constexpr int XSPEC_PIECE_MAX = 128;    // X data per link message put on the line
constexpr int XSPEC_CACHE_SLOTS = 16;
constexpr int XSPEC_MAX_CLIENT_IDS = 64;

// Opcodes with compact forms of their own (the Poly opcodes are named in poly.h).
constexpr uint8_t X_IMAGE_TEXT8 = 76;
inline bool XspecIsCompactOpcode(uint8_t op) { return op == 65 || op == 66 || op == 67 || op == 70 || op == 76; }

// An ImageText8 request that has no compact form (length field not 4 + ceil(n / 4), which the X
// server rejects) crosses the line in a verbatim form: [76][n][0xff][0xff] followed by the X request
// from its byte 2 on (length field and the rest, unchanged), so that the X server still receives and
// numbers it. No single or run form has flags 0xffff. It touches no state at either end.
constexpr uint16_t XSPEC_TEXT_VERBATIM = 0xffff;

struct XspecEnv;

// Per client, at either end. At the host it is the encoder and decoder state; at the terminal the
// same members hold the mirror copies (caches, last Poly header, lastText, templates) and the
// decoding progress of the host's stream.
struct XspecState {
    int32_t passRemaining;     // bytes of a long request not yet passed on
    int32_t inProgress;        // 1: long request in pieces; Poly: last encoder result (-1 waiting)
    uint8_t curOpcode;         // major opcode of the request in progress
    uint8_t polyClientId;      // link client id stamped on Poly output buffers
    int32_t replyRemaining;    // bytes of a long reply not yet passed on
    uint32_t replyPartial;     // nonzero while a long reply is passed on in pieces
    uint8_t lastPolyHeader[12];
    uint8_t curHeader[4];      // first 4 bytes of the long request in progress
    uint8_t elements[80];      // staging: up to 10 points or 10 rectangles/segments, host order
    Buf* polyOut;              // output buffer of the current Poly encoding, null when none
    int32_t elemCount;
    uint32_t elemRemaining;
    uint16_t polyRef[4];
    uint16_t lineCache[28];    // move-to-front caches: x of entries 0..13, then y of entries 0..13
    uint16_t rectPosCache[28];
    uint16_t rectSizeCache[28];
    uint16_t segCache[28];
    uint8_t lastText[16];
    uint8_t lastTextValid;
    uint8_t swapBytes;
    uint8_t templates[3][20];
    uint32_t cursorGc;
    uint32_t textGc;
    uint8_t textHolding;
    uint8_t runKnown;
    uint8_t templatesSent;
    uint8_t thirdSeen;

    // Not part of the mirrored protocol state.
    XspecEnv* pEnv;            // the end this record belongs to (for XspecFree)
    int32_t clientId;          // the link client id it was made for
    int32_t nStamped;          // messages at the front of the incoming queue already stamped
    uint8_t verbatim;          // the request in progress is passed on behind a verbatim marker
};

// One record per end: the caches that all clients of that end share.
struct XspecMsgCache {
    uint8_t (*reqSlots)[64];   // last 16 small requests sent (host) / received (terminal)
    uint8_t reqNext;
    uint8_t reqFull;
    uint8_t (*replySlots)[64]; // last 16 small messages received (host) / sent (terminal)
    uint8_t replyNext;
    uint8_t replyFull;
    uint8_t reqStore[16][64];
    uint8_t replyStore[16][64];
};

// Counters of one Poly encoder: requests started, request bytes taken in, encoded bytes put out.
struct XspecPolyStats {
    uint32_t requests;
    uint32_t bytesIn;
    uint32_t bytesOut;
};

// Everything one end of the line needs besides the client record.
struct XspecEnv {
    BufData* pBufData;          // this end's buffer pool
    XspecMsgCache* xspecCache;  // this end's shared caches (zero-initialised record is fine)
    const Clock* clock;         // this end's clock (null: time of day)
    uint8_t hostByteOrder;      // 'B' on the host: the byte order of values this end reads
    const int* pRemoteVersion;  // the peer's version and level, read at each use; null: 0
    const int* pRemoteLevel;
    int* pFocusClient;          // the client that last got pointer entry or focus; null: not kept
    // Link order of received messages. Every message on a client's incoming queue is given the
    // next stamp (in Buf::seq) by the first decoding call that sees it. Cache stores must happen in
    // stamp order across all clients; a client that cannot make a store (no buffer) is recorded in
    // `stalled` with the stamp it waits at, and no client may store for a later stamp meanwhile.
    uint32_t arrivalStamp;
    uint32_t stalled[XSPEC_MAX_CLIENT_IDS];  // 0: not waiting
    int32_t nStalled;
    // The host end's delivery of a MSG_XSTORE placeholder at the head of a client's incoming queue
    // (the message a reference stands for, written after everything decoded before it): 0 when
    // delivered, -1 while it must wait. Null: such a buffer is dropped.
    int (*storeOut)(XspecEnv* env, ClientRec* client);
    // Poly encoder statistics of this end (PolyRectangle and PolyFillRectangle count together).
    XspecPolyStats polyLineStats, polySegStats, polyRectStats;
};

// Peer older than version v level l (a missing version counts as 0, so as older).
bool XspecEarlierVersion(const XspecEnv* env, int v, int l);

// ---- host end (and shared) ----
int XspecEncodeInit(XspecEnv* env, ClientRec* client);  // also sets up env->xspecCache once
XspecState* XspecFree(XspecState* st);                 // also returns a held polyOut to its pool
int XspecEncode(XspecEnv* env, ClientRec* client);      // 0 or XSPEC_HOLD_USEC
int XspecDecode(XspecEnv* env, ClientRec* client);      // always 0
Buf* XspecBufGet(XspecEnv* env);

int XspecGather(XspecEnv* env, Lst* queue, Buf* b, int want);
int XspecEncodeSmall(XspecEnv* env, ClientRec* client);
// The coded record of message m (len bytes) against the first n slots, written to rec (at most
// len - 3 bytes). Returns the record's length, or -1 when no slot is close enough.
int XspecCacheRecord(const uint8_t* m, int len, const uint8_t (*slots)[64], int n, uint8_t* rec);
// A MSG_XCACHED buffer holding the record of m against the request slots, or null.
Buf* XspecCacheDelta(XspecEnv* env, const uint8_t* m, int len, const uint8_t (*slots)[64], uint8_t next,
                     uint8_t full, int clientId);
void XspecCacheStore(const uint8_t* m, int len, uint8_t (*slots)[64], uint8_t* next, uint8_t* full);
int XspecDecodeCached(XspecEnv* env, ClientRec* client);
// Rebuilds every record of the coded message s against slots (storing each), appending the
// messages to out; all or none (-1: not enough buffers). reqSide: request sizes, else the sizes
// of server messages as the line counts them (XspecLinkMessageSize).
int XspecRebuildRecords(XspecEnv* env, const Buf* s, uint8_t (*slots)[64], uint8_t* next, uint8_t* full,
                        Lst* out, int clientId, bool little, bool reqSide);

// ImageText8 step of the encoder: 0 to go on with the driver's loop, XSPEC_HOLD_USEC to return
// that, -1 to return 0.
int XspecTextStep(XspecEnv* env, ClientRec* client);
int XspecMergeNext(XspecEnv* env, Lst* queue);
// An ImageText8 header whose length field fits its character count exactly.
bool XspecTextWellFormed(const uint8_t* hdr, bool little);

// The ImageText8 state that both ends keep alike. Everything here depends only on what crosses the
// line, so the terminal's copy never drifts from the host's: templates change only through a
// single-form request of one character (refresh by gc, template numbers 1 and 3 naming textGc and
// cursorGc) and through run messages.
// A single-form request as the peer rebuilds it (req: 16 bytes, plus the character when the count
// is 1); k is its template number or 0.
void XspecTextApplySingle(XspecState* st, const uint8_t* req, int k, bool little);
// The refresh: a one-character request in textGc goes into templates 1 and 2, one in cursorGc
// into template 3.
void XspecTextRecordTemplates(XspecState* st, const uint8_t* req, bool little);
// Bytes of a run message with these flags, and of a single-form header (without characters).
int XspecTextRunSize(uint16_t flags);
int XspecTextSingleHdrSize(uint16_t flags);
// Applies a whole run message: updates the templates and writes the 2 or 3 requests it stands for
// (20 bytes each) to out. Returns the number of requests.
int XspecTextApplyRun(XspecState* st, const uint8_t* msg, uint8_t* out);
// Rebuilds a single-form message (header and n characters) into the X request (out: 16 + n + pad
// bytes, at most 272) and applies it. Returns the request's size.
int XspecTextDecodeSingle(XspecState* st, const uint8_t* msg, bool little, uint8_t* out);

// ---- terminal end ----
int XspecTermDecode(XspecEnv* env, ClientRec* client);  // always 0
int XspecTermEncode(XspecEnv* env, ClientRec* client);  // always 0

// Link-order bookkeeping of cache stores (see XspecEnv).
void XspecStampIncoming(XspecEnv* env, XspecState* st, Lst* in);
bool XspecMayStore(XspecEnv* env, int clientId, uint32_t stamp);  // records the wait when false
void XspecStall(XspecEnv* env, int clientId, uint32_t stamp);      // waits for a buffer at stamp
void XspecStoreDone(XspecEnv* env, int clientId);
