// Poly requests through the whole encoding driver at the host and the whole decoding driver at the
// terminal: the terminal's X server must receive every request of the client, unchanged and one
// for one, so that the sequence numbers of its replies, events and errors match the client's.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "relay/xspec/polydec.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct End {
    BufData pool{};
    XspecMsgCache cache{};
    XspecEnv env{};
    ClientRec client{};
    explicit End(uint8_t order) {
        EXPECT_EQ(BufInit(&pool), 0);
        env.pBufData = &pool;
        env.xspecCache = &cache;
        env.hostByteOrder = 'B';
        ClientRecInitQueues(&client);
        client.clientId = 5;
        client.byteOrder = order;
        EXPECT_EQ(XspecEncodeInit(&env, &client), 0);
    }
    ~End() {
        for (Lst* l : {client.reqList, client.encList, client.replyInList, client.replyOutList}) BufListFree(&pool, l);
        XspecFree(client.xspec);
        BufDestroy(&pool);
    }
};

void Put16(Bytes& b, int v, bool big) {
    b.resize(b.size() + 2);
    XspecStore16(&b[b.size() - 2], static_cast<uint16_t>(v), !big);
}

Bytes Request(uint8_t op, uint8_t byte1, int len, const std::vector<int>& words, bool big, size_t bytes = 0) {
    Bytes b{op, byte1};
    Put16(b, len, big);
    if (XspecIsPolyOpcode(op) && len >= 3) {
        b.insert(b.end(), {0, 0x40, 0, 1, 0, 0x40, 0, 2});
        if (!big) std::swap(b[4], b[7]), std::swap(b[5], b[6]), std::swap(b[8], b[11]), std::swap(b[9], b[10]);
    }
    for (int w : words) Put16(b, w, big);
    if (bytes) b.resize(bytes, 0x5a);
    return b;
}

// Sequence numbers (1-based request counts) at which the client asks for input focus.
std::vector<size_t> FocusRequests(const Bytes& stream, bool big) {
    std::vector<size_t> seqs;
    size_t n = 0;
    for (size_t pos = 0; pos + 4 <= stream.size();) {
        n++;
        if (stream[pos] == 43) seqs.push_back(n);
        pos += XspecRequestSize(&stream[pos], !big);
    }
    return seqs;
}

// Runs the stream through both drivers, fed in pieces of `piece` bytes, the line carrying whole
// messages; returns what the terminal hands its X server.
Bytes Cross(const Bytes& stream, uint8_t order, size_t piece) {
    End h(order), t(order);
    Bytes got;
    auto carry = [&]() {
        while (Buf* b = lstGetT<Buf>(h.client.encList)) {
            EXPECT_LE(b->Len(), 128u);
            Buf* c = BufGet(&t.pool);
            std::memcpy(c->end, b->start, b->Len());
            c->end += b->Len();
            c->type = b->type;
            c->clientId = b->clientId;
            BufFree(&h.pool, b);
            lstAdd(t.client.replyInList, c);
            XspecTermDecode(&t.env, &t.client);
        }
        while (Buf* b = lstGetT<Buf>(t.client.replyOutList)) {
            got.insert(got.end(), b->start, b->end);
            BufFree(&t.pool, b);
        }
    };
    for (size_t pos = 0; pos < stream.size(); pos += piece) {
        Buf* b = BufGet(&h.pool);
        const size_t k = std::min(piece, stream.size() - pos);
        std::memcpy(b->end, &stream[pos], k);
        b->end += k;
        lstAdd(h.client.reqList, b);
        XspecEncode(&h.env, &h.client);
        carry();
    }
    for (int i = 0; i < 4; i++) {
        XspecEncode(&h.env, &h.client);
        carry();
    }
    EXPECT_EQ(h.client.xspec->inProgress, 0);
    EXPECT_EQ(0, std::memcmp(h.client.xspec->lastPolyHeader, t.client.xspec->lastPolyHeader, 12));
    EXPECT_EQ(0, std::memcmp(h.client.xspec->lineCache, t.client.xspec->lineCache, 56));
    EXPECT_EQ(0, std::memcmp(h.client.xspec->rectSizeCache, t.client.xspec->rectSizeCache, 56));
    return got;
}

TEST(PolyThroughDrivers, EveryRequestReachesTheServerInItsPlace) {
    for (uint8_t order : {'B', 'l'}) {
        const bool big = order == 'B';
        const Bytes focus = Request(43, 0, 1, {}, big);
        const std::vector<Bytes> odd = {
            Request(65, 0, 3, {}, big),               // PolyLine without points
            Request(70, 0, 3, {}, big),               // PolyFillRectangle without rectangles
            Request(66, 0, 0, {}, big, 4),            // length field 0
            Request(65, 0, 1, {}, big, 4),            // shorter than its header
            Request(67, 0, 2, {}, big, 8),
            Request(66, 0, 6, {1, 2, 3, 4, 5, 6}, big),  // a segment and a half
            Request(65, 2, 4, {7, 7}, big),           // coordinate mode the server refuses
            Request(67, 0, 5, {1, 2, 3, 4}, big),     // a good one between them
            Request(65, 1, 5, {1, 1, 2, 2}, big),
        };
        Bytes stream;
        std::mt19937 rng(order);
        for (int round = 0; round < 3; round++)
            for (const Bytes& r : odd) {
                stream.insert(stream.end(), r.begin(), r.end());
                if (rng() % 2) stream.insert(stream.end(), focus.begin(), focus.end());
            }
        for (size_t piece : {size_t(1), size_t(3), size_t(7), size_t(64), size_t(256)}) {
            SCOPED_TRACE(testing::Message() << "order " << order << " piece " << piece);
            const Bytes got = Cross(stream, order, piece);
            EXPECT_EQ(FocusRequests(got, big), FocusRequests(stream, big));
            EXPECT_EQ(got, stream);
        }
    }
}

}  // namespace
