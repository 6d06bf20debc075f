#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>

#include "relay/core/file.h"
#include "relay/core/peer.h"
#include "relay/core/req.h"
#include "relay/core/session.h"
#include "tests/core/relayharness.h"

namespace {

TEST_F(Relay, ReadinessOpensTheDisplay) {
    autoReady = false;
    Start();
    EXPECT_FALSE(FD_ISSET(pRssDaemonData->tcpSock, &pRssDispData->readMask));  // no client before ready
    EXPECT_TRUE(PumpUntil([&] {
        for (auto& m : got)
            if (m.type == MSG_START) return true;
        return false;
    }));
    // An answer too short to carry a version is no answer: the relay waits on for a whole one.
    testing::internal::CaptureStderr();
    TermSend(MSG_XREADY, 0, {});
    TermSend(MSG_XREADY, 0, {'B', 1, 3});
    Pump(5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "terminal ready message too short - ignored\nterminal ready message too short - ignored\n");
    EXPECT_EQ(pRssGlobalData->running, 1);
    EXPECT_FALSE(FD_ISSET(pRssDaemonData->tcpSock, &pRssDispData->readMask));
    TermSend(MSG_XREADY, 0, {'B', 1, 3, 0});
    EXPECT_TRUE(PumpUntil([&] { return FD_ISSET(pRssDaemonData->tcpSock, &pRssDispData->readMask); }));
    EXPECT_EQ(pRssDaemonData->rssLink.peer.level, 3);
    EXPECT_EQ(pRssGlobalData->running, 1);
    // A second answer changes nothing: the version, byte order and escapes are fixed by the first.
    testing::internal::CaptureStderr();
    TermSend(MSG_XREADY, 0, {'l', 1, 1, 0});
    Pump(5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "terminal ready message repeated - ignored\n");
    EXPECT_EQ(pRssDaemonData->rssLink.peer.level, 3);
    EXPECT_EQ(pRssDaemonData->rssLink.peer.byteOrder, 'B');
    EXPECT_EQ(pRssGlobalData->running, 1);
}

TEST_F(Relay, VersionRules) {
    const struct {
        uint8_t version, level, byte3;
        std::string log;
        int running;
    } cases[] = {
        {1, 3, 0, "", 1},
        {1, 1, 0, "Linquara versions: lqhostd 1.3, lqtermd 1.1\n    (lqtermd does not support flow-control)\n", 1},
        {1, 0, 0,
         "Linquara versions: lqhostd 1.3, lqtermd 1.0\n    (lqtermd uses old version of file I/O)\n"
         "    (lqtermd does not support flow-control)\n",
         1},
        {2, 3, 0, "Linquara versions: lqhostd 1.3, lqtermd 2.3\n", 0},
        {1, 3, 129, "Linquara versions: lqhostd 1.3, lqtermd 1.3\n", 0},
    };
    autoReady = false;
    Start();
    for (const auto& c : cases) {
        pRssGlobalData->running = 1;
        pRssDaemonData->rssLink.peer = LinkVersion{};  // as before any answer
        Buf* b = BufGet(&pRssDaemonData->bufData);
        for (uint8_t v : {static_cast<uint8_t>('B'), c.version, c.level, c.byte3}) *b->end++ = v;
        testing::internal::CaptureStderr();
        ProcessXready(b);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.log);
        EXPECT_EQ(pRssGlobalData->running, c.running);
    }
}

TEST_F(Relay, StartFromTheTerminalIsReportedAndDropped) {
    Start();
    Buf* b = BufGet(&pRssDaemonData->bufData);
    b->type = MSG_START;
    *b->end++ = 'B';
    lstAdd(pRssDaemonData->ttyInList, b);
    testing::internal::CaptureStderr();
    GotTtyInput();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "LQx panic: internal error - host received start protocol message.\n");
    EXPECT_EQ(pRssGlobalData->running, 1);
    EXPECT_EQ(lstCount(pRssDaemonData->ttyInList), 0);
}

TEST_F(Relay, DisplayFallsBackWhenItsPortIsTaken) {
    int port = 20000 + static_cast<int>(getpid() % 20000);
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port + 7));
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    Start({":7"});
    EXPECT_EQ(pRssDaemonData->display, 8);
    // TCP listens on the loopback address alone, which the host's name need not reach.
    EXPECT_EQ(std::string(getenv("DISPLAY")), "localhost:8.0");
    EXPECT_STREQ(pRssGlobalData->displayName, getenv("DISPLAY"));
    close(blocker);
}

// Other tests run beside these and take displays too. The display tests start from a number that
// is free together with the next one, and take any later number for a relay that had to skip one.
static bool DisplayTaken(int d) {
    return access(("/tmp/.X" + std::to_string(d) + "-lock").c_str(), F_OK) == 0 ||
           access(("/tmp/.X11-unix/X" + std::to_string(d)).c_str(), F_OK) == 0;
}

