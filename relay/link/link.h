// The serial link stack: frame layer, transport, flow control and timers, extended transport and
// merging of small client messages. One LinkEnd record holds everything of one end of the line, so a
// host end and a terminal end can run in one process, each with its own buffer pool and clock.
//
// Use: fill a LinkEnd with LinkSetDefaults, set pBufData, clock, io and the configuration, then call
// TransInit and TransStart once. The main loop calls TransRead when the line has bytes and TransWrite
// with its outgoing list when it has messages or when the returned interval (microseconds) has passed.
// `running` drops to 0 when the line has been silent for longer than the timeout; `lineDown` is set
// (and the shutdown hook called) when the line reports end of file or a broken descriptor.
//
// Messages handed to TransWrite: content at most LINK_MAX_MSG bytes (keep messages that are not
// compressed to LINK_LEGACY_FRAME - 8 bytes so that an older peer can take them back when resent),
// type 0-3 with a client id of 5-63, or any other type up to 19 without one; types 4, 14 and 15
// belong to the transport. Anything else is refused with a panic report. Long messages of types 3
// and 9 may arrive at the other end cut into consecutive pieces (a file data piece of the current
// form keeps its id and continues as a 'D' piece).
#pragma once
#include <cstdint>
#include <cstdio>

#include "relay/core/buf.h"
#include "relay/core/lst.h"
#include "relay/core/msg.h"
#include "relay/link/lzw.h"

struct LinkEnd;

// ---- constants ----------------------------------------------------------------------------------

constexpr int LINK_HOST = 0;      // the relay: wraps its start message, waits for MSG_XREADY
constexpr int LINK_TERMINAL = 1;  // the peer in the terminal: takes MSG_START, answers MSG_XREADY

// linkFlags bits of a Buf while the transport owns it
constexpr uint8_t LINK_SEND = 0x01;        // waits to be (re)sent from the write list
constexpr uint8_t LINK_NUMBERED = 0x02;    // has its sequence number
constexpr uint8_t LINK_REXMIT_HDR = 0x04;  // carries the retransmission header
constexpr uint8_t LINK_DCS_WRAP = 0x10;    // start-of-protocol frame, sent inside the start wrapper

// frame_ce_table classes
constexpr uint8_t CE_ESCAPE = 0x01;  // stuffed when sent
constexpr uint8_t CE_IGNORE = 0x02;  // dropped when it arrives unstuffed

constexpr int LINK_MAX_MSG = 256;     // longest message content the transport carries
constexpr int LINK_MAX_HDR = 6;       // packet header in the retransmission form
constexpr int LINK_LEGACY_FRAME = 262;  // longest frame (header, content, FCS) an older peer stores
// The host cuts compressible messages to this length before coding them, so that no coded packet
// is longer than LINK_LEGACY_FRAME - 8 bytes and every resend fits what an older peer stores.
constexpr int LINK_SAFE_CODED = 149;
constexpr int FRAME_MAX_STORED = LINK_MAX_HDR + LINK_MAX_MSG + 2;  // what our frame reader stores
constexpr int MAX_ESC_CHARS = 76;

constexpr uint32_t TRANS_TIMEOUT_USEC = 26624;  // 256 bit times at 9600 bit/s: the loop's interval

// TransExtendedTransport requests and extended packet subtypes
constexpr int EXT_OPEN = 1;
constexpr int EXT_CLOSE = 2;
constexpr int EXT_POLL = 3;
constexpr int EXT_OPEN_CLIENT = 4;
constexpr int EXT_CLOSE_CLIENT = 5;
constexpr int EXT_RECEIVED = 6;

constexpr int TIMER_KEEPALIVE = 0;
constexpr int TIMER_REXMIT = 1;
constexpr int TIMER_WINDOW = 2;

// ---- byte I/O of the line -----------------------------------------------------------------------

