// The relay's host end in the test process, its line a socket pair, and a scripted terminal end
// (the link's own terminal role) on the other side of it.
#pragma once
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "relay/core/auth.h"
#include "relay/core/conn.h"
#include "relay/core/disp.h"
#include "relay/core/rss.h"
#include "relay/link/linkpair.h"

struct TermMsg {
    uint8_t type;
    uint8_t clientId;
    std::vector<uint8_t> bytes;
};

class Relay : public ::testing::Test {
  protected:
    std::string home;
    int line[2] = {-1, -1};
    BufData termBufs{};
    LinkEnd term{};
    Lst termIn{}, termOut{};
    std::vector<TermMsg> got;  // everything the terminal received, in order
    int termVersion = 1, termLevel = 3;
    bool autoReady = true;
    // The relay checks its clients' cookies only where a test asks for it (the default of the
    // program); elsewhere the tests speak to it as clients without authorization.
    bool checkAuth = false;
    std::vector<uint8_t> readyExtra;  // appended to the terminal's MSG_XREADY (an extension offer)
    int listenPort = 0;
    std::vector<int> clients;

    // Starts the host end with the given extra arguments and the terminal end; the terminal's
    // readiness has been exchanged when it returns (unless autoReady is false).
    void Start(std::vector<std::string> args = {}) {
        char tmpl[] = "/tmp/lqrelayXXXXXX";
        home = mkdtemp(tmpl);
        setenv("HOME", home.c_str(), 1);
        setenv("XAUTHORITY", (home + "/.Xauthority").c_str(), 1);
        if (!checkAuth) WriteFile(home + "/.lqhostdrc", "HostServer.checkAuthorization: off\n");
        listenPort = 20000 + static_cast<int>(getpid() % 20000);
        std::vector<std::string> all = {"lqhostd", "-udpport", std::to_string(listenPort), "-xtports", "tcpip"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        RssInitData();
        RssInitDispData();
        InitResources(static_cast<int>(all.size()), argv.data());
        LoadRssResources();
        ASSERT_EQ(BufInit(&pRssDaemonData->bufData), 0);
        ParseXports();
        ASSERT_EQ(SetUpConnectionSockets(), 0);
        ASSERT_EQ(RssAuthInit(pRssDaemonData->display), 0);

        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, line), 0);
        for (int fd : line) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        pRssGlobalData->ttyFd = line[0];
        RssCountFd(line[0]);
        FD_SET(line[0], &pRssDispData->readMask);
        ASSERT_EQ(RssStartLink(line[0]), 0);
        pRssGlobalData->running = 1;