// The display's lock file: a live owner's lock sends us to the next number, a dead owner's lock is
// taken over, and ours holds our process id and is gone at the end.
TEST_F(Relay, DisplayLockFileLiveOrStale) {
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    for (pid_t owner : {dead, getpid()}) {
        bool live = owner == getpid();
        SCOPED_TRACE(live ? "live" : "stale");
        int n = 45 + static_cast<int>(getpid() % 4);
        while (n < 49 && (DisplayTaken(n) || DisplayTaken(n + 1))) n++;
        std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        unlink(lock.c_str());
        char text[16];
        std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(owner));
        { std::ofstream(lock) << text; }
        Start({"-xtports", "local", ":" + std::to_string(n)});
        int got = pRssDaemonData->display;
        if (live)
            EXPECT_GT(got, n);
        else
            EXPECT_EQ(got, n);
        std::string mine = "/tmp/.X" + std::to_string(got) + "-lock";
        std::ifstream in(mine);
        int holder = 0;
        in >> holder;
        EXPECT_EQ(holder, getpid());
        StopRelay();
        EXPECT_NE(access(mine.c_str(), F_OK), 0);  // removed at the end
        if (live) {
            EXPECT_EQ(access(lock.c_str(), F_OK), 0);  // the other owner's lock is left alone
        }
        unlink(lock.c_str());
    }
}

// A socket file at the display's path: a stale one is replaced, a live one is left alone.
TEST_F(Relay, UnixSocketFileStaleOrLive) {
    for (bool live : {false, true}) {
        SCOPED_TRACE(live ? "live" : "stale");
        int n = 40 + static_cast<int>(getpid() % 5);
        while (n < 48 && (DisplayTaken(n) || DisplayTaken(n + 1))) n++;
        std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
        mkdir("/tmp/.X11-unix", 01777);
        unlink(path.c_str());
        int other = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un u{};
        u.sun_family = AF_UNIX;
        std::memcpy(u.sun_path, path.c_str(), path.size());
        ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&u), sizeof u), 0);
        if (live) {
            ASSERT_EQ(listen(other, 1), 0);
        } else {
            close(other);
        }
        Start({"-xtports", "local", ":" + std::to_string(n)});
        if (live)
            EXPECT_GT(pRssDaemonData->display, n);
        else
            EXPECT_EQ(pRssDaemonData->display, n);
        EXPECT_EQ(std::string(getenv("DISPLAY")), "unix:" + std::to_string(pRssDaemonData->display) + ".0");
        struct stat st;
        ASSERT_EQ(stat("/tmp/.X11-unix", &st), 0);
        EXPECT_TRUE(st.st_mode & S_ISVTX);
        std::string mine = pRssDaemonData->unixPath;
        StopRelay();
        EXPECT_NE(access(mine.c_str(), F_OK), 0);  // removed at the end
        if (live) {
            int probe = socket(AF_UNIX, SOCK_STREAM, 0);  // the other server still answers
            EXPECT_EQ(connect(probe, reinterpret_cast<sockaddr*>(&u), sizeof u), 0);
            close(probe);
            close(other);
            unlink(path.c_str());
        }
    }
}

TEST_F(Relay, SetupHeaderInTwoPiecesAndAuthorization) {
    Start();
    int s = Connect();
    std::vector<uint8_t> h = SetupHeader(18, 16);
    Send(s, {h.begin(), h.begin() + 5});
    Pump(10);
    EXPECT_TRUE(Take(MSG_CONNECT).empty());
    Send(s, {h.begin() + 5, h.end()});
    ASSERT_TRUE(PumpUntil([&] {
        for (auto& m : got)
            if (m.type == MSG_CONNECT) return true;
        return false;
    }));
    auto first = Take(MSG_CONNECT);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].bytes, h);
    ClientRec* c = OnlyClient();
    EXPECT_EQ(first[0].clientId, c->clientId);
    EXPECT_EQ(c->needed, 36);  // 18 padded to 20, plus 16

    std::vector<uint8_t> auth(36);
    for (size_t i = 0; i < auth.size(); i++) auth[i] = static_cast<uint8_t>(i + 1);
    Send(s, auth);
    std::vector<uint8_t> rest;
    ASSERT_TRUE(PumpUntil([&] {
        for (auto& m : Take(MSG_CONNECT)) rest.insert(rest.end(), m.bytes.begin(), m.bytes.end());
        return rest.size() >= 36;
    }));
    EXPECT_EQ(rest, auth);
    EXPECT_EQ(c->needed, 0);
}

TEST_F(Relay, ConnectionReplyEndsSetupOnSecondMessage) {
    Start();
    int s = Connect();
    Send(s, SetupHeader(0, 0));
    ASSERT_TRUE(PumpUntil([&] { return Take(MSG_CONNECT).size() == 1; }));
    ClientRec* c = OnlyClient();
    TermSend(MSG_CONNECT, static_cast<uint8_t>(c->clientId), {1, 0, 0, 11});
    ASSERT_TRUE(PumpUntil([&] { return c->connReplied; }));
    EXPECT_TRUE(c->inSetup);
    EXPECT_FALSE(c->dead);
    TermSend(MSG_CONNECT, static_cast<uint8_t>(c->clientId), {0, 0, 0, 2, 9, 9, 9, 9});
    ASSERT_TRUE(PumpUntil([&] { return !c->inSetup; }));
    std::vector<uint8_t> r;
    PumpUntil([&] {
        auto more = Recv(s);
        r.insert(r.end(), more.begin(), more.end());
        return r.size() >= 12;
    });
    EXPECT_EQ(r, (std::vector<uint8_t>{1, 0, 0, 11, 0, 0, 0, 2, 9, 9, 9, 9}));

    // A request now reaches the terminal as X data of this client.
    Send(s, {127, 0, 0, 1});
    EXPECT_TRUE(PumpUntil([&] {
        for (auto& m : got)
            if (m.type <= MSG_XDATA && m.type != MSG_CONNECT) return m.clientId == c->clientId;
        return false;
    }));
}

