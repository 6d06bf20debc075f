#include "relay/link/dialog.h"

#include "relay/link/link.h"
#include "relay/link/linkext.h"

void DlgMake(Buf* b, uint8_t type, const uint8_t* bytes, int n) {
    b->start = b->end = b->data;
    for (int i = 0; i < n; i++) *b->end++ = bytes[i];
    b->type = type;
    b->clientId = 0;
    b->linkFlags = 0;
}

void DlgAnswerStart(LinkEnd* term, Buf* b, Lst* out, int version, int level, uint32_t offer,
                    const LinkExtParams* params) {
    const uint8_t ready[4] = {term->config.ourByteOrder, static_cast<uint8_t>(version), static_cast<uint8_t>(level), 0};
    DlgMake(b, MSG_XREADY, ready, 4);
    if (offer) b->end += LinkExtWrite(b->end, offer, params);
    lstInsert(out, nullptr, b);
}

int DlgReadReady(const Buf* b, DlgReady* r) {
    if (b->Len() < 4) return -1;
    r->byteOrder = b->start[0];
    r->version = b->start[1];
    r->level = b->start[2];
    r->fourth = b->start[3];
    r->offered = 0;
    r->params = LinkExtParams{};
    r->offer = LinkExtRead(b->start + 4, b->Len() - 4, &r->offered, &r->params) == 0;
    return 0;
}

uint8_t DlgShutdownPhase(const Buf* b) { return b->Len() >= 1 ? b->start[0] : static_cast<uint8_t>(DLG_REQUEST); }

int DlgReadDeadClient(const Buf* b, int* id, uint8_t* phase) {
    if (b->Len() < 2) return -1;
    *id = b->start[0];
    *phase = b->start[1];
    return 0;
}
