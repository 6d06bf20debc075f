// Arbitrary bytes as a set-up difference against a fixed base, and as a cache file: either
// refused with a reason or rebuilt to exactly the length and hash they claim; no overread.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "relay/xspec/setupdiff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> base = [] {
        std::vector<uint8_t> b(600);
        for (size_t i = 0; i < b.size(); i++) b[i] = static_cast<uint8_t>(i * 7);
        return b;
    }();
    std::vector<uint8_t> out;
    std::string why;
    if (SetupDiffApply(base.data(), base.size(), data, size, &out, &why) == 0) {
        if (out.size() != (uint32_t(data[1]) << 24 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 8 | data[4]))
            std::abort();
    } else if (why.empty()) {
        std::abort();
    }
    static const std::string path = "/tmp/fuzz_setupdiff." + std::to_string(getpid());
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        std::vector<uint8_t> reply;
        if (SetupCacheLoad(path, &reply, &why) == 0 ? reply.empty() || reply.size() > SETUP_REPLY_MAX : why.empty())
            std::abort();
        unlink(path.c_str());
    }
    return 0;
}