TEST_F(Relay, RefusedConnectionIsMarkedDead) {
    Start();
    int s = Connect();
    Send(s, SetupHeader(0, 0));
    ASSERT_TRUE(PumpUntil([&] { return Take(MSG_CONNECT).size() == 1; }));
    ClientRec* c = OnlyClient();
    TermSend(MSG_CONNECT, static_cast<uint8_t>(c->clientId), {0, 5, 0, 11, 0, 0, 0, 2});
    ASSERT_TRUE(PumpUntil([&] { return c->dead; }));
    std::vector<uint8_t> r;
    PumpUntil([&] {
        auto more = Recv(s);
        r.insert(r.end(), more.begin(), more.end());
        return r.size() >= 8;
    });
    EXPECT_EQ(r.size(), 8u);
    EXPECT_EQ(r[0], 0);
}

// Request intake is called directly here, so that the request queue can be seen before the encoder
// takes it.
TEST_F(Relay, RequestsAreCutOnRequestBoundaries) {
    Start();
    int id;
    int s = Accepted(&id);
    ClientRec* c = ClientOf(id);
    auto sizes = [&] {
        std::vector<size_t> v;
        for (Buf* b = lstFirstT<Buf>(c->reqList); b; b = b->next) v.push_back(b->Len());
        BufListFree(&pRssDaemonData->bufData, c->reqList);
        return v;
    };

    Send(s, {127, 0, 0, 1});  // NoOperation
    Arrive(c->sock, 4);
    EXPECT_EQ(GetNextXRequest(c->sock), 1);
    EXPECT_EQ(sizes(), (std::vector<size_t>{4}));

    Send(s, {127, 0, 0, 0, 127, 0, 0, 1});  // length 0 counts as 4 bytes; the rest is the next request
    Arrive(c->sock, 8);
    EXPECT_EQ(GetNextXRequest(c->sock), 1);
    EXPECT_EQ(GetNextXRequest(c->sock), 1);
    EXPECT_EQ(GetNextXRequest(c->sock), 0);
    EXPECT_EQ(sizes(), (std::vector<size_t>{4, 4}));

    std::vector<uint8_t> poly(1000, 0x55);  // PolyLine of 250 units
    poly[0] = 65;
    poly[2] = 0;
    poly[3] = 250;
    Send(s, poly);
    Arrive(c->sock, 1000);
    std::vector<int> results;
    for (int i = 0; i < 4; i++) results.push_back(GetNextXRequest(c->sock));
    // The first call queues two full buffers and stops; the second finishes the request.
    EXPECT_EQ(results, (std::vector<int>{-1, 1, 0, 0}));
    std::vector<size_t> v = sizes();
    EXPECT_EQ(v, (std::vector<size_t>{256, 256, 256, 232}));
}

TEST_F(Relay, OtherByteOrderLengthIsSwapped) {
    Start();
    int id;
    int s = Accepted(&id, 'l');
    ClientRec* c = ClientOf(id);
    std::vector<uint8_t> req(12, 0);
    req[0] = 66;
    req[2] = 3;  // little-endian length 3
    Send(s, req);
    Arrive(c->sock, 12);
    EXPECT_EQ(GetNextXRequest(c->sock), 1);
    ASSERT_EQ(lstCount(c->reqList), 1);
    EXPECT_EQ(lstFirstT<Buf>(c->reqList)->Len(), 12u);
}

TEST_F(Relay, NoClientInputWhileTheLinkQueueIsLong) {
    Start();
    int id;
    int s = Accepted(&id);
    ClientRec* c = ClientOf(id);
    Lst held;
    lstInit(&held);
    for (int i = 0; i < 12; i++) lstAdd(&held, BufGet(&pRssDaemonData->bufData));
    lstConcat(pRssDaemonData->ttyOutList, &held);
    // Only the queue length matters here; keep the transport from taking the dummies.
    Lst* saved = pRssDaemonData->ttyOutList;
    Lst fake;
    lstInit(&fake);
    lstConcat(&fake, saved);
    Send(s, {127, 0, 0, 1});
    Arrive(c->sock, 4);
    pRssDaemonData->ttyOutList = &fake;
    EXPECT_FALSE(RssClientInputWanted(c));  // so the loop does not watch the readable socket
    ProcessRequest(c->sock);
    int waiting = 0;
    ioctl(c->sock, FIONREAD, &waiting);
    EXPECT_EQ(waiting, 4);
    BufListFree(&pRssDaemonData->bufData, &fake);
    pRssDaemonData->ttyOutList = saved;
    EXPECT_TRUE(RssClientInputWanted(c));
    ProcessRequest(c->sock);
    ioctl(c->sock, FIONREAD, &waiting);
    EXPECT_EQ(waiting, 0);
}

