// X request intake (client socket to link buffers on request boundaries) and delivery of the
// terminal's replies to the client sockets.
#pragma once
#include "relay/core/buf.h"

constexpr int RSS_REQ_BUF_MAX = 256;
constexpr int RSS_MAX_TTY_OUT = 11;

void ProcessRequest(int fd);
int GetNextXRequest(int fd);
int ReadNeededBytes(int fd);
void InitClientRequest(int fd);
void ProcessReply(Buf* msg);
void ProcessConnectionRepl(Buf* msg);
int WriteReplies(int fd);
