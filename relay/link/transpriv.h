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
// Takes the acknowledgement nibble of a received header byte.
void TransTakeAck(LinkEnd* pLink, uint8_t header);
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

// loss recovery (LINKEXT_RECOVER, relay/link/transrecover.cpp)
// Link controls: unnumbered frames in the retransmission form whose type byte is MSG_REXMIT_HDR.
constexpr uint8_t REC_STATE = 1;         // what the receiver holds: flags, in-order count, held map
constexpr uint8_t REC_PROBE = 2;         // asks for a state report at once
constexpr uint8_t REC_STATE_ANSWER = 2;  // flag of REC_STATE: it answers a probe
constexpr uint8_t REC_STATE_RATE = 4;    // flag of REC_STATE: sent for its byte time alone
constexpr size_t REC_CONTROL_HDR = 6;    // header byte, 14, 24-bit number, 14
// Whether the peer takes link controls and this end works by them (both ways agreed or answered).
bool TransRecOn(const LinkEnd* pLink);
// How far past the oldest unacknowledged packet the newest may be numbered: 8, or wider once
// recovery is agreed, so that a repair does not stop the line.
uint32_t TransRecWindow(const LinkEnd* pLink);
// True when this end should take no new message yet: what it has written already keeps the line
// busy for a while, and a control written later would wait behind more.
bool TransRecPaced(LinkEnd* pLink);
// Microseconds until the pacing lets a message out again (at least one): the time-out of a loop
// that holds output for it, so that the line does not stand idle until the loop's next interval.
uint32_t TransRecPaceWait(LinkEnd* pLink);
// Buffers that the windows bound once recovery is agreed (the read cache and the write list), which
// the receive window does not count as a shortage: a repair fills both at once, and closing the
// peer's window for them stops the line for a round trip after every loss. 0 otherwise.
int32_t TransRecBoundBuffers(const LinkEnd* pLink);
// p is a link control: it is acted on and freed (true), or it is a packet (false, p untouched).
bool TransRecControl(LinkEnd* pLink, Buf* p);
// A good packet frame has arrived (header still in front): the line rate is measured by it.
void TransRecArrival(LinkEnd* pLink, const Buf* p);
// The receiving side noticed a loss: a damaged frame, a new gap, or (duplicate) a packet it holds
// already. True when a state report answers it (the caller then sends nothing of the base protocol
// for it).
bool TransRecNoteLoss(LinkEnd* pLink, bool duplicate);
// End of a read pass: damaged frames were seen in it (damaged) or not; the stall time is kept.
void TransRecAfterRead(LinkEnd* pLink, bool damaged);
// Writes due link controls to the frame send buffer; first thing of every flush.
void TransRecFlush(LinkEnd* pLink);
// Packet b (null for a control) has been framed, lineBytes on the line (0 = not written); fresh
// when it was numbered for this sending.
void TransRecSent(LinkEnd* pLink, const Buf* b, uint64_t lineBytes, bool fresh);
// Acknowledgements moved forward.
void TransRecAcked(LinkEnd* pLink);
// Timers of an agreed link, in place of the base retransmission timer: a probe when the tail of
// what was sent stays unacknowledged, a timed resend with back-off when even that brings nothing.
void TransRecCheckTimers(LinkEnd* pLink);
