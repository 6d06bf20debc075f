// The relay's side of answers made at the relay (LINKEXT_ANSWER, relay/xspec/xanswer.h). A client
// whose set-up reply shows a TrueColor default colormap gets a stream that follows its requests
// and the X server's messages to it; the colours learnt are kept on disk per X server
// (SetupCacheDir("lqhostd")/colors-<server key>), so that the next session answers from the start.
#pragma once
#include <cstddef>
#include <cstdint>

#include "relay/core/client.h"

// The set-up reply (n bytes) that went to the client with this link id.
void RssAnswerSetup(int id, const uint8_t* reply, size_t n);
// A whole request of the client (the first n bytes of it at req). True when it was answered: the
// answer is then held for the client (RssAnswerOut), to be written with its other output.
bool RssAnswerRequest(ClientRec* c, uint8_t* req, size_t n);
// The table the clients' streams (ClientRec::answer) answer from and learn into.
struct XAnswerTable* RssAnswerTable();
// The client's record is going.
// The terminal's account of the replies it kept for a client (an XANSWER_KEPT record).
void RssAnswerKept(const uint8_t* p, size_t n);
void RssAnswerClientEnd(ClientRec* c);
// Writes the colours learnt to disk and says the figures in the log, once (as the relay ends);
// RssAnswerFree does it too and releases the table (RssFreeData).
void RssAnswerKeep();
void RssAnswerFree();