TEST_F(Relay, NoClientInputWhileTheTerminalClosedItsFlow) {
    Start();
    int id;
    int s = Accepted(&id);
    ClientRec* c = ClientOf(id);
    LinkEnd* link = &pRssDaemonData->rssLink;
    TransClientCloseWindow(&term, id);
    ASSERT_TRUE(PumpUntil([&] { return !TransIsClientSendWindowOpen(link, id); }));
    Send(s, {127, 0, 0, 1});
    Arrive(c->sock, 4);
    EXPECT_FALSE(RssClientInputWanted(c));
    ProcessRequest(c->sock);
    Pump(5);
    int waiting = 0;
    ioctl(c->sock, FIONREAD, &waiting);
    EXPECT_EQ(waiting, 4);
    TransClientOpenWindow(&term, id);
    EXPECT_TRUE(PumpUntil([&] {
        ioctl(c->sock, FIONREAD, &waiting);
        return waiting == 0;
    }));
}

// Frames the line could not take wait in the link's ring; the loop must wake as soon as the line
// takes bytes again, not at its time-out (the clients are held back meanwhile, so nothing else
// would wake it while the line stands idle).
TEST_F(Relay, HeldLineOutputGoesOutAsSoonAsTheLineTakesIt) {
    Start();
    int id;
    int s = Accepted(&id);
    ClientRec* c = ClientOf(id);
    // Fill the line as if the terminal had stopped reading.
    std::vector<uint8_t> junk(4096, 0x41);
    while (write(line[0], junk.data(), junk.size()) > 0) {
    }
    Send(s, {127, 0, 0, 1});
    Arrive(c->sock, 4);
    ProcessRequest(c->sock);
    const LinkEnd* link = &pRssDaemonData->rssLink;
    ASSERT_GT(LinkOutputWaiting(link), 0);
    // The terminal reads everything; the next pass, allowed to sleep for a second, must not.
    while (read(line[1], junk.data(), junk.size()) > 0) {
    }
    pRssGlobalData->selectTimeout = {0, 999999};
    const auto t0 = std::chrono::steady_clock::now();
    RssMainLoopPass();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(LinkOutputWaiting(link), 0);
    EXPECT_LT(took, 0.5);
}

// With the transport's window full, messages wait on the line's queue and the client is held back.
// The terminal's acknowledgements must let them go at once, in the pass that reads them.
TEST_F(Relay, AcknowledgementsReleaseTheQueueInTheSamePass) {
    Start();
    int id;
    int s = Accepted(&id);
    std::vector<uint8_t> req(1024);
    req[0] = 127;  // NoOperation, 256 words of varied bytes
    req[2] = 1;
    for (size_t i = 4; i < req.size(); i++) req[i] = static_cast<uint8_t>(i * 7 + i / 5);
    Lst* queue = pRssDaemonData->ttyOutList;
    for (int i = 0; i < 400 && lstCount(queue) <= RSS_MAX_TTY_OUT; i++) {
        if (i < 60) Send(s, req);
        RssMainLoopPass();  // the terminal neither reads nor acknowledges
    }
    ASSERT_GT(lstCount(queue), RSS_MAX_TTY_OUT);
    ASSERT_FALSE(RssClientInputWanted(ClientOf(id)));
    const int waiting = lstCount(queue);
    TermPass();  // reads and acknowledges
    pRssGlobalData->selectTimeout = {0, 999999};
    RssMainLoopPass();
    EXPECT_LT(lstCount(queue), waiting);
}

std::vector<uint8_t> Event(uint16_t seq) {
    std::vector<uint8_t> e(32, 0);
    e[0] = 12;  // Expose
    e[2] = static_cast<uint8_t>(seq >> 8);
    e[3] = static_cast<uint8_t>(seq);
    for (int i = 4; i < 32; i++) e[i] = static_cast<uint8_t>(seq * 7 + i);
    return e;
}

