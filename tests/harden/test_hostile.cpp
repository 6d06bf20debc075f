// The relay against clients and a terminal end that misbehave: it must stay up, keep serving the
// well-behaved, lose no byte of theirs, and give its descriptors and memory back.
#include <dirent.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>

#include <map>

#include "relay/core/file.h"
#include "tests/core/relayharness.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

int OpenFds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n - 1;  // the directory's own descriptor
}

size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

std::vector<uint8_t> Request(uint8_t opcode, uint16_t length, size_t bodyBytes, uint8_t seed) {
    std::vector<uint8_t> r = {opcode, seed, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    for (size_t i = 0; i < bodyBytes; i++) r.push_back(static_cast<uint8_t>(i * 13 + seed));
    return r;
}

std::vector<uint8_t> Event(uint16_t seq, uint8_t salt) {
    std::vector<uint8_t> e(32, 0);
    e[0] = 12;  // Expose
    e[2] = static_cast<uint8_t>(seq >> 8);
    e[3] = static_cast<uint8_t>(seq);
    for (int i = 4; i < 32; i++) e[i] = static_cast<uint8_t>(seq * 7 + i + salt);
    return e;
}

// The relay with a terminal end that also decodes what the relay sends for each client back into
// plain X requests, as the terminal's X server would receive them, and answers the relay's
// dead-client reports as a terminal does.
class Hostile : public Relay {
  protected:
    XspecMsgCache termCache{};
    XspecEnv termEnv{};
    struct Decoded {
        ClientRec rec{};
        std::vector<uint8_t> bytes;
    };
    std::map<int, Decoded> decoded;

    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);  // as the relay's own start-up does
        termEnv.pBufData = &termBufs;
        termEnv.xspecCache = &termCache;
        termEnv.hostByteOrder = 'B';
    }
    void TearDown() override {
        for (auto& [id, d] : decoded) {
            for (Lst* l : {d.rec.reqList, d.rec.encList, d.rec.replyInList, d.rec.replyOutList})
                BufListFree(&termBufs, l);
            XspecFree(d.rec.xspec);
        }
        Relay::TearDown();
    }

    Decoded& DecoderOf(int id) {
        auto it = decoded.find(id);
        if (it != decoded.end()) return it->second;
        Decoded& d = decoded[id];
        ClientRecInitQueues(&d.rec);
        d.rec.clientId = id;
        d.rec.byteOrder = 'B';
        EXPECT_EQ(XspecEncodeInit(&termEnv, &d.rec), 0);
        return d;
    }

    // Decodes the X messages received so far, in link order; answers dead-client reports.
    void Decode() {
        std::vector<TermMsg> rest;
        for (auto& m : got) {
            if (m.type == MSG_XDATA || m.type == MSG_XCACHED) {
                Decoded& d = DecoderOf(m.clientId);
                Buf* b = BufGet(&termBufs);
                ASSERT_NE(b, nullptr);
                b->type = m.type;
                b->clientId = m.clientId;
                std::memcpy(b->end, m.bytes.data(), m.bytes.size());
                b->end += m.bytes.size();
                lstAdd(d.rec.replyInList, b);
                XspecTermDecode(&termEnv, &d.rec);
                while (Buf* o = lstGetT<Buf>(d.rec.replyOutList)) {
                    d.bytes.insert(d.bytes.end(), o->start, o->end);
                    BufFree(&termBufs, o);
                }
            } else if (m.type == MSG_DEADCLIENT && m.bytes.size() == 2 && m.bytes[1] == 0) {
                TermSend(MSG_DEADCLIENT, 0, {m.bytes[0], 1});
            } else {
                rest.push_back(m);
            }
        }
        got = rest;
    }
    template <class F> bool Until(F done, int passes = 2000) {
        for (int i = 0; i < passes; i++) {
            Decode();
            if (done()) return true;
            Pass();
        }
        Decode();
        return done();
    }
    // Sends everything, pumping while the socket is full.
    void SendAll(int s, const std::vector<uint8_t>& bytes) {
        size_t off = 0;
        Until([&] {
            ssize_t n = write(s, bytes.data() + off, bytes.size() - off);
            if (n > 0) off += static_cast<size_t>(n);
            return off == bytes.size();
        }, 100000);
        ASSERT_EQ(off, bytes.size());
    }
    bool Reaches(int id, const std::vector<uint8_t>& want) {
        return Until([&] { return DecoderOf(id).bytes.size() >= want.size(); }) && DecoderOf(id).bytes == want;
    }
};

