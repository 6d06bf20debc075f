// The relay's side of the message store (LINKEXT_STORE, relay/xspec/xstore.h). It follows the
// terminal's replies as they arrive, in link order, and adds every long one that crossed whole;
// a reference from the terminal is resolved from the store and written to its client in the place
// it took in the client's stream. A reference it cannot resolve is asked for again
// (XSTORE_MISS); the client's later output waits until the bytes come, and a client whose bytes
// cannot be had is closed: nothing wrong, and nothing out of order, reaches a client.
// The store is kept on disk by digest (SetupCacheDir("lqhostd")/store-<digest>, the newest
// RSS_STORE_FILES), so that a terminal that offers one from an earlier session starts warm.
#pragma once
#include <cstdint>

#include "relay/core/buf.h"
#include "relay/core/client.h"

constexpr int RSS_STORE_FILES = 4;

// The terminal offered the store with this digest (0: none). Returns the digest when the relay
// holds the same store and both ends start with it, else 0 (both start empty). Said in the log.
uint64_t RssStoreOffered(uint64_t digest);
// A new client has this link id: its stream starts afresh.
void RssStoreClientNew(int id, bool little);
// A MSG_XDATA, MSG_XCACHED or MSG_XMERGED from the terminal as it arrives, before it is decoded
// (and whether or not its client is still there).
void RssStoreSee(const Buf* msg);
// A MSG_XSTORE from the terminal (the handler owns msg).
void RssStoreMessage(Buf* msg);
// The terminal's shutdown message has come: nothing after it changes the store, which is kept as
// the terminal keeps its own.
void RssStoreFreeze();
// Writes the store to disk (when the extension was agreed) and says its figures in the log, once;
// the relay does so as it ends. RssStoreFree does it too, and releases the store (RssFreeData).
void RssStoreKeep();
void RssStoreFree();
