// Link stack throughput for a fixed seeded message mix (all caller types, 0 to 256 bytes, many
// clients, text-like and random contents):
//  - ns per payload byte for framing, compression and decompression, each against a memcpy of the
//    same bytes measured in the same run;
//  - messages and bytes per second through both ends on an unconstrained in-memory line;
//  - on the simulated line at 9600, 38400 and 115200 bit/s with 20 ms latency and the real window:
//    payload and frame bytes per second of line time against the line rate, error-free and with one
//    byte in a thousand damaged (goodput against the error-free goodput of the same run).
// The line figures are in simulated time and do not depend on the machine.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "relay/link/frame.h"
#include "relay/link/linkext.h"
#include "relay/link/linkpair.h"
#include "tests/link/linktest.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::vector<ExpectMsg>& Mix() {
    static std::vector<ExpectMsg> mix = [] {
        MsgGen gen(20261210);
        std::vector<ExpectMsg> m;
        for (int i = 0; i < 2000; i++) m.push_back(gen.Next());
        return m;
    }();
    return mix;
}

size_t MixBytes() {
    size_t n = 0;
    for (const auto& m : Mix()) n += m.bytes.size();
    return n;
}

double ThreadCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// CPU ns per payload byte of the copy baseline, measured first in the same run.
double gCopyNsPerByte = 0;

// Measures the CPU time of the benchmark loop around it and reports ns per payload byte and the
// ratio against the copy baseline.
struct ByteTimer {
    benchmark::State& state;
    size_t bytesPerIter;
    bool baseline;
    double start = ThreadCpuNs();
    ByteTimer(benchmark::State& s, size_t b, bool isBaseline = false) : state(s), bytesPerIter(b), baseline(isBaseline) {}
    ~ByteTimer() {
        double bytes = static_cast<double>(bytesPerIter) * static_cast<double>(state.iterations());
        double ns = (ThreadCpuNs() - start) / bytes;
        state.SetBytesProcessed(static_cast<int64_t>(bytes));
        state.counters["ns/B"] = ns;
        if (baseline) gCopyNsPerByte = ns;
        state.counters["x_copy"] = ns / gCopyNsPerByte;
    }
};

