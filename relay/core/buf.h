// Link buffers and their pool. Every link message travels in a Buf; the pool is filled once at
// start-up (NUM_POOL_BUFS) and grows by one block of NUM_CLIENT_BUFS for each connected client.
// The pool state is one record per relay end (BufData), so that a host end and a terminal end can
// live in one process, each with buffers of its own.
#pragma once
#include <cstddef>
#include <cstdint>

#include "relay/core/lst.h"
#include "relay/core/msg.h"

constexpr int BUF_DATA_SIZE = 260;
constexpr int BUF_HDR_ROOM = 8;
constexpr int NUM_POOL_BUFS = 116;
constexpr int NUM_CLIENT_BUFS = 18;

// poolFlags bits (and ClientBufs::state bits)
constexpr uint8_t BUF_INUSE = 0x80;
constexpr uint8_t BUF_ACTIVE = 0x80;  // the same bit, as a ClientBufs state
constexpr uint8_t BUF_RELEASING = 0x40;
constexpr uint8_t BUF_CLIENT_MASK = 0x3f;

struct Buf {
    Buf* next;
    Buf* prev;
    uint8_t* start;  // first byte of the content
    uint8_t* end;    // one past the last byte of the content
    uint8_t poolFlags;
    uint8_t linkFlags;
    uint8_t type;
    uint8_t clientId;
    uint32_t seq;
    uint8_t hdr[BUF_HDR_ROOM];  // header room directly in front of data
    uint8_t data[BUF_DATA_SIZE];

    size_t Len() const { return static_cast<size_t>(end - start); }
    uint8_t* Limit() { return data + BUF_DATA_SIZE; }
    size_t Room() const { return static_cast<size_t>(data + BUF_DATA_SIZE - end); }
};
static_assert(offsetof(Buf, data) - offsetof(Buf, hdr) == BUF_HDR_ROOM, "header room must touch data");

struct ClientBufs {
    ClientBufs* next;
    ClientBufs* prev;
    uint8_t state;  // BUF_ACTIVE | BUF_RELEASING | client id
    Buf bufs[NUM_CLIENT_BUFS];
};

struct BufData {
    Lst bufPool;        // free buffers: taken from the front, returned to the back
    Lst bufClientBufs;  // ClientBufs blocks, active or waiting to be released
    Buf* permanent[NUM_POOL_BUFS];  // the start-up buffers, kept so BufDestroy can free them
};

int BufInit(BufData* pBufData);
void BufDestroy(BufData* pBufData);  // frees every buffer and block; for tests and exit
Buf* BufGet(BufData* pBufData);
Buf* BufFree(BufData* pBufData, Buf* buf);
Lst* BufListFree(BufData* pBufData, Lst* list);
int32_t BufPoolCount(const BufData* pBufData);
int32_t BufClientPoolCount(const BufData* pBufData);
size_t BufGetListByteLen(const Lst* list);
ClientBufs* BufMakeClientBufs(BufData* pBufData, int clientId);
int BufFreeClientBufs(BufData* pBufData, int clientId);
ClientBufs* BufFindClientBufs(BufData* pBufData, int clientId);
ClientBufs* BufFindAvailClientBufs(BufData* pBufData, int clientId);
int BufCheckClientBufs(BufData* pBufData, ClientBufs* block);

void* Malloc(size_t size);
void Free(void* ptr);  // returns nothing: a freed pointer is not a value to keep

// Time of day in microseconds modulo 2^32. Compare two times by their difference modulo 2^32.
// A Clock lets each relay end run on its own (possibly virtual) time; a null Clock, or one without
// a function, is the real time of day.
struct Clock {
    uint32_t (*now)(void* ctx);
    void* ctx;
};
uint32_t GetTime();
uint32_t GetTime(const Clock* clock);

// A manually advanced clock for deterministic tests and simulations.
struct VirtualClock {
    uint32_t usec;
    Clock AsClock() { return Clock{[](void* c) { return static_cast<VirtualClock*>(c)->usec; }, this}; }
};
