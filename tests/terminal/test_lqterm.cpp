// lqterm's own reading of the X protocol, the line test echo and the command line.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "relay/link/dialog.h"
#include "relay/xspec/xanswer.h"
#include "terminal/lqterm.h"
#include "terminal/storeterm.h"
#include "terminal/xside.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The terminal's record with its pool, its link end (no line), its output queue and its X coder's
// context (host little-endian). FreeTermData undoes it.
TermData* NewTermData() {
    TermData* t = new TermData;
    if (BufInit(&t->bufData) != 0) {
        delete t;
        return nullptr;
    }
    LinkSetDefaults(&t->link, LINK_TERMINAL, &t->bufData, Clock{});
    if (TransInit(&t->link) != 0) {
        BufDestroy(&t->bufData);
        delete t;
        return nullptr;
    }
    lstInit(&t->outList);
    t->xspecEnv.pBufData = &t->bufData;
    t->xspecEnv.xspecCache = &t->xspecCache;
    t->xspecEnv.hostByteOrder = 'l';
    return t;
}

void FreeTermData(TermData* t) {
    BufListFree(&t->bufData, &t->outList);
    LinkDestroy(&t->link);
    BufDestroy(&t->bufData);
    delete t;
}

Bytes Msg(uint8_t type, uint32_t len, bool little) {
    Bytes m(32, 0);
    m[0] = type;
    for (int i = 0; i < 4; i++) m[4 + (little ? i : 3 - i)] = static_cast<uint8_t>(len >> (8 * i));
    return m;
}

Bytes QueryExtension(const std::string& name, bool little) {
    Bytes r(8 + ((name.size() + 3) & ~size_t(3)), 0);
    r[0] = X_QUERY_EXTENSION;
    uint16_t words = static_cast<uint16_t>(r.size() / 4), n = static_cast<uint16_t>(name.size());
    r[little ? 2 : 3] = static_cast<uint8_t>(words);
    r[little ? 4 : 5] = static_cast<uint8_t>(n);
    std::memcpy(&r[8], name.data(), name.size());
    return r;
}

TEST(HiddenExtensions, QueryExtensionIsRewrittenOnlyForHiddenNames) {
    struct Case {
        const char* name;
        int rc;
        const char* sent;
    } cases[] = {{"BIG-REQUESTS", 1, "big-requests"}, {"MIT-SHM", 1, "mit-shm"}, {"RENDER", 0, "RENDER"},
                 {"MIT-SHMX", 0, "MIT-SHMX"}, {"MIT-SH", 0, "MIT-SH"}};
    for (const Case& c : cases)
        for (bool little : {true, false}) {
            Bytes r = QueryExtension(c.name, little);
            EXPECT_EQ(TermHideQueryExtension(r.data(), r.size(), little), c.rc) << c.name;
            EXPECT_EQ(std::string(reinterpret_cast<char*>(&r[8]), std::strlen(c.name)), c.sent);
        }
    Bytes bad = QueryExtension("BIG-REQUESTS", true);
    bad[4] = 200;  // name longer than the request
    EXPECT_EQ(TermHideQueryExtension(bad.data(), bad.size(), true), -1);
    EXPECT_EQ(TermHideQueryExtension(bad.data(), 4, true), -1);
}

Bytes ListReply(const std::vector<std::string>& names, bool little) {
    Bytes r(32, 0);
    r[0] = 1;
    r[1] = static_cast<uint8_t>(names.size());
    for (auto& n : names) {
        r.push_back(static_cast<uint8_t>(n.size()));
        r.insert(r.end(), n.begin(), n.end());
    }
    while (r.size() % 4) r.push_back(0);
    uint32_t words = static_cast<uint32_t>((r.size() - 32) / 4);
    for (int i = 0; i < 4; i++) r[4 + (little ? i : 3 - i)] = static_cast<uint8_t>(words >> (8 * i));
    return r;
}

TEST(HiddenExtensions, ListExtensionsLosesHiddenNames) {
    for (bool little : {true, false}) {
        Bytes r = ListReply({"BIG-REQUESTS", "RENDER", "MIT-SHM", "XTEST"}, little);
        ASSERT_EQ(TermFilterListExtensions(&r, little), 0);
        EXPECT_EQ(r, ListReply({"RENDER", "XTEST"}, little));
        Bytes none = ListReply({"MIT-SHM"}, little);
        ASSERT_EQ(TermFilterListExtensions(&none, little), 0);
        EXPECT_EQ(none, ListReply({}, little));
    }
    Bytes lying = ListReply({"RENDER"}, true);
    lying[1] = 3;  // more names than bytes
    const Bytes before = lying;
    EXPECT_EQ(TermFilterListExtensions(&lying, true), -1);
    EXPECT_EQ(lying, before);
    Bytes shortReply(20, 1);
    EXPECT_EQ(TermFilterListExtensions(&shortReply, true), -1);
}

