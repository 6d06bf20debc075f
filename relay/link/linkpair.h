// Both ends of the link in one process, joined by a simulated line and run on one virtual clock.
// Each end gets its own buffer pool and its own records; a pass of an end is what the main loop
// does when the line has bytes or the timer interval has passed: TransRead, then TransWrite with the
// end's outgoing list. Used by tests, benchmarks and the tests of the programs built on the link.
#pragma once
#include <cstdint>
#include <cstdio>

#include "relay/core/buf.h"
#include "relay/link/dialog.h"
#include "relay/link/link.h"
#include "relay/link/simline.h"

struct LinkPairConfig {
    SimLineConfig line;
    int timeout = 30;               // host's timeout resource, seconds
    const char* escapes = nullptr;  // host's escape list; null = default
    uint32_t startUsec = 1000000;   // virtual clock at start
    int autoReady = 1;              // the terminal answers MSG_START, the host takes MSG_XREADY
    int termVersion = 1;
    int termLevel = 3;
    // With autoReady: link extensions (LINKEXT_LINK_BITS) the terminal offers in its ready message
    // and the host answers, as the relay and lqterm do.
    uint32_t ext = 0;
    FILE* errFile = nullptr;        // diagnostics of both ends; null = stderr
};

struct LinkPair {
    VirtualClock vclock{};
    BufData hostBufs{}, termBufs{};
    LinkEnd host{}, term{};
    SimLine line;
    Lst hostIn{}, hostOut{}, termIn{}, termOut{};  // received and to be sent, per end
    uint32_t nextPass[2] = {0, 0};
    int autoReady = 1;
    int termVersion = 1, termLevel = 3;
    uint32_t ext = 0;
    uint64_t passes = 0;
};

// Both ends initialised and started (the host's MSG_START is queued). 0, or -1.
int LinkPairInit(LinkPair* pair, const LinkPairConfig* cfg);
void LinkPairDestroy(LinkPair* pair);
LinkEnd* LinkPairEnd(LinkPair* pair, int end);  // 0 host, 1 terminal
Lst* LinkPairIn(LinkPair* pair, int end);
Lst* LinkPairOut(LinkPair* pair, int end);
// One main-loop pass of one end at the present virtual time.
void LinkPairPass(LinkPair* pair, int end);
// Advances the virtual clock by usec, running a pass of an end whenever a frame reaches it or its
// timer interval has passed. Stops early when stop(pair, ctx) returns true after a pass.
void LinkPairRun(LinkPair* pair, uint32_t usec, bool (*stop)(LinkPair*, void*) = nullptr, void* ctx = nullptr);

