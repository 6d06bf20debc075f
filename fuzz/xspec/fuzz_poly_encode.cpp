// Arbitrary Poly request streams (every request given a Poly opcode, lengths as they come) through
// the host's encoder and the terminal's decoder, cut into pieces, with the pools running dry now
// and then: no crash, no overread, no wait while a whole request is queued, and the terminal gets
// back exactly the bytes the client sent, with both ends' state in step.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

#include "relay/xspec/polydec.h"

namespace {

struct End {
    BufData pool{};
    XspecEnv env{};
    XspecState st{};
    ClientRec client{};
    Buf* held[NUM_POOL_BUFS];
    int nHeld = 0;

    void Reset(uint8_t order) {
        st = XspecState{};
        client = ClientRec{};
        ClientRecInitQueues(&client);
        client.clientId = 9;
        client.byteOrder = order;
        client.xspec = &st;
    }
    void Starve(int keep) {
        while (BufPoolCount(&pool) > keep) held[nHeld++] = BufGet(&pool);
    }
    void Feed() {
        while (nHeld > 0) BufFree(&pool, held[--nHeld]);
    }
};

End* Make() {
    End* e = new End;
    if (BufInit(&e->pool) != 0) std::abort();
    e->env.pBufData = &e->pool;
    return e;
}

// Carries the host's messages over the line into the terminal's own buffers.
void Carry(End* from, End* to) {
    while (Buf* b = lstGetT<Buf>(from->client.encList)) {
        Buf* c = BufGet(&to->pool);
        if (!c) std::abort();
        std::memcpy(c->end, b->start, b->Len());
        c->end += b->Len();
        c->type = b->type;
        c->clientId = b->clientId;
        lstAdd(to->client.replyInList, c);
        BufFree(&from->pool, b);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 8192) return 0;
    static End* h = Make();
    static End* t = Make();
    const uint8_t order = (data[0] & 1) ? 'B' : 'l';
    const bool big = order == 'B';
    const uint8_t starveMask = data[1];
    const size_t piece = 1 + data[2] % 200;
    std::vector<uint8_t> req(data + 3, data + size);

    // Give every request a Poly opcode; well-formed rectangles and segments carry 0 in byte 1,
    // which their compact form does not keep.
    static const uint8_t ops[4] = {65, 66, 67, 70};
    for (size_t pos = 0; pos < req.size();) {
        req[pos] = ops[req[pos] & 3];
        if (req.size() - pos < 4) break;
        const uint16_t len = XspecLoad16(&req[pos + 2], !big);
        if (req[pos] != 65 && len >= 3 && ((len - 3) & 1) == 0) req[pos + 1] = 0;
        pos += XspecRequestSize(&req[pos], !big);
    }

    h->Reset(order);
    t->Reset(order);
    std::vector<uint8_t> got;
    unsigned tick = 0;
    bool starvedLast = false;  // a starved call is followed by one that is not, so all ends
    auto starve = [&](End* e) {
        const bool s = !starvedLast && ((starveMask >> (tick++ % 8)) & 1);
        if (s) e->Starve(static_cast<int>(tick % 3));
        starvedLast = s;
        return s;
    };
    auto decode = [&]() {
        Carry(h, t);
        while (lstCount(t->client.replyInList) > 0) {
            const bool s = starve(t);
            const int rc = XspecPolyDecode(&t->env, &t->client, t->client.replyInList, t->client.replyOutList);
            t->Feed();
            for (Buf* b = lstFirstT<Buf>(t->client.replyOutList); b; b = b->next)
                got.insert(got.end(), b->start, b->end);
            BufListFree(&t->pool, t->client.replyOutList);
            if (rc == XSPEC_POLY_BAD) std::abort();  // the encoder's output is always decodable
            if (rc != 0 && !s) break;
        }
    };
    auto encode = [&](bool final) {
        for (;;) {
            if (h->st.inProgress == 0) {
                uint8_t hd[4];
                if (XspecInPeek(h->client.reqList, 0, hd, 4) < 4) return;
                h->st.curOpcode = hd[0];
            }
            const bool s = starve(h);
            int rc;
            if (h->st.curOpcode == 65)
                rc = XspecPolyLineEncode(&h->env, &h->client, h->client.reqList, h->client.encList);
            else if (h->st.curOpcode == 66)
                rc = XspecPolySegEncode(&h->env, &h->client, h->client.reqList, h->client.encList);
            else
                rc = XspecPolyRectEncode(&h->env, &h->client, h->client.reqList, h->client.encList);
            h->Feed();
            h->st.inProgress = rc;
            decode();
            if (rc != 0 && !(s && final)) return;
        }
    };
    for (size_t pos = 0; pos < req.size(); pos += piece) {
        Buf* b = BufGet(&h->pool);
        if (!b) std::abort();
        const size_t k = req.size() - pos < piece ? req.size() - pos : piece;
        std::memcpy(b->end, &req[pos], k);
        b->end += k;
        b->type = MSG_XDATA;
        lstAdd(h->client.reqList, b);
        encode(false);
        encode(true);
    }
    // What reached the terminal is exactly what the client sent, as far as it was sent.
    if (got.size() > req.size() || !std::equal(got.begin(), got.end(), req.begin())) std::abort();
    const size_t queued = BufGetListByteLen(h->client.reqList);
    if (h->st.inProgress == 0 && got.size() + queued != req.size()) std::abort();
    if (h->st.inProgress == 0 && !XspecPolyDecoding(&t->st)) {
        if (std::memcmp(h->st.lastPolyHeader, t->st.lastPolyHeader, 12) != 0 ||
            std::memcmp(h->st.lineCache, t->st.lineCache, sizeof h->st.lineCache) != 0 ||
            std::memcmp(h->st.rectPosCache, t->st.rectPosCache, sizeof h->st.rectPosCache) != 0 ||
            std::memcmp(h->st.rectSizeCache, t->st.rectSizeCache, sizeof h->st.rectSizeCache) != 0 ||
            std::memcmp(h->st.segCache, t->st.segCache, sizeof h->st.segCache) != 0)
            std::abort();
    }
    for (Lst* l : {h->client.reqList, h->client.encList}) BufListFree(&h->pool, l);
    if (h->st.polyOut) BufFree(&h->pool, h->st.polyOut);
    BufListFree(&t->pool, t->client.replyInList);
    if (BufPoolCount(&h->pool) != NUM_POOL_BUFS || BufPoolCount(&t->pool) != NUM_POOL_BUFS) std::abort();
    return 0;
}
