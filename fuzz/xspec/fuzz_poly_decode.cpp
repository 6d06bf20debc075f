// Arbitrary line bytes, cut into messages (some of them coded-request messages), through the
// terminal's Poly decoder: no crash, no overread, progress on every call, bounded output.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "relay/xspec/polydec.h"

namespace {

struct Term {
    BufData pool{};
    XspecEnv env{};
    XspecState st{};
    ClientRec client{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 4096) return 0;
    static Term t;  // reused: its pool is made once
    static bool ready = false;
    if (!ready) {
        if (BufInit(&t.pool) != 0) std::abort();
        t.env.pBufData = &t.pool;
        ready = true;
    }
    t.st = XspecState{};
    t.client = ClientRec{};
    ClientRecInitQueues(&t.client);
    t.client.clientId = 7;
    t.client.byteOrder = (data[0] & 1) ? 'B' : 'l';
    t.client.xspec = &t.st;
    const bool cachedPieces = data[0] & 2;
    const size_t piece = 1 + data[1] % 128;
    data += 2;
    size -= 2;

    size_t in = 0, out = 0, n = 0;
    for (size_t pos = 0; pos < size; pos += piece, n++) {
        Buf* b = BufGet(&t.pool);
        if (!b) std::abort();
        const size_t k = size - pos < piece ? size - pos : piece;
        std::memcpy(b->end, data + pos, k);
        b->end += k;
        b->type = cachedPieces && n % 3 == 2 ? MSG_XCACHED : MSG_XDATA;
        lstAdd(t.client.replyInList, b);
        in += k;
        while (lstCount(t.client.replyInList) > 0) {
            const size_t before = BufGetListByteLen(t.client.replyInList);
            const int rc = XspecPolyDecode(&t.env, &t.client, t.client.replyInList, t.client.replyOutList);
            out += BufGetListByteLen(t.client.replyOutList);
            BufListFree(&t.pool, t.client.replyOutList);
            if (rc == 0) {
                if (BufGetListByteLen(t.client.replyInList) >= before) std::abort();  // no progress
                continue;
            }
            if (rc == XSPEC_POLY_BAD) {
                // The stream cannot go on: skip the message at the head, as a caller would resync.
                BufFree(&t.pool, lstGetT<Buf>(t.client.replyInList));
                continue;
            }
            break;
        }
    }
    // A one-byte rectangle record makes 8 X bytes, a 2-byte header 12: nothing makes more.
    if (out > 8 * in) std::abort();
    BufListFree(&t.pool, t.client.replyInList);
    if (BufPoolCount(&t.pool) != NUM_POOL_BUFS) std::abort();
    return 0;
}
