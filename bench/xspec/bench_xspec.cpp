// Encoder and decoder throughput (MB/s of X bytes) and encoded size against the raw size, on the
// recorded X traffic of real clients. Each benchmark also reports zlib on the same bytes, measured
// in the same run, as the baseline: `line_ratio` and `zlib_ratio` are sizes over the raw size,
// `time_vs_zlib` our time over zlib's.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "relay/xspec/xspec.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string CorpusDir() {
    const char* d = std::getenv("LQ_XCORPUS");
    return d ? d : LQ_XCORPUS_DIR;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct Conn {
    Bytes reqs, msgs;  // requests after the set-up; server messages after the set-up reply
    uint8_t order = 'l';
    bool ok = false;
};

Conn Load(const std::string& name) {
    Conn c;
    Bytes c2s = ReadFile(CorpusDir() + "/" + name + "/conn00.c2s");
    Bytes s2c = ReadFile(CorpusDir() + "/" + name + "/conn00.s2c");
    if (c2s.size() < 12 || s2c.size() < 8) return c;
    c.order = c2s[0];
    const bool little = c.order == 'l';
    auto pad = [](size_t n) { return (n + 3) & ~size_t{3}; };
    size_t setup = 12 + pad(XspecLoad16(&c2s[6], little)) + pad(XspecLoad16(&c2s[8], little));
    size_t reply = 8 + 4 * size_t{XspecLoad16(&s2c[6], little)};
    if (setup > c2s.size() || reply > s2c.size()) return c;
    c.reqs.assign(c2s.begin() + static_cast<long>(setup), c2s.end());
    c.msgs.assign(s2c.begin() + static_cast<long>(reply), s2c.end());
    c.ok = true;
    return c;
}

struct End {
    BufData pool{};
    XspecMsgCache cache{};
    XspecEnv env{};
    ClientRec c{};
    int version = 1, level = 3;
    explicit End(uint8_t order) {
        BufInit(&pool);
        env.pBufData = &pool;
        env.xspecCache = &cache;
        env.hostByteOrder = 'B';
        env.pRemoteVersion = &version;
        env.pRemoteLevel = &level;
        ClientRecInitQueues(&c);
        c.clientId = 5;
        c.byteOrder = order;
        XspecEncodeInit(&env, &c);
    }
    ~End() {
        for (Lst* l : {c.reqList, c.encList, c.replyInList, c.replyOutList}) BufListFree(&pool, l);
        XspecFree(c.xspec);
        BufDestroy(&pool);
    }
    void Put(Lst* l, const uint8_t* p, size_t n, uint8_t type) {
        while (n) {
            Buf* b = BufGet(&pool);
            size_t k = n < 256 ? n : 256;
            std::memcpy(b->end, p, k);
            b->end += k;
            b->type = type;
            b->clientId = 5;
            lstAdd(l, b);
            p += k;
            n -= k;
        }
    }
};

struct Msg {
    uint8_t type;
    Bytes data;
};

// Size of the X message or request at p (requests: length field, 0 counting as 4 bytes).
size_t UnitSize(const uint8_t* p, size_t left, bool little, bool request) {
    const size_t n = request ? XspecRequestSize(p, little) : (left >= 8 ? XspecLinkMessageSize(p, little) : 32);
    return n < left ? n : left;
}

// Host encoder over a request stream, one request at a time as request intake queues them.
size_t Encode(const Conn& conn, std::vector<Msg>* keep) {
    End e(conn.order);
    size_t out = 0;
    auto ship = [&] {
        while (Buf* b = lstGetT<Buf>(e.c.encList)) {
            out += b->Len();
            if (keep) keep->push_back({b->type, Bytes(b->start, b->end)});
            BufFree(&e.pool, b);
        }
    };
    const bool little = conn.order == 'l';
    for (size_t at = 0; at < conn.reqs.size();) {
        size_t n = UnitSize(&conn.reqs[at], conn.reqs.size() - at, little, true);
        e.Put(e.c.reqList, &conn.reqs[at], n, 0);
        at += n;
        XspecEncode(&e.env, &e.c);
        ship();
    }
    for (int i = 0; i < 8 && XspecEncode(&e.env, &e.c) != 0; i++) ship();  // the hold runs out
    ship();
    return out;
}

// Terminal decoder over the encoded messages.
size_t TermDecode(const Conn& conn, const std::vector<Msg>& msgs) {
    End e(conn.order);
    size_t out = 0;
    for (const Msg& m : msgs) {
        e.Put(e.c.replyInList, m.data.data(), m.data.size(), m.type);
        XspecTermDecode(&e.env, &e.c);
        out += BufGetListByteLen(e.c.replyOutList);
        BufListFree(&e.pool, e.c.replyOutList);
    }
    return out;
}

