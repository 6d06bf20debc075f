// The display's listening sockets, DISPLAY, and the intake of new X clients up to the end of their
// connection set-up bytes.
#pragma once
#include "relay/core/client.h"

constexpr int RSS_LAST_DISPLAY = 50;
constexpr const char* RSS_SOCKET_DIR = "/tmp/.X11-unix";

int SetUpConnectionSockets();
int CreateInetSocket(int display);
int CreateUnixSocket(int display);
void DestroyInetSocket();
void DestroyUnixSocket();
void ProcessConnectionReq(int fd);
ClientRec* CreateClientRec();
void DestroyClientRec(ClientRec* client);
// Reads the 12-byte set-up header held in b and sets byteOrder, setupHdrSeen and needed.
void RssParseSetupHeader(ClientRec* client, const Buf* b);
