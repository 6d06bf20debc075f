#include "relay/core/answerrelay.h"
#include "relay/core/conn.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/core/auth.h"
#include "relay/core/disp.h"
#include "relay/core/peer.h"
#include "relay/core/rss.h"
#include "relay/core/storerelay.h"

namespace {

bool RssNoRoomForFd() { return pRssDispData->numFds + 1 > RSS_MAX_FDS - 1; }

BufData* Pool() { return &pRssDaemonData->bufData; }

void RssQueueOut(Buf* b) { lstAdd(pRssDaemonData->ttyOutList, b); }

// True when a live server answers on the socket file at path.
bool RssSocketAnswers(const char* path) {
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s == -1) return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path, strnlen(path, sizeof a.sun_path - 1));
    bool live = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return live;
}

// X servers mark a display in use with a lock file holding their process id, and take over a
// display whose lock is missing (removing its socket). Hold the lock like they do, so a server
// started later leaves our display alone and we leave a live server's display alone.
int RssLockDisplay(int display) {
    RssDaemonData* d = pRssDaemonData;
    char path[RSS_PATH_MAX];
    std::snprintf(path, sizeof path, "/tmp/.X%d-lock", display);
    for (int attempt = 0; attempt < 2; attempt++) {
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0444);
        if (fd != -1) {
            char pid[16];
            int n = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
            bool ok = write(fd, pid, static_cast<size_t>(n)) == n;
            close(fd);
            if (!ok) {
                unlink(path);
                return -1;
            }
            std::snprintf(d->lockPath, sizeof d->lockPath, "%s", path);
            return 0;
        }
        if (errno != EEXIST) return 0;  // no lock to be had here (read-only /tmp): go on without
        // Someone holds it: in use unless its process is gone.
        int rfd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        char text[32] = {0};
        ssize_t got = rfd == -1 ? -1 : read(rfd, text, sizeof text - 1);
        if (rfd != -1) close(rfd);
        long pid = got > 0 ? std::strtol(text, nullptr, 10) : 0;
        if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH)) {
            if (got <= 0 && attempt == 0) {
                // Possibly being written right now by its owner: look once more before judging.
                usleep(100000);
                continue;
            }
            if (unlink(path) == -1) return -1;
            continue;
        }
        return -1;
    }
    return -1;
}

void RssUnlockDisplay() {
    RssDaemonData* d = pRssDaemonData;
    if (d->lockPath[0]) unlink(d->lockPath);
    d->lockPath[0] = '\0';
}

}  // namespace

int CreateInetSocket(int display) {
    RssDaemonData* d = pRssDaemonData;
    if (!d->useTcpip) {
        d->tcpSock = -1;
        return 0;
    }
    if (RssNoRoomForFd()) return -1;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s == -1) return -1;
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    // Only this host's own programs, unless asked otherwise: the display is the user's screen.
    a.sin_addr.s_addr = htonl(d->tcpAllInterfaces ? INADDR_ANY : INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>((d->listenPort + display) & 0xffff));
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == -1) {
        close(s);
        return -1;
    }
    linger lg{0, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    if (listen(s, 5) == -1) {
        close(s);
        return -1;
    }
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    RssCountFd(s);
    d->tcpSock = s;
    return 0;
}

int CreateUnixSocket(int display) {
    RssDaemonData* d = pRssDaemonData;
    if (!d->useLocal) {
        d->unixSock = -1;
        return 0;
    }
    if (RssNoRoomForFd()) return -1;
    mode_t old = umask(0);
    // Sticky, so that no user can remove or replace another user's display socket.
    mkdir(RSS_SOCKET_DIR, 01777);
    struct stat st;
    if (lstat(RSS_SOCKET_DIR, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid())
        chmod(RSS_SOCKET_DIR, 01777);
    std::snprintf(d->unixPath, sizeof d->unixPath, "%s/X%d", RSS_SOCKET_DIR, display);

    // A socket file that still answers belongs to a live display: leave it and let the caller try
    // the next number. Only a stale socket is removed.
    if (lstat(d->unixPath, &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || RssSocketAnswers(d->unixPath) || unlink(d->unixPath) == -1) {
            umask(old);
            d->unixPath[0] = '\0';
            return -1;
        }
    }
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, d->unixPath, strnlen(d->unixPath, sizeof a.sun_path - 1));
    if (s == -1 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == -1 || listen(s, 5) == -1) {
        if (s != -1) close(s);
        umask(old);
        d->unixPath[0] = '\0';
        return -1;
    }
    umask(old);
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    RssCountFd(s);
    d->unixSock = s;
    return 0;
}

