#include "relay/core/req.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/core/answerrelay.h"
#include "relay/core/conn.h"
#include "relay/core/disp.h"
#include "relay/core/peer.h"
#include "relay/core/rss.h"
#include "relay/core/setupreply.h"
#include "relay/core/storerelay.h"
#include "relay/link/linkext.h"
#include "relay/xspec/xanswer.h"
#include "relay/xspec/xbytes.h"

namespace {

BufData* Pool() { return &pRssDaemonData->bufData; }

ClientRec* RssClientAt(int fd) { return fd >= 0 && fd < RSS_MAX_FDS ? pRssDispData->socketTbl[fd] : nullptr; }

// ---- bytes the client's socket has not taken ----------------------------------------------------

// Appends to the client's held bytes. False when the client already holds more than any client
// that reads at all would (or the heap is out): it is then dropped.
bool RssHold(ClientRec* c, const uint8_t* p, size_t n) {
    if (n == 0) return true;
    if (c->heldPos > 0) {  // the written front is no longer needed
        std::memmove(c->held, c->held + c->heldPos, c->heldLen - c->heldPos);
        c->heldLen -= c->heldPos;
        c->heldPos = 0;
    }
    if (n > RSS_HELD_MAX - c->heldLen) return false;
    const uint32_t need = c->heldLen + static_cast<uint32_t>(n);
    if (need > c->heldCap) {
        uint32_t cap = c->heldCap ? c->heldCap : 4096;
        while (cap < need) cap *= 2;
        auto* grown = static_cast<uint8_t*>(std::realloc(c->held, cap));
        if (!grown) return false;
        c->held = grown;
        c->heldCap = cap;
    }
    std::memcpy(c->held + c->heldLen, p, n);
    c->heldLen = need;
    return true;
}

bool RssHoldSink(void* ctx, const uint8_t* p, size_t n) { return RssHold(static_cast<ClientRec*>(ctx), p, n); }

// Appends the X server's bytes for the client: through the client's answer stream when it has one,
// which puts the answers made here in their place.
bool RssHoldX(ClientRec* c, const uint8_t* p, size_t n) {
    if (!c->answer) return RssHold(c, p, n);
    return XAnswerServer(c->answer, RssAnswerTable(), p, n, RssHoldSink, c);
}

// Moves the client's queued output into its held bytes, through its answer stream, and the answers
// made since after it.
bool RssHoldQueued(ClientRec* c) {
    bool ok = true;
    while (Buf* b = ok ? lstGetT<Buf>(c->replyOutList) : nullptr) {
        // The pieces of a long set-up reply past its second one queue as set-up messages.
        ok = b->type == MSG_CONNECT ? RssHold(c, b->start, b->Len()) : RssHoldX(c, b->start, b->Len());
        BufFree(Pool(), b);
    }
    return ok && (!c->answer || XAnswerFlush(c->answer, RssHoldSink, c));
}

void RssDropHeld(ClientRec* c) {
    std::free(c->held);
    c->held = nullptr;
    c->heldLen = c->heldPos = c->heldCap = 0;
}

// A client that lets its replies pile up without end is closed, so that it cannot take the host's
// memory; its bytes are dropped.
void RssHoldOverflow(ClientRec* c) {
    std::fprintf(stderr, "client %d: more than %u reply bytes unread - closed\n", c->clientId, RSS_HELD_MAX);
    RssDropHeld(c);
    BufListFree(Pool(), c->replyOutList);
    shutdown(c->sock, SHUT_RDWR);  // should the dead-client report find no buffer, reading ends it later
    ProcessDeadSocket(c->sock);
}

// Moves a buffer's bytes, from p on, and everything queued behind it into the held bytes.
void RssHoldRest(ClientRec* c, Buf* b, const uint8_t* p) {
    // The bytes of b are set-up bytes or X server messages as the caller says; what is queued
    // behind it are messages.
    bool ok = RssHold(c, p, static_cast<size_t>(b->end - p));
    BufFree(Pool(), b);
    if (!ok || !RssHoldQueued(c)) RssHoldOverflow(c);
}

// The terminal holds the client's data while the client leaves much unread, and sends it again
// once the client has taken everything.
void RssHoldWindow(ClientRec* c) {
    LinkEnd* link = &pRssDaemonData->rssLink;
    if (!c->dead && ClientHeldBytes(c) > RSS_HELD_HOLD)
        TransClientCloseWindow(link, c->clientId);
    else if ((c->dead || ClientHeldBytes(c) == 0) && !TransIsClientRecvWindowOpen(link, c->clientId))
        TransClientOpenWindow(link, c->clientId);
}

}  // namespace

