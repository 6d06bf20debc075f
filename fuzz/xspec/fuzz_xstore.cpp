// Arbitrary bytes as a message store file and as a reference: refused with a reason, or taken
// exactly (a file taken writes back to the same bytes, every entry under its own key; a reference
// taken writes back to the same bytes); no overread.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "relay/xspec/xstore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    XStore s;
    std::string why;
    if (XStoreDecode(&s, data, size, &why) == 0) {
        const std::vector<uint8_t> again = XStoreEncode(&s);
        if (again.size() != size || std::memcmp(again.data(), data, size) != 0) std::abort();
        for (const XStoreEntry& e : s.entries)
            if (!(XStoreKeyOf(e.bytes.data(), e.bytes.size()) == e.key) || s.bytes > s.cap) std::abort();
    } else if (why.empty() || !s.entries.empty()) {
        std::abort();
    }
    XStoreRef r;
    if (XStoreRefRead(data, size, &r) == 0) {
        uint8_t out[XSTORE_REF_LEN];
        const size_t n = XStoreRefWrite(r, out);
        if (n != size || std::memcmp(out, data, n) != 0) std::abort();
    }
    return 0;
}
