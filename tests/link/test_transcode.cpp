// The link-life coder in the transport: the switch at both ends and what a packet that does not
// decode leaves behind.
#include <gtest/gtest.h>

#include "relay/link/linkext.h"
#include "relay/link/linkpair.h"
#include "tests/link/linktest.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pkt(int seq, uint8_t typeByte, Bytes content = {}) {
    content.insert(content.begin(), typeByte);
    content.insert(content.begin(), static_cast<uint8_t>(seq & 0xF));
    return content;
}

Bytes Answer(uint32_t bits) {
    Bytes a(LINKEXT_MAX);
    a.resize(LinkExtWrite(a.data(), bits));
    return a;
}

// A terminal end that has taken the host's start message and its answer naming the coder.
struct CodingTerminal : SoloEnd {
    std::vector<Bytes> got;  // content of each delivered message of type 3
    CodingTerminal() : SoloEnd(LINK_TERMINAL) {
        EXPECT_EQ(Start(), 0);
        Feed(EncodeFrame(Pkt(1, MSG_START, {'B', 1, 3, 0, 0, 30, 0, 1, 0})));
        Feed(EncodeFrame(Pkt(2, MSG_EXTENSIONS, Answer(LINKEXT_ZCODER))));
        Read();
    }
    void Read() {
        Lst in;
        lstInit(&in);
        TransRead(&link, &in);
        while (Buf* b = lstGetT<Buf>(&in)) {
            if (b->type == MSG_XDATA) got.push_back(Content(b));
            BufFree(&pool, b);
        }
    }
};

TEST(LinkCoder, TheTerminalConfirmsAndDecodesWhatFollowsTheAnswer) {
    CodingTerminal t;
    EXPECT_EQ(t.link.extIn, LINKEXT_ZCODER);
    // The confirmation went out, and the terminal codes what it sends after it.
    bool confirmed = false;
    for (const Bytes& p : t.Sent()) confirmed |= p.size() > 2 && p[1] == MSG_EXTENSIONS && Bytes(p.begin() + 2, p.end()) == Answer(LINKEXT_ZCODER);
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(t.link.extOut, LINKEXT_ZCODER);
    // A body whose first byte has bit 0 set carries the message as it is.
    t.Feed(EncodeFrame(Pkt(3, 5 * 4 + MSG_XDATA, {0x01, 'h', 'i'})));
    t.Read();
    ASSERT_EQ(t.got.size(), 1u);
    EXPECT_EQ(t.got[0], (Bytes{'h', 'i'}));
    EXPECT_FALSE(LinkCodingFailed(&t.link));
}

TEST(LinkCoder, APacketThatDoesNotDecodeStopsEveryCodedMessageAfterIt) {
    CodingTerminal t;
    FILE* err = std::tmpfile();
    t.link.errFile = err;
    // A deflate block of the reserved type, then a message that would decode on its own.
    t.Feed(EncodeFrame(Pkt(3, 5 * 4 + MSG_XDATA, {0x06, 1, 2, 3})));
    t.Feed(EncodeFrame(Pkt(4, 5 * 4 + MSG_XDATA, {0x01, 'h', 'i'})));
    t.Read();
    EXPECT_TRUE(t.got.empty());
    EXPECT_TRUE(LinkCodingFailed(&t.link));
    std::rewind(err);
    char line[128] = {};
    ASSERT_NE(std::fgets(line, sizeof line, err), nullptr);
    EXPECT_STREQ(line, "LQx panic: a coded packet does not decode - link shut down\n");
    std::fclose(err);
}

// The same seeded stream of text-like X data through both ends, with and without the coder.
uint64_t LineBytes(uint32_t ext, uint64_t* delivered) {
    LinkPair P;
    LinkPairConfig cfg;
    cfg.ext = ext;
    EXPECT_EQ(LinkPairInit(&P, &cfg), 0);
    LinkPairRun(&P, 2000000);  // start and answer
    std::mt19937 rng(7);
    const std::string words[] = {"PolyText8 ", "xterm ", "-misc-fixed-medium-r-normal--13-120-75-75-c-70-iso8859-1 ",
                                 std::string("\x12\x00\x05\x00", 4)};
    *delivered = 0;
    for (int round = 0; round < 200; round++) {
        Bytes m;
        while (m.size() < 200) {
            const std::string& w = words[rng() % 4];
            m.insert(m.end(), w.begin(), w.end());
        }
        lstAdd(LinkPairOut(&P, 0), MakeMsg(&P.hostBufs, MSG_XDATA, 5, m));
        LinkPairRun(&P, 50000);
        while (Buf* b = lstGetT<Buf>(LinkPairIn(&P, 1))) {
            *delivered += b->Len();
            BufFree(&P.termBufs, b);
        }
    }
    uint64_t line = P.host.stats.frameBytesOut;
    EXPECT_EQ(P.host.extOut, ext);
    LinkPairDestroy(&P);
    return line;
}

TEST(LinkCoder, CarriesTextInFarFewerLineBytesThanLzw) {
    uint64_t plainGot = 0, codedGot = 0;
    uint64_t plain = LineBytes(0, &plainGot), coded = LineBytes(LINKEXT_ZCODER, &codedGot);
    EXPECT_EQ(plainGot, codedGot);
    EXPECT_GT(plainGot, 40000u);
    EXPECT_LT(coded * 2, plain) << "coded " << coded << ", LZW " << plain;
}

}  // namespace