void RssHoldAfterQueued(ClientRec* c, const uint8_t* p, size_t n) {
    if (!RssHoldQueued(c) || !RssHoldX(c, p, n)) {
        RssHoldOverflow(c);
        return;
    }
    RssHoldWindow(c);
}

namespace {

bool RssDeadErrno(int e) { return e == EINTR || e == EBADF || e == EPIPE || e == ECONNRESET; }

// A failed write to the client. 0: the socket takes nothing now; -1: stop writing (the client is
// dead, or the error is reported and the bytes are kept for a later try).
int RssWriteFailed(ClientRec* c, int e, bool fromReply) {
    if (e == EAGAIN) return 0;
    if (RssDeadErrno(e)) {
        ProcessDeadSocket(c->sock);
        return -1;
    }
    if (fromReply) {
        std::fprintf(stderr, "unknown write error errno = %d\n", e);
        return 0;
    }
    errno = e;
    std::perror("ProcessConnectionReply write error");
    std::fprintf(stderr, " errno=%d\n", e);
    return -1;
}

void RssCloseReqBuf(ClientRec* c) {
    Buf* b = c->reqBuf;
    b->end = b->data + c->reqFill;
    b->type = 0;
    b->clientId = static_cast<uint8_t>(c->clientId);
    lstAdd(c->reqList, b);
    c->reqBuf = nullptr;
}

// Takes up the messages of the X server's connection reply (the first carries the set-up status,
// the second ends the set-up phase) and writes them. A partly written one is finished before any
// later byte goes out, so the client sees the reply in order. False while one is still unfinished.
bool RssConnReplyPump(ClientRec* c) {
    if (c->setupReply && !RssSetupReplyPump(c)) return false;
    for (;;) {
        if (!c->connReplyBuf) {
            if (!c->inSetup) return true;
            Buf* b = lstGetT<Buf>(c->replyOutList);
            if (!b) return true;
            if (c->connReplied) {
                c->inSetup = 0;  // the second message: requests are read from now on
            } else {
                if (b->Len() > 0 && b->start[0] == 0) c->dead = 1;  // the X server refused it
                InitClientRequest(c->sock);
                c->connReplied = 1;
            }
            c->connReplyBuf = b;
            c->connReplyLeft = static_cast<int>(b->Len());
            c->connReplyPos = b->start;
        }
        ssize_t n = c->connReplyLeft > 0 ? write(c->sock, c->connReplyPos, static_cast<size_t>(c->connReplyLeft)) : 0;
        if (n >= 0) {
            c->connReplyLeft -= static_cast<int>(n);
            c->connReplyPos += n;
            if (c->connReplyLeft == 0) {
                BufFree(Pool(), c->connReplyBuf);
                c->connReplyBuf = nullptr;
                c->connReplyPos = nullptr;
                continue;
            }
        } else if (RssDeadErrno(errno)) {
            BufFree(Pool(), c->connReplyBuf);
            c->connReplyBuf = nullptr;
            c->connReplyPos = nullptr;
            ProcessDeadSocket(c->sock);
            return true;
        } else if (errno != EAGAIN) {
            std::fprintf(stderr, "ProcessConnReply write error errno=%d\n", errno);
            return false;
        }
        // A refused client still gets its reason whole, from the buffer, before it is closed.
        if (c->inSetup || c->dead) return false;
        // Out of the set-up phase the rest is plain reply bytes: held, not kept in a link buffer.
        Buf* b = c->connReplyBuf;
        c->connReplyBuf = nullptr;
        RssHoldRest(c, b, c->connReplyPos);
        c->connReplyPos = nullptr;
        c->connReplyLeft = 0;
        return true;
    }
}

// Writes the held bytes and then the reply output queue to the socket, in order. What the socket
// does not take is held. fromReply selects the error handling of ProcessReply instead of
// WriteReplies.
int RssFlushReplies(ClientRec* c, bool fromReply) {
    if (!RssConnReplyPump(c)) return 0;
    if (c->dead) {  // its output is dropped unwritten
        RssDropHeld(c);
        BufListFree(Pool(), c->replyOutList);
        RssHoldWindow(c);
        return 0;
    }
    // A client with an answer stream gets everything through it, and so through its held bytes.
    if (c->answer && !RssHoldQueued(c)) {
        RssHoldOverflow(c);
        return 0;
    }
    int result = 0;
    while (ClientHeldBytes(c) > 0) {
        ssize_t n = write(c->sock, c->held + c->heldPos, ClientHeldBytes(c));
        if (n < 0) {
            result = RssWriteFailed(c, errno, fromReply);
            break;
        }
        c->heldPos += static_cast<uint32_t>(n);
    }
    if (ClientHeldBytes(c) == 0) c->heldLen = c->heldPos = 0;
    if (result < 0) return -1;
    if (ClientHeldBytes(c) > 0) {  // the socket is full: the queue waits behind what it left
        if (Buf* b = lstGetT<Buf>(c->replyOutList)) RssHoldRest(c, b, b->start);
    }
    while (Buf* b = ClientHeldBytes(c) == 0 ? lstGetT<Buf>(c->replyOutList) : nullptr) {
        ssize_t n = b->Len() ? write(c->sock, b->start, b->Len()) : 0;
        if (n < 0) {
            const int e = errno;
            if (RssDeadErrno(e)) {
                BufFree(Pool(), b);
                return RssWriteFailed(c, e, fromReply);
            }
            if (RssWriteFailed(c, e, fromReply) < 0) {
                lstInsert(c->replyOutList, nullptr, b);
                return -1;
            }
            n = 0;
        }
        if (static_cast<size_t>(n) == b->Len())
            BufFree(Pool(), b);
        else
            RssHoldRest(c, b, b->start + n);
    }
    if (!c->dead) RssHoldWindow(c);
    return result;
}

}  // namespace