TEST(RequestStream, BoundariesSequenceNumbersAndRewrites) {
    TermClient c;
    c.rec.byteOrder = 'l';
    const Bytes qe = QueryExtension("MIT-SHM", true);
    const Bytes list = {X_LIST_EXTENSIONS, 0, 1, 0};
    const Bytes noop = {127, 0, 1, 0};
    Bytes stream = noop;
    stream.insert(stream.end(), qe.begin(), qe.end());
    stream.insert(stream.end(), list.begin(), list.end());
    // Byte by byte: a request may go once its header is whole, a QueryExtension once all of it is.
    const size_t qeEnd = 4 + qe.size();
    for (size_t i = 0; i < stream.size(); i++) {
        TermAppendRequests(&c, &stream[i], 1);
        const size_t n = i + 1;
        const size_t want = n < 4 ? 0 : n < qeEnd ? 4 : n < qeEnd + 4 ? qeEnd : n;
        EXPECT_EQ(c.parsed, want) << n;
    }
    EXPECT_EQ(c.seq, 3);
    EXPECT_EQ(c.listExtSeqs, std::vector<uint16_t>{3});
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&c.xout[12]), 7), "mit-shm");
}

TEST(EchoLine, EchoesBetweenTheMarksWithTheImitatedFaults) {
    struct Case {
        const char* name;
        int swallow;
        bool strip8;
        Bytes in, out;
    } cases[] = {
        {"plain", -1, false, {'x', 0x90, '~', 'T', 0x9c, 'y'}, {'~', 'T'}},
        {"0x90 inside a probe is data", -1, false, {0x90, 'A', 0x90, 'B', 0x9c}, {'A', 0x90, 'B'}},
        {"two probes", -1, false, {0x90, 'a', 0x9c, 0x90, 'b', 0x9c}, {'a', 'b'}},
        {"unfinished", -1, false, {0x90, 'a', 'b'}, {}},
        {"swallowed byte", 0x11, false, {0x90, 'T', 0x11, 'T', 0x31, 0x9c}, {'T', 'T', 0x31}},
        {"bit 7 cleared", -1, true, {0x90, 0x85, 'A', 0x9c}, {0x05, 'A'}},
    };
    for (const Case& c : cases) {
        TermEcho e;
        if (c.swallow >= 0) e.swallow[c.swallow] = 1;
        e.strip8 = c.strip8;
        Bytes out;
        TermEchoFeed(&e, c.in.data(), c.in.size(), &out);
        EXPECT_EQ(out, c.out) << c.name;
    }
}

TEST(CommandLine, OptionsAndRefusals) {
    auto parse = [](std::vector<const char*> args, TermOptions* o) {
        args.insert(args.begin(), "lqterm");
        return TermParseArgs(o, static_cast<int>(args.size()), const_cast<char**>(args.data()));
    };
    TermOptions o;
    ASSERT_EQ(parse({"-display", ":5", "-rate", "9600", "-errors", "0.001:7", "-latency", "20", "-level", "1",
                     "-fetch", "/etc/hosts", "h", "-noext", "--", "lqhostd", ":3"}, &o), 0);
    EXPECT_EQ(o.display, ":5");
    EXPECT_TRUE(o.noext);
    EXPECT_TRUE(o.simulate);
    EXPECT_EQ(o.sim.rate, 9600u);
    EXPECT_EQ(o.sim.latency, 20000u);
    EXPECT_EQ(o.sim.seed, 7u);
    EXPECT_EQ(o.level, 1);
    EXPECT_EQ(o.fetchRemote, "/etc/hosts");
    EXPECT_EQ(o.command.size(), 2u);
    const std::vector<std::vector<const char*>> bad = {
        {},                                     // neither line nor command
        {"-line", "/dev/ttyS0", "--", "x"},     // both
        {"-level", "4", "--", "x"},
        {"-level", "1.5", "--", "x"},
        {"-rate", "fast", "--", "x"},
        {"-errors", "2", "--", "x"},
        {"-swallow", "256", "-echo", "--", "x"},
        {"-fetch", "only-one"},
        {"-bogus", "--", "x"},
    };
    testing::internal::CaptureStderr();
    for (const auto& b : bad) {
        TermOptions x;
        EXPECT_EQ(parse(b, &x), -1) << (b.empty() ? "(none)" : b[0]);
    }
    testing::internal::GetCapturedStderr();
}

}  // namespace

