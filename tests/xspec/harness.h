// Two ends of the X encodings in one process: the host (client requests in, server messages out)
// and the terminal (requests out to its X server, server messages in), joined by two simulated
// one-way lines that carry whole link messages in order. Each end has its own pool, caches and
// clock. Everything is driven by one seeded generator, so every run is reproducible.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <deque>
#include <map>
#include <random>
#include <vector>

#include "relay/xspec/xspec.h"

namespace xh {

using Bytes = std::vector<uint8_t>;

// A snapshot of the ImageText8 and Poly state that both ends must agree on.
struct Mirror {
    uint8_t templates[3][20];
    uint8_t lastText[16];
    uint8_t lastTextValid;
    uint32_t textGc, cursorGc;
    uint8_t lastPolyHeader[12];
    uint16_t caches[4][28];
    static Mirror Of(const XspecState* s) {
        Mirror m;
        std::memcpy(m.templates, s->templates, sizeof m.templates);
        std::memcpy(m.lastText, s->lastText, sizeof m.lastText);
        m.lastTextValid = s->lastTextValid;
        m.textGc = s->textGc;
        m.cursorGc = s->cursorGc;
        std::memcpy(m.lastPolyHeader, s->lastPolyHeader, 12);
        std::memcpy(m.caches[0], s->lineCache, 56);
        std::memcpy(m.caches[1], s->rectPosCache, 56);
        std::memcpy(m.caches[2], s->rectSizeCache, 56);
        std::memcpy(m.caches[3], s->segCache, 56);
        return m;
    }
    bool TextEq(const Mirror& o) const {
        return std::memcmp(templates, o.templates, sizeof templates) == 0 &&
               std::memcmp(lastText, o.lastText, sizeof lastText) == 0 && lastTextValid == o.lastTextValid &&
               textGc == o.textGc && cursorGc == o.cursorGc;
    }
    bool operator==(const Mirror& o) const {
        return TextEq(o) && std::memcmp(lastPolyHeader, o.lastPolyHeader, 12) == 0 &&
               std::memcmp(caches, o.caches, sizeof caches) == 0;
    }
};

struct End {
    BufData pool{};
    XspecMsgCache cache{};
    XspecEnv env{};
    VirtualClock vclock{};
    Clock clock{};
    int version = 1, level = 3, focus = 0;
    std::vector<Buf*> hogged;
    End(uint8_t order = 'B') {
        BufInit(&pool);
        clock = vclock.AsClock();
        env.pBufData = &pool;
        env.xspecCache = &cache;
        env.clock = &clock;
        env.hostByteOrder = order;
        env.pRemoteVersion = &version;
        env.pRemoteLevel = &level;
        env.pFocusClient = &focus;
    }
    ~End() {
        Release();
        BufDestroy(&pool);
    }
    void Hog(size_t leave) {  // takes buffers until `leave` remain
        while (BufPoolCount(&pool) > static_cast<int>(leave)) hogged.push_back(BufGet(&pool));
    }
    void Release() {
        for (Buf* b : hogged) BufFree(&pool, b);
        hogged.clear();
    }
};

struct LineMsg {
    uint8_t type;
    int clientId;
    Bytes data;
    bool hasMirror = false;
    Mirror mirror{};
};

inline Bytes Take(End& e, Lst* l) {  // empties a queue into bytes
    Bytes out;
    while (Buf* b = lstGetT<Buf>(l)) {
        out.insert(out.end(), b->start, b->end);
        BufFree(&e.pool, b);
    }
    return out;
}

// Appends bytes to a queue in buffers holding the given chunk sizes (at most 256 each).
// Returns the number of bytes queued (fewer when the pool runs dry).
inline size_t Put(End& e, Lst* l, const uint8_t* p, size_t n, size_t chunk, uint8_t type, int id) {
    size_t done = 0;
    while (done < n) {
        Buf* b = BufGet(&e.pool);
        if (!b) break;
        size_t k = std::min({chunk, n - done, size_t{256}});
        std::memcpy(b->end, p + done, k);
        b->end += k;
        b->type = type;
        b->clientId = static_cast<uint8_t>(id);
        lstAdd(l, b);
        done += k;
    }
    return done;
}

struct Client {
    ClientRec h{}, t{};
    Bytes reqs, reqsGot;         // client requests and what the terminal's server received
    size_t reqFed = 0;           // bytes of reqs queued at the host so far
    std::vector<size_t> reqBounds;  // request boundaries (for request-aligned feeding)
    Bytes srv, srvGot;           // server messages and what the client received
    size_t srvFed = 0;
    bool hold = false;
};

struct Pair {
    End host, term;
    std::map<int, Client> clients;
    std::deque<LineMsg> down, up;  // host->terminal, terminal->host
    std::mt19937 rng;
    bool alignRequests = false;  // feed requests one per buffer start, as request intake does
    int maxChunk = 256;
    size_t fixedChunk = 0;  // when set, every request buffer holds this many bytes
    int mirrorChecks = 0;
    bool hogging = false;

