// Random message streams in both directions through the simulated line: exact, in-order delivery.
#include <gtest/gtest.h>

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
        Lst* out = LinkPairOut(P, e);
        while (R->toSend[e] > 0 && lstCount(out) < 6 && LinkEarlierVersion(LinkPairEnd(P, 0), 1, 2) == false) {
            ExpectMsg m = R->gen.Next();
            Buf* b = MakeMsg(pool, m.type, m.clientId, m.bytes);
            if (!b) break;
            lstAdd(out, b);
            R->check[e].pending.push_back(m);
            R->toSend[e]--;
        }
    }
    if (!R->check[0].error.empty() || !R->check[1].error.empty()) return true;
    return R->toSend[0] == 0 && R->toSend[1] == 0 && R->check[0].pending.empty() && R->check[1].pending.empty();
}

struct Case {
    const char* name;
    uint32_t rate;
    double errorRate;
    uint32_t seed;
    uint64_t messages;
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
    ASSERT_EQ(LinkPairInit(&R.pair, &cfg), 0);
    LinkPairRun(&R.pair, 3600u * 1000000u, Drive, &R);
    EXPECT_EQ(R.check[0].error, "");
    EXPECT_EQ(R.check[1].error, "");
    EXPECT_EQ(R.check[0].delivered, c.messages);
    EXPECT_EQ(R.check[1].delivered, c.messages);
    EXPECT_EQ(R.pair.host.running, 1);
    LinkPairDestroy(&R.pair);
}

INSTANTIATE_TEST_SUITE_P(Lines, Delivery,
                         ::testing::Values(Case{"clean", 38400, 0, 1, 2000}, Case{"noisy", 38400, 0.001, 2, 1000},
                                           Case{"fast", 0, 0.0005, 3, 1000}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
