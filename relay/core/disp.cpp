#include "relay/core/disp.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "relay/core/auth.h"
#include "relay/core/conn.h"
#include "relay/core/file.h"
#include "relay/core/peer.h"
#include "relay/core/req.h"
#include "relay/core/rss.h"
#include "relay/core/tty.h"
#include "relay/link/dialog.h"

RssDispData* pRssDispData = nullptr;  // &pRssData->disp (relay/core/rss.h)

void RssInitDispData() {
    RssDispData* p = pRssDispData;
    FD_ZERO(&p->readMask);
    p->numFds = 0;
    p->maxFd = 0;
    std::memset(p->socketTbl, 0, sizeof p->socketTbl);
    std::memset(p->clientTbl, 0, sizeof p->clientTbl);
    lstInit(&p->clientRecList);
    p->pendingSignal = 0;
    p->cleaningUp = 0;
    p->lineDown = 0;
    p->codingShutdown = 0;
}

void InitializeFD() {
    // Anything inherited besides standard input, output and error is not ours to keep.
    for (int fd = 3; fd < RSS_MAX_FDS; fd++) close(fd);
    // Those three must be open: a client's socket given one of their numbers would receive our
    // messages on standard error, or look free to the client table (which takes 0 as unused).
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) break;
    RssInitDispData();
}

void RssCountFd(int fd) {
    pRssDispData->numFds++;
    if (fd > pRssDispData->maxFd) pRssDispData->maxFd = fd;
}

int DestroyFd(int sock) {
    RssDispData* p = pRssDispData;
    RssDaemonData* d = pRssDaemonData;
    shutdown(sock, SHUT_RDWR);
    close(sock);
    if (sock == d->tcpSock) {
        d->tcpSock = -1;
        d->useTcpip = 0;
    }
    if (sock == d->unixSock) {
        d->unixSock = -1;
        d->useLocal = 0;
    }
    if (sock >= p->maxFd) {
        for (int i = sock - 1; i >= 0; i--) {
            if (p->socketTbl[i] || i == d->tcpSock || i == d->unixSock || i == pRssGlobalData->ttyFd) {
                p->maxFd = i;
                break;
            }
        }
    }
    FD_CLR(sock, &p->readMask);
    p->numFds--;
    return 0;
}

namespace {

ClientRec* RssClientAt(int fd) { return fd >= 0 && fd < RSS_MAX_FDS ? pRssDispData->socketTbl[fd] : nullptr; }

bool RssReached(uint32_t t, uint32_t when) { return static_cast<int32_t>(t - when) >= 0; }

bool RssLineOnly() {
    RssDaemonData* d = pRssDaemonData;
    return (RssEarlierVersion(1, 1) && d->HostFd != -1) || rssCountFileRecs() > 0 ||
           !TransIsSendWindowOpen(&d->rssLink);
}

// The line has hung up when it polls readable with nothing to read. From then on it is no longer
// watched (it would wake every pass), and the relay ends in order at once: no handshake can cross
// a dead line, and waiting for the read time-out would leave the session running meanwhile (or for
// good, if whoever started the relay kills it before then).
bool RssLineHungUp(int fd) {
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0) return false;
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

void RssLineDown() {
    int fd = pRssGlobalData->ttyFd;
    if (fd != -1) FD_CLR(fd, &pRssDispData->readMask);
    pRssDispData->lineDown = 1;
    ShutdownRss();
}

void RssServeTty() {
    int fd = pRssGlobalData->ttyFd;
    if (!pRssDispData->lineDown && RssLineHungUp(fd)) {
        RssLineDown();
        return;
    }
    GotTtyInput();
    // Acknowledgements may have made room in the transport's window: what waits goes out now, not
    // at the loop's time-out (its clients are held back while it waits, so nothing else would).
    RssDaemonData* d = pRssDaemonData;
    if (lstCount(d->ttyOutList) > 0 && pRssGlobalData->running == 1)
        RssTransResult(TransWrite(&d->rssLink, d->ttyOutList));
}

void RssServeClient(int fd, uint32_t t) {
    WriteReplies(fd);
    ClientRec* c = RssClientAt(fd);
    if (c && (c->resumeTime == 0 || RssReached(t, c->resumeTime))) ProcessRequest(fd);
}

}  // namespace

