// Frame layer: FCS, stuffing sets, the receive state machine and the send ring.
#include <gtest/gtest.h>

#include "relay/link/frame.h"
#include "tests/link/linktest.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct FrameEnd : SoloEnd {
    explicit FrameEnd(const char* escapes = nullptr) : SoloEnd(LINK_HOST, 30, escapes) { FrameInit(&link); }
    // Everything FrameRead delivers for the bytes fed so far.
    std::vector<Bytes> ReadAll() {
        std::vector<Bytes> got;
        while (Buf* b = FrameRead(&link)) {
            got.push_back(Content(b));
            BufFree(&pool, b);
        }
        return got;
    }
    Bytes Frame(const Bytes& pkt, uint8_t flags = 0) {
        Buf* b = MakeMsg(&pool, 0, 0, pkt);
        b->linkFlags = flags;
        io.out.clear();
        FrameWrite(&link, b);
        BufFree(&pool, b);
        return io.out;
    }
};

TEST(Frame, FcsKnownAnswer) {
    BufData pool{};
    BufInit(&pool);
    Buf* b = MakeMsg(&pool, 0, 0, Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    ASSERT_EQ(FrameFCSAdd(b), 0);
    EXPECT_EQ(Content(b), (Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9', 0x6E, 0x90}));
    EXPECT_EQ(FrameFCSStrip(b), 0);
    EXPECT_EQ(b->Len(), 9u);
    b->data[0] ^= 1;
    FrameFCSAdd(b);
    b->data[0] ^= 1;
    EXPECT_EQ(FrameFCSStrip(b), -1);
    b->end = b->start + 2;
    EXPECT_EQ(FrameFCSStrip(b), -1);
    EXPECT_EQ(FrameFCSAdd(nullptr), -1);
    EXPECT_EQ(FrameCRCCompute(0x1234, nullptr, 5), 0xFFFF);
    BufFree(&pool, b);
    BufDestroy(&pool);
}

TEST(Frame, CircularBufferSizes) {
    for (auto [asked, size] : {std::pair{100, 512}, {512, 512}, {600, 1024}, {1024, 1024}, {20000, 16384}}) {
        FrameCircBuf* cb = FrameAllocateCBuf(asked);
        ASSERT_NE(cb, nullptr);
        EXPECT_EQ(cb->size, size) << asked;
        EXPECT_EQ(FrameQueryCBufSpace(cb), size - 1);
        Free(cb);
    }
}

// The stuffed set before and after the peer is ready, for the default list and for a list with
// characters outside the conservative set.
TEST(Frame, EscapeTableBeforeAndAfterReady) {
    for (const char* list : {"0x0a 0x0d 0x11 0x13 0x1d 0x7f 0x93 0x9d 0xff", "0x11 0x13 0x41 0xe0"}) {
        FrameEnd f(list);
        Bytes configured(f.link.config.escChars, f.link.config.escChars + f.link.config.escCount);
        auto inList = [&](int c) { return std::find(configured.begin(), configured.end(), c) != configured.end(); };
        for (int c = 0; c < 256; c++) {
            bool conservative = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xFF;
            bool special = c == 0x7D || c == 0x7E;
            uint8_t cls = f.link.frame.frame_ce_table[c];
            EXPECT_EQ((cls & CE_ESCAPE) != 0, conservative || special || inList(c)) << list << " before " << c;
            EXPECT_EQ((cls & CE_IGNORE) != 0, inList(c) && !special) << list << " " << c;
        }
        LinkSetRemoteVersion(&f.link, 'B', 1, 3);
        for (int c = 0; c < 256; c++) {
            uint8_t cls = f.link.frame.frame_ce_table[c];
            bool special = c == 0x7D || c == 0x7E;
            EXPECT_EQ((cls & CE_ESCAPE) != 0, special || inList(c)) << list << " after " << c;
            if (special) {
                EXPECT_EQ(cls, CE_ESCAPE);
            }
        }
    }
}

TEST(Frame, WriteStuffsAndCanFrameTwice) {
    FrameEnd f;
    Bytes pkt{0x01, 0x7E, 0x41, 0x7D, 0x93, 0x20};
    Bytes once = f.Frame(pkt);
    Bytes twice = f.Frame(pkt);
    EXPECT_EQ(once, twice);
    uint16_t fcs = SlowFcs(pkt);
    Bytes want{0x7D, 0x21, 0x7D, 0x5E, 0x41, 0x7D, 0x5D, 0x7D, 0xB3, 0x20};
    for (uint8_t c : {static_cast<uint8_t>(fcs), static_cast<uint8_t>(fcs >> 8)}) {
        if (f.link.frame.frame_ce_table[c] & CE_ESCAPE) want.push_back(0x7D), want.push_back(c ^ 0x20);
        else want.push_back(c);
    }
    want.push_back(0x7E);
    EXPECT_EQ(once, want);
    Bytes wrapped = f.Frame(pkt, LINK_DCS_WRAP);
    Bytes head{0x1B, 0x5B, 0x36, 0x32, 0x22, 0x70, 0x90, 0x7E};
    EXPECT_EQ(Bytes(wrapped.begin(), wrapped.begin() + 8), head);
    EXPECT_EQ(Bytes(wrapped.begin() + 8, wrapped.end() - 2), once);
    EXPECT_EQ(Bytes(wrapped.end() - 2, wrapped.end()), (Bytes{0x9C, 0x7E}));
}

struct ReadCase {
    const char* name;
    Bytes line;
    std::vector<Bytes> packets;
};

TEST(Frame, ReadStateMachine) {
    Bytes abc{0x61, 0x62, 0x63};
    Bytes good = EncodeFrame(abc);
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes r;
        for (const Bytes& p : parts) r.insert(r.end(), p.begin(), p.end());
        return r;
    };
    Bytes withFlagByte{0x61, 0x7E, 0x62};
    Bytes xon{0x61, 0x11, 0x62};
    Bytes damaged = good;
    damaged[1] ^= 0x04;
    const ReadCase cases[] = {
        {"plain", good, {abc}},
        {"escaped flag is data", EncodeFrame(withFlagByte), {withFlagByte}},
        {"two flags give nothing", {0x7E, 0x7E}, {}},
        {"bare configured byte is dropped", cat({{0x61, 0x11}, Bytes(good.begin() + 1, good.end())}), {abc}},
        {"stuffed configured byte is kept", EncodeFrame(xon, {0x11}), {xon}},
        {"bad FCS is dropped, next frame read", cat({damaged, good}), {abc}},
        {"short frames are dropped", cat({{0x61, 0x7E, 0x61, 0x62, 0x7E}, good}), {abc}},
        {"start wrapper around a frame", cat({{0x1B, 0x5B, 0x36, 0x32, 0x22, 0x70, 0x90, 0x7E}, good, {0x9C, 0x7E}}), {abc}},
    };
    for (const ReadCase& c : cases) {
        FrameEnd f;
        f.Feed(c.line);
        EXPECT_EQ(f.ReadAll(), c.packets) << c.name;
    }
}

TEST(Frame, EscapeSplitAcrossReads) {
    FrameEnd f;
    Bytes pkt{0x61, 0x7D, 0x62};
    Bytes line = EncodeFrame(pkt);
    size_t esc = 1;  // position of the 0x7D that stuffs the packet's 0x7D
    ASSERT_EQ(line[esc], 0x7D);
    f.Feed(Bytes(line.begin(), line.begin() + esc + 1));
    EXPECT_TRUE(f.ReadAll().empty());
    EXPECT_EQ(f.link.frame.frame_LCE, 1);
    f.Feed(Bytes(line.begin() + esc + 1, line.end()));
    EXPECT_EQ(f.ReadAll(), std::vector<Bytes>{pkt});
}

// The longest legal packet (a full message in the retransmission form) is received; one byte more
// is not, and the frame after it still is.
TEST(Frame, LongestPacketIsReceived) {
    // The longest is a resent message of the link-life coder, a byte longer than the message.
    for (int extra : {0, 1}) {
        FrameEnd f;
        Bytes pkt(LINK_MAX_HDR + LINK_MAX_MSG + 1 + extra);
        for (size_t i = 0; i < pkt.size(); i++) pkt[i] = static_cast<uint8_t>(i * 7);
        f.Feed(EncodeFrame(pkt));
        f.Feed(EncodeFrame({1, 2, 3}));
        std::vector<Bytes> want;
        if (!extra) want.push_back(pkt);
        want.push_back({1, 2, 3});
        EXPECT_EQ(f.ReadAll(), want) << extra;
    }
}

// A line that takes few bytes at a time: the ring keeps the rest and nothing is lost or reordered.
TEST(Frame, PartialWritesKeepOrder) {
    FrameEnd f;
    f.io.writeLimit = 7;
    std::vector<Bytes> pkts;
    for (int i = 0; i < 3; i++) {
        Bytes p(40, static_cast<uint8_t>(0x30 + i));
        pkts.push_back(p);
        Buf* b = MakeMsg(&f.pool, 0, 0, p);
        FrameWrite(&f.link, b);
        BufFree(&f.pool, b);
    }
    while (LinkOutputWaiting(&f.link)) FrameWriteCWBuf(&f.link);
    EXPECT_EQ(DecodeFrames(f.io.out), pkts);
}

// A frame that cannot fit the send ring is not written over the bytes still queued.
TEST(Frame, FullRingIsNotOverrun) {
    FrameEnd f;
    f.io.writeLimit = 0;
    Bytes big(250, 0x7E);  // every byte stuffed: 503 bytes a frame
    int written = 0;
    for (int i = 0; i < 4; i++) {
        Buf* b = MakeMsg(&f.pool, 0, 0, big);
        int before = LinkOutputWaiting(&f.link);
        FrameWrite(&f.link, b);
        written += LinkOutputWaiting(&f.link) > before;
        BufFree(&f.pool, b);
    }
    EXPECT_EQ(written, 2);
    f.io.writeLimit = -1;
    FrameWriteCWBuf(&f.link);
    EXPECT_EQ(DecodeFrames(f.io.out), (std::vector<Bytes>{big, big}));
}

TEST(Frame, EndOfFileCallsShutdownHook) {
    FrameEnd f;
    int calls = 0;
    f.link.shutdownHook = [](void* c) { return ++*static_cast<int*>(c); };
    f.link.shutdownCtx = &calls;
    f.link.io.read = [](void*, uint8_t*, int) { return 0; };
    f.link.io.pending = [](void*) { return 1; };
    EXPECT_EQ(FrameRead(&f.link), nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(f.link.lineDown, 1);
}

}  // namespace