// The line as seen by the frame layer. read: >0 bytes, 0 end of file, -1 with errno (EAGAIN when
// nothing is waiting). write: bytes taken (may be fewer than asked), or -1 with errno.
// pending: bytes waiting to be read, or -1.
struct LinkIo {
    int (*read)(void* ctx, uint8_t* p, int n);
    int (*write)(void* ctx, const uint8_t* p, int n);
    int (*pending)(void* ctx);
    void* ctx;
};

// ---- configuration and the other end's version ----------------------------------------------------

// The escape list of a host whose configuration names none; the terminal stuffs it too until the
// host's start message says otherwise.
inline constexpr char LINK_DEFAULT_ESCAPES[] = "0x0a 0x0d 0x11 0x13 0x1d 0x7f 0x93 0x9d 0xff";

// This end's side of the link, set before TransInit (the host core loads its resources into it).
struct LinkConfig {
    uint8_t escChars[MAX_ESC_CHARS];  // terminal end: replaced by the host's list from MSG_START
    uint8_t escCount;
    int flags;                // host: sent in MSG_START
    int timeout;              // seconds; clamped by TransInit to 10..3600 (0 = never); terminal end:
                              // the host's, once its MSG_START has come
    uint8_t ourByteOrder;     // 'B'
    uint8_t ourVersion;       // 1
    uint8_t ourLevel;         // 3
    const char* displayName;  // carried in MSG_START
};

// What the other end announced: at the host the terminal's MSG_XREADY, at the terminal the host's
// MSG_START. All zero until it has come.
struct LinkVersion {
    uint8_t byteOrder;
    int version;
    int level;
    int flags;    // terminal end: the host's flags byte
    int timeout;  // terminal end: the host's timeout in seconds
};

// ---- frame layer --------------------------------------------------------------------------------

struct FrameCircBuf {
    uint16_t in;
    uint16_t out;
    uint16_t size;
    uint16_t mask;
    uint8_t area[1];  // size + 1 bytes, allocated with the header
};

struct FrameData {
    FrameCircBuf* frame_crbuf;
    FrameCircBuf* frame_cwbuf;
    uint8_t frame_ce_table[256];
    uint8_t frame_LCE;
    Buf* frame_pkt_rbuf_ptr;
};

extern const uint8_t max_escapes[66];  // the conservative stuffing set (constant)

int FrameInit(LinkEnd* pLink);
int FrameStart(LinkEnd* pLink);
int FrameSetEscapeTable(LinkEnd* pLink, const uint8_t* list, int count, uint8_t classBits);
FrameCircBuf* FrameAllocateCBuf(int requested);
int FrameQueryCBufSpace(const FrameCircBuf* cb);
int FrameHeadspace(const FrameCircBuf* cb);
int FrameHeld(const FrameCircBuf* cb);
uint16_t FrameCRCCompute(uint16_t fcs, const uint8_t* p, int len);
int FrameFCSAdd(Buf* b);
int FrameFCSStrip(Buf* b);
int FrameWriteChar(LinkEnd* pLink, uint8_t c);
int FrameWrite(LinkEnd* pLink, Buf* b);
int FrameWriteCWBuf(LinkEnd* pLink);
int FrameFillCRBuf(LinkEnd* pLink);
Buf* FrameRead(LinkEnd* pLink);

// ---- transport ----------------------------------------------------------------------------------

struct TransTimer {
    uint32_t startTime;
    uint32_t period;  // 0 = stopped
};

struct TransData {
    // sequence state
    uint32_t transSnumWN;
    uint32_t transSnumRN;
    uint8_t transSnumRn;
    uint32_t transSnumLastAcked;
    uint32_t transAnumRN;
    uint8_t transAnumRn;
    uint32_t transAnumRNPrev;
    int transMakeACK;
    uint32_t transWTime;
    uint32_t transRTime;
    uint32_t time_last_check;
    uint32_t transTimeout;
    // lists of Buf
    Lst transWriteList;
    Lst transExtWriteList;
    Lst transReadCacheList;
    Lst transCompList;
    Buf* pUncPkt;
    Buf* pSavedMerged;
    int transWriteListWCount;
    int32_t transClientTable[64];
    // timers and windows
    TransTimer transTimers[3];
    uint32_t transRexmitTimeout;
    int32_t transRexmitRetries;
    uint32_t transSnumTimedRexmit;
    uint32_t transKeepAliveTimeout;
    uint32_t transReadTimeout;
    int transSendWindowOpen;
    int transRecvWindowOpen;
    uint32_t transClientCloseSend[32];
    uint32_t transClientCloseRecv[32];
};