namespace {

// Both ends read an empty MSG_SHUTDOWN as a request (the relay's side: Relay.EmptyShutdownIsARequest).
TEST(Dialogue, ShutdownPhasesAndTheEmptyMessage) {
    const struct {
        Bytes in;
        int answer;  // phase answered, -1 for none
        bool done;
    } cases[] = {{{}, DLG_ACK, false}, {{DLG_REQUEST}, DLG_ACK, false}, {{DLG_ACK}, DLG_FINAL, true}, {{DLG_FINAL}, -1, true}};
    for (const auto& c : cases) {
        TermData* t = NewTermData();
        ASSERT_NE(t, nullptr);
        lstInit(&t->inList);
        Buf* b = BufGet(&t->bufData);
        DlgMake(b, MSG_SHUTDOWN, c.in.data(), static_cast<int>(c.in.size()));
        lstAdd(&t->inList, b);
        TermDispatch(t);
        Buf* out = lstFirstT<Buf>(&t->outList);
        if (c.answer < 0) {
            EXPECT_EQ(out, nullptr) << c.in.size();
        } else {
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(out->type, MSG_SHUTDOWN);
            EXPECT_EQ(Bytes(out->start, out->end), Bytes{static_cast<uint8_t>(c.answer)});
        }
        EXPECT_EQ(t->done, c.done) << c.in.size();
        FreeTermData(t);
    }
}

// Only a client the relay vouched for gets our cookie; the others reach the server as they came.
TEST(Cookie, SetUpWithoutAuthorizationGetsOursOnlyWhenVouchedFor) {
    char dir[] = "/tmp/lqcookieXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/auth";
    ASSERT_EQ(std::system(("xauth -q -f " + file + " add $(hostname)/unix:7 MIT-MAGIC-COOKIE-1 " +
                           "00112233445566778899aabbccddeeff 2>/dev/null").c_str()), 0);
    setenv("XAUTHORITY", file.c_str(), 1);
    for (bool little : {true, false}) {
        TermClient c;
        c.rec.byteOrder = little ? 'l' : 'B';
        c.xout = {static_cast<uint8_t>(little ? 'l' : 'B'), 0, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(TermAddCookie(&c, ":7.0", false), -1);
        EXPECT_EQ(c.xout.size(), 12u);
        EXPECT_EQ(TermAddCookie(&c, ":7.0", true), 1);
        ASSERT_EQ(c.xout.size(), 12u + 20u + 16u);
        EXPECT_EQ(XspecLoad16(&c.xout[6], little), 18);
        EXPECT_EQ(XspecLoad16(&c.xout[8], little), 16);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(&c.xout[12]), 18), "MIT-MAGIC-COOKIE-1");
        EXPECT_EQ(c.xout[32], 0x00);
        EXPECT_EQ(c.xout[47], 0xff);
        TermClient other;  // a display we hold no cookie for
        other.rec.byteOrder = 'l';
        other.xout = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(TermAddCookie(&other, ":8", true), 0);
        EXPECT_EQ(other.xout.size(), 12u);
    }
    TermClient own;  // a client that brings its own authorization keeps it
    own.rec.byteOrder = 'l';
    own.xout = {'l', 0, 11, 0, 0, 0, 4, 0, 0, 0, 0, 0};
    EXPECT_EQ(TermAddCookie(&own, ":7", true), 0);
    EXPECT_EQ(own.xout.size(), 12u);
    unsetenv("XAUTHORITY");
    std::system(("rm -rf " + std::string(dir)).c_str());
}

}  // namespace