// Terminal encoder over the server's stream, one read at a time.
size_t TermEncode(const Conn& conn, std::vector<Msg>* keep) {
    End e(conn.order);
    size_t out = 0;
    const bool little = conn.order == 'l';
    for (size_t at = 0; at < conn.msgs.size();) {
        size_t n = UnitSize(&conn.msgs[at], conn.msgs.size() - at, little, false);
        e.Put(e.c.reqList, &conn.msgs[at], n, 0);
        at += n;
        XspecTermEncode(&e.env, &e.c);
        while (Buf* b = lstGetT<Buf>(e.c.encList)) {
            out += b->Len();
            if (keep) keep->push_back({b->type, Bytes(b->start, b->end)});
            BufFree(&e.pool, b);
        }
    }
    return out;
}

size_t HostDecode(const Conn& conn, const std::vector<Msg>& msgs) {
    End e(conn.order);
    size_t out = 0;
    for (const Msg& m : msgs) {
        e.Put(e.c.replyInList, m.data.data(), m.data.size(), m.type);
        XspecDecode(&e.env, &e.c);
        out += BufGetListByteLen(e.c.replyOutList);
        BufListFree(&e.pool, e.c.replyOutList);
    }
    return out;
}

// zlib on the same bytes: compressed size and seconds per pass.
std::pair<size_t, double> Zlib(const Bytes& raw) {
    uLongf n = compressBound(static_cast<uLong>(raw.size()));
    Bytes z(n);
    auto t0 = std::chrono::steady_clock::now();
    int passes = 0;
    do {
        n = static_cast<uLongf>(z.size());
        compress2(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()), 6);
        passes++;
    } while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(200));
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / passes;
    return {n, secs};
}

template <class F>
void Run(benchmark::State& state, const Bytes& raw, size_t lineBytes, F pass) {
    auto [zbytes, zsecs] = Zlib(raw);
    auto t0 = std::chrono::steady_clock::now();
    int64_t n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pass());
        n++;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / static_cast<double>(n);
    state.SetBytesProcessed(n * static_cast<int64_t>(raw.size()));
    state.counters["raw_bytes"] = static_cast<double>(raw.size());
    state.counters["line_ratio"] = static_cast<double>(lineBytes) / static_cast<double>(raw.size());
    state.counters["zlib_ratio"] = static_cast<double>(zbytes) / static_cast<double>(raw.size());
    state.counters["time_vs_zlib"] = secs / zsecs;
}

void BM_HostEncode(benchmark::State& state, const char* name) {
    Conn c = Load(name);
    if (!c.ok) return state.SkipWithError("corpus not found");
    size_t line = Encode(c, nullptr);
    Run(state, c.reqs, line, [&] { return Encode(c, nullptr); });
}

void BM_TermDecode(benchmark::State& state, const char* name) {
    Conn c = Load(name);
    if (!c.ok) return state.SkipWithError("corpus not found");
    std::vector<Msg> msgs;
    size_t line = Encode(c, &msgs);
    if (size_t got = TermDecode(c, msgs); got != c.reqs.size()) {
        std::fprintf(stderr, "%s: %zu of %zu\n", name, got, c.reqs.size());
        return state.SkipWithError("round trip lost bytes");
    }
    Run(state, c.reqs, line, [&] { return TermDecode(c, msgs); });
}

void BM_TermEncode(benchmark::State& state, const char* name) {
    Conn c = Load(name);
    if (!c.ok) return state.SkipWithError("corpus not found");
    size_t line = TermEncode(c, nullptr);
    Run(state, c.msgs, line, [&] { return TermEncode(c, nullptr); });
}

void BM_HostDecode(benchmark::State& state, const char* name) {
    Conn c = Load(name);
    if (!c.ok) return state.SkipWithError("corpus not found");
    std::vector<Msg> msgs;
    size_t line = TermEncode(c, &msgs);
    if (HostDecode(c, msgs) != c.msgs.size()) return state.SkipWithError("round trip lost bytes");
    Run(state, c.msgs, line, [&] { return HostDecode(c, msgs); });
}

#define CORPUS(F)                                                   \
    BENCHMARK_CAPTURE(F, xterm_type, "xterm-type")->Unit(benchmark::kMicrosecond); \
    BENCHMARK_CAPTURE(F, xterm_cat, "xterm-cat")->Unit(benchmark::kMicrosecond);   \
    BENCHMARK_CAPTURE(F, xlogo, "xlogo")->Unit(benchmark::kMicrosecond);           \
    BENCHMARK_CAPTURE(F, xeyes, "xeyes")->Unit(benchmark::kMicrosecond);           \
    BENCHMARK_CAPTURE(F, ico, "ico")->Unit(benchmark::kMicrosecond);               \
    BENCHMARK_CAPTURE(F, xcalc, "xcalc")->Unit(benchmark::kMicrosecond);           \
    BENCHMARK_CAPTURE(F, xdpyinfo, "xdpyinfo")->Unit(benchmark::kMicrosecond);

CORPUS(BM_HostEncode)
CORPUS(BM_TermDecode)
CORPUS(BM_TermEncode)
CORPUS(BM_HostDecode)

}  // namespace

BENCHMARK_MAIN();
