// Arbitrary packets, one after another, into one decoder, so that damaged input meets deep
// dictionary states. Input: repeated [length, 2 bytes little-endian, taken mod 261][packet bytes].
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "relay/link/lzw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LzwData lzw{};
    if (TransCompressInit(&lzw) != 0) return 0;
    Buf pkt{}, out{};
    while (size >= 2) {
        size_t len = (data[0] | static_cast<size_t>(data[1]) << 8) % (BUF_DATA_SIZE + 1);
        data += 2;
        size -= 2;
        if (len > size) len = size;
        if (len) std::memcpy(pkt.data, data, len);
        pkt.start = pkt.data;
        pkt.end = pkt.data + len;
        data += len;
        size -= len;
        int rc = TransUncompress(&lzw, &pkt, &out);
        if ((rc != 0 && rc != -1) || out.start != out.data || out.end < out.start ||
            out.end > out.data + LZW_MAX_OUT)
            std::abort();
        if (pkt.start != pkt.data || pkt.end != pkt.data + len) std::abort();
    }
    TransCompressFree(&lzw);
    return 0;
}
