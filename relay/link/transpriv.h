// The transport's own functions and constants, private to relay/link (and to the tests and fuzz
// targets of the transport itself): packets and acknowledgements, resends and timers, extended
// commands and the merging of small client messages.
#pragma once
#include <cstddef>
#include <cstdint>

#include "relay/core/buf.h"
#include "relay/core/lst.h"
#include "relay/link/frame.h"
#include "relay/link/link.h"

// The host cuts compressible messages to this length before coding them, so that no coded packet
// is longer than LINK_LEGACY_FRAME - 8 bytes and every resend fits what an older peer stores.
constexpr int LINK_SAFE_CODED = 149;

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

// flow control and timers
void TransGetTimeouts(LinkEnd* pLink);
void TransInitTimers(LinkEnd* pLink);
void TransInitTimerTimeout(LinkEnd* pLink, int timer);
void TransCheckTimers(LinkEnd* pLink);
void TransCheckRexmit(LinkEnd* pLink, Buf* p);
void TransDoRexmit(LinkEnd* pLink);
void TransOpenWindow(LinkEnd* pLink);
void TransCloseWindow(LinkEnd* pLink);
// Sets or clears the client's bit in transClientCloseSend (the peer's per-client commands).
void TransSetClientSendClosed(LinkEnd* pLink, int clientId, bool closed);

// extended transport and merging
int TransExtendedTransport(LinkEnd* pLink, int request, int unused, int clientId);
int TransExtendedCheck(LinkEnd* pLink, int request, int clientId);
Buf* TransFindLastExt(LinkEnd* pLink, int subtype, int clientId);  // -1 = any
int TransHandleExtTransportPkt(LinkEnd* pLink, Buf* p);
Buf* TransMergeBufs(LinkEnd* pLink, Buf* head, Lst* list);
Buf* TransUnmergeBufs(LinkEnd* pLink, Buf* p, Lst* list);

// the link-life coder (LINKEXT_ZCODER, relay/link/transcode.cpp)
// Whether a message of the type is coded by it, in what this end sends (out) or receives.
bool TransZCoded(const LinkEnd* pLink, uint8_t type, bool out);
// A MSG_EXTENSIONS with the given content has been numbered and written: what it names of
// LINKEXT_LINK_BITS applies to every later packet this end sends.
void TransExtSent(LinkEnd* pLink, const uint8_t* content, size_t n);
// A MSG_EXTENSIONS is delivered in order: what it names applies to every later packet received,
// and the terminal queues its confirmation. False when the message is for the link alone (the
// terminal's confirmation, at the relay). A type-10 message without the extensions' tag is left
// alone.
bool TransExtReceived(LinkEnd* pLink, const Buf* p);
// Codes m into the spare buffer at the head of transCompList: 0, 1 when there is none, -1 when
// the coder failed (the link is then marked failed).
int TransZCode(LinkEnd* pLink, Buf* m, Lst* transCompList);
// Decodes the content of p into u: 0, or -1 (reported, and the link marked failed).
int TransZDecode(LinkEnd* pLink, Buf* p, Buf* u);
void TransZFree(LinkEnd* pLink);
