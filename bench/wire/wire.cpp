// Line bytes of the relay against X bytes on recorded X traffic, per workload and direction, beside
// general-purpose compressors run on the same bytes in the same run:
//   zlib-6 stream    one deflate stream per direction, flushed after every read (a compressing
//                    remote shell does this per packet);
//   zlib-6 /256      the same, flushed every 256 bytes (a link of small packets);
//   compress -b13    the whole stream at once through `compress -b 13` (an upper bound on what a
//                    13-bit LZW can do, without any framing);
// and the CPU the replay costs (both ends, the line simulator included; getrusage).
//
// usage: lq_wire [-corpus DIR] [-rate BPS] [-repeat N] [-only NAME]
//        lq_wire -replay NAME [-corpus DIR] [-ext]   (one replay, nothing else: for instruction counts)
//        lq_wire -compare [-corpus DIR] [-rate BPS] [-repeat N]   (without and with the link extensions)
//        lq_wire -coders [-dict FILE -dict-train LIST]   (the coder study, coders.cpp)
//        lq_wire -dict-out FILE -dict-train LIST [-dict-size N]   (a dictionary from those workloads)
// LIST is a comma-separated list of workload names.
// -escapes LIST sets the host's escape list (the escapeChars resource), e.g. "0x11 0x13".
// -ext makes both ends agree on the link extensions our own terminal offers (the coder).
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/wire/coders.h"
#include "relay/link/linkext.h"
#include "bench/wire/replay.h"
#include "relay/xspec/xspec.h"

size_t Deflated(const Bytes& b, const std::vector<uint32_t>& pieces, size_t flushEvery) {
    z_stream z{};
    deflateInit(&z, 6);
    std::vector<uint8_t> out(64 * 1024);
    size_t total = 0, at = 0;
    auto push = [&](size_t n, int flush) {
        z.next_in = const_cast<uint8_t*>(b.data() + at);
        z.avail_in = static_cast<uInt>(n);
        at += n;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            deflate(&z, flush);
            total += out.size() - z.avail_out;
        } while (z.avail_out == 0);
    };
    for (uint32_t n : pieces) {
        if (flushEvery == 0) {
            push(n, Z_SYNC_FLUSH);
            continue;
        }
        while (n) {
            size_t k = std::min<size_t>(n, flushEvery - (at % flushEvery));
            push(k, (at + k) % flushEvery == 0 ? Z_SYNC_FLUSH : Z_NO_FLUSH);
            n -= static_cast<uint32_t>(k);
        }
    }
    push(0, Z_FINISH);
    deflateEnd(&z);
    return total;
}

