// X request intake (client socket to link buffers on request boundaries) and delivery of the
// terminal's replies to the client sockets.
#pragma once
#include "relay/core/buf.h"

constexpr int RSS_REQ_BUF_MAX = 256;
constexpr int RSS_MAX_TTY_OUT = 11;

struct ClientRec;

void ProcessRequest(int fd);
// True when a readable socket of this client would be read now. The main loop watches only such
// sockets: one it would not read stays readable, and select would return at once, pass after pass.
bool RssClientInputWanted(const ClientRec* c);
int GetNextXRequest(int fd);
int ReadNeededBytes(int fd);
void InitClientRequest(int fd);
void ProcessReply(Buf* msg);
void ProcessConnectionRepl(Buf* msg);
int WriteReplies(int fd);