void DestroyInetSocket() {
    if (pRssDaemonData->tcpSock != -1) DestroyFd(pRssDaemonData->tcpSock);
}

void DestroyUnixSocket() {
    RssDaemonData* d = pRssDaemonData;
    RssUnlockDisplay();
    if (d->unixSock != -1) {
        DestroyFd(d->unixSock);
        if (d->unixPath[0]) unlink(d->unixPath);
        d->unixPath[0] = '\0';
    }
}

int SetUpConnectionSockets() {
    RssDaemonData* d = pRssDaemonData;
    bool useTcpip = d->useTcpip;
    int n = d->display;
    for (; n <= RSS_LAST_DISPLAY; n++) {
        if (RssLockDisplay(n) == -1) continue;
        if (CreateInetSocket(n) == 0) {
            if (CreateUnixSocket(n) == 0) break;
            DestroyInetSocket();
            d->useTcpip = useTcpip;  // removing the socket switched the transport off
        }
        RssUnlockDisplay();
    }
    if (n > RSS_LAST_DISPLAY) {
        std::fprintf(stderr, "no available connection ports\n");
        return -1;
    }
    char host[257] = "unix";
    if (d->displayHost == 1) {
        // TCP on the loopback address alone is not reached under the host's name, which may stand
        // for another address.
        if (!d->tcpAllInterfaces || gethostname(host, sizeof host - 1) == -1)
            std::snprintf(host, sizeof host, "localhost");
        host[sizeof host - 1] = '\0';
    }
    char value[300];
    std::snprintf(value, sizeof value, "%s:%d.0", host, n);
    char* name = strdup(value);
    if (!name || setenv("DISPLAY", value, 1) == -1) {
        std::free(name);
        DestroyUnixSocket();
        DestroyInetSocket();
        return -1;
    }
    std::free(pRssGlobalData->displayName);
    pRssGlobalData->displayName = name;
    d->display = n;
    return 0;
}

ClientRec* CreateClientRec() {
    ClientRec* c = static_cast<ClientRec*>(std::calloc(1, sizeof(ClientRec)));
    if (!c) return nullptr;
    ClientRecInitQueues(c);
    c->sock = -1;
    if (XspecEncodeInit(&pRssDaemonData->rssXspecEnv, c) == -1) {
        std::free(c);
        return nullptr;
    }
    c->inSetup = 1;
    lstAdd(&pRssDispData->clientRecList, c);
    return c;
}

void DestroyClientRec(ClientRec* c) {
    if (!c || lstFind(&pRssDispData->clientRecList, c) < 0) return;
    lstDelete(&pRssDispData->clientRecList, c);
    BufData* pool = Pool();
    BufListFree(pool, c->reqList);
    BufListFree(pool, c->encList);
    BufListFree(pool, c->replyInList);
    BufListFree(pool, c->replyOutList);
    if (c->xspec) XspecFree(c->xspec);
    if (c->reqBuf) BufFree(pool, c->reqBuf);
    if (c->connReplyBuf) BufFree(pool, c->connReplyBuf);
    std::free(c->held);
    std::free(c->setupReply);
    RssAnswerClientEnd(c);
    std::free(c);
}

void RssParseSetupHeader(ClientRec* c, const Buf* b) {
    const uint8_t* h = b->start;
    c->setupHdrSeen = 1;
    c->byteOrder = h[0];
    bool swap = c->byteOrder != pRssDaemonData->rssLink.config.ourByteOrder;
    auto len16 = [&](int off) { return swap ? h[off] | h[off + 1] << 8 : h[off] << 8 | h[off + 1]; };
    c->needed = ((len16(6) + 3) & ~3) + ((len16(8) + 3) & ~3);
    RssStoreClientNew(c->clientId, XspecLittle(c));
}

