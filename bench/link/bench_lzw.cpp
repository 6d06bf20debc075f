// Link compression speed: ns per payload byte for compressing and decompressing a fixed seeded mix
// of link messages (0 to 256 bytes: request-like text, coordinate lists, random bytes, runs), with
// zlib level 6 on the same bytes in the same run as the baseline (one stream without flushes, and
// one with a sync flush every 256 bytes). Prints the ratios against the baselines at the end.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "relay/link/lzw.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> MakeMix() {
    static const char* words[] = {"CreateWindow ", "MapWindow ", "PolyLine ", "GC ", "font-", "fixed ",
                                  "ImageText8 ", "0x2f ", "event ", "atom ", "WM_NAME ", "8x13 "};
    std::mt19937 rng(20260101);
    std::vector<Bytes> mix;
    for (int i = 0; i < 2000; i++) {
        size_t n = rng() % (LZW_MAX_MSG + 1);
        Bytes b;
        switch (rng() % 10) {
            case 0: case 1: case 2: case 3:
                while (b.size() < n) {
                    const char* w = words[rng() % 12];
                    b.insert(b.end(), w, w + std::strlen(w));
                }
                break;
            case 4: case 5: case 6: {
                int x = rng() % 1024, y = rng() % 768;
                while (b.size() < n) {
                    x += static_cast<int>(rng() % 17) - 8;
                    y += static_cast<int>(rng() % 17) - 8;
                    for (int v : {x >> 8, x, y >> 8, y}) b.push_back(static_cast<uint8_t>(v));
                }
                break;
            }
            case 7: case 8:
                while (b.size() < n) b.push_back(static_cast<uint8_t>(rng()));
                break;
            default:
                b.assign(n, static_cast<uint8_t>(rng()));
        }
        b.resize(n);
        mix.push_back(b);
    }
    return mix;
}

const std::vector<Bytes>& Mix() {
    static const std::vector<Bytes> mix = MakeMix();
    return mix;
}

size_t PayloadBytes() {
    size_t n = 0;
    for (const Bytes& m : Mix()) n += m.size();
    return n;
}

Bytes Concatenated() {
    Bytes all;
    for (const Bytes& m : Mix()) all.insert(all.end(), m.begin(), m.end());
    return all;
}

// Compresses the whole mix as the transport does (a refused message goes in safe-size pieces);
// hands each packet to `sink`. Returns the compressed bytes.
template <class Sink>
size_t LzwCompressMix(LzwData* d, Sink sink) {
    Buf msg{}, spare{};
    Lst list;
    size_t total = 0;
    auto one = [&](const uint8_t* p, size_t n) {
        lstInit(&list);
        lstAdd(&list, &spare);
        if (n) std::memcpy(msg.data, p, n);
        msg.start = msg.data;
        msg.end = msg.data + n;
        int rc = TransCompress(d, &msg, &list);
        if (rc == 0) {
            total += spare.Len();
            sink(spare);
        }
        return rc;
    };
    for (const Bytes& m : Mix()) {
        if (one(m.data(), m.size()) != 2) continue;
        for (size_t off = 0; off < m.size(); off += LZW_SAFE_MSG)
            one(m.data() + off, std::min(m.size() - off, static_cast<size_t>(LZW_SAFE_MSG)));
    }
    return total;
}

void Quiet(const char*) {}

void SetCounters(benchmark::State& state, size_t compressed) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * PayloadBytes()));
    state.counters["out/in"] = static_cast<double>(compressed) / static_cast<double>(PayloadBytes());
}

void BM_LzwCompress(benchmark::State& state) {
    size_t out = 0;
    for (auto _ : state) {
        LzwData d{};
        d.panic = Quiet;
        TransCompressInit(&d);
        out = LzwCompressMix(&d, [](Buf& b) { benchmark::DoNotOptimize(b.end); });
        TransCompressFree(&d);
    }
    SetCounters(state, out);
}