namespace {

// One end's pool, caches and a client record, for coding the X server's stream at the terminal and
// decoding it at the host.
struct EndOf {
    BufData pool{};
    XspecMsgCache cache{};
    XspecEnv env{};
    ClientRec client{};
    explicit EndOf(uint8_t order) {
        BufInit(&pool);
        env.pBufData = &pool;
        env.xspecCache = &cache;
        env.hostByteOrder = order;
        ClientRecInitQueues(&client);
        client.clientId = 5;
        client.byteOrder = 'l';
        XspecEncodeInit(&env, &client);
    }
    ~EndOf() {
        for (Lst* l : {client.reqList, client.encList, client.replyInList, client.replyOutList}) BufListFree(&pool, l);
        XspecFree(client.xspec);
        BufDestroy(&pool);
    }
};

// Client 5 of lqterm, little-endian, past its set-up reply; null when it cannot be made.
TermClient* ClientPastSetup(TermData* t) {
    TermClient* c = TermNewClient(t, 5);
    if (c) {
        c->rec.byteOrder = 'l';
        c->setupDone = true;
    }
    return c;
}

// What lqterm put on the link for the client, through the relay's decoder: the client's bytes.
// MSG_XSTORE records go to records, when given.
Bytes ThroughTheRelay(TermData* t, EndOf* host, std::vector<Bytes>* records = nullptr) {
    Bytes got;
    while (Buf* b = lstGetT<Buf>(&t->outList)) {  // the link carries each message as it is
        if (b->type == MSG_XSTORE && records) {
            records->emplace_back(b->start, b->end);
            BufFree(&t->bufData, b);
            continue;
        }
        Buf* h = BufGet(&host->pool);
        if (!h) break;
        h->type = b->type;
        h->clientId = b->clientId;
        std::memcpy(h->end, b->start, b->Len());
        h->end += b->Len();
        BufFree(&t->bufData, b);
        lstAdd(host->client.replyInList, h);
        XspecDecode(&host->env, &host->client);
    }
    while (Buf* r = lstGetT<Buf>(host->client.replyOutList)) {
        got.insert(got.end(), r->start, r->end);
        BufFree(&host->pool, r);
    }
    return got;
}

// Server messages coded by lqterm and decoded by the relay's own decoder reach the client whole and
// in order: events, replies long and short, GenericEvents (sized by their length field, which the
// relay does not read), and ListExtensions replies that lose the hidden names, one of them still
// longer than the encoder takes at once.
TEST(ServerStream, ReachesTheClientWholeThroughTheRelaysDecoder) {
    const bool little = true;
    auto event = [](uint8_t type, uint8_t v) {
        Bytes e(32, v);
        e[0] = type;
        return e;
    };
    auto withLen = [&](uint8_t type, uint16_t seq, uint32_t words, uint8_t v) {
        Bytes m = Msg(type, words, little);
        m[2] = static_cast<uint8_t>(seq);
        m.resize(32 + 4 * words, v);
        for (size_t i = 8; i < m.size(); i++) m[i] = static_cast<uint8_t>(v + i);
        return m;
    };
    std::vector<Bytes> msgs = {event(12, 1),          withLen(35, 0, 8, 3),  event(2, 4),
                               withLen(1, 1, 0, 5),   withLen(35 | 0x80, 0, 2, 6), withLen(1, 2, 300, 7),
                               event(12, 1),          withLen(35, 0, 56, 8), event(6, 9)};
    Bytes list = ListReply({"BIG-REQUESTS", "RENDER", "XTEST"}, little);
    list[2] = 3;
    msgs.push_back(list);
    Bytes filtered = ListReply({"RENDER", "XTEST"}, little);
    filtered[2] = 3;
    std::vector<std::string> many;
    for (int i = 0; i < 100; i++) many.push_back("EXTENSION-" + std::to_string(1000 + i));
    Bytes longFiltered = ListReply(many, little);
    longFiltered[2] = 4;
    many.insert(many.begin() + 50, "MIT-SHM");
    Bytes longList = ListReply(many, little);
    longList[2] = 4;
    msgs.push_back(longList);
    msgs.push_back(event(12, 2));
    std::vector<Bytes> wantEach = msgs;
    wantEach[wantEach.size() - 3] = filtered;
    wantEach[wantEach.size() - 2] = longFiltered;

    EndOf host('B');
    TermData* t = NewTermData();
    ASSERT_NE(t, nullptr);
    TermClient* c = ClientPastSetup(t);
    ASSERT_NE(c, nullptr);
    c->seq = 4;
    c->listExtSeqs = {3, 4};
    // Each message as the server sends it; the client must have it before the next one comes.
    Bytes got, want;
    for (size_t k = 0; k < msgs.size(); k++) {
        c->xin.insert(c->xin.end(), msgs[k].begin(), msgs[k].end());
        want.insert(want.end(), wantEach[k].begin(), wantEach[k].end());
        TermCodeServerBytes(t, c);
        const Bytes more = ThroughTheRelay(t, &host);
        got.insert(got.end(), more.begin(), more.end());
        EXPECT_TRUE(got == want) << "after message " << k << ": " << got.size() << " of " << want.size() << " bytes";
    }
    EXPECT_TRUE(c->xin.empty());
    TermFreeClient(t, c);
    FreeTermData(t);
}

// Answers made at the relay, quietly: the relay marks the AllocColor requests it answered (and
// clears what a client left in those bytes in the others), lqterm clears the marks before the X
// server sees them, keeps the server's replies to them off the line and accounts for them before
// the client's next message; the relay checks the account against its answers, and a reply that
// differed stops the answers. The client sees each reply once, in order.
TEST(QuietAnswers, MatchingRepliesStayOffTheLine) {
    const XAnswerColor red{{0xffff, 0, 0}, 0xff0000}, blue{{0, 0, 0xffff}, 0xff}, odd{{0, 0, 0xffff}, 0x1234};
    XAnswerTable table;
    table.server = 1;
    table.colors[0xffffull << 32] = red;
    XAnswerStream s;
    s.little = true;
    s.colormap = 0x20;
    s.quiet = true;
    auto alloc = [](uint16_t r, uint16_t g, uint16_t b) {
        Bytes q = {X_ALLOC_COLOR, 0, 4, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xef, 0xbe};  // the client's junk last
        q[8] = r & 0xff, q[9] = r >> 8, q[10] = g & 0xff, q[11] = g >> 8, q[12] = b & 0xff, q[13] = b >> 8;
        return q;
    };
    auto colorReply = [](uint16_t seq, const XAnswerColor& c) {
        Bytes m(32, 0);
        m[0] = 1, m[2] = static_cast<uint8_t>(seq);
        for (int i = 0; i < 3; i++) m[8 + 2 * i] = c.rgb[i] & 0xff, m[9 + 2 * i] = c.rgb[i] >> 8;
        for (int i = 0; i < 4; i++) m[16 + i] = static_cast<uint8_t>(c.pixel >> (8 * i));
        return m;
    };
    auto sink = [](void* ctx, const uint8_t* p, size_t n) {
        static_cast<Bytes*>(ctx)->insert(static_cast<Bytes*>(ctx)->end(), p, p + n);
        return true;
    };
    EndOf host('B');
    TermData* t = NewTermData();
    ASSERT_NE(t, nullptr);
    TermClient* c = ClientPastSetup(t);
    ASSERT_NE(c, nullptr);
    c->answerQuiet = true;
    Bytes client;
    // The relay's side of a request: answered or passed on, marked, and on to lqterm.
    auto request = [&](Bytes q) {
        const bool answered = XAnswerRequest(&s, &table, q.data(), q.size());
        XAnswerFlush(&s, sink, &client);
        TermAppendRequests(c, q.data(), q.size());
        return answered;
    };
    // The X server's message through lqterm and the link to the relay's client; its size there.
    auto relay = [&]() -> size_t {
        std::vector<Bytes> records;
        const Bytes crossed = ThroughTheRelay(t, &host, &records);
        for (const Bytes& r : records) {
            uint8_t id;
            uint32_t count;
            uint64_t hash;
            const bool read = XAnswerKeptRead(r.data(), r.size(), &id, &count, &hash) == 0;
            EXPECT_TRUE(read);
            EXPECT_EQ(id, 5);
            if (read) XAnswerKept(&s, &table, count, hash);
        }
        EXPECT_TRUE(XAnswerServer(&s, &table, crossed.data(), crossed.size(), sink, &client));
        return crossed.size();
    };
    auto server = [&](const Bytes& m) {
        c->xin.insert(c->xin.end(), m.begin(), m.end());
        TermCodeServerBytes(t, c);
        return relay();
    };
    EXPECT_TRUE(request(alloc(0xffff, 0, 0)));
    EXPECT_FALSE(request({43, 0, 1, 0}));  // GetInputFocus
    EXPECT_FALSE(request(alloc(0, 0, 0xffff)));  // waits behind it
    EXPECT_EQ(server(colorReply(1, red)), 0u);
    Bytes focus(32, 0);
    focus[0] = 1, focus[2] = 2;
    EXPECT_EQ(server(focus), 32u);
    EXPECT_EQ(server(colorReply(3, blue)), 32u);
    EXPECT_EQ(table.checked, 1u);  // reply 1, accounted for before the next
    EXPECT_EQ(table.wrong, 0u);
    EXPECT_TRUE(request(alloc(0, 0, 0xffff)));  // learnt from reply 3
    EXPECT_EQ(server(colorReply(4, odd)), 0u);  // kept, though it differs
    EXPECT_FALSE(table.off);
    TermSendKept(t, c);  // as when the client leaves
    relay();
    ASSERT_EQ(c->xout.size(), 16u * 3 + 4);
    for (size_t at : {size_t{0}, size_t{20}, size_t{36}}) {
        EXPECT_EQ(c->xout[at], X_ALLOC_COLOR);
        EXPECT_EQ(c->xout[at + 14] | c->xout[at + 15], 0) << "the X server got a mark at " << at;
    }
    const Bytes want[] = {colorReply(1, red), focus, colorReply(3, blue), colorReply(4, blue)};
    Bytes all;
    for (const Bytes& m : want) all.insert(all.end(), m.begin(), m.end());
    EXPECT_EQ(client, all);
    EXPECT_EQ(t->stats.answersKept, 2u);
    EXPECT_EQ(table.checked, 2u);
    EXPECT_EQ(table.wrong, 1u);
    EXPECT_TRUE(table.off);
    TermFreeClient(t, c);
    FreeTermData(t);
}

}  // namespace

