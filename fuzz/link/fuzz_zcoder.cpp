// The link coders on arbitrary input. The first byte chooses the coder, its level and window; then
//   decode: the rest, as repeated [length byte][body], goes to a fresh decoder, which must refuse or
//           decode within the cap, never reading or writing outside its buffers;
//   round trip: the rest, as repeated [length byte][message] (255 stands for 256), goes through an
//           encoder and a decoder in step: every message must come back, at most one byte longer
//           on the way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "relay/link/zcoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t sel = data[0];
    data++;
    size--;
    static const int kLevels[2][4] = {{1, 6, 9, 4}, {1, 3, 9, 19}};
    ZCoderParams p;
    p.kind = sel & 1 ? ZKind::Zstd : ZKind::Deflate;
    p.level = kLevels[sel & 1][(sel >> 1) & 3];
    p.windowLog = sel & 8 ? 10 : 15;
    const bool roundTrip = sel & 0x10;
    const size_t cap = sel & 0x20 ? 256 : 64;
    ZEncoder enc;
    ZDecoder dec;
    if (enc.Init(p) != 0 || dec.Init(p) != 0) std::abort();
    std::vector<uint8_t> body, got;
    while (size > 0) {
        size_t n = data[0];
        n += roundTrip && n == 255 ? 1 : 0;
        data++;
        size--;
        if (n > size) n = size;
        if (roundTrip) {
            if (enc.Code(data, n, &body) != 0 || body.size() > n + 1) std::abort();
            if (dec.Decode(body.data(), body.size(), 256, &got) != 0 || got.size() != n ||
                (n && std::vector<uint8_t>(data, data + n) != got))
                std::abort();
        } else {
            int r = dec.Decode(data, n, cap, &got);
            if ((r == 0 && got.size() > cap) || (r != 0 && !got.empty())) std::abort();
        }
        data += n;
        size -= n;
    }
    return 0;
}
