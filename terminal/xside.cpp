// The X side of lqterm: one connection to the real X server per client of the relay. Requests
// rebuilt by the terminal end of the X encodings go to the server; the server's set-up reply goes
// back as MSG_CONNECT messages, and its events, errors and replies, cut into whole messages, go to
// the encoder (each starts a link message of its own).
#include "terminal/xside.h"

#include "relay/link/dialog.h"
#include "relay/link/linkext.h"
#include "relay/xspec/setupdiff.h"
#include "relay/xspec/xanswer.h"
#include "terminal/setupterm.h"
#include "terminal/storeterm.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <X11/Xauth.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int kPoolReserve = 24;        // buffers kept for the link and the dialogues
// Room for the longest reply the message store takes, which waits whole before it is coded.
constexpr size_t kMaxServerBacklog = XSTORE_MSG_MAX + (1 << 20);
constexpr size_t kMaxUnheard = 64 * 1024;  // a set-up and what a client sends before its reply
// Request bytes an X server may leave unread for one client before the host is asked to hold that
// client's requests; the hold is lifted once the server has taken them all.
constexpr size_t kHoldRequests = 64 * 1024;
// Coded messages waiting for the link, of all clients. Server output is coded only while the
// queue is shorter: what waits for the line waits as uncoded bytes (or in the X server), where
// it holds nothing of the shared pool and keeps its place among the clients.
constexpr int kMaxLinkQueue = 12;

}  // namespace

static size_t CodeSome(TermData* t, TermClient* c);

// The connection is made blocking and then switched to non-blocking, close-on-exec use.
static int OwnConnection(int s) {
    if (s >= 0) {
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
        fcntl(s, F_SETFD, FD_CLOEXEC);
    }
    return s;
}

int TermXConnect(const std::string& display) {
    std::string d = display;
    size_t colon = d.rfind(':');
    if (colon == std::string::npos) return -1;
    std::string host = d.substr(0, colon);
    int num = std::atoi(d.c_str() + colon + 1);
    if (host.empty() || host == "unix") {
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        if (s < 0) return -1;
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "/tmp/.X11-unix/X%d", num);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return OwnConnection(s);
        close(s);
        if (host == "unix") return -1;
        host = "localhost";
    }
    addrinfo hints{}, *res = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    std::string port = std::to_string(6000 + num);
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0) return -1;
    int s = -1;
    for (addrinfo* r = res; r; r = r->ai_next) {
        s = socket(r->ai_family, r->ai_socktype, r->ai_protocol);
        if (s < 0) continue;
        if (connect(s, r->ai_addr, r->ai_addrlen) == 0) break;
        close(s);
        s = -1;
    }
    freeaddrinfo(res);
    if (s >= 0) {
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return OwnConnection(s);
}

// A client of the relay knows no cookie of our X server. When its set-up carries no authorization
// at all, ours for the display goes in its place (from $XAUTHORITY or ~/.Xauthority), but only for
// a client the relay has checked itself: any program that reaches an unchecking relay would
// otherwise be given the run of our display.
int TermAddCookie(TermClient* c, const std::string& display, bool vouched) {
    if (c->xout.size() != 12) return 0;
    const bool little = XspecLittle(&c->rec);
    if (XspecLoad16(&c->xout[6], little) != 0 || XspecLoad16(&c->xout[8], little) != 0) return 0;
    size_t colon = display.rfind(':');
    if (colon == std::string::npos) return 0;
    std::string num = display.substr(colon + 1);
    num = num.substr(0, num.find('.'));
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    static char kCookie[] = "MIT-MAGIC-COOKIE-1";
    char* types[] = {kCookie};
    const int lens[] = {static_cast<int>(sizeof kCookie - 1)};
    Xauth* a = XauGetBestAuthByAddr(FamilyLocal, static_cast<unsigned>(std::strlen(host)), host,
                                    static_cast<unsigned>(num.size()), num.c_str(), 1, types, lens);
    if (!a) return 0;
    if (!vouched) {
        XauDisposeAuth(a);
        return -1;
    }
    auto padded = [&](const char* p, size_t n) {
        c->xout.insert(c->xout.end(), p, p + n);
        while (c->xout.size() % 4) c->xout.push_back(0);
    };
    XspecStore16(&c->xout[6], a->name_length, little);
    XspecStore16(&c->xout[8], a->data_length, little);
    padded(a->name, a->name_length);
    padded(a->data, a->data_length);
    XauDisposeAuth(a);
    return 1;
}

