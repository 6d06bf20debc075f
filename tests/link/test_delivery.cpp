// Random message streams in both directions through the simulated line: exact, in-order delivery.
#include <gtest/gtest.h>

#include "relay/link/linkext.h"
#include "relay/link/linkpair.h"
#include "tests/link/linktest.h"

namespace {

struct StreamRun {
    LinkPair pair;
    MsgGen gen;
    DeliveryCheck check[2];  // check[e]: what end e sent
    uint64_t toSend[2];
    explicit StreamRun(uint32_t seed, uint64_t n) : gen(seed), toSend{n, n} {}
};

bool Drive(LinkPair* P, void* ctx) {
    StreamRun* R = static_cast<StreamRun*>(ctx);
    for (int e = 0; e < 2; e++) {
        Lst* in = LinkPairIn(P, e);
        BufData* pool = e ? &P->termBufs : &P->hostBufs;
        while (Buf* b = lstGetT<Buf>(in)) {
            R->check[1 - e].Take(b);
            BufFree(pool, b);
        }
        if (!LinkEarlierVersion(LinkPairEnd(P, 0), 1, 2)) TopUpStream(pool, LinkPairOut(P, e), &R->gen, &R->check[e], &R->toSend[e]);
    }
    return StreamDone(R->check, R->toSend);
}

struct Case {
    const char* name;
    uint32_t rate;
    double errorRate;
    uint32_t seed;
    uint64_t messages;
    uint32_t silenceAt = 0, silenceFor = 0;  // seconds; a silence shorter than the 30 s timeout
    uint32_t startUsec = 1000000;            // virtual clock at start
    uint32_t ext = 0;                        // link extensions offered and answered
};

class Delivery : public ::testing::TestWithParam<Case> {};

TEST_P(Delivery, EveryMessageArrivesOnceInOrder) {
    const Case& c = GetParam();
    SCOPED_TRACE(std::string("seed ") + std::to_string(c.seed));
    StreamRun R(c.seed, c.messages);
    LinkPairConfig cfg;
    cfg.line.rate = c.rate;
    cfg.line.latency = 20000;
    cfg.line.errorRate = c.errorRate;
    cfg.line.seed = c.seed;
    cfg.startUsec = c.startUsec;
    cfg.ext = c.ext;
    ASSERT_EQ(LinkPairInit(&R.pair, &cfg), 0);
    if (c.silenceFor) SimLineAddOutage(&R.pair.line, c.silenceAt * 1000000ull, c.silenceFor * 1000000ull);
    LinkPairRun(&R.pair, 3600u * 1000000u, Drive, &R);
    EXPECT_EQ(R.check[0].error, "");
    EXPECT_EQ(R.check[1].error, "");
    EXPECT_EQ(R.check[0].delivered, c.messages);
    EXPECT_EQ(R.check[1].delivered, c.messages);
    EXPECT_EQ(R.pair.host.running, 1);
    EXPECT_EQ(R.pair.term.running, 1);
    // Both directions switched (the terminal's first messages went before its switch).
    for (const LinkEnd* L : {&R.pair.host, &R.pair.term}) {
        EXPECT_EQ(L->extOut, c.ext);
        EXPECT_EQ(L->extIn, c.ext);
        EXPECT_EQ(L->stats.zMsgBytesOut > 0, (c.ext & LINKEXT_ZCODER) != 0);
        // Resends by cause are counted only where recovery is agreed.
        if (!(c.ext & LINKEXT_RECOVER)) {
            EXPECT_EQ(L->stats.recRequested + L->stats.recProbed + L->stats.recTimed, 0u);
        }
        EXPECT_FALSE(LinkCodingFailed(L));
    }
    LinkPairDestroy(&R.pair);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Delivery,
    ::testing::Values(Case{"clean9600", 9600, 0, 1, 500}, Case{"clean38400", 38400, 0, 2, 2000},
                      Case{"cleanUnlimited", 0, 0, 3, 3000}, Case{"noisy1e4", 38400, 0.0001, 4, 1500},
                      Case{"noisy5e4", 115200, 0.0005, 5, 1500}, Case{"noisy1e3", 38400, 0.001, 6, 1000},
                      Case{"noisy1e3b", 9600, 0.001, 7, 400}, Case{"noisy1e3c", 0, 0.001, 8, 1500},
                      Case{"noisy1e3d", 115200, 0.001, 9, 1500},
                      Case{"silence10s", 38400, 0.0005, 10, 1000, 5, 10},
                      Case{"silence25s", 38400, 0.001, 11, 1000, 3, 25},
                      Case{"clockWraps", 38400, 0.001, 12, 1000, 0, 0, 0xFFFFFFFFu - 20000000u},
                      // The link-life coder: the switch on a clean, a noisy and a silent line.
                      Case{"coderClean", 0, 0, 13, 3000, 0, 0, 1000000, LINKEXT_ZCODER},
                      Case{"coderNoisy1e3", 38400, 0.001, 14, 1500, 0, 0, 1000000, LINKEXT_ZCODER},
                      Case{"coderNoisy1e3b", 0, 0.002, 15, 1500, 0, 0, 1000000, LINKEXT_ZCODER},
                      Case{"coderSwitchInSilence", 9600, 0.001, 16, 300, 0, 3, 1000000, LINKEXT_ZCODER},
                      Case{"coderClockWraps", 115200, 0.001, 17, 1000, 0, 0, 0xFFFFFFFFu - 20000000u, LINKEXT_ZCODER},
                      // Faster loss recovery: flips, drops, inserts and bursts at several rates, silences,
                      // the clock's wrap, and together with the coder.
                      Case{"recoverClean", 38400, 0, 18, 1500, 0, 0, 1000000, LINKEXT_RECOVER},
                      Case{"recoverNoisy1e4", 115200, 0.0001, 19, 1500, 0, 0, 1000000, LINKEXT_RECOVER},
                      Case{"recoverNoisy1e3", 9600, 0.001, 20, 400, 0, 0, 1000000, LINKEXT_RECOVER},
                      Case{"recoverNoisy1e3b", 38400, 0.001, 21, 1000, 0, 0, 1000000, LINKEXT_RECOVER},
                      Case{"recoverNoisy1e3c", 115200, 0.001, 22, 1500, 0, 0, 1000000, LINKEXT_RECOVER},
                      Case{"recoverNoisy3e3", 0, 0.003, 23, 1500, 0, 0, 1000000, LINKEXT_RECOVER},
                      Case{"recoverSilence5s", 38400, 0.0005, 24, 1000, 2, 5, 1000000, LINKEXT_RECOVER},
                      Case{"recoverSilence20s", 115200, 0.001, 25, 1500, 3, 20, 1000000, LINKEXT_RECOVER},
                      Case{"recoverSwitchInSilence", 9600, 0.001, 26, 300, 0, 3, 1000000, LINKEXT_RECOVER},
                      Case{"recoverClockWraps", 38400, 0.001, 27, 1000, 0, 0, 0xFFFFFFFFu - 20000000u, LINKEXT_RECOVER},
                      Case{"recoverAndCoder", 115200, 0.001, 28, 1500, 0, 0, 1000000, LINKEXT_RECOVER | LINKEXT_ZCODER}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
