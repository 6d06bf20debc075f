// What an X client writes to the relay is outside bytes: set-up headers with any lengths, requests
// with any length fields, streams cut anywhere. The input is the client's byte stream; the
// terminal's two-message connection reply is injected once the set-up bytes are taken, and the line
// is a sink.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "relay/core/conn.h"
#include "relay/core/disp.h"
#include "relay/core/req.h"
#include "relay/core/rss.h"

namespace {

int SinkRead(void*, uint8_t*, int) {
    errno = EAGAIN;
    return -1;
}
int SinkWrite(void*, const uint8_t*, int n) { return n; }
int SinkPending(void*) { return 0; }

void Reply(ClientRec* c, const uint8_t* bytes, size_t n) {
    Buf* b = BufGet(&pRssDaemonData->bufData);
    if (!b) return;
    b->type = MSG_CONNECT;
    b->clientId = static_cast<uint8_t>(c->clientId);
    std::memcpy(b->end, bytes, n);
    b->end += n;
    ProcessConnectionRepl(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 60000) return 0;
    RssInitData();
    RssInitDispData();
    RssDaemonData* d = pRssDaemonData;
    if (BufInit(&d->bufData) != 0) std::abort();
    if (RssStartLink(-1) != 0) std::abort();
    d->rssLink.io = LinkIo{SinkRead, SinkWrite, SinkPending, nullptr};
    pRssGlobalData->running = 1;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) std::abort();
    for (int fd : sv) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    ClientRec* c = CreateClientRec();
    int id = TransAllocateClientID(&d->rssLink, sv[0]);
    if (!c || id == 0 || !BufMakeClientBufs(&d->bufData, id)) std::abort();
    c->clientId = id;
    c->sock = sv[0];
    pRssDispData->socketTbl[sv[0]] = c;
    pRssDispData->clientTbl[id] = c;
    RssCountFd(sv[0]);
    FD_SET(sv[0], &pRssDispData->readMask);
    c->needed = 12;

    size_t sent = 0;
    bool replied = false;
    for (int round = 0; round < 400; round++) {
        if (sent < size) {
            ssize_t n = write(sv[1], data + sent, size - sent);
            if (n > 0) sent += static_cast<size_t>(n);
        }
        if (pRssDispData->socketTbl[sv[0]] != c || c->dead) break;
        ProcessRequest(sv[0]);
        if (!replied && c->inSetup && c->needed == 0 && c->setupHdrSeen) {
            static const uint8_t first[8] = {1, 0, 0, 11, 0, 0, 0, 1};
            static const uint8_t second[4] = {0, 0, 0, 0};
            Reply(c, first, sizeof first);
            Reply(c, second, sizeof second);
            replied = true;
        }
        WriteReplies(sv[0]);
        char sink[4096];
        while (read(sv[1], sink, sizeof sink) > 0) {
        }
        if (sent == size && round > 8 && lstCount(c->reqList) == 0) break;
    }
    ShutdownDispatch();
    close(sv[1]);
    RssFreeData();
    return 0;
}