namespace {

// An X server that resets as its last client leaves drops connections made meanwhile before it has
// said a word. lqterm dials such a connection once more and sends the set-up again; a second drop,
// or one after the server has answered, ends the client.
TEST(ServerDrop, AnUnansweredConnectionIsDialledOnceMore) {
    int lsn = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(lsn, 0);
    int display = -1;
    for (int n = 40; n < 100 && display < 0; n++) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(6000 + n));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(lsn, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) display = n;
    }
    ASSERT_GE(display, 0);
    ASSERT_EQ(listen(lsn, 4), 0);
    // Takes the next connection and the set-up on it.
    auto acceptSetUp = [&](Bytes* setUp) {
        int s = accept(lsn, nullptr, nullptr);
        setUp->assign(12, 0);
        size_t got = 0;
        while (s >= 0 && got < 12) {
            ssize_t k = read(s, setUp->data() + got, 12 - got);
            if (k <= 0) break;
            got += static_cast<size_t>(k);
        }
        return s;
    };
    auto waitReadable = [](int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 5000) == 1;
    };
    auto deadReported = [](TermData* t) {
        for (Buf* b = lstFirstT<Buf>(&t->outList); b; b = static_cast<Buf*>(lstNext(b)))
            if (b->type == MSG_DEADCLIENT) return true;
        return false;
    };
    const Bytes setUp = {'l', 0, 11, 0, 0, 0, 4, 0, 0, 0, 0, 0};  // brings its own (empty) cookie name

    for (int drops : {1, 2}) {
        SCOPED_TRACE(drops);
        TermData* t = NewTermData();
        ASSERT_NE(t, nullptr);
        t->opt.display = "127.0.0.1:" + std::to_string(display);
        Buf* first = BufGet(&t->bufData);
        first->type = MSG_CONNECT;
        first->clientId = 5;
        std::memcpy(first->end, setUp.data(), setUp.size());
        first->end += setUp.size();
        testing::internal::CaptureStderr();
        ASSERT_EQ(TermStartClient(t, 5, first), 0);
        TermClient* c = t->clients[5];
        int s = -1;
        for (int k = 0; k < drops; k++) {  // the server drops the connection unanswered
            ASSERT_EQ(TermXWrite(t, c), 0);
            Bytes heard;
            s = acceptSetUp(&heard);
            EXPECT_EQ(heard, setUp);
            close(s);
            ASSERT_TRUE(waitReadable(c->xfd));
            TermXRead(t, c);
        }
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("dropped client 5 unanswered"), std::string::npos);
        if (drops == 2) {
            EXPECT_EQ(c->xfd, -1);
            EXPECT_TRUE(deadReported(t));
        } else {
            ASSERT_GE(c->xfd, 0);
            EXPECT_FALSE(deadReported(t));
            ASSERT_EQ(TermXWrite(t, c), 0);  // the set-up again, on the new connection
            Bytes heard;
            s = acceptSetUp(&heard);
            EXPECT_EQ(heard, setUp);
            const uint8_t reply[8] = {1, 0, 11, 0, 0, 0, 0, 0};
            ASSERT_EQ(write(s, reply, sizeof reply), 8);
            ASSERT_TRUE(waitReadable(c->xfd));
            TermXRead(t, c);
            EXPECT_TRUE(c->setupDone);
            close(s);  // a drop after the server has answered ends the client at once
            ASSERT_TRUE(waitReadable(c->xfd));
            TermXRead(t, c);
            EXPECT_EQ(c->xfd, -1);
            EXPECT_TRUE(deadReported(t));
        }
        BufListFree(&t->bufData, &t->outList);
        TermFreeClient(t, c);
        FreeTermData(t);
    }
    close(lsn);
}

}  // namespace

