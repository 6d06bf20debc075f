#include "relay/link/linkext.h"

#include <cstring>

namespace {
// No terminal of the base protocol sends anything after the fourth byte of its ready message.
constexpr uint8_t kTag[4] = {'L', 'Q', 'X', '+'};
}  // namespace

size_t LinkExtWrite(uint8_t* p, uint32_t bits) {
    std::memcpy(p, kTag, sizeof kTag);
    p[4] = LINKEXT_VERSION;
    for (int i = 0; i < 4; i++) p[5 + i] = static_cast<uint8_t>(bits >> (24 - 8 * i));
    return LINKEXT_LEN;
}

int LinkExtRead(const uint8_t* p, size_t len, uint32_t* bits) {
    if (len < LINKEXT_LEN || std::memcmp(p, kTag, sizeof kTag) != 0 || p[4] == 0) return -1;
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v = v << 8 | p[5 + i];
    *bits = v & LINKEXT_KNOWN;
    return 0;
}
