// The X side of lqterm: connections to the real X server, one per client of the relay.
#pragma once
#include <string>

#include "terminal/lqterm.h"

// Connects to an X display name ("[host]:n[.s]", "unix:n"). The descriptor (non-blocking,
// close-on-exec), or -1.
int TermXConnect(const std::string& display);
// Puts our X server's cookie into a set-up header (12 bytes in xout) that carries no authorization,
// when the relay vouched for the client. 1 when it did, -1 when a cookie was held back because the
// relay did not vouch, 0 when there was nothing to add (the client brought its own, or we have none).
int TermAddCookie(TermClient* c, const std::string& display, bool vouched);
// A client's first MSG_CONNECT: connects it to the X server (or refuses it as a server would).
int TermStartClient(TermData* t, int id, Buf* first);
TermClient* TermNewClient(TermData* t, int id);
void TermFreeClient(TermData* t, TermClient* c);
// A MSG_CONNECT, MSG_XDATA or MSG_XCACHED from the host for a client (the handler owns b).
void TermClientMessage(TermData* t, Buf* b);
// Runs the request decoder of a client and queues its output for the X server.
void TermDecodeRequests(TermData* t, TermClient* c);
void TermAppendRequests(TermClient* c, const uint8_t* p, size_t n);
int TermXWrite(TermData* t, TermClient* c);
// Asks the host to hold the client's requests while the X server leaves many unread, and to send
// them again once it has taken them all.
void TermHoldWindow(TermData* t, TermClient* c);
bool TermXWantsRead(const TermData* t, const TermClient* c);
void TermXRead(TermData* t, TermClient* c);
void TermCodeServerBytes(TermData* t, TermClient* c);
// Sends the account of the X server's replies kept for the client since the last (XANSWER_KEPT).
void TermSendKept(TermData* t, TermClient* c);
void TermXGone(TermData* t, TermClient* c);