namespace {

// An X server that stops reading one client's requests: the host is asked to hold that client's
// requests, and to send them again once the server has taken all. A client whose data the host
// holds leaves its server's replies in the server: nothing is read or coded for it meanwhile.
TEST(ClientHold, EachDirectionHoldsOnlyTheStuckClient) {
    TermData* t = NewTermData();
    ASSERT_NE(t, nullptr);
    int line[2], server[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, line), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, server), 0);
    for (int fd : line) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    LinkUseFd(&t->link, line[0]);
    // The host's end of the line: its start message sets the terminal's terms, and its per-client
    // commands reach the terminal as they would from the relay.
    BufData hostBufs{};
    ASSERT_EQ(BufInit(&hostBufs), 0);
    LinkEnd host{};
    LinkSetDefaults(&host, LINK_HOST, &hostBufs, Clock{});
    LinkUseFd(&host, line[1]);
    ASSERT_EQ(TransInit(&host), 0);
    ASSERT_EQ(TransStart(&host), 0);
    lstInit(&t->inList);
    TransRead(&t->link, &t->inList);
    ASSERT_EQ(LinkAgreedLevel(&t->link), 3);
    LinkSetRemoteVersion(&host, 'B', 1, 3);
    auto hostCommand = [&](bool hold) {
        if (hold)
            TransClientCloseWindow(&host, 5);
        else
            TransClientOpenWindow(&host, 5);
        TransWrite(&host, nullptr);
        TransRead(&t->link, &t->inList);
    };
    TermClient* c = TermNewClient(t, 5);
    ASSERT_NE(c, nullptr);
    c->rec.byteOrder = 'l';
    c->setupDone = true;
    c->xfd = server[0];
    fcntl(c->xfd, F_SETFL, fcntl(c->xfd, F_GETFL) | O_NONBLOCK);
    int small = 4096;
    setsockopt(c->xfd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const Bytes noop = {127, 0, 1, 0};
    Bytes reqs;
    for (int i = 0; i < 40000; i++) reqs.insert(reqs.end(), noop.begin(), noop.end());
    TermAppendRequests(c, reqs.data(), reqs.size());
    TermXWrite(t, c);
    ASSERT_GT(c->xout.size(), 64u * 1024) << "the X server took " << reqs.size() - c->xout.size();
    EXPECT_FALSE(TransIsClientRecvWindowOpen(&t->link, 5));
    Bytes got(reqs.size());
    size_t have = 0;
    for (int i = 0; i < 10000 && have < reqs.size(); i++) {
        ssize_t n = read(server[1], got.data() + have, got.size() - have);
        if (n > 0) have += static_cast<size_t>(n);
        TermXWrite(t, c);
    }
    EXPECT_EQ(have, reqs.size());
    EXPECT_TRUE(c->xout.empty());
    EXPECT_TRUE(TransIsClientRecvWindowOpen(&t->link, 5));

    // The host holds this client's data.
    Bytes event(32, 0);
    event[0] = 12;
    ASSERT_EQ(write(server[1], event.data(), event.size()), 32);
    EXPECT_TRUE(TermXWantsRead(t, c));
    hostCommand(true);
    EXPECT_FALSE(TermXWantsRead(t, c));
    c->xin = event;
    TermCodeServerBytes(t, c);
    EXPECT_EQ(c->xin.size(), 32u);
    EXPECT_EQ(lstCount(&t->outList), 0);
    hostCommand(false);
    TermCodeServerBytes(t, c);
    EXPECT_TRUE(c->xin.empty());
    EXPECT_GT(lstCount(&t->outList), 0);

    TermFreeClient(t, c);
    BufListFree(&t->bufData, &t->inList);
    FreeTermData(t);
    LinkDestroy(&host);
    BufDestroy(&hostBufs);
    for (int fd : {line[0], line[1], server[1]}) close(fd);
}

}  // namespace