void RssDeathSignalHandler(int sig) {
    if (RssDispData* p = pRssDispData) p->pendingSignal = sig;
}

void RssIgnoreSignalHandler(int) {}

int SetSignalHandling() {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a signal must wake the loop's select
    sa.sa_handler = RssIgnoreSignalHandler;
    for (int sig : {SIGURG, SIGPIPE, SIGTSTP, SIGCONT, SIGUSR1}) sigaction(sig, &sa, nullptr);
    sa.sa_handler = RssDeathSignalHandler;
    // A hang-up of the line is a dead line: end in order (stop the session, remove the sockets)
    // instead of being killed outright.
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGHUP}) sigaction(sig, &sa, nullptr);
    return 0;
}

void ShutdownRss() {
    RssGlobalData* g = pRssGlobalData;
    RssDaemonData* d = pRssDaemonData;
    if (g->running != 1) {
        CleanupAndExit(0);
        return;
    }
    if (pRssDispData->lineDown) {  // nobody to shake hands with
        g->running = 0;
        return;
    }
    Buf* b = BufGet(&d->bufData);
    if (!b) {
        g->running = 0;
        return;
    }
    const uint8_t request = DLG_REQUEST;
    DlgMake(b, MSG_SHUTDOWN, &request, 1);
    lstInsert(d->ttyOutList, nullptr, b);
    RssTransResult(TransWrite(&d->rssLink, d->ttyOutList));
}

// The signal and line events recorded since the last pass; run where the loop is not inside the
// pool, the lists or the transport.
void RssTakePendingEvents() {
    RssDispData* p = pRssDispData;
    if (p->pendingSignal) {
        p->pendingSignal = 0;
        ShutdownRss();
    }
    LinkEnd* link = &pRssDaemonData->rssLink;
    if (link->lineDown && !p->lineDown) RssLineDown();
    // A coded packet that does not decode has been reported by the link; nothing more of it can be
    // trusted, so the session ends in order (the handshake itself is not coded).
    if (LinkCodingFailed(link) && !p->codingShutdown) {
        p->codingShutdown = 1;
        ShutdownRss();
    }
}

int RssMainLoopPass() {
    RssGlobalData* g = pRssGlobalData;
    RssDaemonData* d = pRssDaemonData;
    RssDispData* p = pRssDispData;
    RssTakePendingEvents();
    if (g->running != 1) return 0;
    if (lstCount(d->ttyInList) > 0) GotTtyInput();

    fd_set readSet, exceptSet;
    bool lineOnly = RssLineOnly();
    if (lineOnly) {
        FD_ZERO(&readSet);
        if (g->ttyFd != -1 && FD_ISSET(g->ttyFd, &p->readMask)) FD_SET(g->ttyFd, &readSet);
        if (!TransIsSendWindowOpen(&d->rssLink)) g->selectTimeout.sec = 1;
    } else {
        readSet = p->readMask;
        g->selectTimeout.sec = 0;
        // Sockets whose input would not be taken now wait for a later pass (the transport's
        // interval bounds the wait); watching them would turn the loop into a busy spin.
        for (ClientRec* c = lstFirstT<ClientRec>(&p->clientRecList); c; c = c->next)
            if (c->sock >= 0 && FD_ISSET(c->sock, &readSet) && !RssClientInputWanted(c)) FD_CLR(c->sock, &readSet);
    }
    exceptSet = p->readMask;
    // Frames the line could not take yet go out as soon as it can: with the clients held back for
    // a full link queue, nothing else would wake the loop before its time-out, and the line would
    // stand idle meanwhile.
    fd_set writeSet;
    FD_ZERO(&writeSet);
    const bool outputHeld = g->ttyFd != -1 && !p->lineDown && LinkOutputWaiting(&d->rssLink) > 0;
    if (outputHeld) FD_SET(g->ttyFd, &writeSet);
    // A client that left replies unread is written to again as soon as it takes more.
    if (!lineOnly)
        for (ClientRec* c = lstFirstT<ClientRec>(&p->clientRecList); c; c = c->next)
            if (c->sock >= 0 && (ClientHeldBytes(c) > 0 || c->setupReply)) FD_SET(c->sock, &writeSet);
    timeval tv{g->selectTimeout.sec, g->selectTimeout.usec};
    int n = select(p->maxFd + 1, &readSet, &writeSet, &exceptSet, &tv);
    if (n == -1) {
        int e = errno;
        if (e == EBADF || e == EINTR || e == EPIPE || e == ECONNRESET)
            CheckConnections(&p->readMask, g->ttyFd);
        else
            std::perror("select");
        return 1;
    }
    if (n == 0) {
        ProcessBacklog();
        return 1;
    }
    if (outputHeld && FD_ISSET(g->ttyFd, &writeSet)) RssTransResult(TransWrite(&d->rssLink, d->ttyOutList));
    if (lineOnly) {
        if (g->ttyFd != -1 && FD_ISSET(g->ttyFd, &readSet)) RssServeTty();
        return 1;
    }
    uint32_t t = GetTime();
    for (int i = 0; i <= p->maxFd && g->running == 1; i++) {
        ClientRec* c = RssClientAt(i);
        if (c && (lstCount(c->replyInList) > 0 || FD_ISSET(i, &writeSet))) WriteReplies(i);
        if (FD_ISSET(i, &readSet)) {
            if (i == g->ttyFd)
                RssServeTty();
            else if (i == d->tcpSock || i == d->unixSock)
                ProcessConnectionReq(i);
            else
                ProcessRequest(i);
        } else if ((c = RssClientAt(i)) && c->resumeTime != 0 && RssReached(t, c->resumeTime)) {
            ProcessRequest(i);
        }
    }
    return 1;
}