namespace {

bool RssDeadErrno(int e) { return e == EINTR || e == EBADF || e == EPIPE || e == ECONNRESET; }

// A client the terminal has not heard of yet is closed here alone.
void RssDropClient(ClientRec* c, const char* reason) {
    if (reason) {
        uint8_t reply[8 + 256];
        size_t n = RssAuthFailedReply(reply, c->byteOrder, reason);
        // One try: the reply is far smaller than any socket's buffer, and the client waits for it.
        if (write(c->sock, reply, n) != static_cast<ssize_t>(n)) {}
        std::fprintf(stderr, "X client refused: %s\n", reason);
    }
    CloseConnection(c->sock);
}

// With the check on, a client's set-up is held here until it is whole, and nothing of the client
// crosses the line before its cookie has been seen. What a set-up announces beyond the size of a
// cookie is read and dropped (such a set-up is refused anyway), so that the client reads our answer
// instead of a connection reset.
void RssSetupHold(ClientRec* c) {
    RssDaemonData* d = pRssDaemonData;
    if (c->setupHdrSeen && c->needed == 0 && !c->reqBuf) return;  // passed on already
    if (!c->reqBuf) {
        Buf* b = BufGet(Pool());
        if (!b) return;  // later, when the pool has a buffer again
        b->type = MSG_CONNECT;
        b->clientId = static_cast<uint8_t>(c->clientId);
        c->reqBuf = b;
    }
    Buf* b = c->reqBuf;
    for (;;) {
        if (c->needed == 0) {
            if (c->setupHdrSeen) break;
            RssParseSetupHeader(c, b);  // needed becomes what the two lengths announce
            continue;
        }
        uint8_t drop[512];
        const size_t held = b->Len();
        const bool keep = held < static_cast<size_t>(RSS_SETUP_WITH_COOKIE);
        const size_t room = keep ? RSS_SETUP_WITH_COOKIE - held : sizeof drop;
        const size_t want = std::min(static_cast<size_t>(c->needed), room);
        ssize_t n = read(c->sock, keep ? b->end : drop, want);
        if (n == -1 && errno == EAGAIN) return;
        if (n <= 0) {  // gone before its set-up was whole
            RssDropClient(c, nullptr);
            return;
        }
        if (keep) b->end += n;
        c->needed -= static_cast<int>(n);
    }
    c->reqBuf = nullptr;
    if (const char* why = RssAuthCheck(b->start, b->Len())) {
        BufFree(Pool(), b);
        RssDropClient(c, why);
        return;
    }
    // The cookie is the relay's own business: the terminal gets the set-up without it.
    for (int i = 6; i < 10; i++) b->start[i] = 0;
    b->end = b->start + 12;
    RssQueueOut(b);
    RssTransResult(TransWrite(&d->rssLink, d->ttyOutList));
}

void RssAccept(int listenFd) {
    RssDaemonData* d = pRssDaemonData;
    RssDispData* p = pRssDispData;
    LinkEnd* link = &d->rssLink;
    if (RssNoRoomForFd()) return;
    Buf* hdr = BufGet(Pool());
    ClientRec* c = hdr ? CreateClientRec() : nullptr;
    if (!c) {
        if (hdr) BufFree(Pool(), hdr);
        return;
    }
    auto release = [&] {
        BufFree(Pool(), hdr);
        DestroyClientRec(c);
    };
    int s = accept(listenFd, nullptr, nullptr);
    if (s == -1) {
        if (errno != EAGAIN && errno != ECONNABORTED) std::fprintf(stderr, "accept error errno = %d\n", errno);
        release();
        return;
    }
    if (s == pRssGlobalData->ttyFd) {
        shutdown(s, SHUT_RDWR);
        close(s);
        release();
        std::fprintf(stderr, "panic - client socket = connection socket\n");
        return;
    }
    int id = TransAllocateClientID(link, s);
    if (id != 0 && !BufMakeClientBufs(Pool(), id)) {
        TransFreeClientID(link, id);
        id = 0;
    }
    if (id == 0 || s >= RSS_MAX_FDS) {
        if (id != 0) {
            BufFreeClientBufs(Pool(), id);
            TransFreeClientID(link, id);
        }
        shutdown(s, SHUT_RDWR);
        close(s);
        release();
        return;
    }
    RssCountFd(s);
    c->clientId = id;
    c->sock = s;
    p->socketTbl[s] = c;
    p->clientTbl[id] = c;
    FD_SET(s, &p->readMask);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);

