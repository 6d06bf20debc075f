#include "relay/xspec/xbytes.h"

#include <cstring>

namespace {

// 32 plus 4 times the length at bytes 4 to 7; a length that would not fit 32 bits is cut, so that
// no size wraps round to a short one.
uint32_t WithLength(const uint8_t* m, bool little) {
    const uint32_t words = XspecLoad32(m + 4, little);
    constexpr uint32_t maxWords = (XSPEC_MESSAGE_SIZE_MAX - 32) / 4;
    return 32u + 4u * (words < maxWords ? words : maxWords);
}

bool IsStreamData(const Buf* b) { return b->type != MSG_XCACHED; }

}  // namespace

uint32_t XspecServerMessageSize(const uint8_t* m, bool little) {
    return m[0] == X_REPLY || XspecIsGenericEvent(m) ? WithLength(m, little) : 32;
}

uint32_t XspecLinkMessageSize(const uint8_t* m, bool little) { return m[0] == X_REPLY ? WithLength(m, little) : 32; }

size_t XspecInAvail(const Lst* in, size_t max) {
    size_t n = 0;
    for (const Buf* b = lstFirstT<Buf>(in); b && n < max && IsStreamData(b); b = b->next) n += b->Len();
    return n < max ? n : max;
}

size_t XspecInPeek(const Lst* in, size_t off, uint8_t* dst, size_t n) {
    size_t got = 0;
    for (const Buf* b = lstFirstT<Buf>(in); b && got < n && IsStreamData(b); b = b->next) {
        const size_t len = b->Len();
        if (off >= len) {
            off -= len;
            continue;
        }
        const size_t k = len - off < n - got ? len - off : n - got;
        std::memcpy(dst + got, b->start + off, k);
        got += k;
        off = 0;
    }
    return got;
}

bool XspecInBlocked(const Lst* in) {
    for (const Buf* b = lstFirstT<Buf>(in); b; b = b->next)
        if (!IsStreamData(b)) return true;
    return false;
}

uint32_t XspecInStampAt(const Lst* in, size_t off) {
    for (const Buf* b = lstFirstT<Buf>(in); b; b = b->next) {
        if (off < b->Len()) return b->seq;
        off -= b->Len();
    }
    const Buf* last = lstLastT<Buf>(in);
    return last ? last->seq : 0;
}

void XspecInSkip(BufData* pool, Lst* in, size_t n) {
    while (n > 0) {
        Buf* b = lstFirstT<Buf>(in);
        if (!b || !IsStreamData(b)) return;
        const size_t k = b->Len() < n ? b->Len() : n;
        b->start += k;
        n -= k;
        if (b->Len() == 0) BufFree(pool, lstGetT<Buf>(in));
    }
}

Buf* XspecNewBuf(BufData* pool, uint8_t type, int clientId, const void* src, size_t n) {
    Buf* b = BufGet(pool);
    if (!b) return nullptr;
    b->type = type;
    b->clientId = static_cast<uint8_t>(clientId);
    b->linkFlags = 0;
    b->seq = 0;
    if (n) std::memcpy(b->end, src, n);
    b->end += n;
    return b;
}

int XspecOutPut(BufData* pool, Lst* out, uint8_t type, int clientId, const uint8_t* src, size_t n) {
    Buf* tail = lstLastT<Buf>(out);
    size_t room = 0;
    if (tail && tail->type == type && tail->clientId == clientId && tail->Len() < 256) {
        room = 256 - tail->Len();
        if (room > tail->Room()) room = tail->Room();
    }
    if (room > n) room = n;
    Buf* fresh[4];
    int nfresh = 0;
    for (size_t rest = n - room; rest > 0; rest -= rest < 256 ? rest : 256) {
        Buf* b = nfresh < 4 ? XspecNewBuf(pool, type, clientId) : nullptr;
        if (!b) {
            while (nfresh > 0) BufFree(pool, fresh[--nfresh]);
            return -1;
        }
        fresh[nfresh++] = b;
    }
    if (room) {
        std::memcpy(tail->end, src, room);
        tail->end += room;
        src += room;
        n -= room;
    }
    for (int i = 0; i < nfresh; i++) {
        const size_t k = n < 256 ? n : 256;
        std::memcpy(fresh[i]->end, src, k);
        fresh[i]->end += k;
        src += k;
        n -= k;
        lstAdd(out, fresh[i]);
    }
    return 0;
}
