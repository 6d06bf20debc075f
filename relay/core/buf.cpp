#include "relay/core/buf.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>

void* Malloc(size_t size) { return std::malloc(size); }
void Free(void* ptr) { std::free(ptr); }

uint32_t GetTime() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec));
}

uint32_t GetTime(const Clock* clock) {
    if (clock && clock->now) return clock->now(clock->ctx);
    return GetTime();
}

int BufInit(BufData* d) {
    lstInit(&d->bufPool);
    for (int i = 0; i < NUM_POOL_BUFS; i++) d->permanent[i] = nullptr;
    for (int i = 0; i < NUM_POOL_BUFS; i++) {
        Buf* b = static_cast<Buf*>(Malloc(sizeof(Buf)));
        if (!b) {
            std::fprintf(stderr, "out of memory while creating buffer pool!\n");
            lstInit(&d->bufClientBufs);
            return -1;
        }
        d->permanent[i] = b;
        b->poolFlags = 0;
        b->linkFlags = 0;
        b->type = 0;
        b->clientId = 0;
        b->seq = 0;
        b->start = b->end = b->data;
        lstAdd(&d->bufPool, b);
    }
    lstInit(&d->bufClientBufs);
    return 0;
}

void BufDestroy(BufData* d) {
    for (int i = 0; i < NUM_POOL_BUFS; i++) {
        Free(d->permanent[i]);
        d->permanent[i] = nullptr;
    }
    while (ClientBufs* cb = static_cast<ClientBufs*>(lstGet(&d->bufClientBufs))) Free(cb);
    lstInit(&d->bufPool);
}

Buf* BufGet(BufData* d) {
    Buf* b = static_cast<Buf*>(lstGet(&d->bufPool));
    if (!b) return nullptr;
    b->start = b->end = b->data;
    b->poolFlags |= BUF_INUSE;
    return b;
}

Buf* BufFree(BufData* d, Buf* b) {
    if (!b) return nullptr;
    b->poolFlags &= static_cast<uint8_t>(~BUF_INUSE);
    if (!(b->poolFlags & BUF_RELEASING)) {
        lstAdd(&d->bufPool, b);
        return b;
    }
    if (ClientBufs* block = BufFindClientBufs(d, b->poolFlags & BUF_CLIENT_MASK)) BufCheckClientBufs(d, block);
    return b;
}

Lst* BufListFree(BufData* d, Lst* list) {
    if (!list) return nullptr;
    while (Buf* b = static_cast<Buf*>(lstGet(list))) BufFree(d, b);
    return list;
}

int32_t BufPoolCount(const BufData* d) { return lstCount(&d->bufPool); }
int32_t BufClientPoolCount(const BufData* d) { return lstCount(&d->bufClientBufs); }

size_t BufGetListByteLen(const Lst* list) {
    size_t n = 0;
    for (const Buf* b = lstFirstT<Buf>(list); b; b = b->next) n += b->Len();
    return n;
}

ClientBufs* BufFindClientBufs(BufData* d, int clientId) {
    clientId &= BUF_CLIENT_MASK;
    for (ClientBufs* cb = lstFirstT<ClientBufs>(&d->bufClientBufs); cb; cb = cb->next)
        if ((cb->state & BUF_CLIENT_MASK) == clientId) return cb;
    return nullptr;
}

ClientBufs* BufFindAvailClientBufs(BufData* d, int clientId) {
    clientId &= BUF_CLIENT_MASK;
    ClientBufs* lastInactive = nullptr;
    for (ClientBufs* cb = lstFirstT<ClientBufs>(&d->bufClientBufs); cb; cb = cb->next) {
        if (cb->state & BUF_ACTIVE) continue;
        if ((cb->state & BUF_CLIENT_MASK) == clientId) return cb;
        lastInactive = cb;
    }
    return lastInactive;
}

int BufCheckClientBufs(BufData* d, ClientBufs* block) {
    if (!block) return -1;
    int out = 0;
    for (Buf& b : block->bufs)
        if ((b.poolFlags & (BUF_INUSE | BUF_RELEASING)) == (BUF_INUSE | BUF_RELEASING)) out++;
    if (out == 0) {
        lstDelete(&d->bufClientBufs, block);
        Free(block);
    }
    return out;
}

ClientBufs* BufMakeClientBufs(BufData* d, int clientId) {
    clientId &= BUF_CLIENT_MASK;
    ClientBufs* block = BufFindAvailClientBufs(d, clientId);
    if (!block) {
        block = static_cast<ClientBufs*>(Malloc(sizeof(ClientBufs)));
        if (!block) return nullptr;
        for (Buf& b : block->bufs) {
            b.poolFlags = BUF_RELEASING;
            b.linkFlags = 0;
            b.type = 0;
            b.clientId = 0;
            b.seq = 0;
            b.start = b.end = b.data;
        }
        lstAdd(&d->bufClientBufs, block);
    }
    block->state = static_cast<uint8_t>(BUF_ACTIVE | clientId);
    for (Buf& b : block->bufs) {
        b.poolFlags &= BUF_INUSE;
        if (!(b.poolFlags & BUF_INUSE)) lstAdd(&d->bufPool, &b);
        b.poolFlags |= static_cast<uint8_t>(clientId);
    }
    return block;
}

int BufFreeClientBufs(BufData* d, int clientId) {
    clientId &= BUF_CLIENT_MASK;
    ClientBufs* block = BufFindClientBufs(d, clientId);
    if (!block) return -1;
    block->state = static_cast<uint8_t>(clientId | BUF_RELEASING);
    for (Buf& b : block->bufs) {
        b.poolFlags |= BUF_RELEASING;
        if (!(b.poolFlags & BUF_INUSE)) lstDelete(&d->bufPool, &b);
    }
    return BufCheckClientBufs(d, block);
}
