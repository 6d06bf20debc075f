// Messages from the terminal are outside bytes: every type, length and content must be handled
// (answered, refused or dropped) without overreading, leaking buffers or crashing. Input: a series
// of [type][client id][length][content...] records, dispatched as the relay dispatches received
// messages; the line is a sink.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/core/disp.h"
#include "relay/core/peer.h"
#include "relay/core/rss.h"

namespace {

int SinkRead(void*, uint8_t*, int) {
    errno = EAGAIN;
    return -1;
}
int SinkWrite(void*, const uint8_t*, int n) { return n; }
int SinkPending(void*) { return 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RssInitData();
    RssInitDispData();
    RssDaemonData* d = pRssDaemonData;
    if (BufInit(&d->bufData) != 0) std::abort();
    d->escapeChars = strdup("0x11 0x13");
    if (RssStartLink(-1) != 0) std::abort();
    d->rssLink.io = LinkIo{SinkRead, SinkWrite, SinkPending, nullptr};
    pRssGlobalData->running = 1;

    size_t i = 0;
    while (i + 3 <= size) {
        Buf* b = BufGet(&d->bufData);
        if (!b) break;
        b->type = data[i] & 0x0f;
        b->clientId = data[i + 1] & 0x3f;
        size_t len = data[i + 2];
        i += 3;
        if (len > size - i) len = size - i;
        std::memcpy(b->end, data + i, len);
        b->end += len;
        i += len;
        lstAdd(d->ttyInList, b);
        GotTtyInput();
        pRssGlobalData->running = 1;
    }
    ShutdownDispatch();
    RssFreeData();
    return 0;
}
