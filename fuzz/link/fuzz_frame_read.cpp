// The frame reader fed arbitrary line bytes. First byte: bit 0 = peer ready (narrow escape table),
// bits 1-3 = bytes handed over per read, bit 4 = terminal role.
#include "fuzz/link/fuzzlink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    BufData pool{};
    if (BufInit(&pool) != 0) return 0;
    LinkEnd* L = static_cast<LinkEnd*>(std::calloc(1, sizeof(LinkEnd)));
    LinkSetDefaults(L, (data[0] & 0x10) ? LINK_TERMINAL : LINK_HOST, &pool, Clock{});
    FuzzLine line;
    line.in = data + 1;
    line.left = size - 1;
    line.chunk = 1 + ((data[0] >> 1) & 7) * 37;
    L->io = FuzzLineIo(&line);
    if (FrameInit(L) == 0) {
        if (data[0] & 1) LinkSetRemoteVersion(L, 'B', 1, 3);
        while (line.left || FrameHeld(L->frame.frame_crbuf)) {
            Buf* b = FrameRead(L);
            if (!b) {
                if (!line.left) break;
                continue;
            }
            if (b->start < b->hdr || b->end > b->data + BUF_DATA_SIZE || b->start > b->end) std::abort();
            BufFree(&pool, b);
        }
    }
    LinkDestroy(L);
    FuzzCheckPool(&pool);
    std::free(L);
    BufDestroy(&pool);
    return 0;
}
