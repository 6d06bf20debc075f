// Arbitrary messages through a host-end encoder and a terminal-end decoder: every message must come
// back unchanged, a refused message must leave the encoder as it was, and a message of at most
// LZW_SAFE_MSG bytes must never be refused. Input: repeated [length byte][message bytes].
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "relay/link/lzw.h"

namespace {

Buf msg, spare, out;
int32_t keys[LZW_HSIZE];

// Sends one message; returns 2 when it was refused (the encoder unchanged), else checks delivery.
int Send(LzwData* host, LzwData* term, const uint8_t* p, size_t n) {
    msg.start = msg.data;
    if (n) std::memcpy(msg.data, p, n);
    msg.end = msg.data + n;
    Lst list;
    lstInit(&list);
    lstAdd(&list, &spare);
    LzwEncoder before = host->encoder;
    std::memcpy(keys, host->encoder.hashTable, sizeof keys);
    int rc = TransCompress(host, &msg, &list);
    if (rc == 2) {
        const LzwEncoder& e = host->encoder;
        if (n <= static_cast<size_t>(LZW_SAFE_MSG) || msg.Len() != n || spare.Len() != 0 ||
            std::memcmp(keys, e.hashTable, sizeof keys) != 0 || e.nextCode != before.nextCode ||
            e.codeWidth != before.codeWidth || e.clearFlag != before.clearFlag || e.ratio != before.ratio ||
            e.checkpoint != before.checkpoint || e.inCount != before.inCount || e.outCount != before.outCount)
            std::abort();
        return 2;
    }
    if (rc != 0 || spare.Len() > static_cast<size_t>(LZW_MAX_OUT)) std::abort();
    if (TransUncompress(term, &spare, &out) != 0 || out.Len() != n || (n && std::memcmp(out.start, p, n) != 0) ||
        term->decoder.nextCode != host->encoder.nextCode)
        std::abort();
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LzwData host{}, term{};
    TransCompressFree(&host);
    TransCompressFree(&term);
    if (TransCompressInit(&host) != 0 || TransCompressInit(&term) != 0) return 0;
    host.panic = term.panic = [](const char*) {};
    while (size > 0) {
        size_t n = data[0];
        n += n == 255 ? 1 : 0;  // 255 stands for 256, the longest message
        data++;
        size--;
        if (n > size) n = size;
        if (Send(&host, &term, data, n) == 2) {
            for (size_t off = 0; off < n; off += LZW_SAFE_MSG)
                if (Send(&host, &term, data + off, n - off < size_t{LZW_SAFE_MSG} ? n - off : size_t{LZW_SAFE_MSG}) != 0)
                    std::abort();
        }
        data += n;
        size -= n;
    }
    return 0;
}