// Length fields 0 and 1 mean one word, 2 a word of data, 65535 the longest request a client can
// write without the extended form: each reaches the X server whole and in its place.
TEST_F(Hostile, RequestLengthsReachTheServerWhole) {
    Start();
    int id;
    int s = Accepted(&id);
    std::vector<uint8_t> all;
    for (uint16_t len : {0, 1, 2, 65535, 1}) {
        auto r = Request(127, len, len > 1 ? 4u * len - 4 : 0, static_cast<uint8_t>(len));
        all.insert(all.end(), r.begin(), r.end());
        SendAll(s, r);
    }
    EXPECT_TRUE(Reaches(id, all)) << DecoderOf(id).bytes.size() << " of " << all.size();
    EXPECT_EQ(pRssGlobalData->running, 1);
}

// Set-ups that stop half-way or announce more authorization than a client ever sends: the relay
// forwards what came, drops the client when it hangs up, and goes on serving the others.
TEST_F(Hostile, TruncatedAndHugeSetups) {
    Start();
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"five bytes of header", {'B', 0, 0, 11, 0}},
        {"header only, huge authorization", SetupHeader(0xffff, 0xffff)},
        {"huge authorization, part of it", [] {
             auto h = SetupHeader(0xfffe, 0xffff);
             h.resize(h.size() + 5000, 'a');
             return h;
         }()},
        {"nothing at all", {}},
    };
    int fds = OpenFds();
    for (const auto& c : cases) {
        int s = Connect();
        if (!c.bytes.empty()) SendAll(s, c.bytes);
        Pump(10);
        close(s);
        clients.pop_back();
        EXPECT_TRUE(Until([&] { return lstCount(&pRssDispData->clientRecList) == 0; })) << c.what;
    }
    EXPECT_EQ(OpenFds(), fds);
    Take(MSG_CONNECT);
    int id;
    int s = Accepted(&id);
    auto r = Request(127, 2, 4, 9);
    SendAll(s, r);
    EXPECT_TRUE(Reaches(id, r));
}

