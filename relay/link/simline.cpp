#include "relay/link/simline.h"

#include <cerrno>
#include <cstdlib>

namespace {

// splitmix64: small, fast and good enough to pick errors.
uint64_t Rand(SimPipe* p) {
    uint64_t z = (p->rng += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
double Uniform(SimPipe* p) { return static_cast<double>(Rand(p) >> 11) * (1.0 / 9007199254740992.0); }

uint64_t ByteNs(const SimLine* l) { return l->cfg.rate ? 10ull * 1000000000ull / l->cfg.rate : 0; }

bool Silent(const SimLine* l, uint64_t ns) {
    uint64_t us = ns / 1000;
    for (int i = 0; i < l->outageCount; i++)
        if (us >= l->outages[i].start && us < l->outages[i].start + l->outages[i].length) return true;
    return false;
}

int SimWrite(void* ctx, const uint8_t* p, int n) {
    SimEnd* c = static_cast<SimEnd*>(ctx);
    SimLine* l = c->line;
    SimPipe* pp = &l->pipe[c->end];
    uint64_t now = SimLineNow(l) * 1000;
    uint64_t byteNs = ByteNs(l);
    int accept = n;
    if (byteNs) {
        uint64_t backlog = pp->busyNs > now ? (pp->busyNs - now + byteNs - 1) / byteNs : 0;
        int room = backlog >= l->cfg.txBuffer ? 0 : static_cast<int>(l->cfg.txBuffer - backlog);
        if (accept > room) accept = room;
    }
    if (accept <= 0) {
        errno = EAGAIN;
        return -1;
    }
    for (int i = 0; i < accept; i++) {
        uint64_t start = pp->busyNs > now ? pp->busyNs : now;
        pp->busyNs = start + byteNs;
        uint64_t arrive = pp->busyNs + static_cast<uint64_t>(l->cfg.latency) * 1000;
        uint8_t b = p[i];
        pp->stats.bytesSent++;
        if (Silent(l, start)) {
            pp->stats.silenced++;
            continue;
        }
        if (pp->burstLeft > 0) {
            pp->burstLeft--;
            pp->stats.garbled++;
            b = static_cast<uint8_t>(Rand(pp));
        } else if (l->cfg.errorRate > 0 && Uniform(pp) < l->cfg.errorRate) {
            pp->stats.damaged++;
            uint64_t kind = Rand(pp) % 10;
            if (kind < 4) {
                b ^= static_cast<uint8_t>(1u << (Rand(pp) % 8));
            } else if (kind < 6) {
                pp->stats.dropped++;
                continue;
            } else if (kind < 8) {
                pp->stats.inserted++;
                pp->q.push_back({arrive, static_cast<uint8_t>(Rand(pp))});
            } else {
                pp->burstLeft = 1 + static_cast<int>(Rand(pp) % 15);
                b = static_cast<uint8_t>(Rand(pp));
            }
        }
        pp->q.push_back({arrive, b});
    }
    return accept;
}

int SimRead(void* ctx, uint8_t* p, int n) {
    SimEnd* c = static_cast<SimEnd*>(ctx);
    SimLine* l = c->line;
    SimPipe* pp = &l->pipe[1 - c->end];
    uint64_t now = SimLineNow(l) * 1000;
    int got = 0;
    while (got < n && !pp->q.empty() && pp->q.front().arriveNs <= now) {
        p[got++] = pp->q.front().c;
        pp->q.pop_front();
    }
    pp->stats.bytesDelivered += static_cast<uint64_t>(got);
    if (got == 0) {
        errno = EAGAIN;
        return -1;
    }
    return got;
}

int SimPending(void* ctx) {
    SimEnd* c = static_cast<SimEnd*>(ctx);
    return SimLinePending(c->line, c->end);
}

}  // namespace

void SimLineInit(SimLine* l, const SimLineConfig* cfg, Clock clock) {
    l->cfg = *cfg;
    l->clock = clock;
    l->lastRaw = GetTime(&l->clock);
    l->nowUs = 0;
    for (int i = 0; i < 2; i++) {
        SimPipe* p = &l->pipe[i];
        p->q.clear();
        p->busyNs = 0;
        p->rng = (static_cast<uint64_t>(cfg->seed) << 1 | static_cast<uint64_t>(i)) * 0x2545F4914F6CDD1Dull + 1;
        p->burstLeft = 0;
        p->stats = SimLineStats{};
    }
    l->outageCount = 0;
    l->ends[0] = SimEnd{l, 0};
    l->ends[1] = SimEnd{l, 1};
}

uint64_t SimLineNow(SimLine* l) {
    uint32_t raw = GetTime(&l->clock);
    l->nowUs += static_cast<uint32_t>(raw - l->lastRaw);
    l->lastRaw = raw;
    return l->nowUs;
}

int SimLineAddOutage(SimLine* l, uint64_t startUs, uint64_t lengthUs) {
    if (l->outageCount == SIM_MAX_OUTAGES) return -1;
    l->outages[l->outageCount++] = SimOutage{startUs, lengthUs};
    return 0;
}

int SimLineParseErrors(SimLineConfig* cfg, const char* text) {
    char* end = nullptr;
    double rate = std::strtod(text, &end);
    if (end == text || !(rate >= 0 && rate <= 1)) return -1;
    uint32_t seed = cfg->seed;
    if (*end == ':') {
        const char* s = end + 1;
        unsigned long v = std::strtoul(s, &end, 10);
        if (end == s || v > 0xFFFFFFFFul) return -1;
        seed = static_cast<uint32_t>(v);
    }
    if (*end) return -1;
    cfg->errorRate = rate;
    cfg->seed = seed;
    return 0;
}

int SimLineParseOutage(SimLine* l, const char* text) {
    char* end = nullptr;
    double start = std::strtod(text, &end);
    if (end == text || *end != ':' || !(start >= 0 && start < 1e9)) return -1;
    const char* s = end + 1;
    double len = std::strtod(s, &end);
    if (end == s || *end || !(len >= 0 && len < 1e9)) return -1;
    return SimLineAddOutage(l, static_cast<uint64_t>(start * 1e6), static_cast<uint64_t>(len * 1e6));
}

LinkIo SimLineIo(SimLine* l, int end) {
    return LinkIo{SimRead, SimWrite, SimPending, &l->ends[end & 1]};
}

int SimLinePending(SimLine* l, int end) {
    SimPipe* pp = &l->pipe[1 - (end & 1)];
    uint64_t now = SimLineNow(l) * 1000;
    int n = 0;
    for (const auto& b : pp->q) {
        if (b.arriveNs > now) break;
        n++;
    }
    return n;
}

int SimLineNextWake(SimLine* l, int end, uint64_t* whenUs) {
    SimPipe* pp = &l->pipe[1 - (end & 1)];
    uint64_t now = SimLineNow(l) * 1000;
    if (pp->q.empty()) return 0;
    uint64_t t = pp->q.back().arriveNs;
    for (const auto& b : pp->q) {
        if (b.arriveNs > now && b.c == 0x7E) {
            t = b.arriveNs;
            break;
        }
    }
    *whenUs = (t + 999) / 1000;
    return 1;
}
