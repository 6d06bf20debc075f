#include "relay/core/disp.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "relay/core/rss.h"
#include "relay/core/tty.h"

static RssDispData rssDispData;
RssDispData* pRssDispData = &rssDispData;

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
}

void InitializeFD() {
    // Anything inherited besides standard input, output and error is not ours to keep.
    for (int fd = 3; fd < RSS_MAX_FDS; fd++) close(fd);
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

void ShutdownDispatch() {
    if (pRssGlobalData->ttyFd != -1) TtyRestore(pRssGlobalData->ttyFd);
}