// Counters for tests and measurements; the protocol never reads them.
struct LinkStats {
    uint64_t framesOut, frameBytesOut, framesIn, badFrames;
    uint64_t packetsOut, resends, timedResends, extOut;
    uint64_t msgsOut, msgBytesOut, msgsIn, msgBytesIn;
    uint64_t splits;  // compressible messages cut because their coded form would not fit
};

struct LinkEnd {
    int role;             // LINK_HOST or LINK_TERMINAL
    BufData* pBufData;    // this end's own buffer pool
    Clock clock;          // this end's clock (GetTime)
    LinkIo io;            // the line
    int ttyFd;            // descriptor when the line is a file descriptor (LinkUseFd)
    LinkConfig config;
    LinkVersion peer;     // host: set by LinkNoteRemoteVersion; terminal: from MSG_START
    // What both ends work at once agreed (0.0 until then): the peer's version and the lower of the
    // two levels. Host: from LinkSetRemoteVersion; terminal: from MSG_START.
    int agreedVersion;
    int agreedLevel;
    // state
    uint8_t running;  // 1 while the link runs; 0 after the read time-out
    uint8_t lineDown; // set when the line reports end of file or a broken descriptor
    int (*shutdownHook)(void* ctx);  // called then (the relay's ShutdownRss); may be null
    void* shutdownCtx;
    FILE* errFile;    // where diagnostics go; null = stderr
    FrameData frame;
    TransData trans;
    LzwData lzw;
    LinkStats stats;
};

// Defaults of a fresh end: the default escape list, timeout 30, version 1.3, byte order 'B'.
void LinkSetDefaults(LinkEnd* pLink, int role, BufData* pBufData, Clock clock);
// Makes a non-blocking descriptor the line.
void LinkUseFd(LinkEnd* pLink, int fd);
// Gives back every buffer and allocation the end holds (not the pool itself). An end that was only
// given its defaults holds none.
void LinkDestroy(LinkEnd* pLink);
// Host: what the terminal's MSG_XREADY announced, recorded before the host decides whether it goes
// on with that terminal (only the low 8 bits of version and level count).
void LinkNoteRemoteVersion(LinkEnd* pLink, uint8_t byteOrder, int version, int level);
// Host: the terminal's MSG_XREADY is accepted. Records it, agrees on the level and narrows stuffing
// to the configured list.
void LinkSetRemoteVersion(LinkEnd* pLink, uint8_t byteOrder, int version, int level);
// True when the version both ends agreed on is lower than v.l (0.0 until agreed).
bool LinkEarlierVersion(const LinkEnd* pLink, int v, int l);
// The level both ends work at: the lower of the peer's and ours (0 until agreed).
int LinkAgreedLevel(const LinkEnd* pLink);
// True once TransInit has readied the end: from then on TransRead and TransWrite may run.
bool LinkInitialised(const LinkEnd* pLink);

int TransInit(LinkEnd* pLink);
int TransStart(LinkEnd* pLink);
uint32_t TransRead(LinkEnd* pLink, Lst* list);
uint32_t TransWrite(LinkEnd* pLink, Lst* list);
int TransFlushWriteList(LinkEnd* pLink);
int TransPrepareBuf(LinkEnd* pLink, Buf* b);
Buf* TransAddRetransHdr(LinkEnd* pLink, Buf* b);
int TransDecodePktCTS(LinkEnd* pLink, Buf* p);
int TransHandleTransportPkt(LinkEnd* pLink, Buf* p);
Buf* TransAddToReadCache(LinkEnd* pLink, Buf* p);
void TransUpdateACKs(LinkEnd* pLink);
int TransSeqIncr(uint8_t oldNibble, uint8_t newNibble);
Buf* TransEnsureTWLTransport(LinkEnd* pLink);
uint32_t TransCheckResponse(LinkEnd* pLink, uint32_t now);
int TransAllocateClientID(LinkEnd* pLink, int sock);
int TransFreeClientID(LinkEnd* pLink, int id);
int TransBreak(int v);