int MainLoop() {
    while (pRssGlobalData->running == 1) RssMainLoopPass();
    return 0;
}

void ProcessBacklog() {
    RssGlobalData* g = pRssGlobalData;
    RssDaemonData* d = pRssDaemonData;
    RssDispData* p = pRssDispData;
    RssTransResult(TransRead(&d->rssLink, d->ttyInList));
    if (lstCount(d->ttyInList) > 0) GotTtyInput();
    RssTransResult(TransWrite(&d->rssLink, d->ttyOutList));
    uint32_t t = GetTime();
    if (g->focusClient != 0 && g->focusClient < RSS_MAX_FDS && p->clientTbl[g->focusClient])
        RssServeClient(p->clientTbl[g->focusClient]->sock, t);
    for (int i = p->maxFd; i >= 0; i--)
        if (RssClientAt(i)) RssServeClient(i, t);
}

void CheckConnections(const fd_set* watched, int ttyFd) {
    fd_set mask = *watched;  // handlers change the live set while we walk it
    for (int i = 0; i <= pRssDispData->maxFd; i++) {
        if (!FD_ISSET(i, &mask)) continue;
        fd_set one;
        FD_ZERO(&one);
        FD_SET(i, &one);
        timeval zero{0, 0};
        if (select(i + 1, &one, nullptr, nullptr, &zero) != -1) continue;
        if (i == ttyFd)
            RssLineDown();
        else
            ProcessDeadSocket(i);
    }
}

int CloseConnection(int sock) {
    RssDispData* p = pRssDispData;
    RssDaemonData* d = pRssDaemonData;
    ClientRec* c = RssClientAt(sock);
    if (!c) return 0;
    if (pRssGlobalData->focusClient == c->clientId) pRssGlobalData->focusClient = 0;
    BufFreeClientBufs(&d->bufData, c->clientId);
    TransClientGone(&d->rssLink, c->clientId);
    TransFreeClientID(&d->rssLink, c->clientId);
    p->socketTbl[sock] = nullptr;
    if (c->clientId >= 0 && c->clientId < RSS_MAX_FDS) p->clientTbl[c->clientId] = nullptr;
    DestroyClientRec(c);
    DestroyFd(sock);
    return 0;
}

void ShutdownDispatch() {
    RssDaemonData* d = pRssDaemonData;
    // Both forms: a terminal that announced itself twice may have left files of either.
    if (d->HostFd != -1) close(d->HostFd);
    d->HostFd = -1;
    rssCloseAllFileRecs();
    while (ClientRec* c = lstFirstT<ClientRec>(&pRssDispData->clientRecList)) {
        CloseConnection(c->sock);
        if (lstFirst(&pRssDispData->clientRecList) == c) DestroyClientRec(c);
    }
    if (pRssGlobalData->ttyFd != -1) TtyRestore(pRssGlobalData->ttyFd);
    RssAuthRemove();
    DestroyUnixSocket();
    DestroyInetSocket();
}
