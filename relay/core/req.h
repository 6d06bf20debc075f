// X request intake (client socket to link buffers on request boundaries) and delivery of the
// terminal's replies to the client sockets.
#pragma once
#include <cstddef>
#include <cstdint>

#include "relay/core/buf.h"

constexpr int RSS_REQ_BUF_MAX = 256;
constexpr int RSS_MAX_TTY_OUT = 11;
// Reply bytes a client may leave unread before the terminal is asked to hold its data; the hold is
// lifted once the client has taken everything. The terminal's packets already on the way still
// arrive, so a little more than this is kept.
constexpr uint32_t RSS_HELD_HOLD = 8192;
// A terminal that cannot hold one client's data (before version 1.2) could make the relay keep an
// endless amount for a client that never reads; beyond this the client is dropped.
constexpr uint32_t RSS_HELD_MAX = 8u << 20;

struct ClientRec;

void ProcessRequest(int fd);
// True when a readable socket of this client would be read now. The main loop watches only such
// sockets: one it would not read stays readable, and select would return at once, pass after pass.
bool RssClientInputWanted(const ClientRec* c);
int GetNextXRequest(int fd);
int ReadNeededBytes(int fd);
void InitClientRequest(int fd);
void ProcessReply(Buf* msg);
// Writes the n bytes at p to the client after everything already decoded for it (the queued
// output moves into its held bytes first); a client that holds too much is closed.
void RssHoldAfterQueued(ClientRec* c, const uint8_t* p, size_t n);
void ProcessConnectionRepl(Buf* msg);
int WriteReplies(int fd);
