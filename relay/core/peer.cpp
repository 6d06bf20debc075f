#include "relay/core/peer.h"

#include <cstdio>

#include "relay/core/conn.h"
#include "relay/core/disp.h"
#include "relay/core/file.h"
#include "relay/core/req.h"
#include "relay/core/rss.h"
#include "relay/core/setupreply.h"
#include "relay/core/storerelay.h"
#include "relay/link/dialog.h"
#include "relay/link/linkext.h"

namespace {

BufData* Pool() { return &pRssDaemonData->bufData; }

void RssSend(Buf* b) {
    lstAdd(pRssDaemonData->ttyOutList, b);
    RssTransResult(TransWrite(&pRssDaemonData->rssLink, pRssDaemonData->ttyOutList));
}

void RssCloseAllClients() {
    while (ClientRec* c = lstFirstT<ClientRec>(&pRssDispData->clientRecList)) {
        if (CloseConnection(c->sock) == 0 && lstFirst(&pRssDispData->clientRecList) == c)
            DestroyClientRec(c);  // a record that never got a socket
    }
}

// What we take of the terminal's offer: vouching for clients only while we check them, set-up
// differences (starting from the offered base when we hold it too) and the link-life coder always.
void RssAnswerExtensions(uint32_t offered, const LinkExtParams& params) {
    RssDaemonData* d = pRssDaemonData;
    uint32_t ours = LINKEXT_SETUPDIFF | LINKEXT_ZCODER | LINKEXT_RECOVER | LINKEXT_STORE | LINKEXT_ANSWER | LINKEXT_ANSWERQUIET |
                    (d->checkAuthorization ? LINKEXT_VOUCH : 0);
    Buf* b = BufGet(Pool());
    if (!b) return;  // no answer: the terminal goes on as with an earlier relay
    d->extAccepted = offered & ours;
    if (!(d->extAccepted & LINKEXT_SETUPDIFF)) d->extAccepted &= ~LINKEXT_ANSWER;
    if (!(d->extAccepted & LINKEXT_ANSWER)) d->extAccepted &= ~LINKEXT_ANSWERQUIET;
    LinkExtParams answered{};
    if (d->extAccepted & LINKEXT_SETUPDIFF) answered.setupBase = RssSetupOffered(params.setupBase);
    if (d->extAccepted & LINKEXT_STORE) answered.store = RssStoreOffered(params.store);
    uint8_t answer[LINKEXT_MAX];
    DlgMake(b, MSG_EXTENSIONS, answer, static_cast<int>(LinkExtWrite(answer, d->extAccepted, &answered)));
    std::fprintf(stderr, "terminal extensions: offered 0x%x, accepted 0x%x\n", static_cast<unsigned>(offered),
                 static_cast<unsigned>(d->extAccepted));
    RssSend(b);
}

}  // namespace

void GotTtyInput() {
    RssDaemonData* d = pRssDaemonData;
    RssTransResult(TransRead(&d->rssLink, d->ttyInList));
    while (Buf* b = lstGetT<Buf>(d->ttyInList)) {
        switch (b->type) {
        case MSG_XMERGED:
        case MSG_XCACHED:
        case MSG_XDATA: ProcessReply(b); break;
        case MSG_CONNECT: ProcessConnectionRepl(b); break;
        case MSG_START:
            BufFree(Pool(), b);
            RssPanic("internal error - host received start protocol message.");
            break;
        case MSG_XREADY: ProcessXready(b); break;
        case MSG_FILEOPEN: ProcessFileOpen(b); break;
        case MSG_FILECLOSE: ProcessFileClose(b); break;
        case MSG_FILEDATA: ProcessFileData(b); break;
        case MSG_SHUTDOWN:
            RssStoreFreeze();  // the terminal keeps its store as it was when it said this
            ProcessShutdownRequest(b);
            break;
        case MSG_XSTORE: RssStoreMessage(b); break;
        case MSG_DEADCLIENT: ProcessDeadClient(b); break;
        default: BufFree(Pool(), b); break;
        }
    }
}