TEST_F(Relay, StalledClientDoesNotStopTheOthers) {
    Start();
    int idA, idB;
    int a = Accepted(&idA);
    int b = Accepted(&idB);
    int small = 4096;
    setsockopt(a, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(ClientOf(idA)->sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    // A does not read; the terminal sends it more than its socket takes, until the relay has to
    // keep some of it queued.
    std::vector<uint8_t> expectA;
    ClientRec* ca = ClientOf(idA);
    for (uint16_t i = 1; i <= 20000 && ClientHeldBytes(ca) == 0; i++) {
        auto e = Event(i);
        expectA.insert(expectA.end(), e.begin(), e.end());
        TermSend(MSG_XDATA, static_cast<uint8_t>(idA), e);
        if (i % 20 == 0) Pump(2);
    }
    ASSERT_GT(ClientHeldBytes(ca), 0u);
    // B is still served.
    TermSend(MSG_XDATA, static_cast<uint8_t>(idB), Event(77));
    EXPECT_EQ(Collect(b, 32), Event(77));
    // When A reads at last, its bytes arrive whole and in order.
    std::vector<uint8_t> gotA;
    EXPECT_TRUE(PumpUntil(
        [&] {
            auto more = Recv(a);
            gotA.insert(gotA.end(), more.begin(), more.end());
            return gotA.size() >= expectA.size();
        },
        4000));
    EXPECT_TRUE(gotA == expectA);
}

// Clients that stop reading (a window of 4 KB in the kernel, so that the relay keeps the rest)
// hold none of the buffers the other clients need: the terminal, asked to, holds their data; new
// clients set up and connected ones are served meanwhile; once they read, every byte arrives in
// order and the terminal is told to send again.
TEST_F(Relay, StuckClientsHoldOnlyTheirOwnData) {
    Start();
    const int32_t freeAtStart = BufPoolCount(&pRssDaemonData->bufData);
    int idB;
    int b = Accepted(&idB);
    struct Stuck {
        int sock, id;
        std::vector<uint8_t> sent, got;
        uint16_t next = 1;
    };
    std::vector<Stuck> stuck(3);
    for (auto& k : stuck) {
        k.sock = Accepted(&k.id);
        int small = 4096;
        setsockopt(k.sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        setsockopt(ClientOf(k.id)->sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    // A terminal that keeps to the relay's holds: each stuck client is sent events until the relay
    // asks for its data to be held, and at least 50 KB.
    auto feed = [&](Stuck& k, size_t upTo) {
        while (k.sent.size() < upTo && TransIsClientSendWindowOpen(&term, k.id)) {
            auto e = Event(k.next++);
            k.sent.insert(k.sent.end(), e.begin(), e.end());
            TermSend(MSG_XDATA, static_cast<uint8_t>(k.id), e);
            if (k.next % 16 == 0) Pump(2);
        }
    };
    // (The kernel's buffers take a varying amount first.)
    for (auto& k : stuck) {
        for (size_t upTo = 50000; upTo < 2000000; upTo += 20000) {
            feed(k, upTo);
            Pump(10);
            if (k.sent.size() >= 50000 && !TransIsClientSendWindowOpen(&term, k.id)) break;
        }
        EXPECT_FALSE(TransIsClientSendWindowOpen(&term, k.id)) << "client " << k.id << " was never held";
        EXPECT_GT(ClientHeldBytes(ClientOf(k.id)), 0u);
    }
    Pump(40);
    EXPECT_GE(BufPoolCount(&pRssDaemonData->bufData), freeAtStart - 4);
    // Connected and new clients are served while the stuck ones hold their data.
    TermSend(MSG_XDATA, static_cast<uint8_t>(idB), Event(77));
    EXPECT_EQ(Collect(b, 32), Event(77));
    for (int i = 0; i < 5; i++) {
        int idC;
        Accepted(&idC);  // checks the whole set-up reply arrived
    }
    // The stuck clients read at last, and the terminal sends the rest once asked to.
    std::vector<size_t> total;
    for (auto& k : stuck) total.push_back(k.sent.size() + 20000);
    ASSERT_TRUE(PumpUntil(
        [&] {
            bool all = true;
            for (size_t i = 0; i < stuck.size(); i++) {
                Stuck& k = stuck[i];
                auto more = Recv(k.sock);
                k.got.insert(k.got.end(), more.begin(), more.end());
                feed(k, total[i]);
                all = all && k.got.size() >= total[i];
            }
            return all;
        },
        4000));
    for (auto& k : stuck) {
        EXPECT_TRUE(k.got == k.sent) << "client " << k.id;
        EXPECT_TRUE(TransIsClientSendWindowOpen(&term, k.id));
        EXPECT_EQ(ClientHeldBytes(ClientOf(k.id)), 0u);
    }
}

TEST_F(Relay, DeadClientHostInitiated) {
    Start();
    int id;
    int s = Accepted(&id);
    Take(MSG_DEADCLIENT);
    close(s);
    clients.clear();
    ASSERT_TRUE(PumpUntil([&] { return ClientOf(id)->dead; }));
    Pump(10);  // several passes notice it; only one report goes out
    auto reports = Take(MSG_DEADCLIENT);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].bytes, (std::vector<uint8_t>{static_cast<uint8_t>(id), 0}));
    TermSend(MSG_DEADCLIENT, 0, {static_cast<uint8_t>(id), 1});
    ASSERT_TRUE(PumpUntil([&] { return ClientOf(id) == nullptr; }));
    Pump(5);
    auto fin = Take(MSG_DEADCLIENT);
    ASSERT_EQ(fin.size(), 1u);
    EXPECT_EQ(fin[0].bytes, (std::vector<uint8_t>{static_cast<uint8_t>(id), 2}));
    EXPECT_EQ(lstCount(&pRssDispData->clientRecList), 0);
}

TEST_F(Relay, DeadClientTerminalInitiated) {
    Start();
    int id;
    int s = Accepted(&id);
    ClientRec* c = ClientOf(id);
    TermSend(MSG_DEADCLIENT, 0, {static_cast<uint8_t>(id), 0});
    ASSERT_TRUE(PumpUntil([&] { return c->dead; }));
    Pump(5);
    auto ack = Take(MSG_DEADCLIENT);
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].bytes, (std::vector<uint8_t>{static_cast<uint8_t>(id), 1}));
    EXPECT_EQ(ClientOf(id), c);  // the record waits for the final phase
    TermSend(MSG_XDATA, static_cast<uint8_t>(id), Event(5));  // output for it is discarded
    Pump(5);
    EXPECT_TRUE(Recv(s).empty());
    TermSend(MSG_DEADCLIENT, 0, {static_cast<uint8_t>(id), 2});
    ASSERT_TRUE(PumpUntil([&] { return ClientOf(id) == nullptr; }));
    EXPECT_TRUE(Take(MSG_DEADCLIENT).empty());
}

TEST_F(Relay, ShutdownTerminalInitiated) {
    Start({"-xtports", "tcpip local", ":" + std::to_string(30 + getpid() % 9)});
    std::string path = pRssDaemonData->unixPath;
    ASSERT_EQ(access(path.c_str(), F_OK), 0);
    TermSend(MSG_SHUTDOWN, 0, {0});
    ASSERT_TRUE(PumpUntil([&] { return pRssDaemonData->tcpSock == -1; }));
    EXPECT_EQ(pRssDaemonData->unixSock, -1);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    Pump(5);
    auto ack = Take(MSG_SHUTDOWN);
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].bytes, (std::vector<uint8_t>{1}));
    EXPECT_EQ(pRssGlobalData->running, 1);
    TermSend(MSG_SHUTDOWN, 0, {2});
    EXPECT_TRUE(PumpUntil([&] { return pRssGlobalData->running == 0; }));
}

