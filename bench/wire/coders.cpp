// The coder study. Each workload is replayed through both ends as lq_wire always does, with every
// frame recorded where the transport writes it (replay.cpp). The frames that carry a coded message
// are then framed again with the message coded by a candidate coder instead of LZW, in the same
// order and with the same boundaries; every other frame (acknowledgements, set-up, windows) stays
// as it was. The line cost of a frame is its packet header, body and FCS, each byte stuffed as the
// sending end's table says, and the closing flag: recomputed for LZW too, and checked against the
// bytes the simulated line carried. Every candidate body is also decoded by a decoder in step.
#include "bench/wire/coders.h"

#include <zdict.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "relay/link/frame.h"
#include "relay/link/link.h"
#include "relay/link/zcoder.h"
#include "relay/xspec/xspec.h"

namespace {

struct Coder {
    std::string name;
    bool lzw = false;  // today's coder: the recorded bodies as they are
    ZCoderParams p;
};

Coder Z(const char* name, ZKind kind, int level) {
    Coder c;
    c.name = name;
    c.p.kind = kind;
    c.p.level = level;
    c.p.windowLog = 15;
    return c;
}

std::vector<Coder> Candidates() {
    Coder lzw;
    lzw.name = "LZW (today)";
    lzw.lzw = true;
    return {lzw,
            Z("deflate-1", ZKind::Deflate, 1),
            Z("deflate-6", ZKind::Deflate, 6),
            Z("deflate-9", ZKind::Deflate, 9),
            Z("zstd-1", ZKind::Zstd, 1),
            Z("zstd-3", ZKind::Zstd, 3),
            Z("zstd-9", ZKind::Zstd, 9),
            Z("zstd-19", ZKind::Zstd, 19)};
}

struct Plan {
    size_t join = 0;     // 0: one message a packet, as today; else messages joined up to this many bytes
    bool burst = true;   // join only messages the transport framed at the same instant
    bool setup = false;  // code the set-up messages too (today they go as they are)
};

struct Tally {
    uint64_t line = 0;       // every line byte of the direction
    uint64_t codedLine = 0;  // of which the frames of coded messages
    uint64_t in = 0, out = 0;
    uint64_t codedFrames = 0, codedStuffing = 0;
    bool ok = true;
};

// Line bytes of one frame; *stuffing gets the escapes among them.
uint64_t FrameCost(const bool* esc, const uint8_t* head, size_t hn, const uint8_t* body, size_t bn, bool wrapped,
                   uint64_t* stuffing = nullptr) {
    uint16_t fcs = FrameCRCCompute(0xFFFF, head, static_cast<int>(hn));
    if (bn) fcs = FrameCRCCompute(fcs, body, static_cast<int>(bn));  // (a null pointer restarts it)
    fcs = static_cast<uint16_t>(~fcs);
    uint64_t n = 1 + (wrapped ? 10 : 0) + esc[fcs & 0xFF] + esc[fcs >> 8] + 2;
    for (size_t i = 0; i < hn; i++) n += 1 + esc[head[i]];
    for (size_t i = 0; i < bn; i++) n += 1 + esc[body[i]];
    if (stuffing) *stuffing += n - 1 - (wrapped ? 10 : 0) - 2 - hn - bn;
    return n;
}

// One direction's frames with coder c under plan.
Tally Run(const FrameLog& log, int d, const Coder& c, const Plan& plan) {
    Tally t;
    ZEncoder enc;
    ZDecoder dec;
    if (!c.lzw && (enc.Init(c.p) != 0 || dec.Init(c.p) != 0)) {
        t.ok = false;
        return t;
    }
    Bytes group, body, back;
    const uint8_t* head = nullptr;
    const bool* esc = nullptr;  // the table of the group's first frame
    uint32_t groupAt = 0;
    size_t xbytes = 0;
    auto flush = [&] {
        if (!head) return;
        if (enc.Code(group.data(), group.size(), &body) != 0 ||
            dec.Decode(body.data(), body.size(), std::max<size_t>(256, group.size()), &back) != 0 || back != group)
            t.ok = false;
        const uint64_t cost = FrameCost(esc, head, 2, body.data(), body.size(), false, &t.codedStuffing);
        t.codedFrames++;
        t.line += cost;
        t.codedLine += cost;
        t.in += group.size();
        t.out += body.size();
        group.clear();
        head = nullptr;
        xbytes = 0;
    };
    for (const SentFrame& f : log.frames[d]) {
        const bool setup = plan.setup && f.type == MSG_CONNECT && f.headLen == 2;
        uint64_t stuffing = 0;
        const uint64_t asSent =
            FrameCost(log.escaped[d][f.table].data(), f.sent.data(), f.sent.size(), nullptr, 0, f.wrapped, &stuffing);
        if (c.lzw || !(f.coded || setup)) {
            t.line += asSent;
            if (f.coded) {
                t.codedFrames++;
                t.codedStuffing += stuffing;
                t.codedLine += asSent;
                t.in += f.plain.size();
                t.out += f.sent.size() - f.headLen;
            }
            continue;
        }
        const uint8_t* m = f.coded ? f.plain.data() : f.sent.data() + 2;
        const size_t n = f.coded ? f.plain.size() : f.sent.size() - 2;
        if (head && (plan.join == 0 || xbytes + n > plan.join || (plan.burst && f.usec != groupAt))) flush();
        if (!head) {
            head = f.sent.data();
            esc = log.escaped[d][f.table].data();
            groupAt = f.usec;
        } else {
            // A joined message needs a token in front, as merged pieces have.
            group.push_back(static_cast<uint8_t>(0x80 | (n & 0x7F)));
        }
        group.insert(group.end(), m, m + n);
        xbytes += n;
    }
    flush();
    return t;
}

struct Workload {
    std::string name;
    uint64_t x[2] = {};       // X bytes per direction
    uint64_t zlib256[2] = {};  // zlib-6 flushed every 256 bytes
    FrameLog log;
    ReplayResult r;
};

size_t SetupLen(const Bytes& c2s, bool little) {
    return 12 + ((XspecLoad16(&c2s[6], little) + 3u) & ~3u) + ((XspecLoad16(&c2s[8], little) + 3u) & ~3u);
}

// Replays one recording with its frames recorded. false when it failed (reported).
bool Capture(const Recording& rec, const CoderStudyArgs& a, Workload* w) {
    w->name = rec.name;
    lq_replay_capture(&w->log);
    int rc = lq_replay_run(&rec, a.rate, a.escapes, &w->r);
    lq_replay_capture(nullptr);
    if (rc != 0 || !w->r.exact) {
        std::printf("%s: replay failed: %s\n", rec.name.c_str(), w->r.fault.c_str());
        return false;
    }
    for (int d = 0; d < 2; d++) {
        const Bytes& b = d ? rec.s2c : rec.c2s;
        std::vector<uint32_t> pieces;
        for (const Chunk& c : rec.chunks)
            if (c.dir == (d ? 's' : 'c')) pieces.push_back(c.n);
        w->x[d] = b.size();
        w->zlib256[d] = Deflated(b, pieces, 256);
    }
    return true;
}

bool LoadAll(const CoderStudyArgs& a, const std::vector<std::string>& names, std::vector<Workload>* out) {
    for (const std::string& n : names) {
        Recording rec;
        std::string err;
        if (LoadRecording(a.corpus + "/" + n, &rec, &err) != 0) {
            std::printf("%s\n", err.c_str());
            return false;
        }
        out->emplace_back();
        if (!Capture(rec, a, &out->back())) return false;
    }
    return true;
}

double Ratio(uint64_t x, uint64_t line) { return line ? static_cast<double>(x) / static_cast<double>(line) : 0; }

// Both directions of all the workloads; *ok is cleared by a failed round trip.
double Overall(const std::vector<Workload>& ws, const Coder& c, const Plan& p, bool* ok) {
    uint64_t x = 0, line = 0;
    for (const Workload& w : ws)
        for (int d = 0; d < 2; d++) {
            Tally t = Run(w.log, d, c, p);
            *ok = *ok && t.ok;
            x += w.x[d];
            line += t.line;
        }
    return Ratio(x, line);
}


bool ReadFile(const std::string& path, Bytes* b) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    b->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !b->empty();
}