TermClient* TermNewClient(TermData* t, int id) {
    if (id < 0 || id >= 64 || t->clients[id]) return nullptr;
    TermClient* c = new TermClient;
    std::memset(static_cast<void*>(&c->rec), 0, sizeof c->rec);
    ClientRecInitQueues(&c->rec);
    c->rec.clientId = id;
    c->rec.sock = -1;
    c->rec.byteOrder = 'B';
    if (XspecEncodeInit(&t->xspecEnv, &c->rec) != 0 || !BufMakeClientBufs(&t->bufData, id)) {
        if (c->rec.xspec) XspecFree(c->rec.xspec);
        delete c;
        return nullptr;
    }
    c->answerQuiet = (t->extAccepted & LINKEXT_ANSWERQUIET) != 0;
    t->clients[id] = c;
    return c;
}

void TermFreeClient(TermData* t, TermClient* c) {
    if (!c) return;
    const int id = c->rec.clientId;
    if (c->xfd >= 0) close(c->xfd);
    for (Lst* l : {c->rec.reqList, c->rec.encList, c->rec.replyInList, c->rec.replyOutList}) BufListFree(&t->bufData, l);
    XspecFree(c->rec.xspec);
    BufFreeClientBufs(&t->bufData, id);
    TransClientGone(&t->link, id);
    t->clients[id] = nullptr;
    delete c;
}

// Appends request bytes for the X server and finds the request boundaries in them: a
// QueryExtension waits until it is whole (it may be rewritten), a ListExtensions has its sequence
// number noted (its reply is filtered), everything else may be written as it comes.
void TermAppendRequests(TermClient* c, const uint8_t* p, size_t n) {
    c->xout.insert(c->xout.end(), p, p + n);
    const bool little = XspecLittle(&c->rec);
    while (c->parsed < c->xout.size()) {
        const size_t avail = c->xout.size() - c->parsed;
        if (c->reqLeft) {
            size_t k = std::min<size_t>(avail, c->reqLeft);
            c->parsed += k;
            c->reqLeft -= static_cast<uint32_t>(k);
            continue;
        }
        if (avail < 4) break;
        uint8_t* r = &c->xout[c->parsed];
        const uint32_t size = XspecRequestSize(r, little);
        if (r[0] == X_QUERY_EXTENSION) {
            if (avail < size) break;
            TermHideQueryExtension(r, size, little);
        }
        if (r[0] == X_ALLOC_COLOR && c->answerQuiet && size == 16) {
            // The relay's mark: it answered this one. The X server gets the bytes cleared.
            if (avail < size) break;
            if (XspecLoad16(r + 14, little) == XANSWER_MARK) c->answered.push_back(static_cast<uint16_t>(c->seq + 1));
            r[14] = r[15] = 0;
        }
        c->seq++;
        c->opOfSeq[c->seq & 0xff] = r[0];
        if (r[0] == X_LIST_EXTENSIONS) c->listExtSeqs.push_back(c->seq);
        c->reqLeft = size;
    }
}

// The client's connection to the X server is gone: what it said last is coded first, then the host
// hears of it (unless the host reported it first).
void TermXGone(TermData* t, TermClient* c) {
    if (c->xfd >= 0) {
        close(c->xfd);
        c->xfd = -1;
    }
    c->xout.clear();
    c->parsed = 0;
    c->reqLeft = 0;
    TermSendKept(t, c);
    if (c->deadPhase != -1) return;
    const uint8_t m[2] = {static_cast<uint8_t>(c->rec.clientId), DLG_REQUEST};
    if (Buf* b = XspecNewBuf(&t->bufData, MSG_DEADCLIENT, 0, m, 2)) {
        lstAdd(&t->outList, b);
        c->deadPhase = 0;
    }
}

