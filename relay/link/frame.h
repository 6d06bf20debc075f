// The frame layer, private to relay/link (and to the tests and fuzz targets of the layer itself):
// byte stuffing, FCS-16 and the two circular buffers between the transport and the line.
#pragma once
#include <cstdint>

#include "relay/core/buf.h"
#include "relay/link/link.h"

// linkFlags bits of a Buf while the link owns it
constexpr uint8_t LINK_SEND = 0x01;        // waits to be (re)sent from the write list
constexpr uint8_t LINK_NUMBERED = 0x02;    // has its sequence number
constexpr uint8_t LINK_REXMIT_HDR = 0x04;  // carries the retransmission header
constexpr uint8_t LINK_DCS_WRAP = 0x10;    // start-of-protocol frame, sent inside the start wrapper

// frame_ce_table classes
constexpr uint8_t CE_ESCAPE = 0x01;  // stuffed when sent
constexpr uint8_t CE_IGNORE = 0x02;  // dropped when it arrives unstuffed

constexpr int LINK_MAX_HDR = 6;                                   // packet header in the retransmission form
// What our frame reader stores: a packet in the retransmission form whose content is a message
// coded by the link-life coder, which may be a byte longer than the message (LINKEXT_ZCODER).
constexpr int FRAME_MAX_STORED = LINK_MAX_HDR + LINK_MAX_MSG + 1 + 2;

struct FrameCircBuf {
    uint16_t in;
    uint16_t out;
    uint16_t size;
    uint16_t mask;
    uint8_t area[1];  // size + 1 bytes, allocated with the header
};

extern const uint8_t max_escapes[66];  // the conservative stuffing set (constant)

int FrameInit(LinkEnd* pLink);
int FrameStart(LinkEnd* pLink);
int FrameSetEscapeTable(LinkEnd* pLink, const uint8_t* list, int count, uint8_t classBits);
FrameCircBuf* FrameAllocateCBuf(int requested);
int FrameQueryCBufSpace(const FrameCircBuf* cb);
int FrameHeadspace(const FrameCircBuf* cb);
int FrameHeld(const FrameCircBuf* cb);
uint16_t FrameCRCCompute(uint16_t fcs, const uint8_t* p, int len);
int FrameFCSAdd(Buf* b);
int FrameFCSStrip(Buf* b);
int FrameWriteChar(LinkEnd* pLink, uint8_t c);
int FrameWrite(LinkEnd* pLink, Buf* b);
int FrameWriteCWBuf(LinkEnd* pLink);
int FrameFillCRBuf(LinkEnd* pLink);
Buf* FrameRead(LinkEnd* pLink);