void BM_CopyBaseline(benchmark::State& state) {
    Bytes dst(BUF_DATA_SIZE);
    ByteTimer timer(state, MixBytes(), true);
    for (auto _ : state) {
        for (const auto& m : Mix()) {
            std::memcpy(dst.data(), m.bytes.data(), m.bytes.size());
            benchmark::DoNotOptimize(dst.data());
        }
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CopyBaseline);

// Frames every message of the mix as a packet (header included) into a line that takes everything.
void BM_Framing(benchmark::State& state) {
    BufData pool{};
    BufInit(&pool);
    LinkEnd* L = new LinkEnd;
    LinkSetDefaults(L, LINK_HOST, &pool, Clock{});
    L->io = LinkIo{nullptr, [](void*, const uint8_t*, int n) { return n; }, nullptr, nullptr};
    FrameInit(L);
    LinkSetRemoteVersion(L, 'B', 1, 3);
    std::vector<Buf*> pkts;
    for (const auto& m : Mix()) {
        Buf* b = MakeMsg(&pool, m.type, 0, m.bytes);
        b->start -= 2;
        b->start[0] = 0x11;
        b->start[1] = m.type;
        pkts.push_back(b);
        if (pkts.size() == 100) break;
    }
    size_t bytes = 0;
    for (Buf* b : pkts) bytes += b->Len() - 2;
    {
        ByteTimer timer(state, bytes);
        for (auto _ : state)
            for (Buf* b : pkts) benchmark::DoNotOptimize(FrameWrite(L, b));
    }
    for (Buf* b : pkts) BufFree(&pool, b);
    LinkDestroy(L);
    delete L;
    BufDestroy(&pool);
}
BENCHMARK(BM_Framing);

void BM_Compress(benchmark::State& state) {
    BufData pool{};
    BufInit(&pool);
    LzwData lzw{};
    TransCompressInit(&lzw);
    Lst comp;
    lstInit(&comp);
    lstAdd(&comp, BufGet(&pool));
    Buf* msg = BufGet(&pool);
    size_t bytes = 0;
    for (const auto& m : Mix()) bytes += m.bytes.size() <= LZW_SAFE_MSG ? m.bytes.size() : 0;
    ByteTimer* timer = new ByteTimer(state, bytes);
    for (auto _ : state) {
        for (const auto& m : Mix()) {
            if (m.bytes.size() > LZW_SAFE_MSG) continue;
            msg->start = msg->data;
            std::memcpy(msg->data, m.bytes.data(), m.bytes.size());
            msg->end = msg->data + m.bytes.size();
            benchmark::DoNotOptimize(TransCompress(&lzw, msg, &comp));
        }
    }
    delete timer;
    TransCompressFree(&lzw);
    BufListFree(&pool, &comp);
    BufFree(&pool, msg);
    BufDestroy(&pool);
}
BENCHMARK(BM_Compress);

void BM_Uncompress(benchmark::State& state) {
    BufData pool{};
    BufInit(&pool);
    LzwData enc{};
    TransCompressInit(&enc);
    Lst comp;
    lstInit(&comp);
    lstAdd(&comp, BufGet(&pool));
    Buf* msg = BufGet(&pool);
    std::vector<Bytes> coded;
    size_t bytes = 0;
    for (const auto& m : Mix()) {
        if (m.bytes.size() > LZW_SAFE_MSG) continue;
        std::memcpy(msg->data, m.bytes.data(), m.bytes.size());
        msg->start = msg->data;
        msg->end = msg->data + m.bytes.size();
        if (TransCompress(&enc, msg, &comp) != 0) continue;
        Buf* c = lstFirstT<Buf>(&comp);
        coded.push_back(Content(c));
        bytes += m.bytes.size();
    }
    Buf* in = BufGet(&pool);
    Buf* out = BufGet(&pool);
    ByteTimer* timer = new ByteTimer(state, bytes);
    for (auto _ : state) {
        state.PauseTiming();
        LzwData dec{};
        TransCompressInit(&dec);
        state.ResumeTiming();
        for (const Bytes& c : coded) {
            std::memcpy(in->data, c.data(), c.size());
            in->start = in->data;
            in->end = in->data + c.size();
            benchmark::DoNotOptimize(TransUncompress(&dec, in, out));
        }
        state.PauseTiming();
        TransCompressFree(&dec);
        state.ResumeTiming();
    }
    delete timer;
    TransCompressFree(&enc);
    BufListFree(&pool, &comp);
    for (Buf* b : {msg, in, out}) BufFree(&pool, b);
    BufDestroy(&pool);
}
BENCHMARK(BM_Uncompress);

// Runs the mix through both ends until everything has arrived; returns false on a delivery error.
struct PairRun {
    LinkPair pair;
    size_t next[2] = {0, 0};
    size_t count;
    DeliveryCheck check[2];
    uint64_t payload = 0;
};

bool PairDrive(LinkPair* P, void* ctx) {
    PairRun* R = static_cast<PairRun*>(ctx);
    for (int e = 0; e < 2; e++) {
        BufData* pool = e ? &P->termBufs : &P->hostBufs;
        while (Buf* b = lstGetT<Buf>(LinkPairIn(P, e))) {
            R->check[1 - e].Take(b);
            R->payload += b->Len();
            BufFree(pool, b);
        }
        Lst* out = LinkPairOut(P, e);
        while (R->next[e] < R->count && lstCount(out) < 6 && !LinkEarlierVersion(&P->host, 1, 2)) {
            const ExpectMsg& m = Mix()[(R->next[e] * 2 + static_cast<size_t>(e)) % Mix().size()];
            Buf* b = MakeMsg(pool, m.type, m.clientId, m.bytes);
            if (!b) break;
            lstAdd(out, b);
            R->check[e].pending.push_back(m);
            R->next[e]++;
        }
    }
    if (!R->check[0].error.empty() || !R->check[1].error.empty()) return true;
    return R->next[0] == R->count && R->next[1] == R->count && R->check[0].pending.empty() && R->check[1].pending.empty();
}

struct LineResult {
    double seconds, payloadBps, frameBps, resends, timedResends;
    double frameBytes, stallSeconds, rtt;  // rtt: the host's measured round trip (recovery on)
    bool ok;
};

// ext: link extensions offered and answered (LINKEXT_RECOVER or none); silence: seconds of a
// line outage starting 2 s into the run.
LineResult RunLine(uint32_t rate, double errors, size_t count, uint32_t ext = 0, double silence = 0) {
    PairRun R;
    R.count = count;
    LinkPairConfig cfg;
    cfg.line.rate = rate;
    cfg.line.latency = rate ? 20000 : 0;
    cfg.line.errorRate = errors;
    cfg.line.seed = 99;
    cfg.ext = ext;
    LinkPairInit(&R.pair, &cfg);
    if (silence > 0) SimLineAddOutage(&R.pair.line, 2000000, static_cast<uint64_t>(silence * 1e6));
    FILE* devnull = std::fopen("/dev/null", "w");
    R.pair.host.errFile = R.pair.term.errFile = devnull;
    uint32_t t0 = R.pair.vclock.usec;
    LinkPairRun(&R.pair, 3600u * 1000000u, PairDrive, &R);
    LineResult r{};
    r.seconds = (R.pair.vclock.usec - t0) / 1e6;
    r.ok = R.check[0].error.empty() && R.check[1].error.empty() && R.check[0].pending.empty() && R.check[1].pending.empty();
    double frames = static_cast<double>(R.pair.host.stats.frameBytesOut + R.pair.term.stats.frameBytesOut);
    r.payloadBps = static_cast<double>(R.payload) / r.seconds / 2;  // per direction
    r.frameBps = frames / r.seconds / 2;
    r.resends = static_cast<double>(R.pair.host.stats.resends + R.pair.term.stats.resends);
    r.timedResends = static_cast<double>(R.pair.host.stats.timedResends + R.pair.term.stats.timedResends);
    r.frameBytes = frames;
    r.stallSeconds = static_cast<double>(R.pair.host.stats.recStallUsec + R.pair.term.stats.recStallUsec) / 1e6;
    r.rtt = R.pair.host.trans.transRecSrtt / 1e6;
    LinkPairDestroy(&R.pair);
    std::fclose(devnull);
    return r;
}

void BM_BothEndsUnconstrained(benchmark::State& state) {
    const size_t count = 1000;
    size_t bytes = 0;
    for (size_t i = 0; i < 2 * count; i++) bytes += Mix()[i % Mix().size()].bytes.size();
    {
        ByteTimer timer(state, bytes);
        for (auto _ : state) {
            LineResult r = RunLine(0, 0, count);
            if (!r.ok) state.SkipWithError("delivery failed");
        }
    }
    state.counters["msgs/s"] = benchmark::Counter(static_cast<double>(2 * count) * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BothEndsUnconstrained)->Unit(benchmark::kMillisecond);

// Simulated time: one iteration is enough, the result is exact for the seed.
void BM_Line(benchmark::State& state) {
    uint32_t rate = static_cast<uint32_t>(state.range(0));
    const size_t count = rate <= 9600 ? 300 : 1000;
    LineResult clean{}, noisy{};
    for (auto _ : state) {
        clean = RunLine(rate, 0, count);
        noisy = RunLine(rate, 0.001, count);
        if (!clean.ok || !noisy.ok) state.SkipWithError("delivery failed");
    }
    double lineBps = rate / 10.0;
    state.counters["payload_B/s"] = clean.payloadBps;
    state.counters["frame_util"] = clean.frameBps / lineBps;
    state.counters["payload_util"] = clean.payloadBps / lineBps;
    state.counters["noisy_payload_B/s"] = noisy.payloadBps;
    state.counters["noisy/clean"] = noisy.payloadBps / clean.payloadBps;
    state.counters["noisy_resends"] = noisy.resends;
    state.counters["noisy_timed"] = noisy.timedResends;
    state.counters["clean_s"] = clean.seconds;
    state.counters["noisy_s"] = noisy.seconds;
}
BENCHMARK(BM_Line)->Arg(9600)->Arg(38400)->Arg(115200)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same line with faster loss recovery (LINKEXT_RECOVER) beside the base protocol: goodput with
// 1e-3 and 1e-4 byte errors against the base protocol's error-free goodput of the same run (goal:
// at least 0.80 and 0.95), and the line bytes the extension adds on a clean line (goal: at most
// 1 %). stall_s is the time the receiving sides spent with a loss noticed and not yet repaired.
void BM_LineRecover(benchmark::State& state) {
    uint32_t rate = static_cast<uint32_t>(state.range(0));
    const size_t count = rate <= 9600 ? 300 : 1000;
    LineResult clean{}, recClean{}, base3{}, rec3{}, base4{}, rec4{};
    for (auto _ : state) {
        clean = RunLine(rate, 0, count);
        recClean = RunLine(rate, 0, count, LINKEXT_RECOVER);
        base3 = RunLine(rate, 0.001, count);
        rec3 = RunLine(rate, 0.001, count, LINKEXT_RECOVER);
        base4 = RunLine(rate, 0.0001, count);
        rec4 = RunLine(rate, 0.0001, count, LINKEXT_RECOVER);
        for (const LineResult* r : {&clean, &recClean, &base3, &rec3, &base4, &rec4})
            if (!r->ok) state.SkipWithError("delivery failed");
    }
    state.counters["clean_extra_bytes"] = recClean.frameBytes / clean.frameBytes - 1;
    state.counters["clean_rec/clean"] = recClean.payloadBps / clean.payloadBps;
    state.counters["1e3_base/clean"] = base3.payloadBps / clean.payloadBps;
    state.counters["1e3_rec/clean"] = rec3.payloadBps / clean.payloadBps;
    state.counters["1e4_base/clean"] = base4.payloadBps / clean.payloadBps;
    state.counters["1e4_rec/clean"] = rec4.payloadBps / clean.payloadBps;
    state.counters["1e3_base_stall_s"] = base3.stallSeconds;
    state.counters["1e3_rec_stall_s"] = rec3.stallSeconds;
    state.counters["1e3_rec_resends"] = rec3.resends;
    state.counters["1e3_rec_timed"] = rec3.timedResends;
    state.counters["rtt_ms"] = rec3.rtt * 1e3;
}
BENCHMARK(BM_LineRecover)->Arg(9600)->Arg(38400)->Arg(115200)->Iterations(1)->Unit(benchmark::kMillisecond);

// A silence of the line (5 s and 20 s, below the time-out) 2 s into an error-free run: the time it
// costs beyond the silence itself, with the base protocol and with LINKEXT_RECOVER, in seconds and
// in round trips of a full frame each way (goal with the extension: at most two).
void BM_LineSilence(benchmark::State& state) {
    uint32_t rate = static_cast<uint32_t>(state.range(0));
    double silence = static_cast<double>(state.range(1));
    const size_t count = rate <= 9600 ? 300 : 1000;
    LineResult clean{}, recClean{}, base{}, rec{};
    for (auto _ : state) {
        clean = RunLine(rate, 0, count);
        recClean = RunLine(rate, 0, count, LINKEXT_RECOVER);
        base = RunLine(rate, 0, count, 0, silence);
        rec = RunLine(rate, 0, count, LINKEXT_RECOVER, silence);
        for (const LineResult* r : {&clean, &recClean, &base, &rec})
            if (!r->ok) state.SkipWithError("delivery failed");
    }
    // The round trip of a full frame each way on this line (20 ms latency each way).
    const double rtt = 0.040 + 2 * 272 * 10.0 / rate;
    state.counters["base_cost_s"] = base.seconds - clean.seconds - silence;
    state.counters["rec_cost_s"] = rec.seconds - recClean.seconds - silence;
    state.counters["rec_cost_rtts"] = (rec.seconds - recClean.seconds - silence) / rtt;
    state.counters["rtt_ms"] = rtt * 1e3;
}
BENCHMARK(BM_LineSilence)
    ->Args({9600, 5})
    ->Args({9600, 20})
    ->Args({115200, 5})
    ->Args({115200, 20})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
