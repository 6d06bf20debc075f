// The serial link stack: frame layer, transport, flow control and timers, extended transport and
// merging of small client messages. One LinkEnd record holds everything of one end of the line, so a
// host end and a terminal end can run in one process, each with its own buffer pool and clock.
//
// This header is what the programs built on the link use. The layers' own functions and constants
// are in relay/link/frame.h and relay/link/transpriv.h, for the link's sources and for the tests and
// fuzz targets of those layers.
//
// Use: fill a LinkEnd with LinkSetDefaults, set its line (io, or LinkUseFd) and its configuration,
// then call TransInit and TransStart once. The main loop calls TransRead when the line has bytes and
// TransWrite with its outgoing list when it has messages or when the returned interval
// (microseconds) has passed. `running` drops to 0 when the line has been silent for longer than the
// timeout; `lineDown` is set (and the shutdown hook called) when the line reports end of file or a
// broken descriptor.
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

constexpr int LINK_HOST = 0;      // the relay: wraps its start message, waits for MSG_XREADY
constexpr int LINK_TERMINAL = 1;  // the peer in the terminal: takes MSG_START, answers MSG_XREADY

constexpr int LINK_MAX_MSG = 256;       // longest message content the transport carries
constexpr int LINK_LEGACY_FRAME = 262;  // longest frame (header, content, FCS) an older peer stores
constexpr int MAX_ESC_CHARS = 76;

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

// ---- the layers' records --------------------------------------------------------------------------
// Complete here only because LinkEnd holds them by value: they belong to relay/link, and the
// programs reach them through the functions below.

struct FrameCircBuf;

struct FrameData {
    FrameCircBuf* frame_crbuf;
    FrameCircBuf* frame_cwbuf;
    uint8_t frame_ce_table[256];
    uint8_t frame_LCE;
    Buf* frame_pkt_rbuf_ptr;
};

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
    // timers (keep-alive, resend, window) and windows
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
    // loss recovery (LINKEXT_RECOVER, relay/link/transrecover.cpp); times in microseconds
    uint32_t transRecDepart[16];  // estimated end of the last transmission of a packet, by seq & 15
    uint16_t transRecSentMap;     // bit seq & 15: sent at least once since numbered
    uint16_t transRecResent;      // bit seq & 15: sent more than once (gives no round-trip sample)
    uint32_t transRecLineFree;    // when everything written so far is estimated to have left
    uint32_t transRecDataFree;    // when the last packet other than a transport packet left
    uint32_t transRecByteNs;      // line time of a byte as measured on arrival, nanoseconds
    uint32_t transRecPeerByteNs;  // that of our own bytes, as the other end reports it
    uint32_t transRecLastIn;      // arrival of the last good frame
    uint32_t transRecRateSamples[16];  // the last samples of a byte's line time; 0 = none
    uint8_t transRecRateNext;     // where the next one goes
    uint32_t transRecByteNsSaid;  // the byte time the last state report gave
    uint32_t transRecSrtt, transRecRttVar, transRecRttMin;  // round trip of a probe; 0 = none yet
    uint32_t transRecRttLast[4];  // the last samples, newest first
    uint32_t transRecProbeDepart; // departure of the probe whose answer is awaited; 0 = none
    uint8_t transRecProbeLone;    // it went out while no other probe awaited an answer
    uint32_t transRecLastProbe;   // when the last probe was written
    uint32_t transRecLastSample;  // when the round trip was last measured
    uint32_t transRecLastState;   // when the last state report was written
    uint32_t transRecProgress;    // last acknowledgement progress, or first sending of a packet
    int transRecBackoff;          // timed resends since the last progress
    uint32_t transRecLastPass;    // the last TransWrite of an agreed link
    uint32_t transRecPassGap;     // the longer gaps between them
    uint8_t transRecStateDue;     // a state report waits to go out (REC_STATE_ANSWER bit and 1)
    uint8_t transRecProbeDue;     // a probe waits to go out
    uint32_t transRecStallStart;  // when a loss was first noticed and not yet repaired; 0 = none
    uint32_t transRecStallRN;     // transSnumRN then
};

// Counters for tests and measurements; the protocol never reads them.
struct LinkStats {
    uint64_t framesOut, frameBytesOut, framesIn, badFrames;
    uint64_t packetsOut, resends, timedResends, extOut;
    uint64_t msgsOut, msgBytesOut, msgsIn, msgBytesIn;
    uint64_t splits;  // compressible messages cut because their coded form would not fit
    // Messages coded by the link-life coder (LINKEXT_ZCODER): their bytes and their coded bytes.
    uint64_t zMsgBytesOut, zCodedOut, zMsgBytesIn, zCodedIn;
    // Loss recovery (LINKEXT_RECOVER): packets marked for resending by cause (a state report that
    // named them, one that answered a probe, the retransmission timer), the controls sent, and the
    // time this end's receiving side spent with a loss noticed and not yet repaired.
    uint64_t recRequested, recProbed, recTimed, recStatesOut, recProbesOut, recStallUsec;
};

struct LinkCoder;  // relay/link/transcode.cpp

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
    // Link extensions the link layer acts on itself (LINKEXT_LINK_BITS of relay/link/linkext.h):
    // extOut for the packets this end sends after its own MSG_EXTENSIONS, extIn for those it
    // receives after the peer's. The coder they need, made at the first switch.
    uint32_t extOut;
    uint32_t extIn;
    uint8_t extConfirmed;  // terminal: its confirmation is queued
    uint8_t codingFailed;  // a coded packet did not decode: the link must be shut down
    LinkCoder* coder;
};

// ---- the end ------------------------------------------------------------------------------------

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
// Frame bytes the line has not taken yet.
int LinkOutputWaiting(const LinkEnd* pLink);
// True once TransInit has readied the end: from then on TransRead and TransWrite may run.
bool LinkInitialised(const LinkEnd* pLink);
// True once a coded packet from the peer failed to decode. Nothing of it, nor of any later coded
// packet, is delivered (their history is lost); the caller shuts the link down in order.
bool LinkCodingFailed(const LinkEnd* pLink);

int TransInit(LinkEnd* pLink);
int TransStart(LinkEnd* pLink);
uint32_t TransRead(LinkEnd* pLink, Lst* list);
uint32_t TransWrite(LinkEnd* pLink, Lst* list);

// ---- client ids and windows ---------------------------------------------------------------------

int TransAllocateClientID(LinkEnd* pLink, int sock);
int TransFreeClientID(LinkEnd* pLink, int id);
// Whether the peer lets us send at all / for the client.
int TransIsSendWindowOpen(const LinkEnd* pLink);
int TransIsClientSendWindowOpen(const LinkEnd* pLink, int clientId);
// Whether we let the peer send for the client; Open and Close ask the peer for it.
int TransIsClientRecvWindowOpen(const LinkEnd* pLink, int clientId);
void TransClientOpenWindow(LinkEnd* pLink, int clientId);
void TransClientCloseWindow(LinkEnd* pLink, int clientId);
// The client has gone: a hold this end asked of the peer is lifted and one the peer asked of us is
// forgotten, so that the next client given the same id starts with both directions open.
void TransClientGone(LinkEnd* pLink, int clientId);

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