void InitClientRequest(int fd) {
    ClientRec* c = RssClientAt(fd);
    if (!c) return;
    if (!c->reqBuf) c->reqBuf = BufGet(Pool());
    c->needed = 4;
    c->reqFill = 0;
    c->hdrRead = 0;
}

int ReadNeededBytes(int fd) {
    ClientRec* c = RssClientAt(fd);
    if (!c || c->needed == 0) return 0;
    if (!c->reqBuf) {
        c->reqBuf = BufGet(Pool());
        if (!c->reqBuf) return 0;
        c->reqFill = 0;
    }
    int reads = 0;
    for (;;) {
        int room = RSS_REQ_BUF_MAX - c->reqFill;
        int want = c->needed < room ? c->needed : room;
        ssize_t n = read(fd, c->reqBuf->data + c->reqFill, static_cast<size_t>(want));
        reads++;
        if (n == 0) {
            BufFree(Pool(), c->reqBuf);
            c->reqBuf = nullptr;
            ProcessDeadSocket(fd);
            return 0;
        }
        if (n == -1) {
            if (RssDeadErrno(errno)) {
                ProcessDeadSocket(fd);
            } else if (errno != EAGAIN) {
                std::perror("Process request read error");
            }
            return 0;
        }
        c->reqFill = static_cast<uint16_t>(c->reqFill + n);
        c->needed -= static_cast<int>(n);
        if (c->reqFill >= RSS_REQ_BUF_MAX && c->needed > 0) {
            RssCloseReqBuf(c);
            c->reqBuf = BufGet(Pool());
            c->reqFill = 0;
            if (!c->reqBuf || reads > 1) return -1;
        } else if (c->needed == 0) {
            return 1;
        } else if (n < want) {
            return 0;  // the socket has nothing more now
        }
    }
}

