// A simulated serial line: one byte pipe per direction with a rate in bit/s (10 bits per byte), a
// latency, a send buffer of limited size, a seeded error model (bit flips, dropped bytes, inserted
// noise bytes, bursts of garbled bytes) and periods in which the line is silent. It runs on any
// Clock, virtual or real, and is deterministic for a seed and a sequence of calls.
#pragma once
#include <cstdint>
#include <deque>

#include "relay/core/buf.h"
#include "relay/link/link.h"

struct SimLineConfig {
    uint32_t rate = 0;         // bit/s; 0 = unconstrained
    uint32_t latency = 0;      // microseconds from the end of a byte's transmission to its arrival
    double errorRate = 0;      // probability that a byte is damaged
    uint32_t seed = 1;
    uint32_t txBuffer = 4096;  // bytes a sender may have waiting for the line
};

struct SimOutage {
    uint64_t start;   // microseconds on the line's own time axis (0 = when SimLineInit ran)
    uint64_t length;
};

struct SimLineStats {
    uint64_t bytesSent, bytesDelivered, damaged, dropped, inserted, garbled, silenced;
};

struct SimPipe {
    struct Byte {
        uint64_t arriveNs;
        uint8_t c;
    };
    std::deque<Byte> q;   // bytes on the way, in arrival order
    uint64_t busyNs = 0;  // when the line finishes the last byte accepted
    uint64_t rng = 0;
    int burstLeft = 0;
    SimLineStats stats{};
};

constexpr int SIM_MAX_OUTAGES = 16;

struct SimLine;
struct SimEnd {
    SimLine* line;
    int end;
};

struct SimLine {
    SimLineConfig cfg;
    SimEnd ends[2];        // the contexts of the two LinkIo
    Clock clock{};
    uint32_t lastRaw = 0;  // last clock reading
    uint64_t nowUs = 0;    // time since SimLineInit, extended beyond the clock's wrap
    SimPipe pipe[2];       // pipe 0 carries end 0's bytes to end 1, pipe 1 the reverse
    SimOutage outages[SIM_MAX_OUTAGES];
    int outageCount = 0;
};

void SimLineInit(SimLine* line, const SimLineConfig* cfg, Clock clock);
// The line is silent (bytes sent in it are lost) from start for length microseconds.
int SimLineAddOutage(SimLine* line, uint64_t startUs, uint64_t lengthUs);
// "RATE[:SEED]" as a probability per byte, e.g. "0.001:7". 0 or -1 on a bad text.
int SimLineParseErrors(SimLineConfig* cfg, const char* text);
// "START:LENGTH" in seconds (fractions allowed). 0 or -1.
int SimLineParseOutage(SimLine* line, const char* text);
// The line as seen from end 0 or end 1.
LinkIo SimLineIo(SimLine* line, int end);
// Microseconds on the line's time axis now.
uint64_t SimLineNow(SimLine* line);
// When end will next have something worth reading: the arrival of the next frame end (0x7E) still
// on its way to it, or else of the last byte (which may lie in the past when everything has
// arrived but is not yet read). 0 when the pipe towards end is empty.
int SimLineNextWake(SimLine* line, int end, uint64_t* whenUs);
int SimLinePending(SimLine* line, int end);
