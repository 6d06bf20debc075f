// An X client is outside bytes: whatever it writes (set-up header, authorization, requests of any
// length, in pieces of any size) must become link messages or a dead client, never an overread,
// a lost buffer or a crash. Input: [mode][client bytes...]; the bytes reach the relay's side of a
// socket pair in pieces of (mode & 63) + 1 bytes, the terminal accepts the set-up as soon as it has
// been forwarded, and the client hangs up at the end. With mode & 64 the relay checks the set-up's
// cookie (kCookie) and may refuse and close the client itself. The line is a socket pair to a
// terminal end.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "relay/core/conn.h"
#include "relay/core/disp.h"
#include "relay/core/peer.h"
#include "relay/core/req.h"
#include "relay/core/rss.h"
#include "relay/link/linkpair.h"

namespace {

// The terminal end of the link, on the other side of a socket pair: it answers the start message
// and acknowledges and drops everything else, so the host's window and pool keep turning.
struct Term {
    BufData bufs{};
    LinkEnd link{};
    Lst in{}, out{};
};

Buf* ConnReply(int id, std::initializer_list<uint8_t> bytes) {
    Buf* b = BufGet(&pRssDaemonData->bufData);
    if (!b) return nullptr;
    b->type = MSG_CONNECT;
    b->clientId = static_cast<uint8_t>(id);
    for (uint8_t v : bytes) *b->end++ = v;
    return b;
}

void LinePass(Term* t) {
    RssDaemonData* d = pRssDaemonData;
    TransRead(&d->rssLink, d->ttyInList);
    GotTtyInput();
    TransWrite(&d->rssLink, d->ttyOutList);
    TransRead(&t->link, &t->in);
    while (Buf* b = lstGetT<Buf>(&t->in)) {
        if (b->type == MSG_START) {
            DlgAnswerStart(&t->link, b, &t->out, 1, 3, 0);
            continue;
        }
        BufFree(&t->bufs, b);
    }
    TransWrite(&t->link, &t->out);
}

constexpr uint8_t kCookie[16] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

// The record is still the relay's (a refused client's is freed at once).
bool Alive(ClientRec* c, int fd) { return pRssDispData->socketTbl[fd] == c; }

// Runs the relay's handlers for the client until they stop making progress.
void Drain(Term* t, ClientRec* c, int fd, bool* replied) {
    for (int i = 0; i < 64 && Alive(c, fd) && !c->dead; i++) {
        ProcessRequest(fd);
        if (!Alive(c, fd)) break;
        if (c->inSetup && !*replied && c->setupHdrSeen && c->needed == 0) {
            // The terminal's X server accepts the set-up: status message, then the rest.
            *replied = true;
            if (Buf* b = ConnReply(c->clientId, {1, 0, 0, 11, 0, 0, 0, 0})) ProcessConnectionRepl(b);
            if (Buf* b = ConnReply(c->clientId, {0, 0, 0, 0})) ProcessConnectionRepl(b);
        }
        if (!Alive(c, fd)) break;
        WriteReplies(fd);
        LinePass(t);
        if (!Alive(c, fd)) break;
        uint8_t peek;
        if (recv(fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT) <= 0 && c->resumeTime == 0 && !c->inSetup) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 16384) return 0;
    size_t piece = data[0] % 64 + 1;
    const bool check = data[0] & 64;
    data++;
    size--;

    RssInitData();
    RssInitDispData();
    RssDaemonData* d = pRssDaemonData;
    if (BufInit(&d->bufData) != 0) std::abort();
    d->escapeChars = strdup("0x11 0x13");
    d->checkAuthorization = check;
    d->cookieMade = check;
    std::memcpy(d->cookie, kCookie, sizeof kCookie);
    int line[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, line) != 0) std::abort();
    for (int l : line) fcntl(l, F_SETFL, fcntl(l, F_GETFL) | O_NONBLOCK);
    pRssGlobalData->ttyFd = line[0];
    if (RssStartLink(line[0]) != 0) std::abort();
    pRssGlobalData->running = 1;
    static Term term;
    term = Term{};
    lstInit(&term.in);
    lstInit(&term.out);
    if (BufInit(&term.bufs) != 0) std::abort();
    LinkSetDefaults(&term.link, LINK_TERMINAL, &term.bufs, Clock{});
    LinkUseFd(&term.link, line[1]);
    if (TransInit(&term.link) != 0 || TransStart(&term.link) != 0) std::abort();
    for (int i = 0; i < 8 && pRssDaemonData->rssLink.peer.version == 0; i++) LinePass(&term);
    if (pRssDaemonData->rssLink.peer.version == 0) std::abort();

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) std::abort();
    int fd = sv[0];
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    ClientRec* c = CreateClientRec();
    int id = TransAllocateClientID(&d->rssLink, fd);
    if (!c || id == 0 || !BufMakeClientBufs(&d->bufData, id)) std::abort();
    c->clientId = id;
    c->sock = fd;
    c->needed = 12;
    RssCountFd(fd);
    pRssDispData->socketTbl[fd] = c;
    pRssDispData->clientTbl[id] = c;
    FD_SET(fd, &pRssDispData->readMask);

    bool replied = false;
    for (size_t i = 0; i < size && Alive(c, fd) && !c->dead; i += piece) {
        size_t n = size - i < piece ? size - i : piece;
        if (write(sv[1], data + i, n) != static_cast<ssize_t>(n)) std::abort();
        Drain(&term, c, fd, &replied);
    }
    close(sv[1]);
    Drain(&term, c, fd, &replied);
    ProcessRequest(fd);
    ShutdownDispatch();
    RssFreeData();
    BufListFree(&term.bufs, &term.in);
    BufListFree(&term.bufs, &term.out);
    LinkDestroy(&term.link);
    BufDestroy(&term.bufs);
    for (int l : line) close(l);
    return 0;
}