// flow control and timers
void TransGetTimeouts(LinkEnd* pLink);
void TransInitTimers(LinkEnd* pLink);
void TransInitTimerTimeout(LinkEnd* pLink, int timer);
void TransCheckTimers(LinkEnd* pLink);
void TransCheckRexmit(LinkEnd* pLink, Buf* p);
void TransDoRexmit(LinkEnd* pLink);
void TransOpenWindow(LinkEnd* pLink);
void TransCloseWindow(LinkEnd* pLink);
int TransIsSendWindowOpen(const LinkEnd* pLink);
int TransIsRecvWindowOpen(const LinkEnd* pLink);
int TransIsClientSendWindowOpen(const LinkEnd* pLink, int clientId);
int TransIsClientRecvWindowOpen(const LinkEnd* pLink, int clientId);
void TransClientOpenWindow(LinkEnd* pLink, int clientId);
void TransClientCloseWindow(LinkEnd* pLink, int clientId);
// Sets or clears the client's bit in transClientCloseSend (the peer's per-client commands).
void TransSetClientSendClosed(LinkEnd* pLink, int clientId, bool closed);
// The client has gone: a hold this end asked of the peer is lifted and one the peer asked of us is
// forgotten, so that the next client given the same id starts with both directions open.
void TransClientGone(LinkEnd* pLink, int clientId);

// extended transport and merging
int TransExtendedTransport(LinkEnd* pLink, int request, int unused, int clientId);
int TransExtendedCheck(LinkEnd* pLink, int request, int clientId);
Buf* TransFindLastExt(LinkEnd* pLink, int subtype, int clientId);  // -1 = any
int TransHandleExtTransportPkt(LinkEnd* pLink, Buf* p);
Buf* TransMergeBufs(LinkEnd* pLink, Buf* head, Lst* list);
Buf* TransUnmergeBufs(LinkEnd* pLink, Buf* p, Lst* list);

// ---- words of the configuration -------------------------------------------------------------------

// Cuts the next word out of *cursor (a writable text): blanks separate words, quotes (' or ")
// enclose one that holds blanks. Null at the end of the text.
char* NextWord(char** cursor);
// The value of digits in base (at most maxDigits of them, blanks around them allowed), kept to 8
// bits. 0, or -1.
int chk_base_atoi(const char* digits, uint8_t* dst, int base, int maxDigits);

enum { LINK_ESC_END = 0, LINK_ESC_FORM, LINK_ESC_DIGITS, LINK_ESC_FULL };
// One escape character, "0xdd" (hex) or "\ddd" (octal): 0, LINK_ESC_FORM for a word of neither
// form, LINK_ESC_DIGITS for one whose digits do not fit it.
int LinkEscValue(const char* word, uint8_t* dst);
// Adds the characters of an escape list such as "0x0a 0x0d \021" at *cursor (a writable text, cut
// into words as it goes) to cfg's list. LINK_ESC_END at the end of the text; otherwise *word is the
// word it stopped at: LINK_ESC_FORM or LINK_ESC_DIGITS for one it could not read (a further call
// goes on after it), LINK_ESC_FULL for a character that found the list full.
int LinkParseEscWords(LinkConfig* cfg, char** cursor, char** word);
// Makes the text the configured escape list, without a word about what it refuses. 0, or -1 when it
// refused a word or stopped at a full list.
int LinkParseEscChars(LinkEnd* pLink, const char* text);