    explicit Pair(uint32_t seed, uint8_t hostOrder = 'B') : host(hostOrder), term(hostOrder), rng(seed) {}
    ~Pair() {
        host.Release();
        term.Release();
        for (auto& [id, c] : clients) {
            for (End* e : {&host, &term}) {
                ClientRec* r = e == &host ? &c.h : &c.t;
                for (Lst* l : {r->reqList, r->encList, r->replyInList, r->replyOutList}) BufListFree(&e->pool, l);
                XspecFree(r->xspec);
            }
        }
        for (auto& m : down) (void)m;
    }
    Client& Add(int id, uint8_t order) {
        Client& c = clients[id];
        for (ClientRec* r : {&c.h, &c.t}) {
            ClientRecInitQueues(r);
            r->clientId = id;
            r->byteOrder = order;
        }
        EXPECT_EQ(XspecEncodeInit(&host.env, &c.h), 0);
        EXPECT_EQ(XspecEncodeInit(&term.env, &c.t), 0);
        return c;
    }
    int R(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }

    void FeedRequests(int id, Client& c) {
        if (c.reqFed >= c.reqs.size()) return;
        size_t chunk = fixedChunk ? fixedChunk : 1 + R(maxChunk);
        if (alignRequests) {  // up to the next request boundary, at most 256
            auto it = std::upper_bound(c.reqBounds.begin(), c.reqBounds.end(), c.reqFed);
            size_t end = it == c.reqBounds.end() ? c.reqs.size() : *it;
            chunk = std::min<size_t>(end - c.reqFed, 256);
        }
        c.reqFed += Put(host, c.h.reqList, c.reqs.data() + c.reqFed, std::min(chunk, c.reqs.size() - c.reqFed), chunk,
                        0, id);
    }
    void FeedServer(int id, Client& c) {
        if (c.srvFed >= c.srv.size()) return;
        size_t chunk = 1 + R(maxChunk);
        c.srvFed += Put(term, c.t.reqList, c.srv.data() + c.srvFed, std::min(chunk, c.srv.size() - c.srvFed), chunk,
                        0, id);
    }
    static void Ship(End& e, Lst* enc, std::deque<LineMsg>& line, const XspecState* snap) {
        size_t before = line.size();
        while (Buf* b = lstGetT<Buf>(enc)) {
            LineMsg m;
            m.type = b->type;
            m.clientId = b->clientId;
            m.data.assign(b->start, b->end);
            line.push_back(std::move(m));
            BufFree(&e.pool, b);
        }
        if (snap && line.size() > before) {
            line.back().hasMirror = true;
            line.back().mirror = Mirror::Of(snap);
        }
    }
    // Delivers one message from a line to the receiving end; false when it cannot take it now.
    bool Deliver(std::deque<LineMsg>& line, End& e, bool toTerm) {
        if (line.empty()) return false;
        LineMsg& m = line.front();
        Client& c = clients.at(m.clientId);
        ClientRec* r = toTerm ? &c.t : &c.h;
        Buf* b = BufGet(&e.pool);
        if (!b) return false;
        std::memcpy(b->end, m.data.data(), m.data.size());
        b->end += m.data.size();
        b->type = m.type;
        b->clientId = static_cast<uint8_t>(m.clientId);
        lstAdd(r->replyInList, b);
        if (toTerm)
            XspecTermDecode(&e.env, r);
        else
            XspecDecode(&e.env, r);
        if (toTerm && getenv("XH_TRACE")) {
            size_t have = c.reqsGot.size() + BufGetListByteLen(r->replyOutList);
            fprintf(stderr, "c%d t%d out=%zu in=%d:%s\n", m.clientId, m.type, have, lstCount(r->replyInList),
                    Hex(m.data, 0, 24).c_str());
        }
        if (toTerm && m.hasMirror && lstCount(r->replyInList) == 0) {
            EXPECT_TRUE(m.mirror.TextEq(Mirror::Of(r->xspec))) << "terminal templates parted from the host's, client " << m.clientId;
            mirrorChecks++;
        }
        line.pop_front();
        return true;
    }
    void Drain() {
        for (auto& [id, c] : clients) {
            Bytes a = Take(term, c.t.replyOutList);
            c.reqsGot.insert(c.reqsGot.end(), a.begin(), a.end());
            Bytes b = Take(host, c.h.replyOutList);
            c.srvGot.insert(c.srvGot.end(), b.begin(), b.end());
        }
    }
    bool Busy() {
        if (!down.empty() || !up.empty()) return true;
        for (auto& [id, c] : clients) {
            if (c.reqFed < c.reqs.size() || c.srvFed < c.srv.size() || c.hold) return true;
            for (ClientRec* r : {&c.h, &c.t})
                for (Lst* l : {r->reqList, r->encList, r->replyInList, r->replyOutList})
                    if (lstCount(l)) return true;
        }
        return false;
    }
    void Step() {
        std::vector<int> ids;
        for (auto& [id, c] : clients) ids.push_back(id);
        int id = ids[R(static_cast<int>(ids.size()))];
        Client& c = clients.at(id);
        switch (R(6)) {
            case 0:
                FeedRequests(id, c);
                [[fallthrough]];
            case 1: {
                size_t q0 = BufGetListByteLen(c.h.reqList);
                int res = XspecEncode(&host.env, &c.h);
                if (getenv("XH_TRACE")) {
                    fprintf(stderr, "enc c%d consumed=%zu at=%zu res=%d bufs:", id, q0 - BufGetListByteLen(c.h.reqList),
                            c.reqFed - BufGetListByteLen(c.h.reqList), res);
                    for (Buf* b = lstFirstT<Buf>(c.h.reqList); b; b = b->next) fprintf(stderr, " %zu", b->Len());
                    fprintf(stderr, "\n");
                }
                c.hold = res != 0;
                Ship(host, c.h.encList, down, c.h.xspec);
                break;
            }
            case 2:
                FeedServer(id, c);
                XspecTermEncode(&term.env, &c.t);
                Ship(term, c.t.encList, up, nullptr);
                break;
            case 3:
                for (int k = R(4); k >= 0 && Deliver(down, term, true); k--) {
                }
                break;
            case 4:
                for (int k = R(4); k >= 0 && Deliver(up, host, false); k--) {
                }
                break;
            default:
                for (auto& [i, cc] : clients) {  // stalled decoders try again (the relay's backlog pass)
                    XspecTermDecode(&term.env, &cc.t);
                    XspecDecode(&host.env, &cc.h);
                }
                Drain();
                if (hogging) {
                    if (R(3) == 0) {
                        host.Release();
                        term.Release();
                    } else if (R(4) == 0) {
                        (R(2) ? host : term).Hog(static_cast<size_t>(R(6)));
                    }
                }
                break;
        }
    }
    // Runs until everything has crossed; false when it gets stuck.
    bool Run(int maxSteps = 2000000) {
        for (int i = 0; i < maxSteps; i++) {
            if (!Busy()) return true;
            Step();
            if (i % 5000 == 4999) {  // hogs never stay for ever
                host.Release();
                term.Release();
            }
        }
        host.Release();
        term.Release();
        return !Busy();
    }
    static std::string Hex(const Bytes& b, size_t from, size_t to) {
        std::string s;
        char t[4];
        for (size_t i = from; i < to && i < b.size(); i++) {
            std::snprintf(t, sizeof t, " %02x", b[i]);
            s += t;
        }
        return s;
    }
    static void ExpectSame(const Bytes& got, const Bytes& want, const std::vector<size_t>* bounds, const char* what,
                           int id) {
        if (got == want) return;
        size_t i = 0;
        while (i < got.size() && i < want.size() && got[i] == want[i]) i++;
        size_t start = 0, prev = 0;
        if (bounds)
            for (size_t b : *bounds)
                if (b <= i) prev = start, start = b;
        ADD_FAILURE() << what << " of client " << id << " differ at byte " << i << " (got " << got.size()
                      << ", want " << want.size() << "); the unit there starts at " << start << " with opcode "
                      << int(start < want.size() ? want[start] : -1) << "\n want:" << Hex(want, prev, i + 8)
                      << "\n got: " << Hex(got, prev, i + 8);
    }
    void ExpectInStep() {
        EXPECT_EQ(std::memcmp(host.cache.reqStore, term.cache.reqStore, sizeof host.cache.reqStore), 0);
        EXPECT_EQ(host.cache.reqNext, term.cache.reqNext);
        EXPECT_EQ(host.cache.reqFull, term.cache.reqFull);
        EXPECT_EQ(std::memcmp(host.cache.replyStore, term.cache.replyStore, sizeof host.cache.replyStore), 0);
        EXPECT_EQ(host.cache.replyNext, term.cache.replyNext);
        EXPECT_EQ(host.cache.replyFull, term.cache.replyFull);
        for (auto& [id, c] : clients) {
            EXPECT_TRUE(Mirror::Of(c.h.xspec) == Mirror::Of(c.t.xspec)) << "client " << id;
            ExpectSame(c.reqsGot, c.reqs, &c.reqBounds, "requests", id);
            ExpectSame(c.srvGot, c.srv, nullptr, "server messages", id);
        }
    }
};

// ---- X traffic of both byte orders ----

struct Gen {
    std::mt19937& rng;
    bool little;
    int R(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
    void P16(Bytes& b, uint16_t v) {
        uint8_t t[2];
        XspecStore16(t, v, little);
        b.insert(b.end(), t, t + 2);
    }
    void P32(Bytes& b, uint32_t v) {
        for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(little ? v >> (8 * i) : v >> (24 - 8 * i)));
    }
    // A plain request of `size` bytes (a multiple of 4); similar requests share most bytes.
    Bytes Plain(int size, uint8_t op = 0) {
        static const uint8_t ops[] = {1, 2, 8, 12, 14, 20, 38, 43, 53, 55, 56, 60, 61, 62, 64, 69, 72, 98};
        Bytes b;
        b.push_back(op ? op : ops[R(sizeof ops)]);
        b.push_back(static_cast<uint8_t>(R(3)));
        P16(b, static_cast<uint16_t>(size / 4));
        for (int i = 4; i < size; i++) b.push_back(static_cast<uint8_t>(R(4) ? (i * 7) & 0xff : R(256)));
        return b;
    }
    Bytes Text(uint32_t d, uint32_t gc, uint16_t x, uint16_t y, const Bytes& chars) {
        Bytes b{X_IMAGE_TEXT8, static_cast<uint8_t>(chars.size())};
        P16(b, static_cast<uint16_t>((16 + chars.size() + 3) / 4));
        P32(b, d);
        P32(b, gc);
        P16(b, x);
        P16(b, y);
        b.insert(b.end(), chars.begin(), chars.end());
        while (b.size() % 4) b.push_back(0);
        return b;
    }
    // n elements of 2 (PolyLine) or 4 (the others) 16-bit numbers, near each other or far apart.
    Bytes Poly(uint8_t op, int n, uint32_t d, uint32_t gc) {
        const int words = op == 65 ? 2 : 4;
        Bytes b{op, static_cast<uint8_t>(op == 65 ? R(2) : 0)};
        P16(b, static_cast<uint16_t>(3 + n * words / 2));
        P32(b, d);
        P32(b, gc);
        int spread = 1 << R(12);
        uint16_t base[4] = {static_cast<uint16_t>(R(800)), static_cast<uint16_t>(R(600)), static_cast<uint16_t>(R(60)),
                            static_cast<uint16_t>(R(60))};
        for (int i = 0; i < n; i++)
            for (int w = 0; w < words; w++) {
                base[w] = static_cast<uint16_t>(base[w] + R(2 * spread + 1) - spread);
                P16(b, base[w]);
            }
        return b;
    }
    Bytes Event(uint8_t code, int seq) {
        Bytes b{code, static_cast<uint8_t>(R(4))};
        P16(b, static_cast<uint16_t>(seq));
        for (int i = 4; i < 32; i++) b.push_back(static_cast<uint8_t>(R(3) ? i : R(256)));
        return b;
    }
    Bytes Reply(int extraWords, int seq) {
        Bytes b{1, static_cast<uint8_t>(R(4))};
        P16(b, static_cast<uint16_t>(seq));
        P32(b, static_cast<uint32_t>(extraWords));
        for (int i = 8; i < 32 + 4 * extraWords; i++) b.push_back(static_cast<uint8_t>(R(3) ? i : R(256)));
        return b;
    }
};

}  // namespace xh