namespace {

// Size of `compress -b 13` output for the bytes, or 0 when the program is missing.
size_t Compressed13(const Bytes& b) {
    char path[] = "/tmp/lq_wire_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return 0;
    bool ok = write(fd, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    close(fd);
    size_t n = 0;
    if (ok) {
        std::string cmd = std::string("compress -b 13 -c < ") + path + " 2>/dev/null";
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char buf[8192];
            for (size_t k; (k = fread(buf, 1, sizeof buf, p)) > 0;) n += k;
            if (pclose(p) != 0 && n == 0) n = 0;
        }
    }
    unlink(path);
    return n;
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The corpus lives beside the checkout; -corpus or $LQ_XCORPUS point elsewhere.
std::string FindCorpus(const char* given) {
    if (given) return given;
    if (const char* e = std::getenv("LQ_XCORPUS")) return e;
    return std::string(LQ_SOURCE_ROOT) + "/../shared/xcorpus";
}

std::vector<std::string> Workloads(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string p = dir + "/" + e->d_name + "/conn00.c2s";
            if (access(p.c_str(), R_OK) == 0) names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

double Pct(double a, double b) { return b > 0 ? 100.0 * a / b : 0; }

// The same replays without and with the link extensions, side by side, against zlib-6 flushed every
// 256 bytes (bare, without framing) on the same bytes.
int CompareExt(const std::string& dir, const std::vector<std::string>& names, uint32_t rate, const char* escapes,
               int repeat) {
    std::printf("| workload | direction | X bytes | zlib-6 /256 | base protocol | extensions | gain | check |\n"
                "|---|---|---:|---:|---:|---:|---:|---|\n");
    uint64_t tot[2][4] = {};  // per direction: X, zlib 256, line without, line with
    std::vector<Recording> recs;
    int failures = 0;
    for (const std::string& name : names) {
        Recording rec;
        std::string err;
        if (LoadRecording(dir + "/" + name, &rec, &err) != 0) {
            std::printf("| %s | | | | | | | %s |\n", name.c_str(), err.c_str());
            failures++;
            continue;
        }
        ReplayResult r[2];
        bool ok = true;
        for (int x = 0; x < 2; x++) {
            lq_replay_ext(x ? LINKEXT_LINK_BITS : 0);
            ok = lq_replay_run(&rec, rate, escapes, &r[x]) == 0 && r[x].exact && ok;
        }
        lq_replay_ext(0);
        if (!ok) failures++;
        for (int d = 0; d < 2; d++) {
            const Bytes& b = d ? rec.s2c : rec.c2s;
            std::vector<uint32_t> pieces;
            for (const Chunk& c : rec.chunks)
                if (c.dir == (d ? 's' : 'c')) pieces.push_back(c.n);
            size_t z256 = Deflated(b, pieces, 256);
            uint64_t v[4] = {b.size(), z256, r[0].lineBytes[d], r[1].lineBytes[d]};
            for (int k = 0; k < 4; k++) tot[d][k] += v[k];
            auto ratio = [&](uint64_t line) { return line ? static_cast<double>(b.size()) / static_cast<double>(line) : 0; };
            std::printf("| %s | %s | %zu | %.2f | %.2f | %.2f | %.2f | %s |\n", name.c_str(),
                        d ? "server to client" : "client to server", b.size(), ratio(z256), ratio(v[2]), ratio(v[3]),
                        v[3] ? static_cast<double>(v[2]) / static_cast<double>(v[3]) : 0,
                        d == 0 ? (ok ? "exact" : (!r[0].exact ? r[0].fault : r[1].fault).c_str()) : "");
        }
        recs.push_back(std::move(rec));
    }
    uint64_t all[4] = {};
    for (int d = 0; d < 3; d++) {
        const uint64_t* v = d < 2 ? tot[d] : all;
        if (d < 2)
            for (int k = 0; k < 4; k++) all[k] += v[k];
        auto ratio = [&](uint64_t line) { return line ? static_cast<double>(v[0]) / static_cast<double>(line) : 0; };
        std::printf("| **all** | %s | %llu | %.2f | **%.2f** | **%.2f** | %.2f | |\n",
                    d == 0 ? "client to server" : d == 1 ? "server to client" : "both",
                    static_cast<unsigned long long>(v[0]), ratio(v[1]), ratio(v[2]), ratio(v[3]),
                    v[3] ? static_cast<double>(v[2]) / static_cast<double>(v[3]) : 0);
    }
    std::printf("\nX bytes per line byte (higher is better); *gain* is base-protocol line bytes over extension line "
                "bytes.\n");
    if (!recs.empty()) {
        // Data that no coder can shrink: what the line adds to it.
        Recording rnd = RandomRecording(recs.front());
        ReplayResult r[2];
        for (int x = 0; x < 2; x++) {
            lq_replay_ext(x ? LINKEXT_LINK_BITS : 0);
            if (lq_replay_run(&rnd, rate, escapes, &r[x]) != 0 || !r[x].exact) failures++;
        }
        lq_replay_ext(0);
        std::printf("\nRandom data (%zu X bytes of ChangeProperty requests with 200 KB of random data): line bytes "
                    "%.3f times the X bytes with the base protocol, %.3f with the extensions.\n",
                    rnd.c2s.size(), static_cast<double>(r[0].lineBytes[0]) / static_cast<double>(rnd.c2s.size()),
                    static_cast<double>(r[1].lineBytes[0]) / static_cast<double>(rnd.c2s.size()));
    }
    double xbytes = 0;
    for (const Recording& rec : recs) xbytes += static_cast<double>(rec.c2s.size() + rec.s2c.size());
    double cpu[2];
    for (int x = 0; x < 2; x++) {
        lq_replay_ext(x ? LINKEXT_LINK_BITS : 0);
        double c0 = CpuSeconds();
        for (int i = 0; i < repeat; i++)
            for (const Recording& rec : recs) {
                ReplayResult r;
                lq_replay_run(&rec, rate, escapes, &r);
            }
        cpu[x] = (CpuSeconds() - c0) / (xbytes * repeat / 1e6);
    }
    lq_replay_ext(0);
    std::printf("\nCPU of the replay (both ends and the line simulator): %.3f s per MB of X traffic with the base "
                "protocol, %.3f s with the extensions; ratio %.2f\n",
                cpu[0], cpu[1], cpu[0] > 0 ? cpu[1] / cpu[0] : 0);
    if (failures) std::printf("\n%d workload(s) did not replay exactly.\n", failures);
    return failures ? 1 : 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: lq_wire [-corpus DIR] [-rate BPS] [-escapes LIST] [-repeat N] [-only NAME]\n"
                 "       lq_wire -replay NAME [-corpus DIR] [-ext]\n"
                 "       lq_wire -compare [-corpus DIR] [-rate BPS] [-escapes LIST] [-repeat N]\n"
                 "       lq_wire -coders [-dict FILE -dict-train LIST] [-corpus DIR] [-rate BPS] [-escapes LIST]\n"
                 "       lq_wire -dict-out FILE -dict-train LIST [-dict-size N] [-corpus DIR]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const char* corpus = nullptr;
    const char* only = nullptr;
    const char* replay = nullptr;
    const char* escapes = nullptr;
    uint32_t rate = 0;
    int repeat = 5;
    bool coders = false, compare = false;
    CoderStudyArgs study;
    std::string dictOut;
    size_t dictSize = 16384;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-coders") {
            coders = true;
            continue;
        }
        if (a == "-compare") {
            compare = true;
            continue;
        }
        if (a == "-ext") {
            lq_replay_ext(LINKEXT_LINK_BITS);
            continue;
        }
        if (i + 1 >= argc) return Usage();
        const char* v = argv[++i];
        if (a == "-corpus") corpus = v;
        else if (a == "-only") only = v;
        else if (a == "-replay") replay = v;
        else if (a == "-escapes") escapes = v;
        else if (a == "-rate") rate = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        else if (a == "-repeat") repeat = std::max(1, std::atoi(v));
        else if (a == "-dict") study.dictFile = v;
        else if (a == "-dict-out") dictOut = v;
        else if (a == "-dict-size") dictSize = std::strtoul(v, nullptr, 10);
        else if (a == "-dict-train") {
            for (std::string l = v; !l.empty();) {
                size_t c = l.find(',');
                study.dictTrain.push_back(l.substr(0, c));
                l = c == std::string::npos ? "" : l.substr(c + 1);
            }
        } else return Usage();
    }
    const std::string dir = FindCorpus(corpus);
    std::vector<std::string> names = Workloads(dir);
    if (names.empty()) {
        std::printf("X traffic corpus not found at %s: wire figures skipped.\n", dir.c_str());
        return 0;
    }
    study.corpus = dir;
    study.names = names;
    study.rate = rate;
    study.escapes = escapes;
    if (!dictOut.empty()) return CoderTrainDict(study, dictOut, dictSize);
    if (coders) return CoderStudy(study);
    if (compare) return CompareExt(dir, names, rate, escapes, repeat);
    if (replay) {
        Recording rec;
        std::string err;
        if (LoadRecording(dir + "/" + replay, &rec, &err) != 0) {
            std::fprintf(stderr, "lq_wire: %s\n", err.c_str());
            return 1;
        }
        ReplayResult r;
        if (lq_replay_run(&rec, rate, escapes, &r) != 0 || !r.exact) {
            std::fprintf(stderr, "lq_wire: %s: replay failed: %s\n", replay, r.fault.c_str());
            return 1;
        }
        std::printf("%zu\n", rec.c2s.size() + rec.s2c.size());
        return 0;
    }

    std::printf("| workload | direction | X bytes | message bytes | line bytes | line %% | msgs | frames | zlib-6 stream %% | "
                "zlib-6 /256 %% | compress -b13 %% | check |\n");
    // (the set-up reply's share is reported below the table)
    std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
    std::vector<Recording> recs;
    uint64_t tot[2][5] = {};  // per direction: X, line, zlib stream, zlib 256, compress
    uint64_t setupLine = 0, setupX = 0;
    // per direction: message bytes, frames, flags, escapes, frame bytes, splits, line bytes
    uint64_t parts[2][7] = {};
    int failures = 0;
    for (const std::string& name : names) {
        if (only && name != only) continue;
        Recording rec;
        std::string err;
        if (LoadRecording(dir + "/" + name, &rec, &err) != 0) {
            std::printf("| %s | | | | | | | | | | | %s |\n", name.c_str(), err.c_str());
            failures++;
            continue;
        }
        ReplayResult r;
        if (lq_replay_run(&rec, rate, escapes, &r) != 0) {
            std::printf("| %s | | | | | | | | | | | replay could not start: %s |\n", name.c_str(), r.fault.c_str());
            failures++;
            continue;
        }
        if (!r.exact) failures++;
        for (int d = 0; d < 2; d++) {
            uint64_t v[7] = {r.msgBytes[d], r.frames[d], r.flagBytes[d], r.escapeBytes[d], r.frameBytes[d], r.splits[d], r.lineBytes[d]};
            for (int k = 0; k < 7; k++) parts[d][k] += v[k];
        }
        {
            // The connection set-up alone: what the server's set-up reply costs on the line.
            const bool little = rec.c2s[0] == 'l';
            size_t cs = 12 + ((XspecLoad16(&rec.c2s[6], little) + 3u) & ~3u) + ((XspecLoad16(&rec.c2s[8], little) + 3u) & ~3u);
            size_t ss = 8 + 4 * size_t{XspecLoad16(&rec.s2c[6], little)};
            Recording setup;
            setup.c2s.assign(rec.c2s.begin(), rec.c2s.begin() + static_cast<long>(std::min(cs, rec.c2s.size())));
            setup.s2c.assign(rec.s2c.begin(), rec.s2c.begin() + static_cast<long>(std::min(ss, rec.s2c.size())));
            setup.chunks = {{0, 'c', static_cast<uint32_t>(setup.c2s.size())}, {0, 's', static_cast<uint32_t>(setup.s2c.size())}};
            ReplayResult sr;
            if (lq_replay_run(&setup, rate, escapes, &sr) == 0 && sr.exact) {
                setupLine += sr.lineBytes[1];
                setupX += setup.s2c.size();
            }
        }
        char check[64] = "exact";
        if (r.unusedDiffs) std::snprintf(check, sizeof check, "exact but %zu unused bytes", r.unusedDiffs);
        for (int d = 0; d < 2; d++) {
            const Bytes& b = d ? rec.s2c : rec.c2s;
            std::vector<uint32_t> pieces;
            for (const Chunk& c : rec.chunks)
                if (c.dir == (d ? 's' : 'c')) pieces.push_back(c.n);
            size_t zs = Deflated(b, pieces, 0), z256 = Deflated(b, pieces, 256), lzw = Compressed13(b);
            uint64_t v[5] = {b.size(), r.lineBytes[d], zs, z256, lzw};
            for (int k = 0; k < 5; k++) tot[d][k] += v[k];
            std::printf("| %s | %s | %zu | %llu | %llu | %.1f | %llu | %llu | %.1f | %.1f | %.1f | %s |\n", name.c_str(),
                        d ? "server to client" : "client to server", b.size(),
                        static_cast<unsigned long long>(r.msgBytes[d]),
                        static_cast<unsigned long long>(r.lineBytes[d]), Pct(r.lineBytes[d], b.size()),
                        static_cast<unsigned long long>(r.msgs[d]), static_cast<unsigned long long>(r.frames[d]),
                        Pct(zs, b.size()), Pct(z256, b.size()), Pct(lzw, b.size()),
                        d == 0 ? (r.exact ? check : r.fault.c_str()) : "");
        }
        recs.push_back(std::move(rec));
    }
    for (int d = 0; d < 2; d++) {
        std::printf("| **all** | %s | %llu | | %llu | **%.1f** | | | %.1f | %.1f | %.1f | |\n",
                    d ? "server to client" : "client to server", static_cast<unsigned long long>(tot[d][0]),
                    static_cast<unsigned long long>(tot[d][1]), Pct(tot[d][1], tot[d][0]), Pct(tot[d][2], tot[d][0]),
                    Pct(tot[d][3], tot[d][0]), Pct(tot[d][4], tot[d][0]));
    }

    std::printf("\nOf the server-to-client line bytes, %llu (%.1f %%) carried the X servers' connection set-up "
                "replies (%llu X bytes, sent as they are: set-up messages are not compressed).\n",
                static_cast<unsigned long long>(setupLine), Pct(setupLine, tot[1][1]),
                static_cast<unsigned long long>(setupX));

    std::printf("\nWhere the line bytes go (all workloads; *header + FCS* counts 4 bytes a frame, the least a "
                "packet has; *contents* are the packets' coded contents):\n\n");
    std::printf("| direction | X bytes | message bytes | contents | header + FCS | flags | stuffing | line bytes | "
                "messages cut to fit a frame |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (int d = 0; d < 2; d++) {
        const uint64_t* v = parts[d];
        uint64_t hdr = 4 * v[1], contents = v[4] > hdr ? v[4] - hdr : 0;
        auto cell = [&](uint64_t x) {
            static char t[4][48];
            static int k = 0;
            k = (k + 1) % 4;
            std::snprintf(t[k], sizeof t[k], "%llu (%.1f %%)", static_cast<unsigned long long>(x), Pct(x, v[6]));
            return t[k];
        };
        std::printf("| %s | %llu | %llu | %s | ", d ? "server to client" : "client to server",
                    static_cast<unsigned long long>(tot[d][0]), static_cast<unsigned long long>(v[0]), cell(contents));
        std::printf("%s | ", cell(hdr));
        std::printf("%s | ", cell(v[2]));
        std::printf("%s | %llu | %llu |\n", cell(v[3]), static_cast<unsigned long long>(v[6]),
                    static_cast<unsigned long long>(v[5]));
    }

    // CPU: every replay `repeat` times; the same bytes through zlib-6 (one stream per direction) as
    // the baseline measured here.
    double xbytes = 0;
    for (const Recording& rec : recs) xbytes += static_cast<double>(rec.c2s.size() + rec.s2c.size());
    double c0 = CpuSeconds();
    for (int i = 0; i < repeat; i++)
        for (const Recording& rec : recs) {
            ReplayResult r;
            lq_replay_run(&rec, rate, escapes, &r);
        }
    double relay = CpuSeconds() - c0;
    c0 = CpuSeconds();
    for (int i = 0; i < repeat; i++)
        for (const Recording& rec : recs) {
            Deflated(rec.c2s, {static_cast<uint32_t>(rec.c2s.size())}, 0);
            Deflated(rec.s2c, {static_cast<uint32_t>(rec.s2c.size())}, 0);
        }
    double zlib = CpuSeconds() - c0;
    double mb = xbytes * repeat / 1e6;
    std::printf("\nCPU of the replay (both ends and the line simulator, %d passes over %.0f X bytes): "
                "%.3f s per MB of X traffic; zlib-6 on the same bytes %.3f s per MB; ratio %.1f\n",
                repeat, xbytes, relay / mb, zlib / mb, zlib > 0 ? relay / zlib : 0);
    if (failures) std::printf("\n%d workload(s) did not replay exactly.\n", failures);
    return failures ? 1 : 0;
}