void BM_LzwUncompress(benchmark::State& state) {
    std::vector<Bytes> packets;
    LzwData enc{};
    enc.panic = Quiet;
    TransCompressInit(&enc);
    size_t out = LzwCompressMix(&enc, [&](Buf& b) { packets.emplace_back(b.start, b.end); });
    TransCompressFree(&enc);
    std::vector<Buf> in(packets.size());
    for (size_t i = 0; i < packets.size(); i++) {
        if (!packets[i].empty()) std::memcpy(in[i].data, packets[i].data(), packets[i].size());
        in[i].start = in[i].data;
        in[i].end = in[i].data + packets[i].size();
    }
    Buf res{};
    for (auto _ : state) {
        LzwData d{};
        TransCompressInit(&d);
        for (Buf& p : in) {
            TransUncompress(&d, &p, &res);
            benchmark::DoNotOptimize(res.end);
        }
        TransCompressFree(&d);
    }
    SetCounters(state, out);
}

// One deflate stream over the mix; flushEvery 0 = no flushes.
Bytes Deflate(const Bytes& all, size_t flushEvery) {
    z_stream z{};
    deflateInit(&z, 6);
    Bytes out(deflateBound(&z, all.size()) + all.size() / 64 + 1024);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    size_t step = flushEvery ? flushEvery : all.size();
    for (size_t off = 0; off < all.size(); off += step) {
        size_t n = std::min(step, all.size() - off);
        z.next_in = const_cast<uint8_t*>(all.data() + off);
        z.avail_in = static_cast<uInt>(n);
        deflate(&z, flushEvery ? Z_SYNC_FLUSH : Z_NO_FLUSH);
    }
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void BM_Zlib6Compress(benchmark::State& state, size_t flushEvery) {
    const Bytes all = Concatenated();
    size_t out = 0;
    for (auto _ : state) {
        Bytes z = Deflate(all, flushEvery);
        benchmark::DoNotOptimize(z.data());
        out = z.size();
    }
    SetCounters(state, out);
}

void BM_Zlib6Uncompress(benchmark::State& state, size_t flushEvery) {
    const Bytes all = Concatenated();
    const Bytes packed = Deflate(all, flushEvery);
    Bytes out(all.size());
    for (auto _ : state) {
        z_stream z{};
        inflateInit(&z);
        z.next_in = const_cast<uint8_t*>(packed.data());
        z.avail_in = static_cast<uInt>(packed.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        if (inflate(&z, Z_FINISH) != Z_STREAM_END) state.SkipWithError("inflate failed");
        inflateEnd(&z);
        benchmark::DoNotOptimize(out.data());
    }
    SetCounters(state, packed.size());
}

BENCHMARK(BM_LzwCompress);
BENCHMARK(BM_LzwUncompress);
BENCHMARK_CAPTURE(BM_Zlib6Compress, stream, 0);
BENCHMARK_CAPTURE(BM_Zlib6Compress, sync256, 256);
BENCHMARK_CAPTURE(BM_Zlib6Uncompress, stream, 0);
BENCHMARK_CAPTURE(BM_Zlib6Uncompress, sync256, 256);

// Console output plus the CPU ns per payload byte of every run (robust on a shared machine), for
// the ratio summary.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> nsPerByte;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
            nsPerByte[r.benchmark_name()] = r.cpu_accumulated_time * 1e9 / static_cast<double>(r.iterations) /
                                            static_cast<double>(PayloadBytes());
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.nsPerByte;
    std::printf("\npayload %zu bytes in %zu messages\n", PayloadBytes(), Mix().size());
    const char* rows[][4] = {{"compress", "BM_LzwCompress", "BM_Zlib6Compress/stream", "BM_Zlib6Compress/sync256"},
                             {"uncompress", "BM_LzwUncompress", "BM_Zlib6Uncompress/stream",
                              "BM_Zlib6Uncompress/sync256"}};
    for (auto& row : rows) {
        if (!t.count(row[1]) || !t.count(row[2]) || !t.count(row[3])) continue;
        std::printf("%-10s ns/byte: lzw %.2f  zlib6 %.2f  zlib6+sync256 %.2f;  lzw/zlib6 %.2f  lzw/zlib6+sync256 %.2f\n",
                    row[0], t[row[1]], t[row[2]], t[row[3]], t[row[1]] / t[row[2]], t[row[1]] / t[row[3]]);
    }
    benchmark::Shutdown();
    return 0;
}