// An empty MSG_SHUTDOWN is a request, at both ends (the terminal's side: Dialogue.ShutdownPhases...).
TEST_F(Relay, EmptyShutdownIsARequest) {
    Start();
    TermSend(MSG_SHUTDOWN, 0, {});
    std::vector<TermMsg> ack;
    EXPECT_TRUE(PumpUntil([&] {
        ack = Take(MSG_SHUTDOWN);
        return !ack.empty();
    }));
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].bytes, (std::vector<uint8_t>{DLG_ACK}));
    EXPECT_EQ(pRssDaemonData->tcpSock, -1);
    EXPECT_EQ(pRssGlobalData->running, 1);
}

TEST_F(Relay, SigtermStartsOneShutdownAheadOfTheQueue) {
    Start();
    int id;
    Accepted(&id);
    SetSignalHandling();
    for (int i = 0; i < 3; i++) {
        Buf* b = BufGet(&pRssDaemonData->bufData);
        b->type = MSG_FILEDATA;
        *b->end++ = 9;
        *b->end++ = 'D';
        lstAdd(pRssDaemonData->ttyOutList, b);
    }
    got.clear();
    raise(SIGTERM);
    raise(SIGPIPE);  // ignored: the relay goes on
    Pump(10);
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got[0].type, MSG_SHUTDOWN);
    EXPECT_EQ(got[0].bytes, (std::vector<uint8_t>{0}));
    EXPECT_EQ(Take(MSG_SHUTDOWN).size(), 1u);
    EXPECT_EQ(pRssGlobalData->running, 1);
    TermSend(MSG_SHUTDOWN, 0, {1});
    ASSERT_TRUE(PumpUntil([&] { return pRssGlobalData->running == 0; }));
    EXPECT_EQ(ClientOf(id), nullptr);  // clients closed at the acknowledgement
    TermPass();
    auto fin = Take(MSG_SHUTDOWN);
    ASSERT_EQ(fin.size(), 1u);
    EXPECT_EQ(fin[0].bytes, (std::vector<uint8_t>{2}));
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
}

TEST_F(Relay, FiftyThirdClientIsClosedAtOnce) {
    Start();
    std::vector<int> socks;
    for (int i = 0; i < 52; i++) {
        socks.push_back(Connect());
        ASSERT_TRUE(PumpUntil([&] { return lstCount(&pRssDispData->clientRecList) == i + 1; }));
    }
    int extra = Connect();
    Pump(10);
    EXPECT_EQ(lstCount(&pRssDispData->clientRecList), 52);
    char c;
    int fl = fcntl(extra, F_GETFL);
    fcntl(extra, F_SETFL, fl & ~O_NONBLOCK);
    EXPECT_EQ(read(extra, &c, 1), 0);  // closed by the relay
}

// Started with standard input, output or error closed, the relay opens them on /dev/null, so that no
// client socket takes one of those numbers.
TEST(Descriptors, StandardOnesAreOpenedWhenInheritedClosed) {
    for (int closed : {0, 2}) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(closed);
            RssInitData();
            InitializeFD();
            struct stat got, null;
            _exit(fstat(closed, &got) == 0 && stat("/dev/null", &null) == 0 && got.st_rdev == null.st_rdev ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "descriptor " << closed;
    }
}

std::vector<uint8_t> FileBytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 31 + 7);
    return v;
}

class FileAccess : public Relay {
  protected:
    std::string WriteFile(size_t n) {
        std::string path = home + "/f" + std::to_string(n);
        auto v = FileBytes(n);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(v.data()), static_cast<long>(n));
        return path;
    }
    std::vector<uint8_t> OpenMsg(uint8_t id, const std::string& path) {
        std::vector<uint8_t> m(path.size() + 3, 0);  // sized at once: GCC 12 misreads a grown copy
        m[0] = id;
        m[1] = 'O';
        std::memcpy(m.data() + 2, path.data(), path.size());
        return m;
    }
    // Collects the file's messages until count have come.
    std::vector<TermMsg> Await(size_t count) {
        std::vector<TermMsg> out;
        PumpUntil([&] {
            for (auto& m : got)
                if (m.type == MSG_FILEDATA || m.type == MSG_FILECLOSE) out.push_back(m);
            got.clear();
            return out.size() >= count;
        });
        Pump(5);
        for (auto& m : got)
            if (m.type == MSG_FILEDATA || m.type == MSG_FILECLOSE) out.push_back(m);
        got.clear();
        return out;
    }
};