namespace {

// What the terminal put on the link, one (type, bytes) a message.
std::vector<std::pair<uint8_t, Bytes>> Drain(TermData* t) {
    std::vector<std::pair<uint8_t, Bytes>> out;
    while (Buf* b = lstGetT<Buf>(&t->outList)) {
        out.emplace_back(b->type, Bytes(b->start, b->end));
        BufFree(&t->bufData, b);
    }
    return out;
}

}  // namespace

TEST(MessageStore, ARepeatedReplyGoesAsAReferenceAndAMissIsAnsweredFromTheStore) {
    TermData* t = NewTermData();
    ASSERT_NE(t, nullptr);
    t->storeOn = true;
    TermClient* c = TermNewClient(t, 6);
    ASSERT_NE(c, nullptr);
    c->rec.byteOrder = 'l';
    c->setupDone = true;
    auto reply = [](uint8_t seq) {
        Bytes m = Msg(1, 250, true);
        m[2] = seq;
        m.resize(32 + 4 * 250);
        for (size_t i = 32; i < m.size(); i++) m[i] = static_cast<uint8_t>(i * 5);
        return m;
    };
    auto send = [&](const Bytes& m) {
        c->xin.insert(c->xin.end(), m.begin(), m.end());
        TermCodeServerBytes(t, c);
        return Drain(t);
    };
    const Bytes first = reply(1), again = reply(2), event = Msg(12, 0, true);
    // Whole the first time (as the encoder's pieces), and then held by the store.
    Bytes whole;
    for (auto& [type, bytes] : send(first)) {
        EXPECT_EQ(type, MSG_XDATA);
        whole.insert(whole.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(whole, first);
    const XStoreKey key = XStoreKeyOf(first.data(), first.size());
    EXPECT_TRUE(XStoreHolds(&t->store, key));
    // A reference the second time, with its own sequence number, and what follows after it.
    Bytes both = again;
    both.insert(both.end(), event.begin(), event.end());
    auto out = send(both);
    ASSERT_EQ(out.size(), 2u);
    XStoreRef r;
    ASSERT_EQ(out[0].first, MSG_XSTORE);
    ASSERT_EQ(XStoreRefRead(out[0].second.data(), out[0].second.size(), &r), 0);
    EXPECT_EQ(r.kind, XSTORE_REF);
    EXPECT_EQ(r.clientId, 6);
    EXPECT_EQ(r.seq[0], 2);
    EXPECT_EQ(r.key, key);
    EXPECT_EQ(out[1].second, event);
    EXPECT_EQ(t->store.stats.hits, 1u);

    // The relay's misses: one the store holds comes back as its bytes, one it does not as lost.
    XStoreKey unknown = key;
    unknown.b ^= 1;
    for (const XStoreKey& k : {key, unknown}) {
        uint8_t m[XSTORE_REF_LEN];
        Buf* b = XspecNewBuf(&t->bufData, MSG_XSTORE, 0, m, XStoreRefWrite(XStoreRef{XSTORE_MISS, 6, {0, 0}, k}, m));
        ASSERT_NE(b, nullptr);
        TermStoreMessage(t, b);
    }
    Bytes data;
    int lost = 0;
    for (int pass = 0; pass < 10; pass++) {
        TermStorePump(t);
        for (auto& [type, bytes] : Drain(t)) {
            ASSERT_EQ(type, MSG_XSTORE);
            ASSERT_GE(bytes.size(), 2u);
            EXPECT_EQ(bytes[1], 6);
            if (bytes[0] == XSTORE_DATA) data.insert(data.end(), bytes.begin() + 2, bytes.end());
            if (bytes[0] == XSTORE_LOST) lost++;
        }
    }
    Bytes entry = first;
    entry[2] = entry[3] = 0;
    EXPECT_EQ(data, entry);
    EXPECT_EQ(lost, 1);

    // After our shutdown message the store stays as it is: a new reply goes whole and is not kept.
    TermStoreFreeze(t);
    Bytes other = reply(3);
    other[100] ^= 1;
    for (auto& [type, bytes] : send(other)) EXPECT_EQ(type, MSG_XDATA);
    EXPECT_EQ(t->store.entries.size(), 1u);
    TermFreeClient(t, c);
    FreeTermData(t);
}
