#include "relay/link/linkext.h"

#include <cstring>

namespace {
// No terminal of the base protocol sends anything after the fourth byte of its ready message.
constexpr uint8_t kTag[4] = {'L', 'Q', 'X', '+'};
}  // namespace

size_t LinkExtWrite(uint8_t* p, uint32_t bits, const LinkExtParams* params) {
    std::memcpy(p, kTag, sizeof kTag);
    p[4] = LINKEXT_VERSION;
    for (int i = 0; i < 4; i++) p[5 + i] = static_cast<uint8_t>(bits >> (24 - 8 * i));
    size_t n = LINKEXT_LEN;
    auto put = [&](uint8_t id, uint64_t v) {
        p[n++] = id;
        p[n++] = 8;
        for (int i = 0; i < 8; i++) p[n++] = static_cast<uint8_t>(v >> (56 - 8 * i));
    };
    if (params && params->setupBase) put(LINKEXT_P_SETUP_BASE, params->setupBase);
    if (params && params->store) put(LINKEXT_P_STORE, params->store);
    return n;
}

int LinkExtRead(const uint8_t* p, size_t len, uint32_t* bits, LinkExtParams* params) {
    if (len < LINKEXT_LEN || std::memcmp(p, kTag, sizeof kTag) != 0 || p[4] == 0) return -1;
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v = v << 8 | p[5 + i];
    *bits = v & LINKEXT_KNOWN;
    if (!params) return 0;
    *params = LinkExtParams{};
    for (size_t at = LINKEXT_LEN; at + 2 <= len && p[at + 1] <= len - at - 2; at += 2 + p[at + 1]) {
        const uint8_t* value = p + at + 2;
        uint64_t* to = p[at] == LINKEXT_P_SETUP_BASE ? &params->setupBase : p[at] == LINKEXT_P_STORE ? &params->store : nullptr;
        if (to && p[at + 1] == 8)
            for (int i = 0; i < 8; i++) *to = *to << 8 | value[i];
    }
    return 0;
}