// The X server dropped a connection before answering it: dials once more and sends again what the
// server had been sent. False when that is not possible (then the connection is gone).
static bool TermXRedial(TermData* t, TermClient* c) {
    if (c->heard || c->redialled || c->sentUnheard.size() > kMaxUnheard) return false;
    c->redialled = true;
    int fd = TermXConnect(t->opt.display);
    if (fd < 0) return false;
    close(c->xfd);
    c->xfd = fd;
    c->xout.insert(c->xout.begin(), c->sentUnheard.begin(), c->sentUnheard.end());
    c->parsed += c->sentUnheard.size();
    c->sentUnheard.clear();
    c->sentUnheard.shrink_to_fit();
    std::fprintf(stderr, "lqterm: the X server dropped client %d unanswered; connected again\n", c->rec.clientId);
    return true;
}

int TermStartClient(TermData* t, int id, Buf* first) {
    TermClient* c = TermNewClient(t, id);
    if (!c) {
        BufFree(&t->bufData, first);
        return -1;
    }
    if (first->Len() >= 1) c->rec.byteOrder = first->start[0] == 'l' ? 'l' : 'B';
    c->xfd = TermXConnect(t->opt.display);
    if (c->xfd < 0) {
        // Refuse the client as an X server would, so that it closes, then report it gone.
        static const char reason[] = "lqterm: cannot connect to the X server";
        const size_t n = sizeof reason - 1, padded = (n + 3) & ~size_t(3);
        uint8_t hdr[8] = {0, static_cast<uint8_t>(n), 0, 0, 0, 0, 0, 0};
        XspecStore16(hdr + 2, 11, XspecLittle(&c->rec));
        XspecStore16(hdr + 6, static_cast<uint16_t>(padded / 4), XspecLittle(&c->rec));
        uint8_t text[64] = {};
        std::memcpy(text, reason, n);
        if (Buf* b = XspecNewBuf(&t->bufData, MSG_CONNECT, id, hdr, 8)) lstAdd(&t->outList, b);
        if (Buf* b = XspecNewBuf(&t->bufData, MSG_CONNECT, id, text, padded)) lstAdd(&t->outList, b);
        std::fprintf(stderr, "lqterm: cannot connect to X server \"%s\"\n", t->opt.display.c_str());
        c->setupDone = true;
        BufFree(&t->bufData, first);
        TermXGone(t, c);
        return -1;
    }
    c->xout.insert(c->xout.end(), first->start, first->end);
    if (TermAddCookie(c, t->opt.display, t->extAccepted & LINKEXT_VOUCH) == -1 && !t->unvouchedNoted) {
        t->unvouchedNoted = true;
        std::fprintf(stderr, "lqterm: the relay does not check its clients' authorization (an earlier relay, "
                             "or extensions off), so their set-ups reach the X server without its cookie; "
                             "a server that asks for one refuses them\n");
    }
    c->parsed = c->xout.size();
    BufFree(&t->bufData, first);
    return 0;
}

void TermClientMessage(TermData* t, Buf* b) {
    const int id = b->clientId;
    TermClient* c = id < 64 ? t->clients[id] : nullptr;
    if (b->type == MSG_CONNECT) {
        if (!c) {
            TermStartClient(t, id, b);
            return;
        }
        if (c->xfd >= 0 && !c->setupDone) {  // authorization bytes of the set-up
            c->xout.insert(c->xout.end(), b->start, b->end);
            c->parsed = c->xout.size();
        }
        BufFree(&t->bufData, b);
        return;
    }
    if (!c || c->xfd < 0 || c->deadPhase != -1) {
        BufFree(&t->bufData, b);
        return;
    }
    lstAdd(c->rec.replyInList, b);
    TermDecodeRequests(t, c);
}

void TermDecodeRequests(TermData* t, TermClient* c) {
    if (!lstCount(c->rec.replyInList)) return;
    XspecTermDecode(&t->xspecEnv, &c->rec);
    while (Buf* r = lstGetT<Buf>(c->rec.replyOutList)) {
        if (c->xfd >= 0) TermAppendRequests(c, r->start, r->Len());
        BufFree(&t->bufData, r);
    }
    TermHoldWindow(t, c);
}

// The host holds the client's requests while its X server leaves many unread, and sends them again
// once the server has taken them all.
void TermHoldWindow(TermData* t, TermClient* c) {
    const int id = c->rec.clientId;
    if (c->xfd >= 0 && c->xout.size() > kHoldRequests)
        TransClientCloseWindow(&t->link, id);
    else if ((c->xfd < 0 || c->xout.empty()) && !TransIsClientRecvWindowOpen(&t->link, id))
        TransClientOpenWindow(&t->link, id);
}