int GetNextXRequest(int fd) {
    ClientRec* c = RssClientAt(fd);
    if (!c) return 0;
    int r = ReadNeededBytes(fd);
    if (r < 1) return r;
    if (!c->hdrRead) {
        c->hdrRead = 1;
        const uint8_t* h = c->reqBuf->data;
        bool swap = c->byteOrder != pRssDaemonData->rssLink.config.ourByteOrder;
        int length = swap ? h[2] | h[3] << 8 : h[2] << 8 | h[3];
        if (c->answer) c->answer->opcode = h[0];
        if (length > 1) {
            c->needed = 4 * length - 4;
            r = ReadNeededBytes(fd);
            if (r < 1) return r;
        }
    }
    if (c->answer) {
        // A client that sends before its set-up reply is written gets no answers: they could not
        // go after the reply.
        if (c->connReplyBuf || c->setupReply) c->answer->lost = true;
        // The whole request is at hand when it fitted one buffer; else its opcode is enough.
        uint8_t* h = c->reqBuf->data;
        const bool whole = c->reqFill >= 4 && h[0] == c->answer->opcode &&
                           XspecRequestSize(h, XspecLittle(c)) == c->reqFill;
        uint8_t op[4] = {c->answer->opcode, 0, 0, 0};
        if (RssAnswerRequest(c, whole ? h : op, whole ? c->reqFill : 4) && !RssHoldQueued(c)) RssHoldOverflow(c);
    }
    RssCloseReqBuf(c);
    InitClientRequest(fd);
    return 1;
}

bool RssClientInputWanted(const ClientRec* c) {
    RssDaemonData* d = pRssDaemonData;
    if (!c || c->dead) return false;
    if (c->inSetup) return c->needed != 0;
    return lstCount(d->ttyOutList) <= RSS_MAX_TTY_OUT && TransIsClientSendWindowOpen(&d->rssLink, c->clientId) &&
           BufPoolCount(&d->bufData) > 0;
}

void ProcessRequest(int fd) {
    RssDaemonData* d = pRssDaemonData;
    ClientRec* c = RssClientAt(fd);
    if (!c || c->dead) return;
    if (c->inSetup) {
        if (c->needed != 0) ProcessConnectionReq(fd);
        return;
    }
    uint32_t t = GetTime();
    if (lstCount(d->ttyOutList) <= RSS_MAX_TTY_OUT && TransIsClientSendWindowOpen(&d->rssLink, c->clientId) &&
        (GetNextXRequest(fd) != 0 || c->resumeTime != 0)) {
        // The request may have found the client dead; its queues are then already emptied.
        if (!c->dead) {
            int wait = XspecEncode(&d->rssXspecEnv, c);
            c->resumeTime = wait ? t + static_cast<uint32_t>(wait) : 0;
            if (c->resumeTime == 0 && wait) c->resumeTime = 1;
            lstConcat(d->ttyOutList, c->encList);
            if (c->answer && !c->dead && ClientHeldBytes(c) > 0) RssFlushReplies(c, false);  // an answer made here
        }
    }
    RssTransResult(TransWrite(&d->rssLink, d->ttyOutList));
}

void ProcessReply(Buf* msg) {
    RssStoreSee(msg);
    ClientRec* c = pRssDispData->clientTbl[msg->clientId & 0x3f];
    if (!c) {
        BufFree(Pool(), msg);
        return;
    }
    lstAdd(c->replyInList, msg);
    XspecDecode(&pRssDaemonData->rssXspecEnv, c);
    RssFlushReplies(c, true);
}

int WriteReplies(int fd) {
    ClientRec* c = RssClientAt(fd);
    if (!c) return -1;
    XspecDecode(&pRssDaemonData->rssXspecEnv, c);
    return RssFlushReplies(c, false);
}

void ProcessConnectionRepl(Buf* msg) {
    if (pRssDaemonData->extAccepted & LINKEXT_SETUPDIFF) {
        const int r = RssSetupReplyIn(msg);
        if (r == -1) ShutdownRss();  // a reply that cannot be rebuilt must not reach the client wrong
        if (r != 0) return;
    }
    ClientRec* c = pRssDispData->clientTbl[msg->clientId & 0x3f];
    if (!c) {
        BufFree(Pool(), msg);
        return;
    }
    lstAdd(c->replyOutList, msg);
    RssConnReplyPump(c);
}