        lstInit(&termIn);
        lstInit(&termOut);
        ASSERT_EQ(BufInit(&termBufs), 0);
        LinkSetDefaults(&term, LINK_TERMINAL, &termBufs, Clock{});
        LinkUseFd(&term, line[1]);
        ASSERT_EQ(TransInit(&term), 0);
        ASSERT_EQ(TransStart(&term), 0);
        if (autoReady) PumpUntil([&] { return pRssDaemonData->rssLink.peer.version != 0; });
    }

    void TearDown() override {
        for (int c : clients) close(c);
        if (pRssDaemonData) {
            ShutdownDispatch();
            RssFreeData();
        }
        BufListFree(&termBufs, &termIn);
        BufListFree(&termBufs, &termOut);
        if (term.pBufData) LinkDestroy(&term);
        if (termBufs.permanent[0]) BufDestroy(&termBufs);
        for (int fd : line)
            if (fd != -1) close(fd);
        if (!home.empty()) std::system(("rm -rf " + home).c_str());
    }

    // Ends the relay as at the end of a test and clears the fixture, so that Start can run again.
    void StopRelay() {
        TearDown();
        pRssDaemonData = nullptr;
        home.clear();
        line[0] = line[1] = -1;
        term = LinkEnd{};
        termBufs = BufData{};
    }

    // One pass of the terminal end: read, answer the start, record the rest, write.
    void TermPass() {
        TransRead(&term, &termIn);
        while (Buf* b = lstGetT<Buf>(&termIn)) {
            if (b->type == MSG_START && autoReady) {
                DlgAnswerStart(&term, b, &termOut, termVersion, termLevel, 0);
                if (!readyExtra.empty()) std::memcpy(b->end, readyExtra.data(), readyExtra.size());
                b->end += readyExtra.size();
                continue;
            }
            got.push_back({b->type, b->clientId, std::vector<uint8_t>(b->start, b->end)});
            BufFree(&termBufs, b);
        }
        TransWrite(&term, &termOut);
    }

    void Pass() {
        if (pRssGlobalData->running == 1) RssMainLoopPass();
        TermPass();
    }

    template <class F> bool PumpUntil(F done, int passes = 400) {
        for (int i = 0; i < passes; i++) {
            if (done()) return true;
            Pass();
        }
        return done();
    }
    void Pump(int passes = 20) {
        for (int i = 0; i < passes; i++) Pass();
    }

    void TermSend(uint8_t type, uint8_t clientId, std::vector<uint8_t> bytes) {
        Buf* b = BufGet(&termBufs);
        ASSERT_NE(b, nullptr);
        b->type = type;
        b->clientId = clientId;
        if (!bytes.empty()) std::memcpy(b->end, bytes.data(), bytes.size());
        b->end += bytes.size();
        lstAdd(&termOut, b);
        TransWrite(&term, &termOut);
    }

    std::vector<TermMsg> Take(uint8_t type) {
        std::vector<TermMsg> out, rest;
        for (auto& m : got) (m.type == type ? out : rest).push_back(m);
        got = rest;
        return out;
    }

    // A TCP client of the relay's display.
    int Connect() {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(listenPort + pRssDaemonData->display));
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
        clients.push_back(s);
        return s;
    }

    static void WriteFile(const std::string& path, const std::string& text) {
        FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }

    // A set-up carrying the display's cookie (or, with `wrong`, a cookie of the right size that is
    // not the display's).
    static std::vector<uint8_t> SetupWithCookie(uint8_t order = 'B', bool wrong = false) {
        std::vector<uint8_t> s = SetupHeader(18, 16, order);
        const char* name = "MIT-MAGIC-COOKIE-1";
        s.insert(s.end(), name, name + 18);
        s.insert(s.end(), {0, 0});
        s.insert(s.end(), pRssDaemonData->cookie, pRssDaemonData->cookie + 16);
        if (wrong) s.back() ^= 1;
        return s;
    }

    static void Send(int s, const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(s, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Waits until the relay's side of a client connection holds n bytes to read.
    static void Arrive(int fd, int n) {
        int waiting = 0;
        for (int i = 0; i < 1000 && (ioctl(fd, FIONREAD, &waiting) != 0 || waiting < n); i++) usleep(1000);
    }

    static std::vector<uint8_t> Recv(int s) {
        std::vector<uint8_t> out(65536);
        ssize_t n = read(s, out.data(), out.size());
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }

    // What a client receives, pumping until n bytes (or the passes are spent).
    std::vector<uint8_t> Collect(int s, size_t n, int passes = 400) {
        std::vector<uint8_t> r;
        PumpUntil([&] {
            auto more = Recv(s);
            r.insert(r.end(), more.begin(), more.end());
            return r.size() >= n;
        }, passes);
        return r;
    }

    ClientRec* ClientOf(int id) { return pRssDispData->clientTbl[id]; }
    ClientRec* OnlyClient() { return lstFirstT<ClientRec>(&pRssDispData->clientRecList); }

    // A big-endian set-up header with the given authorization lengths.
    static std::vector<uint8_t> SetupHeader(uint16_t n, uint16_t d, uint8_t order = 'B') {
        std::vector<uint8_t> h = {order, 0, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0};
        auto put = [&](int off, uint16_t v) {
            h[off] = order == 'B' ? v >> 8 : v & 0xff;
            h[off + 1] = order == 'B' ? v & 0xff : v >> 8;
        };
        put(2, 11);
        put(6, n);
        put(8, d);
        return h;
    }

    // Connects a client, forwards its set-up and answers it with a two-message reply; returns the
    // client's socket and its link id.
    int Accepted(int* id, uint8_t order = 'B') {
        int s = Connect();
        Send(s, checkAuth ? SetupWithCookie(order) : SetupHeader(0, 0, order));
        EXPECT_TRUE(PumpUntil([&] { return !Take(MSG_CONNECT).empty(); }));
        ClientRec* c = lstLastT<ClientRec>(&pRssDispData->clientRecList);
        *id = c->clientId;
        TermSend(MSG_CONNECT, static_cast<uint8_t>(*id), {1, 0, 0, 11, 0, 0, 0, 2});
        TermSend(MSG_CONNECT, static_cast<uint8_t>(*id), {0, 0, 0, 0, 0, 0, 0, 0});
        EXPECT_TRUE(PumpUntil([&] { return !c->inSetup; }));
        std::vector<uint8_t> r;
        PumpUntil([&] {
            auto more = Recv(s);
            r.insert(r.end(), more.begin(), more.end());
            return r.size() >= 16;
        });
        EXPECT_EQ(r.size(), 16u);
        return s;
    }
};