TEST_F(FileAccess, CurrentFormSmallAndLargeFiles) {
    Start();
    // 200 bytes: 'F' 126, 'D' 74, then the close twice.
    TermSend(MSG_FILEOPEN, 0, OpenMsg(3, WriteFile(200)));
    auto m = Await(4);
    ASSERT_EQ(m.size(), 4u);
    auto data = FileBytes(200);
    EXPECT_EQ(m[0].type, MSG_FILEDATA);
    EXPECT_EQ(m[0].bytes[1], 'F');
    EXPECT_EQ(std::vector<uint8_t>(m[0].bytes.begin() + 2, m[0].bytes.end()),
              std::vector<uint8_t>(data.begin(), data.begin() + 126));
    EXPECT_EQ(m[1].bytes[1], 'D');
    EXPECT_EQ(std::vector<uint8_t>(m[1].bytes.begin() + 2, m[1].bytes.end()),
              std::vector<uint8_t>(data.begin() + 126, data.end()));
    for (int i : {2, 3}) {
        EXPECT_EQ(m[i].type, MSG_FILECLOSE);
        EXPECT_EQ(m[i].bytes, (std::vector<uint8_t>{3, 'C'}));
        EXPECT_EQ(m[i].clientId, 0);
    }
    EXPECT_EQ(rssCountFileRecs(), 0);

    // 1000 bytes: 'F' and five 'D' pieces at once, then one piece per request, then the close.
    TermSend(MSG_FILEOPEN, 0, OpenMsg(4, WriteFile(1000)));
    m = Await(6);
    ASSERT_EQ(m.size(), 6u);
    EXPECT_EQ(rssCountFileRecs(), 1);
    std::vector<uint8_t> all;
    for (auto& x : m) all.insert(all.end(), x.bytes.begin() + 2, x.bytes.end());
    for (int i = 0; i < 3; i++) {
        TermSend(MSG_FILEDATA, 0, {4, 'D'});
        auto more = Await(1);
        ASSERT_EQ(more.size(), 1u);
        if (more[0].type == MSG_FILEDATA) all.insert(all.end(), more[0].bytes.begin() + 2, more[0].bytes.end());
        else EXPECT_EQ(more[0].bytes, (std::vector<uint8_t>{4, 'C'}));
    }
    EXPECT_EQ(all, FileBytes(1000));
    EXPECT_EQ(rssCountFileRecs(), 0);
}

TEST_F(FileAccess, UnusablePathsAreRefused) {
    Start();
    for (const std::string& path : {home + "/missing", home, std::string("/dev/null"), std::string("/dev/zero")}) {
        TermSend(MSG_FILEOPEN, 0, OpenMsg(5, path));
        auto m = Await(1);
        ASSERT_EQ(m.size(), 1u) << path;
        EXPECT_EQ(m[0].bytes, (std::vector<uint8_t>{5, 'N'})) << path;
    }
    // A path without its terminating zero is taken as far as the message goes.
    std::string p = WriteFile(10);
    std::vector<uint8_t> open = OpenMsg(6, p);
    open.pop_back();
    TermSend(MSG_FILEOPEN, 0, open);
    auto m = Await(3);
    ASSERT_GE(m.size(), 1u);
    EXPECT_EQ(m[0].bytes[1], 'F');
    testing::internal::CaptureStderr();
    TermSend(MSG_FILEOPEN, 0, {0, 'O', 'x', 0});
    Pump(10);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error during FILEOPEN request!!\n");
    EXPECT_EQ(rssCountFileRecs(), 0);
}

TEST_F(FileAccess, OldFormForEarlierTerminals) {
    termLevel = 0;
    testing::internal::CaptureStderr();
    Start();
    testing::internal::GetCapturedStderr();
    for (size_t size : {200u, 1000u}) {
        std::string path = WriteFile(size);
        std::vector<uint8_t> open(path.begin(), path.end());
        open.push_back(0);
        TermSend(MSG_FILEOPEN, 0, open);
        auto m = Await(1);
        ASSERT_EQ(m.size(), 1u);
        ASSERT_EQ(m[0].type, MSG_FILEDATA);
        EXPECT_EQ(std::vector<uint8_t>(m[0].bytes.begin(), m[0].bytes.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 0}));
        std::vector<uint8_t> all(m[0].bytes.begin() + 4, m[0].bytes.end());
        EXPECT_EQ(all.size(), 124u);
        for (int i = 0; i < 20; i++) {
            TermSend(MSG_FILEDATA, 0, {0});
            auto more = Await(1);
            ASSERT_EQ(more.size(), 1u);
            if (more[0].type == MSG_FILECLOSE) {
                EXPECT_TRUE(more[0].bytes.empty());
                break;
            }
            EXPECT_LE(more[0].bytes.size(), 128u);
            all.insert(all.end(), more[0].bytes.begin(), more[0].bytes.end());
        }
        EXPECT_EQ(all, FileBytes(size));
        EXPECT_EQ(pRssDaemonData->HostFd, -1);
    }
    std::string missing = home + "/none";
    std::vector<uint8_t> open(missing.begin(), missing.end());
    open.push_back(0);
    TermSend(MSG_FILEOPEN, 0, open);
    auto m = Await(2);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].type, MSG_FILEDATA);
    EXPECT_EQ(std::vector<uint8_t>(m[0].bytes.begin(), m[0].bytes.begin() + 4),
              (std::vector<uint8_t>{0, 0, 0, ENOENT}));  // the terminal is big-endian
    EXPECT_EQ(m[1].type, MSG_FILECLOSE);
    EXPECT_TRUE(m[1].bytes.empty());
}

