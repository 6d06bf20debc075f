#include <gtest/gtest.h>

#include "relay/core/buf.h"

namespace {

struct Item {
    Item* next;
    Item* prev;
    int v;
};

std::vector<int> Values(const Lst& l) {
    std::vector<int> out;
    for (Item* i = lstFirstT<Item>(&l); i; i = i->next) out.push_back(i->v);
    return out;
}

TEST(Lst, QueueInsertConcatFindAndNulls) {
    Item a{nullptr, nullptr, 1}, b{nullptr, nullptr, 2}, c{nullptr, nullptr, 3}, d{nullptr, nullptr, 4};
    Lst x, y;
    lstInit(&x);
    lstInit(&y);
    EXPECT_EQ(lstGet(&x), nullptr);
    EXPECT_EQ(lstCount(&x), 0);
    EXPECT_EQ(lstCount(nullptr), 0);
    EXPECT_EQ(lstGet(nullptr), nullptr);

    lstInsert(&x, nullptr, &b);  // front of an empty list: first and last
    EXPECT_EQ(lstFirst(&x), &b);
    EXPECT_EQ(lstLast(&x), &b);
    lstInsert(&x, &b, &b);  // after itself: nothing
    EXPECT_EQ(lstCount(&x), 1);
    lstInsert(&x, nullptr, &a);
    lstAdd(&x, &c);
    EXPECT_EQ(Values(x), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(lstFind(&x, &a), 1);
    EXPECT_EQ(lstFind(&x, &d), -1);

    lstAdd(&y, &d);
    lstConcat(&x, &y);
    EXPECT_EQ(Values(x), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(lstCount(&y), 0);
    EXPECT_EQ(lstFirst(&y), nullptr);

    lstDelete(&x, &b);
    EXPECT_EQ(Values(x), (std::vector<int>{1, 3, 4}));
    Item* g = lstGetT<Item>(&x);
    EXPECT_EQ(g, &a);
    EXPECT_EQ(g->next, nullptr);
    EXPECT_EQ(g->prev, nullptr);
    EXPECT_EQ(lstPrevious(&c), nullptr);
    EXPECT_EQ(lstNext(&c), &d);
}

class Pool : public ::testing::Test {
  protected:
    BufData d;
    void SetUp() override { ASSERT_EQ(BufInit(&d), 0); }
    void TearDown() override { BufDestroy(&d); }
};

TEST_F(Pool, FreshBufferIsEmptyAtDataArea) {
    EXPECT_EQ(BufPoolCount(&d), NUM_POOL_BUFS);
    Buf* b = BufGet(&d);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->start, b->data);
    EXPECT_EQ(b->end, b->start);
    EXPECT_TRUE(b->poolFlags & BUF_INUSE);
    EXPECT_EQ(BufPoolCount(&d), NUM_POOL_BUFS - 1);
    BufFree(&d, b);
    EXPECT_EQ(BufPoolCount(&d), NUM_POOL_BUFS);
    EXPECT_EQ(lstLast(&d.bufPool), b);  // FIFO: a freed buffer is reused last
}

TEST_F(Pool, ExhaustionReturnsNull) {
    Lst held;
    lstInit(&held);
    while (Buf* b = BufGet(&d)) lstAdd(&held, b);
    EXPECT_EQ(lstCount(&held), NUM_POOL_BUFS);
    EXPECT_EQ(BufGetListByteLen(&held), 0u);
    BufListFree(&d, &held);
    EXPECT_EQ(BufPoolCount(&d), NUM_POOL_BUFS);
}

TEST_F(Pool, ClientBlockComesAndGoes) {
    ASSERT_NE(BufMakeClientBufs(&d, 7), nullptr);
    EXPECT_EQ(BufPoolCount(&d), NUM_POOL_BUFS + NUM_CLIENT_BUFS);
    EXPECT_EQ(BufClientPoolCount(&d), 1);
    EXPECT_EQ(BufFreeClientBufs(&d, 7), 0);
    EXPECT_EQ(BufPoolCount(&d), NUM_POOL_BUFS);
    EXPECT_EQ(BufClientPoolCount(&d), 0);
    EXPECT_EQ(BufFreeClientBufs(&d, 7), -1);
}

// Takes every buffer of the pool and returns the two that belong to client block `id`.
std::vector<Buf*> TakeTwoOfBlock(BufData& d, int id, Lst& others) {
    std::vector<Buf*> mine;
    while (Buf* b = BufGet(&d)) {
        if ((b->poolFlags & BUF_CLIENT_MASK) == id && mine.size() < 2) mine.push_back(b);
        else lstAdd(&others, b);
    }
    return mine;
}

TEST_F(Pool, DepartedClientBuffersStillQueued) {
    ASSERT_NE(BufMakeClientBufs(&d, 9), nullptr);
    Lst others;
    lstInit(&others);
    auto mine = TakeTwoOfBlock(d, 9, others);
    ASSERT_EQ(mine.size(), 2u);
    BufListFree(&d, &others);
    EXPECT_EQ(BufFreeClientBufs(&d, 9), 2);
    EXPECT_EQ(BufClientPoolCount(&d), 1);
    int before = BufPoolCount(&d);
    EXPECT_EQ(before, NUM_POOL_BUFS);
    BufFree(&d, mine[0]);
    EXPECT_EQ(BufClientPoolCount(&d), 1);
    EXPECT_EQ(BufPoolCount(&d), before);
    BufFree(&d, mine[1]);  // the last one out frees the block
    EXPECT_EQ(BufClientPoolCount(&d), 0);
    EXPECT_EQ(BufPoolCount(&d), before);
}

TEST_F(Pool, InactiveBlockIsReusedByNextClient) {
    ASSERT_NE(BufMakeClientBufs(&d, 9), nullptr);
    Lst others;
    lstInit(&others);
    auto mine = TakeTwoOfBlock(d, 9, others);
    BufListFree(&d, &others);
    EXPECT_EQ(BufFreeClientBufs(&d, 9), 2);
    ClientBufs* reused = BufMakeClientBufs(&d, 12);
    ASSERT_NE(reused, nullptr);
    EXPECT_EQ(BufClientPoolCount(&d), 1);
    EXPECT_EQ(reused->state, BUF_ACTIVE | 12);
    EXPECT_EQ(BufPoolCount(&d), NUM_POOL_BUFS + NUM_CLIENT_BUFS - 2);
    BufFree(&d, mine[0]);
    BufFree(&d, mine[1]);
    EXPECT_EQ(BufPoolCount(&d), NUM_POOL_BUFS + NUM_CLIENT_BUFS);
    EXPECT_EQ(mine[0]->poolFlags & BUF_CLIENT_MASK, 12);
    EXPECT_EQ(BufFreeClientBufs(&d, 12), 0);
    EXPECT_EQ(BufPoolCount(&d), NUM_POOL_BUFS);
}

TEST(Time, VirtualClockAndWrap) {
    VirtualClock vc{0xFFFFFFF0u};
    Clock c = vc.AsClock();
    uint32_t t0 = GetTime(&c);
    vc.usec += 0x20;  // wraps
    EXPECT_EQ(static_cast<uint32_t>(GetTime(&c) - t0), 0x20u);
    EXPECT_NE(GetTime(nullptr), 0u);
}

}  // namespace
