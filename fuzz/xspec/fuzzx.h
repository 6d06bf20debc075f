// One end of the X encodings with a few clients, driven by fuzz input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "relay/xspec/xspec.h"

namespace fx {

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t Byte() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    size_t Take(uint8_t* dst, size_t want) {
        size_t k = want < n ? want : n;
        std::memcpy(dst, p, k);
        p += k;
        n -= k;
        return k;
    }
};

struct End {
    static constexpr int kClients = 3;
    BufData pool{};
    XspecMsgCache cache{};
    XspecEnv env{};
    ClientRec c[kClients]{};
    Buf* hog[NUM_POOL_BUFS]{};
    int nhog = 0, version = 1, level = 3, focus = 0;
    explicit End(uint8_t config) {
        BufInit(&pool);
        env.pBufData = &pool;
        env.xspecCache = &cache;
        env.hostByteOrder = config & 1 ? 'l' : 'B';
        level = config & 2 ? 2 : 3;
        env.pRemoteVersion = &version;
        env.pRemoteLevel = &level;
        env.pFocusClient = &focus;
        for (int i = 0; i < kClients; i++) {
            ClientRecInitQueues(&c[i]);
            c[i].clientId = 5 + i;
            c[i].byteOrder = (config >> (2 + i)) & 1 ? 'l' : 'B';
            XspecEncodeInit(&env, &c[i]);
        }
    }
    ~End() {
        Unhog();
        for (ClientRec& r : c) {
            for (Lst* l : {r.reqList, r.encList, r.replyInList, r.replyOutList}) BufListFree(&pool, l);
            XspecFree(r.xspec);
        }
        BufDestroy(&pool);
    }
    void Hog(int leave) {
        while (BufPoolCount(&pool) > leave && nhog < NUM_POOL_BUFS) hog[nhog++] = BufGet(&pool);
    }
    void Unhog() {
        while (nhog > 0) BufFree(&pool, hog[--nhog]);
    }
    // Queues up to len bytes of the reader as one message (at most 256 bytes); false when done.
    bool Queue(Reader& r, Lst* l, uint8_t type, int id, size_t len) {
        Buf* b = BufGet(&pool);
        if (!b) return false;
        if (len > 256) len = 256;
        b->end += r.Take(b->end, len);
        b->type = type;
        b->clientId = static_cast<uint8_t>(id);
        lstAdd(l, b);
        return true;
    }
    void Discard(Lst* l) { BufListFree(&pool, l); }
};

}  // namespace fx
