// TransUnmergeBufs fed arbitrary merged contents. First byte: client id of the message (low 6
// bits) and, in bit 7, a pool that runs dry so the split has to stop and resume.
#include "fuzz/link/fuzzlink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > LINK_MAX_MSG + 1) return 0;
    BufData pool{};
    if (BufInit(&pool) != 0) return 0;
    LinkEnd* L = static_cast<LinkEnd*>(std::calloc(1, sizeof(LinkEnd)));
    LinkSetDefaults(L, LINK_HOST, &pool, Clock{});
    L->errFile = std::fopen("/dev/null", "w");
    Buf* m = BufGet(&pool);
    m->type = MSG_XMERGED;
    m->clientId = data[0] & 0x3F;
    std::memcpy(m->data, data + 1, size - 1);
    m->end = m->data + (size - 1);
    Buf* held[NUM_POOL_BUFS];
    int nheld = 0;
    if (data[0] & 0x80)
        while (BufPoolCount(&pool) > 2) held[nheld++] = BufGet(&pool);
    Lst out;
    lstInit(&out);
    size_t total = 0;
    for (int round = 0; round < 1000; round++) {
        Buf* rest = TransUnmergeBufs(L, m, &out);
        while (Buf* b = lstGetT<Buf>(&out)) {
            if (b->Len() > 255 || b->start != b->data) std::abort();
            total += b->Len();
            if (b->type != MSG_XDATA && b->type != MSG_XCACHED) std::abort();
            BufFree(&pool, b);
        }
        if (!rest) break;
        if (nheld) BufFree(&pool, held[--nheld]);
    }
    if (total > size) std::abort();
    while (nheld) BufFree(&pool, held[--nheld]);
    BufFree(&pool, m);
    LinkDestroy(L);
    FuzzCheckPool(&pool);
    std::fclose(L->errFile);
    std::free(L);
    BufDestroy(&pool);
    return 0;
}
