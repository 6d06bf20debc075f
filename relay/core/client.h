// The client record: one per accepted X connection. Shared by connection intake, request intake and
// reply delivery (relay core) and by the X request encoder (relay/xspec), which reads the client's
// id, byte order and queues and keeps its own state behind `xspec`.
#pragma once
#include <cstdint>

#include "relay/core/buf.h"

struct XspecState;
struct XAnswerStream;

struct ClientRec {
    ClientRec* next;
    ClientRec* prev;
    int clientId;          // link client id: 5..30 and 37..62
    int sock;              // the client's socket descriptor
    XspecState* xspec;     // encoder state (relay/xspec)
    Lst* reqList;          // request queue: request buffers read from the socket
    Lst* encList;          // outgoing queue: encoder output, handed to the transport
    Lst* replyInList;      // incoming queue: messages from the terminal for this client
    Lst* replyOutList;     // reply output queue: buffers to be written to the socket
    Buf* reqBuf;           // buffer being filled from the socket, null when none
    int needed;            // bytes still to be read for the current set-up piece or request
    uint32_t resumeTime;   // GetTime at which the encoder wants to run again; 0 = none
    Buf* connReplyBuf;     // connection reply message being written to the client
    int connReplyLeft;     // bytes of it still to be written
    uint8_t* connReplyPos; // next byte of it to be written
    uint8_t byteOrder;     // 'B' or 'l', from the client's set-up
    uint8_t setupHdrSeen;
    uint8_t connReplied;
    uint8_t inSetup;
    uint8_t dead;
    uint16_t hdrRead;
    uint16_t reqFill;
    // Reply bytes the client's socket has not taken yet. They are kept out of the link buffers so
    // that a client that stops reading holds nothing of the shared pool, which every other client
    // needs; the terminal is told to hold the client's data while this is long. Heap, grown on need.
    uint8_t* held;
    uint32_t heldLen;      // bytes in held
    uint32_t heldPos;      // bytes of them already written
    uint32_t heldCap;
    // A set-up reply rebuilt from its difference (relay/core/setupreply.h), written before anything
    // else reaches the client. Heap; null when none.
    uint8_t* setupReply;
    uint32_t setupReplyLen;
    uint32_t setupReplyPos;
    // Answers made at the relay (relay/core/answerrelay.h): the client's stream, null when none
    // are made for it.
    XAnswerStream* answer;
    // The four queues themselves; the pointers above normally point at these.
    Lst reqQueue, encQueue, replyInQueue, replyOutQueue;
};

// Reply bytes held for the client because its socket did not take them.
inline uint32_t ClientHeldBytes(const ClientRec* c) { return c->heldLen - c->heldPos; }

// Points the queue pointers at the record's own queues and empties them.
inline void ClientRecInitQueues(ClientRec* c) {
    c->reqList = lstInit(&c->reqQueue);
    c->encList = lstInit(&c->encQueue);
    c->replyInList = lstInit(&c->replyInQueue);
    c->replyOutList = lstInit(&c->replyOutQueue);
}
