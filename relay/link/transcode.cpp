// The link-life coder of LINKEXT_ZCODER in the transport: where each end switches to it, and the
// coding and decoding of one packet.
//
// The switch points lie in packet order, so neither a loss nor a resend can move them: the relay
// codes every packet numbered after its MSG_EXTENSIONS answer, and the terminal every packet after
// the confirmation its link queues when that answer is delivered; each receiver decodes every
// packet delivered after the peer's MSG_EXTENSIONS. A packet is coded once, when it is numbered, and
// resent as it was made.
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "relay/link/linkext.h"
#include "relay/link/transpriv.h"
#include "relay/link/zcoder.h"

// The coder and a buffer for its output, made once per link.
struct LinkCoder {
    ZCoder coder;
    std::vector<uint8_t> out;
};

namespace {

void Panic(LinkEnd* L, const char* what) {
    FILE* f = L->errFile ? L->errFile : stderr;
    std::fprintf(f, "LQx panic: %s\n", what);
    std::fflush(f);
}

// Makes the coder the first time either direction switches to it. A coder that cannot be made
// leaves the link unable to keep its word: it is then shut down like one that failed to decode.
bool EnsureCoder(LinkEnd* L) {
    if (L->coder) return true;
    auto* z = new (std::nothrow) LinkCoder;
    if (!z || z->coder.Init(ZCoderParams{}) != 0) {
        delete z;
        Panic(L, "the packet coder cannot be made - link shut down");
        L->codingFailed = 1;
        return false;
    }
    z->out.reserve(LINK_MAX_MSG + 1);
    L->coder = z;
    return true;
}

// The link's bits of a MSG_EXTENSIONS, or -1 when it is not one of ours (another type 10).
int64_t LinkBits(const uint8_t* p, size_t n) {
    uint32_t bits = 0;
    if (LinkExtRead(p, n, &bits) != 0) return -1;
    return bits & LINKEXT_LINK_BITS;
}

}  // namespace

bool LinkCodingFailed(const LinkEnd* L) { return L->codingFailed != 0; }

bool TransZCoded(const LinkEnd* L, uint8_t type, bool out) {
    if (!((out ? L->extOut : L->extIn) & LINKEXT_ZCODER)) return false;
    return type <= MSG_XDATA || type == MSG_FILEDATA;
}

void TransExtSent(LinkEnd* L, const uint8_t* content, size_t n) {
    int64_t ours = LinkBits(content, n);
    if (ours <= 0) return;
    uint32_t bits = static_cast<uint32_t>(ours);
    if (L->role == LINK_TERMINAL) bits &= L->extIn;  // it confirms only what the relay answered
    bits &= ~L->extOut;  // each switch happens once
    if (!bits) return;
    if ((bits & LINKEXT_ZCODER) && !EnsureCoder(L)) return;
    L->extOut |= bits;
}

bool TransExtReceived(LinkEnd* L, const Buf* p) {
    int64_t ours = LinkBits(p->start, p->Len());
    if (ours < 0) return true;
    uint32_t bits = static_cast<uint32_t>(ours);
    if (L->role == LINK_HOST) {
        // The terminal's confirmation: for the link alone. It can only take what was answered.
        bits &= L->extOut & ~L->extIn;
        if (bits && (!(bits & LINKEXT_ZCODER) || EnsureCoder(L))) L->extIn |= bits;
        return false;
    }
    bits &= ~L->extIn;
    if (!bits) return true;
    if ((bits & LINKEXT_ZCODER) && !EnsureCoder(L)) return true;
    L->extIn |= bits;
    // Confirm, so that the relay knows where our packets switch. Without a buffer for it we go on
    // sending as before, which the relay still reads.
    if (!L->extConfirmed) {
        if (Buf* b = BufGet(L->pBufData)) {
            b->type = MSG_EXTENSIONS;
            b->clientId = 0;
            b->linkFlags = 0;
            b->start = b->end = b->data;
            b->end += LinkExtWrite(b->data, bits);
            lstAdd(&L->trans.transExtWriteList, b);
            L->extConfirmed = 1;
        }
    }
    return true;
}

int TransZCode(LinkEnd* L, Buf* m, Lst* transCompList) {
    Buf* c = lstFirstT<Buf>(transCompList);
    if (!c || c == m) return 1;
    LinkCoder* z = L->coder;
    if (!z || m->Len() > static_cast<size_t>(LINK_MAX_MSG) || z->coder.enc.Code(m->start, m->Len(), &z->out) != 0 ||
        z->out.size() > static_cast<size_t>(LINK_MAX_MSG) + 1) {
        if (!L->codingFailed) Panic(L, "the packet coder failed - link shut down");
        L->codingFailed = 1;
        return -1;
    }
    c->start = c->end = c->data;
    if (!z->out.empty()) std::memcpy(c->data, z->out.data(), z->out.size());
    c->end += z->out.size();
    L->stats.zMsgBytesOut += m->Len();
    L->stats.zCodedOut += c->Len();
    return 0;
}

int TransZDecode(LinkEnd* L, Buf* p, Buf* u) {
    LinkCoder* z = L->coder;
    u->start = u->end = u->data;
    if (z && z->coder.dec.Decode(p->start, p->Len(), LINK_MAX_MSG, &z->out) == 0) {
        if (!z->out.empty()) std::memcpy(u->data, z->out.data(), z->out.size());
        u->end += z->out.size();
        L->stats.zMsgBytesIn += u->Len();
        L->stats.zCodedIn += p->Len();
        return 0;
    }
    // Its history no longer mirrors the peer's: nothing coded after this can be trusted either.
    if (!L->codingFailed) Panic(L, "a coded packet does not decode - link shut down");
    L->codingFailed = 1;
    return -1;
}

void TransZFree(LinkEnd* L) {
    delete L->coder;
    L->coder = nullptr;
}
