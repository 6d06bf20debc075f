// lqterm's side of the message store (LINKEXT_STORE, relay/xspec/xstore.h). The store holds what
// the relay holds: every long reply that went to it whole, added as its last byte goes on the
// link. A reply the store holds goes as a reference instead. The store is kept on disk
// (SetupCacheDir("lqterm")/store-<host and display>) and offered by digest at the start of the
// link; the relay's answer says whether it holds the same one. A reference the relay cannot
// resolve is asked for again, and answered with the bytes (or as lost) here.
#pragma once
#include <cstdint>

#include "relay/core/buf.h"
#include "relay/link/linkext.h"

struct TermData;
struct TermClient;

// At start: the store of an earlier session, when the cache holds a sound one (else said in the
// log). Returns its digest, to be offered (0: none).
uint64_t TermStoreLoad(TermData* t);
// The relay's answer: references only when it accepted them, from the offered store only when it
// holds it too (else both start empty).
void TermStoreAgreed(TermData* t, uint32_t accepted, const LinkExtParams& answer);
// True when the whole server message at m (size bytes) is one the store takes now.
bool TermStoreTakes(const TermData* t, const uint8_t* m, uint32_t size);
// Such a message, with nothing of its client's output still before the encoder: true when it went
// as a reference (the caller drops it); false when it is to go whole, and is then kept to be added
// once its last byte is on the link (TermStoreCrossed).
bool TermStoreSend(TermData* t, TermClient* c, const uint8_t* m, uint32_t size);
// The client's message to be added has been handed to the encoder whole.
void TermStoreFed(TermClient* c);
// After the client's coded output went to the link's queue: adds the message kept, once all of it
// has gone.
void TermStoreCrossed(TermData* t, TermClient* c);
// True while a kept message has not all gone: the client's later output waits.
bool TermStoreHolding(const TermClient* c);
// A MSG_XSTORE from the relay (the handler owns b).
void TermStoreMessage(TermData* t, Buf* b);
// Sends what the answers to the relay's misses still owe, as the link's queue takes it.
void TermStorePump(TermData* t);
// Our shutdown message is on its way: the store stays as it is from here, as the relay's does.
void TermStoreFreeze(TermData* t);
// At the end: writes the store to disk.
void TermStoreSave(TermData* t);