void ProcessXready(Buf* msg) {
    RssGlobalData* g = pRssGlobalData;
    RssDaemonData* d = pRssDaemonData;
    LinkEnd* link = &d->rssLink;
    // A message without its four bytes carries no version: taking the missing ones as 0 would end
    // the relay as if an incompatible terminal had answered. It is no answer; the read time-out
    // ends the relay if no whole one comes.
    DlgReady r;
    if (DlgReadReady(msg, &r) == -1) {
        BufFree(Pool(), msg);
        std::fprintf(stderr, "terminal ready message too short - ignored\n");
        return;
    }
    BufFree(Pool(), msg);
    // The terminal's version is known as 0.0 until its first answer, and fixed by that answer: a
    // repeated one must not change byte order, escapes or link level under the running clients.
    if (link->peer.version != 0) {
        std::fprintf(stderr, "terminal ready message repeated - ignored\n");
        return;
    }
    // Known from here on even when the relay goes no further with this terminal.
    LinkNoteRemoteVersion(link, r.byteOrder, r.version, r.level);
    const LinkConfig& ours = link->config;
    const LinkVersion& theirs = link->peer;
    auto versions = [&] {
        std::fprintf(stderr, "Linquara versions: lqhostd %d.%d, ", ours.ourVersion, ours.ourLevel);
        std::fprintf(stderr, "lqtermd %d.%d\n", theirs.version, theirs.level);
    };
    if (r.fourth > 128 || theirs.version != ours.ourVersion) {
        versions();
        g->running = 0;
        return;
    }
    if (theirs.level != ours.ourLevel) {
        versions();
        if (RssEarlierVersion(1, 1)) std::fprintf(stderr, "    (lqtermd uses old version of file I/O)\n");
        if (RssEarlierVersion(1, 2)) std::fprintf(stderr, "    (lqtermd does not support flow-control)\n");
    }
    // The link narrows its stuffing to the configured escape list and adapts to the level.
    LinkSetRemoteVersion(link, r.byteOrder, r.version, r.level);
    // The answer goes before any client's set-up can, so the terminal knows the terms of every one.
    if (r.offer && d->extensions) RssAnswerExtensions(r.offered, r.params);
    if (d->useLocal && d->unixSock != -1) FD_SET(d->unixSock, &pRssDispData->readMask);
    if (d->useTcpip && d->tcpSock != -1) FD_SET(d->tcpSock, &pRssDispData->readMask);
}

int ProcessDeadSocket(int fd) {
    ClientRec* c = fd >= 0 && fd < RSS_MAX_FDS ? pRssDispData->socketTbl[fd] : nullptr;
    if (!c || c->dead) return 0;
    Buf* b = BufGet(Pool());
    if (!b) return -1;
    FD_CLR(fd, &pRssDispData->readMask);
    c->dead = 1;
    BufListFree(Pool(), c->reqList);
    const uint8_t report[2] = {static_cast<uint8_t>(c->clientId), DLG_REQUEST};
    DlgMake(b, MSG_DEADCLIENT, report, 2);
    RssSend(b);
    return 0;
}

int ProcessDeadClient(Buf* msg) {
    int id = 0;
    uint8_t phase = 0;
    ClientRec* c = DlgReadDeadClient(msg, &id, &phase) == 0 ? pRssDispData->clientTbl[id & 0x3f] : nullptr;
    if (!c || c->clientId != id) {
        BufFree(Pool(), msg);
        return 0;
    }
    // The answer is the message itself with its phase moved on.
    msg->clientId = 0;
    switch (phase) {
    case DLG_REQUEST:
        if (c->sock >= 0) FD_CLR(c->sock, &pRssDispData->readMask);
        c->dead = 1;
        BufListFree(Pool(), c->reqList);
        BufListFree(Pool(), c->replyOutList);
        msg->start[1] = DLG_ACK;
        RssSend(msg);
        break;
    case DLG_ACK:
        msg->start[1] = DLG_FINAL;
        RssSend(msg);
        CloseConnection(c->sock);
        break;
    default:
        BufFree(Pool(), msg);
        CloseConnection(c->sock);
        break;
    }
    return 0;
}

int ProcessShutdownRequest(Buf* msg) {
    RssDaemonData* d = pRssDaemonData;
    uint8_t phase = DlgShutdownPhase(msg);
    if (phase == DLG_REQUEST) {
        DestroyUnixSocket();
        DestroyInetSocket();
        if (msg->Len() == 0) *msg->end++ = DLG_REQUEST;
        msg->start[0] = DLG_ACK;
        msg->clientId = 0;
        RssSend(msg);
    } else if (phase == DLG_ACK) {
        RssCloseAllClients();
        msg->start[0] = DLG_FINAL;
        msg->clientId = 0;
        lstInsert(d->ttyOutList, nullptr, msg);
        RssTransResult(TransWrite(&d->rssLink, d->ttyOutList));
        pRssGlobalData->running = 0;
    } else {
        BufFree(Pool(), msg);
        pRssGlobalData->running = 0;
    }
    return 0;
}