TEST(Session, DefaultCommandWords) {
    char cmd[] = "xterm -geometry +1+1 -n login";
    char* argv[RSS_MAX_SESSION_WORDS + 1];
    EXPECT_EQ(RssSplitSessionCommand(cmd, argv), 5);
    EXPECT_STREQ(argv[4], "login");
    EXPECT_EQ(argv[5], nullptr);
    std::string many;
    for (int i = 0; i < 20; i++) many += "w" + std::to_string(i) + " ";
    testing::internal::CaptureStderr();
    EXPECT_EQ(RssSplitSessionCommand(many.data(), argv), RSS_MAX_SESSION_WORDS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "default session command has more than 17 words; the rest is ignored\n");
    EXPECT_STREQ(argv[16], "w16");
    EXPECT_EQ(argv[17], nullptr);
}

class SessionRun : public Relay {
  protected:
    // Starts the session with standard error captured in a file; waits for it and returns the text.
    std::string RunSession(int* status) {
        std::string err = home + "/err";
        int saved = dup(2);
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
        EXPECT_EQ(StartSession(), 0);
        dup2(saved, 2);
        close(saved);
        waitpid(pRssDaemonData->sessionPid, status, 0);
        pRssDaemonData->sessionPid = 0;
        std::ifstream f(err);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    void Script(const std::string& name, const std::string& body, mode_t mode = 0755) {
        std::string path = home + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), mode);
    }
};

TEST_F(SessionRun, ScriptNamesAndDefaultCommand) {
    Start({"-session", "mine"});
    int status;
    Script(".xinitrc", "echo xinitrc $DISPLAY >&2\n");
    EXPECT_EQ(RunSession(&status), "xinitrc " + std::string(pRssGlobalData->displayName) + "\n");
    Script(".xsession", "echo xsession >&2\n");
    EXPECT_EQ(RunSession(&status), "xsession\n");
    Script("mine", "echo mine; echo to-stdout-too\n");
    EXPECT_EQ(RunSession(&status), "mine\nto-stdout-too\n");
    Script("mine", "echo never\n", 0644);
    std::free(pRssDaemonData->defaultSession);
    pRssDaemonData->defaultSession = strdup("no-such-program-here -a b");
    EXPECT_EQ(RunSession(&status), "cannot execute session script " + home + "/mine\nusing default session\n" +
                                       "cannot execute default session \"no-such-program-here\"\nsession aborted\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
}

TEST_F(SessionRun, SessionEndEndsTheRelay) {
    Start();
    Script(".xsession", "exit 0\n");
    SetSignalHandling();
    ASSERT_EQ(StartSession(), 0);
    ASSERT_TRUE(PumpUntil([&] { return !Take(MSG_SHUTDOWN).empty(); }, 2000));
    TermSend(MSG_SHUTDOWN, 0, {1});
    EXPECT_TRUE(PumpUntil([&] { return pRssGlobalData->running == 0; }));
    StopSession();  // collects the ended session
    EXPECT_EQ(pRssDaemonData->sessionPid, 0);
    signal(SIGCHLD, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

TEST_F(SessionRun, StopSessionEndsTheWholeGroup) {
    Start();
    std::string mark = home + "/child";
    Script(".xsession", "sleep 300 & echo $! > " + mark + "\nwait\n");
    ASSERT_EQ(StartSession(), 0);
    for (int i = 0; i < 500 && access(mark.c_str(), F_OK) != 0; i++) usleep(10000);
    usleep(50000);
    int child = 0;
    std::ifstream(mark) >> child;
    ASSERT_GT(child, 0);
    StopSession();
    for (int i = 0; i < 200 && kill(child, 0) == 0; i++) usleep(10000);
    EXPECT_NE(kill(child, 0), 0);
}

TEST_F(SessionRun, SessionIgnoringTermIsKilled) {
    Start();
    std::string mark = home + "/up";
    Script(".xsession", "trap '' TERM\ntouch " + mark + "\nwhile :; do sleep 1; done\n");
    ASSERT_EQ(StartSession(), 0);
    pid_t pid = pRssDaemonData->sessionPid;
    for (int i = 0; i < 500 && access(mark.c_str(), F_OK) != 0; i++) usleep(10000);
    StopSession();  // SIGTERM is ignored; SIGKILL follows once the wait has run out
    EXPECT_NE(kill(pid, 0), 0);
    for (int i = 0; i < 200 && kill(-pid, 0) == 0; i++) usleep(10000);  // the group's others go too
    EXPECT_NE(kill(-pid, 0), 0);
}

}  // namespace