const char* Dir(int d) { return d ? "server to client" : "client to server"; }

}  // namespace

Recording RandomRecording(const Recording& base) {
    const bool little = base.c2s[0] == 'l';
    const size_t cs = SetupLen(base.c2s, little), ss = 8 + 4 * size_t{XspecLoad16(&base.s2c[6], little)};
    Recording r;
    r.name = "random";
    r.c2s.assign(base.c2s.begin(), base.c2s.begin() + static_cast<long>(cs));
    r.s2c.assign(base.s2c.begin(), base.s2c.begin() + static_cast<long>(ss));
    r.chunks = {{0, 'c', static_cast<uint32_t>(cs)}, {1, 's', static_cast<uint32_t>(ss)}};
    uint32_t seed = 12345;
    for (uint32_t i = 0; i < 50; i++) {
        const uint32_t n = 4096;
        Bytes q(24 + n);
        auto put32 = [&](size_t at, uint32_t v) {
            for (int k = 0; k < 4; k++) q[at + k] = static_cast<uint8_t>(little ? v >> (8 * k) : v >> (8 * (3 - k)));
        };
        q[0] = 18;  // ChangeProperty, mode Replace
        q[2] = static_cast<uint8_t>(little ? (q.size() / 4) & 0xFF : (q.size() / 4) >> 8);
        q[3] = static_cast<uint8_t>(little ? (q.size() / 4) >> 8 : (q.size() / 4) & 0xFF);
        put32(4, 0x00200001);
        put32(8, 39);  // WM_NAME
        put32(12, 31);  // STRING
        q[16] = 8;
        put32(20, n);
        for (uint32_t k = 0; k < n; k++) {
            seed = seed * 1103515245u + 12345u;
            q[24 + k] = static_cast<uint8_t>(seed >> 16);
        }
        r.c2s.insert(r.c2s.end(), q.begin(), q.end());
        r.chunks.push_back({10 + i, 'c', static_cast<uint32_t>(q.size())});
    }
    return r;
}