    c->needed = 12;
    hdr->type = MSG_CONNECT;
    hdr->clientId = static_cast<uint8_t>(id);
    c->reqBuf = hdr;
    if (d->checkAuthorization) {
        RssSetupHold(c);
        return;
    }
    ssize_t n = read(s, hdr->end, 12);
    if (n == 0 || (n == -1 && RssDeadErrno(errno))) {
        BufFree(Pool(), hdr);
        c->reqBuf = nullptr;
        c->needed = 0;
        ProcessDeadSocket(s);
        return;
    }
    if (n == -1) {
        if (errno != EAGAIN) std::fprintf(stderr, "ProcessConnectionRequest read error errno=%d\n", errno);
        return;
    }
    hdr->end += n;
    c->needed -= static_cast<int>(n);
    if (c->needed > 0) return;

    RssParseSetupHeader(c, hdr);
    RssQueueOut(hdr);
    c->reqBuf = nullptr;
    if (c->needed != 0) {
        Buf* b = BufGet(Pool());
        if (b) {
            b->type = MSG_CONNECT;
            b->clientId = static_cast<uint8_t>(id);
            int want = c->needed < 256 ? c->needed : 256;
            ssize_t k = read(s, b->end, static_cast<size_t>(want));
            if (k == 0 || (k == -1 && RssDeadErrno(errno))) {
                BufFree(Pool(), b);
                RssTransResult(TransWrite(link, d->ttyOutList));
                ProcessDeadSocket(s);
                return;
            }
            if (k == -1 && errno != EAGAIN)
                std::fprintf(stderr, " ProcessConnectionRequest read error errno=%d\n", errno);
            if (k > 0) {
                b->end += k;
                c->needed -= static_cast<int>(k);
                RssQueueOut(b);
            } else {
                BufFree(Pool(), b);
            }
        }
    }
    RssTransResult(TransWrite(link, d->ttyOutList));
}

// More set-up bytes from a client whose header or authorization has not all arrived.
void RssSetupContinue(int fd) {
    RssDaemonData* d = pRssDaemonData;
    ClientRec* c = fd >= 0 && fd < RSS_MAX_FDS ? pRssDispData->socketTbl[fd] : nullptr;
    if (!c) {
        ProcessDeadSocket(fd);
        return;
    }
    if (!c->inSetup) return;
    if (d->checkAuthorization) {
        RssSetupHold(c);
        return;
    }
    for (int round = 0; round < 2 && c->needed > 0; round++) {
        if (!c->reqBuf) {
            Buf* b = BufGet(Pool());
            if (!b) break;
            b->type = MSG_CONNECT;
            b->clientId = static_cast<uint8_t>(c->clientId);
            c->reqBuf = b;
        }
        Buf* b = c->reqBuf;
        int room = 256 - static_cast<int>(b->Len());
        int want = c->needed < room ? c->needed : room;
        ssize_t n = read(fd, b->end, static_cast<size_t>(want));
        if (n == 0 || (n == -1 && errno != EAGAIN)) {
            BufFree(Pool(), b);
            c->reqBuf = nullptr;
            RssTransResult(TransWrite(&d->rssLink, d->ttyOutList));
            ProcessDeadSocket(fd);
            return;
        }
        if (n == -1) n = 0;
        b->end += n;
        c->needed -= static_cast<int>(n);
        if (n < want) break;
        if (!c->setupHdrSeen) RssParseSetupHeader(c, b);
        RssQueueOut(b);
        c->reqBuf = nullptr;
        if (c->needed <= 0) c->needed = 0;
    }
    RssTransResult(TransWrite(&d->rssLink, d->ttyOutList));
}

}  // namespace

void ProcessConnectionReq(int fd) {
    if (fd == pRssDaemonData->tcpSock || fd == pRssDaemonData->unixSock)
        RssAccept(fd);
    else
        RssSetupContinue(fd);
}