// A client that sends every request there is and reads nothing, while the terminal floods it with
// events: the relay keeps what it cannot write, and a second client is served all the while.
TEST_F(Hostile, ClientThatNeverReads) {
    Start();
    int idA, idB;
    int a = Accepted(&idA);
    int b = Accepted(&idB);
    int small = 4096;
    setsockopt(a, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(ClientOf(idA)->sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::vector<uint8_t> sentA;
    ClientRec* ca = ClientOf(idA);
    for (uint16_t i = 1; i <= 20000 && ClientHeldBytes(ca) == 0; i++) {
        auto r = Request(127, 2, 4, static_cast<uint8_t>(i));
        sentA.insert(sentA.end(), r.begin(), r.end());
        TermSend(MSG_XDATA, static_cast<uint8_t>(idA), Event(i, 1));
        if (i % 10 == 0) {
            SendAll(a, sentA);
            sentA.clear();
            Pump(2);
        }
    }
    ASSERT_GT(ClientHeldBytes(ca), 0u);
    auto r = Request(127, 3, 8, 42);
    SendAll(b, r);
    EXPECT_TRUE(Reaches(idB, r));
    TermSend(MSG_XDATA, static_cast<uint8_t>(idB), Event(5, 2));
    std::vector<uint8_t> gotB;
    EXPECT_TRUE(Until([&] {
        auto more = Recv(b);
        gotB.insert(gotB.end(), more.begin(), more.end());
        return gotB.size() >= 32;
    }));
    EXPECT_EQ(gotB, Event(5, 2));
    EXPECT_EQ(pRssGlobalData->running, 1);
}

// A thousand clients come and go (half with a full set-up and one request, half hanging up before
// their first byte): descriptors and heap return to their level, and the link ids are reused.
TEST_F(Hostile, ThousandConnectCyclesLeaveNothingBehind) {
    Start();
    auto cycle = [&](int i) {
        if (i % 2) {
            int s = Connect();
            Until([&] { return lstCount(&pRssDispData->clientRecList) == 1; });
            close(s);
        } else {
            int id;
            int s = Accepted(&id);
            Send(s, Request(127, 1, 0, 0));
            close(s);
        }
        clients.pop_back();
        ASSERT_TRUE(Until([&] { return lstCount(&pRssDispData->clientRecList) == 0; })) << "cycle " << i;
        got.clear();
        for (auto& [id, d] : decoded) std::vector<uint8_t>().swap(d.bytes);
    };
    // Settle lazily made state, and this test's own decoders for every link id in turn.
    for (int i = 0; i < 120; i++) cycle(i);
    int fds = OpenFds();
    size_t heap = HeapInUse();
    int freeBufs = lstCount(&pRssDaemonData->bufData.bufPool);
    for (int i = 0; i < 1000 && !HasFatalFailure(); i++) cycle(i);
    int fdsAfter = OpenFds();
    size_t heapAfter = HeapInUse();
    std::printf("descriptors %d -> %d, heap %zu -> %zu bytes, free buffers %d -> %d\n", fds, fdsAfter, heap,
                heapAfter, freeBufs, lstCount(&pRssDaemonData->bufData.bufPool));
    EXPECT_EQ(fdsAfter, fds);
    EXPECT_EQ(heapAfter, heap);
    EXPECT_EQ(lstCount(&pRssDaemonData->bufData.bufPool), freeBufs);
}

// All 52 link ids taken, then more clients knock: they are closed, the 52 all work, and when they
// leave everything they held is given back.
TEST_F(Hostile, FullHouseRefusesAndRecovers) {
    Start();
    int fds = OpenFds();
    size_t heap = 0;
    for (int round = 0; round < 2; round++) {
        std::vector<std::pair<int, int>> in;  // socket, link id
        for (int i = 0; i < 52; i++) {
            int id;
            int s = Accepted(&id);
            in.push_back({s, id});
        }
        for (int i = 0; i < 5; i++) {
            int extra = Connect();
            Pump(5);
            char c;
            fcntl(extra, F_SETFL, fcntl(extra, F_GETFL) & ~O_NONBLOCK);
            EXPECT_EQ(read(extra, &c, 1), 0);
            close(extra);
            clients.pop_back();
        }
        EXPECT_EQ(lstCount(&pRssDispData->clientRecList), 52);
        std::map<int, std::vector<uint8_t>> want;
        for (auto [s, id] : in) {
            want[id] = Request(127, 2, 4, static_cast<uint8_t>(id + round));
            Send(s, want[id]);
        }
        for (auto [s, id] : in) {
            EXPECT_TRUE(Reaches(id, want[id])) << "client " << id;
            DecoderOf(id).bytes.clear();
        }
        for (auto [s, id] : in) close(s);
        clients.clear();
        EXPECT_TRUE(Until([&] { return lstCount(&pRssDispData->clientRecList) == 0; }));
        Take(MSG_CONNECT);
        EXPECT_EQ(OpenFds(), fds);
        // The first round leaves the terminal-side decoders of this test and lazily made state.
        if (round == 0) heap = HeapInUse();
    }
    std::printf("heap after the first and the second full house: %zu -> %zu bytes\n", heap, HeapInUse());
    EXPECT_LE(HeapInUse(), heap + 4096);
}

// The pool runs dry while many clients write long requests: intake waits, and once buffers come
// back every client's requests reach the server whole and in order.
TEST_F(Hostile, PoolExhaustionLosesNothing) {
    Start();
    std::vector<std::pair<int, int>> cs;
    for (int i = 0; i < 8; i++) {
        int id;
        int s = Accepted(&id);
        cs.push_back({s, id});
    }
    BufData* pool = &pRssDaemonData->bufData;
    Lst held;
    lstInit(&held);
    while (lstCount(&pool->bufPool) > 3) lstAdd(&held, BufGet(pool));
    std::map<int, std::vector<uint8_t>> sent;
    for (auto [s, id] : cs) {
        for (int k = 0; k < 6; k++) {
            auto r = Request(static_cast<uint8_t>(k % 2 ? 127 : 70), static_cast<uint16_t>(40 + 30 * k),
                             static_cast<size_t>(4 * (40 + 30 * k) - 4), static_cast<uint8_t>(id + k));
            sent[id].insert(sent[id].end(), r.begin(), r.end());
        }
        Send(s, sent[id]);
    }
    Pump(200);
    EXPECT_EQ(pRssGlobalData->running, 1);
    BufListFree(pool, &held);
    for (auto [s, id] : cs)
        EXPECT_TRUE(Reaches(id, sent[id])) << "client " << id << ": " << DecoderOf(id).bytes.size() << " of "
                                           << sent[id].size();
}

// ---- the terminal end misbehaves ----

std::string RelayLogOf(const std::function<void()>& f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

// Messages about clients, files and shutdown phases that do not exist change nothing and stop
// nothing; a real client is served before and after.
TEST_F(Hostile, MessagesForThingsThatDoNotExist) {
    Start();
    int id;
    int s = Accepted(&id);
    const struct {
        uint8_t type, clientId;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {MSG_DEADCLIENT, 0, {40, 0}},  {MSG_DEADCLIENT, 0, {41, 1}},   {MSG_DEADCLIENT, 0, {42, 2}},
        {MSG_DEADCLIENT, 0, {63, 7}},  {MSG_DEADCLIENT, 0, {}},        {MSG_DEADCLIENT, 0, {9}},
        {MSG_FILEDATA, 0, {77, 'D'}},
        {MSG_FILEDATA, 0, {}},         {MSG_FILECLOSE, 0, {77, 'C'}},  {MSG_FILECLOSE, 0, {}},
        {MSG_XDATA, 44, {1, 2, 3}},    {MSG_CONNECT, 45, {1, 0, 0, 11}}, {MSG_XCACHED, 46, {0}},
        {13, 0, {1, 2}},               {MSG_FILEOPEN, 0, {}},          {MSG_FILEOPEN, 0, {200}},
    };
    std::string log = RelayLogOf([&] {
        for (const auto& c : cases) {
            TermSend(c.type, c.clientId, c.bytes);
            Pump(3);
        }
        Pump(10);
    });
    EXPECT_EQ(log.find("panic"), std::string::npos) << log;
    EXPECT_EQ(pRssGlobalData->running, 1) << log;
    EXPECT_EQ(ClientOf(id)->dead, 0);
    auto r = Request(127, 2, 4, 1);
    Send(s, r);
    EXPECT_TRUE(Reaches(id, r));
    std::printf("relay log for the unknown messages:\n%s", log.c_str());
}

// Files the terminal may name: only plain files are opened; a FIFO nobody writes must not hang the
// relay; a huge (sparse) file starts like any other.
TEST_F(Hostile, FileRequestsForUnusualFiles) {
    Start();
    std::string fifo = home + "/fifo", huge = home + "/huge", dir = home + "/dir";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    mkdir(dir.c_str(), 0755);
    {
        int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(ftruncate(fd, 5LL << 30), 0);
        close(fd);
    }
    const struct {
        std::string path;
        uint8_t answer;
    } cases[] = {
        {fifo, 'N'}, {dir, 'N'}, {"/dev/tty", 'N'}, {"/dev/urandom", 'N'}, {"/proc/self/fd", 'N'},
        {home + "/missing/x", 'N'}, {huge + "/x", 'N'}, {huge, 'F'}, {"", 'N'},
    };
    uint8_t fid = 10;
    for (const auto& c : cases) {
        std::vector<uint8_t> m = {fid, 'O'};
        m.insert(m.end(), c.path.begin(), c.path.end());
        m.push_back(0);
        TermSend(MSG_FILEOPEN, 0, m);
        std::vector<TermMsg> replies;
        ASSERT_TRUE(Until([&] {
            for (auto& g : Take(MSG_FILEDATA)) replies.push_back(g);
            return !replies.empty();
        })) << c.path;
        ASSERT_GE(replies[0].bytes.size(), 2u) << c.path;
        EXPECT_EQ(replies[0].bytes[0], fid) << c.path;
        EXPECT_EQ(replies[0].bytes[1], c.answer) << c.path;
        if (c.answer == 'F') {
            EXPECT_EQ(replies[0].bytes.size(), 2u + RSS_FILE_PIECE);
            TermSend(MSG_FILECLOSE, 0, {fid, 'C'});
            Pump(5);
        }
        fid++;
    }
    Pump(5);
    Take(MSG_FILECLOSE);
    EXPECT_EQ(rssCountFileRecs(), 0);
    EXPECT_EQ(pRssGlobalData->running, 1);
}

// Messages for two clients merged into one packet, switching client twice (A, B, A): each client
// gets its own bytes, in order.
TEST_F(Hostile, MergedMessagesWithTwoClientSwitches) {
    Start();
    int idA, idB;
    int a = Accepted(&idA);
    int b = Accepted(&idB);
    for (int round = 0; round < 3; round++) {
        const std::vector<std::pair<int, std::vector<uint8_t>>> msgs = {
            {idA, Event(static_cast<uint16_t>(3 * round + 1), 0)},
            {idB, Event(static_cast<uint16_t>(3 * round + 2), 0)},
            {idA, Event(static_cast<uint16_t>(3 * round + 3), 0)},
        };
        for (auto& [id, bytes] : msgs) {
            Buf* m = BufGet(&termBufs);
            m->type = MSG_XDATA;
            m->clientId = static_cast<uint8_t>(id);
            std::memcpy(m->end, bytes.data(), bytes.size());
            m->end += bytes.size();
            lstAdd(&termOut, m);
        }
        TransWrite(&term, &termOut);  // one write: the transport merges them
        std::vector<uint8_t> ra, rb;
        EXPECT_TRUE(Until([&] {
            auto x = Recv(a), y = Recv(b);
            ra.insert(ra.end(), x.begin(), x.end());
            rb.insert(rb.end(), y.begin(), y.end());
            return ra.size() >= 64 && rb.size() >= 32;
        }));
        std::vector<uint8_t> wantA = msgs[0].second;
        wantA.insert(wantA.end(), msgs[2].second.begin(), msgs[2].second.end());
        EXPECT_EQ(ra, wantA) << "round " << round;
        EXPECT_EQ(rb, msgs[1].second) << "round " << round;
    }
}

// Replies whose length fields do not match the bytes that come: every byte the terminal sends for
// the client reaches it (the client's own library sorts it out), and nothing else stops.
TEST_F(Hostile, RepliesWhoseLengthsDoNotAddUp) {
    Start();
    int idA, idB;
    int a = Accepted(&idA);
    int b = Accepted(&idB);
    auto reply = [](uint32_t words, size_t actual) {
        std::vector<uint8_t> r(actual, 0x5a);
        if (actual >= 8) {
            r[0] = 1;
            r[4] = static_cast<uint8_t>(words >> 24);
            r[5] = static_cast<uint8_t>(words >> 16);
            r[6] = static_cast<uint8_t>(words >> 8);
            r[7] = static_cast<uint8_t>(words);
        }
        return r;
    };
    const std::vector<std::vector<uint8_t>> msgs = {
        reply(100, 32), reply(0, 200), reply(0xffffffffu, 40), reply(0x40000000u, 32), reply(0, 5), {},
        Event(9, 3),    reply(1, 36),
    };
    std::vector<uint8_t> want;
    std::string log = RelayLogOf([&] {
        for (auto& m : msgs) {
            if (!m.empty() && m.size() <= 250) want.insert(want.end(), m.begin(), m.end());
            if (m.size() <= 250) TermSend(MSG_XDATA, static_cast<uint8_t>(idA), m);
            Pump(2);
        }
    });
    std::vector<uint8_t> ra;
    Until([&] {
        auto x = Recv(a);
        ra.insert(ra.end(), x.begin(), x.end());
        return ra.size() >= want.size();
    });
    Pump(10);
    auto x = Recv(a);
    ra.insert(ra.end(), x.begin(), x.end());
    EXPECT_EQ(ra, want) << log;
    TermSend(MSG_XDATA, static_cast<uint8_t>(idB), Event(1, 1));
    std::vector<uint8_t> rb;
    EXPECT_TRUE(Until([&] {
        auto y = Recv(b);
        rb.insert(rb.end(), y.begin(), y.end());
        return rb.size() >= 32;
    }));
    EXPECT_EQ(rb, Event(1, 1));
    EXPECT_EQ(log.find("panic"), std::string::npos) << log;
}

}  // namespace