int CoderStudy(const CoderStudyArgs& a) {
    std::vector<Workload> ws;
    if (!LoadAll(a, a.names, &ws)) return 1;
    const std::vector<Coder> coders = Candidates();
    bool ok = true, modelExact = true;

    std::printf("## Coder study: X bytes per line byte (higher is better)\n\n");
    std::printf("Packets as today: one message a packet, set-up messages not coded. zlib-6 /256 is the bare "
                "compressed stream (no framing) flushed every 256 X bytes.\n\n| workload | direction | X bytes | zlib-6 /256 |");
    for (const Coder& c : coders) std::printf(" %s |", c.name.c_str());
    std::printf("\n|---|---|---:|---:|");
    for (size_t i = 0; i < coders.size(); i++) std::printf("---:|");
    std::printf("\n");
    std::vector<uint64_t> tot[3];
    for (auto& v : tot) v.assign(coders.size() + 2, 0);  // X, zlib, each coder
    for (const Workload& w : ws)
        for (int d = 0; d < 2; d++) {
            std::printf("| %s | %s | %llu | %.2f |", w.name.c_str(), Dir(d), static_cast<unsigned long long>(w.x[d]),
                        Ratio(w.x[d], w.zlib256[d]));
            for (int k : {d, 2}) tot[k][0] += w.x[d], tot[k][1] += w.zlib256[d];
            for (size_t i = 0; i < coders.size(); i++) {
                Tally t = Run(w.log, d, coders[i], Plan{});
                ok = ok && t.ok;
                if (coders[i].lzw && t.line != w.r.lineBytes[d]) {
                    modelExact = false;
                    std::fprintf(stderr, "%s, %s: framing model %llu line bytes, the line carried %llu\n", w.name.c_str(),
                                 Dir(d), static_cast<unsigned long long>(t.line),
                                 static_cast<unsigned long long>(w.r.lineBytes[d]));
                }
                for (int k : {d, 2}) tot[k][2 + i] += t.line;
                std::printf(" %.2f |", Ratio(w.x[d], t.line));
            }
            std::printf("\n");
        }
    for (int k = 0; k < 3; k++) {
        std::printf("| **all** | %s | %llu | %.2f |", k == 2 ? "both" : Dir(k), static_cast<unsigned long long>(tot[k][0]),
                    Ratio(tot[k][0], tot[k][1]));
        for (size_t i = 0; i < coders.size(); i++) std::printf(" **%.2f** |", Ratio(tot[k][0], tot[k][2 + i]));
        std::printf("\n");
    }
    std::printf("\nFraming model against the simulated line (LZW frames recomputed): %s.\n",
                modelExact ? "equal for every workload and direction" : "DIFFERENT");

    const Plan plans[] = {{0, true, false},    {512, true, false},  {1024, true, false}, {4096, true, false},
                          {4096, false, false}, {0, true, true},     {512, true, true},   {1024, true, true},
                          {4096, true, true},   {4096, false, true}};
    std::printf("\n### Larger packets and coded set-up messages (all workloads, both directions)\n\n"
                "Messages joined up to N X bytes a packet (a 1-byte token per joined message counted), only those "
                "the transport framed at the same instant (*burst*) or any consecutive ones (*any*: a bound).\n\n"
                "*CPU* = seconds per MB of X traffic to code and decode every packet once (one a packet, set-up "
                "coded; this machine).\n\n"
                "| coder | one a packet | 512 burst | 1024 burst | 4096 burst | 4096 any | + set-up coded: one a packet | "
                "512 burst | 1024 burst | 4096 burst | 4096 any | CPU |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    uint64_t allX = 0;
    for (const Workload& w : ws) allX += w.x[0] + w.x[1];
    for (const Coder& c : coders) {
        if (c.lzw) continue;
        std::printf("| %s |", c.name.c_str());
        double cpu = 0;
        for (const Plan& p : plans) {
            auto t0 = std::chrono::steady_clock::now();
            std::printf(" %.2f |", Overall(ws, c, p, &ok));
            if (p.join == 0 && p.setup) cpu = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        }
        std::printf(" %.3f |\n", cpu / (static_cast<double>(allX) / 1e6));
    }

    // The goal per workload: the candidates in larger packets against zlib /256 with no framing at all.
    std::printf("\n### Per workload, set-up coded, 4096 burst, against zlib-6 /256 (bare)\n\n"
                "| workload | direction | zlib-6 /256 | deflate-6 | deflate-9 | zstd-3 | zstd-19 |\n|---|---|---:|---:|---:|---:|---:|\n");
    for (const Workload& w : ws)
        for (int d = 0; d < 2; d++) {
            std::printf("| %s | %s | %.2f |", w.name.c_str(), Dir(d), Ratio(w.x[d], w.zlib256[d]));
            for (size_t i : {2, 3, 5, 7}) {
                Tally t = Run(w.log, d, coders[i], Plan{4096, true, true});
                ok = ok && t.ok;
                std::printf(" %.2f |", Ratio(w.x[d], t.line));
            }
            std::printf("\n");
        }

    std::printf("\n### Where the line bytes go (all workloads, both directions)\n\n*coded* frames carry coded "
                "messages; *other* frames (acknowledgements, windows, set-up when not coded) are as recorded.\n\n"
                "| coder, packets | X / coded bytes | coded bytes | coded frames | their header + FCS + flag | "
                "their stuffing | other frames' bytes | line bytes | X / line byte |\n"
                "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    struct Row {
        size_t coder;
        Plan plan;
        const char* what;
    };
    const Row rows[] = {{0, {0, true, false}, "as today"},
                        {2, {0, true, false}, "one a packet"},
                        {2, {0, true, true}, "one a packet, set-up coded"},
                        {2, {4096, true, true}, "4096 burst, set-up coded"},
                        {7, {4096, false, true}, "4096 any, set-up coded"}};
    for (const Row& row : rows) {
        Tally all;
        uint64_t x = 0;
        for (const Workload& w : ws)
            for (int d = 0; d < 2; d++) {
                Tally t = Run(w.log, d, coders[row.coder], row.plan);
                ok = ok && t.ok;
                x += w.x[d];
                all.line += t.line, all.codedLine += t.codedLine, all.out += t.out;
                all.codedFrames += t.codedFrames, all.codedStuffing += t.codedStuffing;
            }
        const uint64_t over = all.codedLine - all.out - all.codedStuffing;
        std::printf("| %s, %s | %.2f | %llu | %llu | %llu | %llu | %llu | %llu | %.2f |\n", coders[row.coder].name.c_str(),
                    row.what, Ratio(x, all.out), static_cast<unsigned long long>(all.out),
                    static_cast<unsigned long long>(all.codedFrames), static_cast<unsigned long long>(over),
                    static_cast<unsigned long long>(all.codedStuffing),
                    static_cast<unsigned long long>(all.line - all.codedLine), static_cast<unsigned long long>(all.line),
                    Ratio(x, all.line));
    }

    if (!a.dictFile.empty()) {
        Bytes dict;
        if (!ReadFile(a.dictFile, &dict)) {
            std::printf("\n%s: cannot read the dictionary\n", a.dictFile.c_str());
            return 1;
        }
        std::vector<Workload> held;
        std::string heldNames;
        for (Workload& w : ws) {
            bool trained = false;
            for (const std::string& t : a.dictTrain) trained = trained || t == w.name;
            if (trained) continue;
            heldNames += (heldNames.empty() ? "" : ", ") + w.name;
            held.push_back(std::move(w));
        }
        // Deflate takes the dictionary's content only; zstd its entropy tables too.
        size_t hs = ZDICT_getDictHeaderSize(dict.data(), dict.size());
        if (ZDICT_isError(hs)) hs = 0;
        std::printf("\n### Dictionary of %zu bytes (%s), on the workloads it was not made from: %s\n\n"
                    "| coder | one a packet | 4096 burst | + set-up coded: one a packet | 4096 burst |\n|---|---:|---:|---:|---:|\n",
                    dict.size(), a.dictFile.c_str(), heldNames.c_str());
        const Plan dplans[] = {{0, true, false}, {4096, true, false}, {0, true, true}, {4096, true, true}};
        for (const Coder& base : coders) {
            if (base.lzw || (base.p.level != 6 && base.p.level != 3 && base.p.level != 19)) continue;
            for (int withDict = 0; withDict < 2; withDict++) {
                Coder c = base;
                if (withDict) {
                    c.name += " + dictionary";
                    const bool content = c.p.kind == ZKind::Deflate;
                    c.p.dict = dict.data() + (content ? hs : 0);
                    c.p.dictLen = dict.size() - (content ? hs : 0);
                }
                std::printf("| %s |", c.name.c_str());
                for (const Plan& p : dplans) std::printf(" %.2f |", Overall(held, c, p, &ok));
                std::printf("\n");
            }
        }
    }

    // Incompressible data: what the coded frames cost against the X bytes they carry.
    Recording base;
    std::string err;
    if (LoadRecording(a.corpus + "/" + a.names.front(), &base, &err) == 0) {
        Workload w;
        Recording rnd = RandomRecording(base);
        if (!Capture(rnd, a, &w)) return 1;
        const uint64_t x = rnd.c2s.size() - SetupLen(rnd.c2s, rnd.c2s[0] == 'l');
        std::printf("\n### Random data: %llu X bytes of ChangeProperty requests with 200 KB of random data\n\n"
                    "*coder* = coded bytes / message bytes; the rest = line bytes of the frames of coded messages / X "
                    "bytes (header, FCS, flag and stuffing included), with the stuffing table in use or with only the "
                    "flag and the escape stuffed (*bare*).\n\n| coder | message bytes | coder | line | line, bare | "
                    "4096 burst: line | 4096 burst: line, bare |\n|---|---:|---:|---:|---:|---:|---:|\n",
                    static_cast<unsigned long long>(x));
        FrameLog bare = w.log;
        for (auto& t : bare.escaped[0]) {
            t.fill(false);
            t[0x7D] = t[0x7E] = true;
        }
        for (const Coder& c : coders) {
            Tally t = Run(w.log, 0, c, Plan{});
            ok = ok && t.ok;
            std::printf("| %s | %llu | %.4f |", c.name.c_str(), static_cast<unsigned long long>(t.in), Ratio(t.out, t.in));
            for (const Plan& p : {Plan{}, Plan{4096, true, false}})
                for (const FrameLog* l : {&w.log, &bare}) {
                    if (c.lzw && p.join) {
                        std::printf(" |");
                        continue;
                    }
                    Tally u = Run(*l, 0, c, p);
                    ok = ok && u.ok;
                    std::printf(" %.4f |", Ratio(u.codedLine, x));
                }
            std::printf("\n");
        }
    }
    if (!ok) std::printf("\nA candidate's round trip FAILED.\n");
    return ok && modelExact ? 0 : 1;
}

int CoderTrainDict(const CoderStudyArgs& a, const std::string& out, size_t size) {
    std::vector<Workload> ws;
    if (!LoadAll(a, a.dictTrain, &ws)) return 1;
    Bytes samples;
    std::vector<size_t> sizes;
    for (const Workload& w : ws)
        for (int d = 0; d < 2; d++)
            for (const SentFrame& f : w.log.frames[d]) {
                const bool setup = f.type == MSG_CONNECT && f.headLen == 2;
                if (!f.coded && !setup) continue;
                const uint8_t* m = f.coded ? f.plain.data() : f.sent.data() + 2;
                const size_t n = f.coded ? f.plain.size() : f.sent.size() - 2;
                samples.insert(samples.end(), m, m + n);
                sizes.push_back(n);
            }
    Bytes dict(size);
    size_t n = ZDICT_trainFromBuffer(dict.data(), dict.size(), samples.data(), sizes.data(),
                                     static_cast<unsigned>(sizes.size()));
    if (ZDICT_isError(n)) {
        std::fprintf(stderr, "lq_wire: dictionary: %s\n", ZDICT_getErrorName(n));
        return 1;
    }
    std::ofstream f(out, std::ios::binary);
    f.write(reinterpret_cast<const char*>(dict.data()), static_cast<std::streamsize>(n));
    if (!f) return 1;
    std::printf("%zu bytes from %zu messages of %zu workloads written to %s\n", n, sizes.size(), ws.size(), out.c_str());
    return 0;
}
