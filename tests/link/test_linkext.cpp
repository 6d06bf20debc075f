#include "relay/link/linkext.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Offer(uint32_t bits, const LinkExtParams* params, std::vector<uint8_t> extra = {}) {
    std::vector<uint8_t> v(LINKEXT_MAX);
    v.resize(LinkExtWrite(v.data(), bits, params));
    v.insert(v.end(), extra.begin(), extra.end());
    return v;
}

TEST(LinkExt, OffersCarryTheirParametersAndSkipWhatIsUnknown) {
    const LinkExtParams base{0x0123456789abcdefull, 0};
    const LinkExtParams both{5, 0xfedcba9876543210ull};
    const std::vector<uint8_t> otherBase = {LINKEXT_P_SETUP_BASE, 8, 0, 0, 0, 0, 0, 0, 0, 9};
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        uint32_t bits;
        uint64_t setupBase;
        uint64_t store = 0;
    } cases[] = {
        {"bits only", Offer(LINKEXT_SETUPDIFF | 0x40000000u, nullptr), LINKEXT_SETUPDIFF, 0},
        {"a set-up base", Offer(LINKEXT_SETUPDIFF, &base), LINKEXT_SETUPDIFF, base.setupBase},
        {"an unknown parameter first", Offer(LINKEXT_VOUCH, nullptr, [&] {
             std::vector<uint8_t> x = {77, 3, 1, 2, 3};
             x.insert(x.end(), otherBase.begin(), otherBase.end());
             return x;
         }()), LINKEXT_VOUCH, 9},
        {"a set-up base and a store", Offer(LINKEXT_STORE | LINKEXT_SETUPDIFF, &both), LINKEXT_STORE | LINKEXT_SETUPDIFF,
         both.setupBase, both.store},
        {"a base of the wrong size", Offer(0, nullptr, {LINKEXT_P_SETUP_BASE, 4, 1, 2, 3, 4}), 0, 0},
        {"a list cut short", Offer(0, nullptr, {LINKEXT_P_SETUP_BASE, 8, 1, 2, 3}), 0, 0},
        {"a lone id byte", Offer(0, nullptr, {LINKEXT_P_SETUP_BASE}), 0, 0},
    };
    for (const auto& c : cases) {
        uint32_t bits = ~0u;
        LinkExtParams got{~0ull, ~0ull};
        ASSERT_EQ(LinkExtRead(c.bytes.data(), c.bytes.size(), &bits, &got), 0) << c.what;
        EXPECT_EQ(bits, c.bits) << c.what;
        EXPECT_EQ(got.setupBase, c.setupBase) << c.what;
        EXPECT_EQ(got.store, c.store) << c.what;
    }
    const auto good = Offer(LINKEXT_VOUCH, &base);
    uint32_t bits = 0;
    EXPECT_EQ(LinkExtRead(good.data(), LINKEXT_LEN - 1, &bits), -1) << "too short";
    EXPECT_EQ(LinkExtRead(good.data() + 1, good.size() - 1, &bits), -1) << "another tag";
}

}  // namespace
