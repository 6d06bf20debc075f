// The relay's side of set-up differences (LINKEXT_SETUPDIFF, relay/xspec/setupdiff.h). The base is
// the last set-up reply of status Success that crossed the link whole, taken in link order, as the
// terminal takes it when it sends one; it is kept on disk by hash (SetupCacheDir("lqhostd")) so that
// a terminal that offers one from an earlier session starts with it at both ends.
#pragma once
#include <cstdint>

#include "relay/core/buf.h"
#include "relay/core/client.h"

// What the relay keeps of one link client id's set-up reply while it arrives in pieces.
struct RssSetupAcc {
    uint8_t* bytes;  // heap; null when nothing is gathered
    uint32_t have;
    uint32_t want;   // 0 until the reply's head has arrived
};

// The terminal offered the base with this hash (0: none). Returns the hash when the relay holds the
// same reply and both ends start with it, else 0 (and the relay starts without a base). Said in the
// log either way.
uint64_t RssSetupOffered(uint64_t hash);
// A MSG_CONNECT from the terminal, under the extension. 0: a plain piece of a reply (recorded), to
// be handed on as ever. 1: a difference, taken (the rebuilt reply is written to its client, if
// there is one). -1: a difference that does not rebuild; freed, said in the log: the link must end.
int RssSetupReplyIn(Buf* msg);
// Writes the client's rebuilt set-up reply. True when it is written (or the client died), false
// while the socket has not taken all of it.
bool RssSetupReplyPump(ClientRec* c);
// Releases the base, the gathered pieces and the figures' state (RssFreeData).
void RssSetupFree();
