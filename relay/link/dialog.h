// The control dialogues both ends speak beside the X traffic, written once for the relay and for
// lqterm: the terminal's ready answer to the start of the link (with the extension offer of
// linkext.h), and the two three-phase exchanges, for a client that is gone (MSG_DEADCLIENT) and
// for the end of the session (MSG_SHUTDOWN). Whichever side starts sends DLG_REQUEST, the other
// answers DLG_ACK, the starter ends with DLG_FINAL.
#pragma once
#include <cstdint>

#include "relay/core/buf.h"
#include "relay/core/lst.h"
#include "relay/link/linkext.h"

struct LinkEnd;

enum : uint8_t { DLG_REQUEST = 0, DLG_ACK = 1, DLG_FINAL = 2 };

// What a MSG_XREADY says.
struct DlgReady {
    uint8_t byteOrder, version, level, fourth;  // the fourth byte must not exceed 128
    bool offer;                                  // extensions offered after the four bytes
    uint32_t offered;                            // their LINKEXT_... bits
    LinkExtParams params;                        // and parameters
};

// Rewrites b as a control message of the given type and content (no client id).
void DlgMake(Buf* b, uint8_t type, const uint8_t* bytes, int n);
// Terminal side: turns a received MSG_START into the MSG_XREADY answer (with an offer of `offer`
// bits and the parameters, unless offer is 0) and queues it first on out.
void DlgAnswerStart(LinkEnd* term, Buf* start, Lst* out, int version, int level, uint32_t offer,
                    const LinkExtParams* params = nullptr);
// 0 with what a MSG_XREADY says, or -1 when it is shorter than its four bytes.
int DlgReadReady(const Buf* b, DlgReady* r);
// The phase of a MSG_SHUTDOWN. An empty one is a request: so the relay has always read it, and both
// ends must agree.
uint8_t DlgShutdownPhase(const Buf* b);
// 0 with the client id and phase of a MSG_DEADCLIENT, or -1 when it is shorter than two bytes.
int DlgReadDeadClient(const Buf* b, int* id, uint8_t* phase);
