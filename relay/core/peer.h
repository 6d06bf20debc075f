// Messages from the terminal: dispatch by type, the terminal's readiness, and the dead-client and
// shutdown dialogues (three phases each: report, acknowledgement, final).
#pragma once
#include "relay/core/buf.h"

void GotTtyInput();
void ProcessXready(Buf* msg);
int ProcessDeadClient(Buf* msg);
int ProcessShutdownRequest(Buf* msg);
int ProcessDeadSocket(int fd);