// Writes what may go to the X server. -1 when the connection broke.
int TermXWrite(TermData* t, TermClient* c) {
    while (c->xfd >= 0 && c->parsed > 0) {
        ssize_t n = write(c->xfd, c->xout.data(), c->parsed);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) break;
            if (TermXRedial(t, c)) continue;
            TermXGone(t, c);
            return -1;
        }
        t->stats.xBytesToServer += static_cast<uint64_t>(n);
        if (!c->heard && !c->redialled && c->sentUnheard.size() <= kMaxUnheard)
            c->sentUnheard.insert(c->sentUnheard.end(), c->xout.begin(), c->xout.begin() + n);
        c->xout.erase(c->xout.begin(), c->xout.begin() + n);
        c->parsed -= static_cast<size_t>(n);
    }
    TermHoldWindow(t, c);
    return 0;
}

bool TermXWantsRead(const TermData* t, const TermClient* c) {
    // While the host holds this client's data, its replies wait in the X server.
    return c->xfd >= 0 && c->xin.size() < kMaxServerBacklog && lstCount(&t->outList) < kMaxLinkQueue &&
           BufPoolCount(&t->bufData) > kPoolReserve && TransIsClientSendWindowOpen(&t->link, c->rec.clientId);
}

// Reads what the X server sent and codes it. A read of end of file closes the connection.
void TermXRead(TermData* t, TermClient* c) {
    uint8_t tmp[16384];
    ssize_t n = read(c->xfd, tmp, sizeof tmp);
    if (n > 0) {
        if (!c->heard) {
            c->heard = true;
            c->sentUnheard.clear();
            c->sentUnheard.shrink_to_fit();
        }
        c->xin.insert(c->xin.end(), tmp, tmp + n);
        t->stats.xBytesFromServer += static_cast<uint64_t>(n);
        TermCodeServerBytes(t, c);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (TermXRedial(t, c)) return;
    TermCodeServerBytes(t, c);
    TermXGone(t, c);
}

void TermCodeServerBytes(TermData* t, TermClient* c) {
    while (CodeSome(t, c) > 0 && !c->xin.empty()) {
    }
}

// The X server's reply to an AllocColor the relay answered: the relay's client has it already. It
// is accounted for in the client's next XANSWER_KEPT record; an error in its place goes on as well.
static bool KeptAnswer(TermData* t, TermClient* c, const uint8_t* m, bool little) {
    if (c->answered.empty() || (m[0] & 0x7f) == 11 /* KeymapNotify: no sequence number */) return false;
    const uint16_t seq = XspecLoad16(m + 2, little);
    while (!c->answered.empty() && static_cast<int16_t>(c->answered.front() - seq) < 0) c->answered.pop_front();
    if (c->answered.empty() || c->answered.front() != seq || m[0] > X_REPLY) return false;
    c->answered.pop_front();
    const bool reply = m[0] == X_REPLY && XspecLoad32(m + 4, little) == 0;
    if (c->keptCount == 0) c->keptHash = XANSWER_FOLD_START;
    c->keptHash = XAnswerFold(c->keptHash, reply ? m : nullptr, little);
    c->keptCount++;
    if (!reply) return false;
    t->stats.answersKept++;
    return true;
}

void TermSendKept(TermData* t, TermClient* c) {
    if (c->keptCount == 0) return;
    uint8_t m[XANSWER_KEPT_LEN];
    XAnswerKeptWrite(static_cast<uint8_t>(c->rec.clientId), c->keptCount, c->keptHash, m);
    if (Buf* b = XspecNewBuf(&t->bufData, MSG_XSTORE, 0, m, sizeof m)) lstAdd(&t->outList, b);
    c->keptCount = 0;
}

static size_t CodeSome(TermData* t, TermClient* c) {
    const bool little = XspecLittle(&c->rec);
    const int id = c->rec.clientId;
    size_t used = 0;
    if (!c->setupDone) {
        // The set-up reply: its 8-byte head in one MSG_CONNECT, the rest in at least one more.
        if (c->xin.size() < 8) return 0;
        const size_t size = 8 + 4u * XspecLoad16(&c->xin[6], little);
        if (c->xin.size() < size) return 0;
        const int need = 2 + static_cast<int>((size - 8) / 256);
        if (BufPoolCount(&t->bufData) < need + kPoolReserve) return 0;
        uint8_t diff[SETUP_DIFF_MAX];
        if (size_t n = TermSetupReply(t, c->xin.data(), size, diff)) {
            if (Buf* b = XspecNewBuf(&t->bufData, MSG_CONNECT, id, diff, n)) lstAdd(&t->outList, b);
        } else {
            if (Buf* b = XspecNewBuf(&t->bufData, MSG_CONNECT, id, c->xin.data(), 8)) lstAdd(&t->outList, b);
            size_t pos = 8;
            do {
                size_t k = std::min<size_t>(256, size - pos);
                if (Buf* b = XspecNewBuf(&t->bufData, MSG_CONNECT, id, &c->xin[pos], k)) lstAdd(&t->outList, b);
                pos += k;
            } while (pos < size);
        }
        c->setupDone = true;
        used = size;
    }
    auto roomy = [&] {
        return BufPoolCount(&t->bufData) > kPoolReserve && lstCount(c->rec.reqList) < 8 &&
               lstCount(&t->outList) < kMaxLinkQueue && TransIsSendWindowOpen(&t->link) &&
               TransIsClientSendWindowOpen(&t->link, id);
    };
    // Both ends update the shared reply cache in message order, the host as messages arrive: coded
    // messages must reach the line in the order they were coded, across all clients, so none may
    // wait behind another client's. The message store is added to as the last byte of a message
    // reaches the line's queue, as the relay takes it.
    auto flush = [&] {
        XspecTermEncode(&t->xspecEnv, &c->rec);
        lstConcat(&t->outList, c->rec.encList);
        TermStoreCrossed(t, c);
    };
    for (;;) {
        if (TermStoreHolding(c)) {  // nothing may follow a stored message before it has all gone
            flush();
            if (TermStoreHolding(c)) break;
        }
        const size_t avail = c->xin.size() - used;
        if (c->feedLeft) {  // a long message goes to the encoder a few buffers at a time
            const size_t k = std::min<size_t>({c->feedLeft, avail, 1024});
            if (k == 0 || !roomy()) break;
            if (XspecOutPut(&t->bufData, c->rec.reqList, MSG_XDATA, id, &c->xin[used], k) < 0) break;
            used += k;
            c->feedLeft -= static_cast<uint32_t>(k);
            if (c->feedLeft == 0) TermStoreFed(c);
            continue;
        }
        if (avail < 32 || !roomy()) break;
        uint8_t* m = &c->xin[used];
        const uint32_t size = XspecServerMessageSize(m, little);
        const bool whole = avail >= size;
        if (m[0] == X_REPLY && !c->listExtSeqs.empty() && XspecLoad16(m + 2, little) == c->listExtSeqs.front()) {
            if (!whole) break;
            // The filtered reply takes the server's place in the stream and goes on as any other
            // message (a long one in pieces).
            std::vector<uint8_t> r(m, m + size);
            TermFilterListExtensions(&r, little);  // a malformed reply passes as it is
            const auto at = c->xin.begin() + static_cast<long>(used);
            c->xin.insert(c->xin.erase(at, at + static_cast<long>(size)), r.begin(), r.end());
            c->listExtSeqs.erase(c->listExtSeqs.begin());
            continue;
        }
        if (KeptAnswer(t, c, m, little)) {
            used += 32;
            if (c->keptCount >= 256) TermSendKept(t, c);
            continue;
        }
        // The account of what was kept goes before anything later of the client.
        TermSendKept(t, c);
        if (TermStoreTakes(t, m, size)) {
            // Whole, and with nothing of the client's before it still in the encoder: then it
            // goes as a reference, or whole and into the store.
            if (!whole) break;
            flush();
            if (lstCount(c->rec.reqList) != 0) break;
            if (TermStoreSend(t, c, m, size)) {
                used += size;
                continue;
            }
            c->feedLeft = size;
            continue;
        }
        if (size > 1024) {
            c->feedLeft = size;
            continue;
        }
        if (!whole) break;
        if (XspecOutPut(&t->bufData, c->rec.reqList, MSG_XDATA, id, m, size) < 0) break;
        used += size;
    }
    c->xin.erase(c->xin.begin(), c->xin.begin() + static_cast<long>(used));
    flush();
    return used;
}
