// The resource file is the user's text: any bytes in it must give resource values the relay can
// use (strings, numbers, booleans, escape and transport lists) without overreading or crashing.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "relay/core/rss.h"

namespace {
std::string path;
}

// The X library's resource parser compares quark names with memcmp over the longer length and
// relies on the first difference to stop it; only the bytes memcmp really compares are checked.
extern "C" const char* __asan_default_options() { return "strict_memcmp=0"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    path = "/tmp/lqfuzzrc." + std::to_string(getpid());
    setenv("HOME", "/nonexistent", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    std::string a0 = "lqhostd", a1 = "-config", a2 = path;
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    RssInitData();
    InitResources(3, argv);
    LoadRssResources();
    // An unknown transport word or an empty list is refused with its message; the caller ends.
    ParseXports();
    ParseEscChars();
    if (pRssDaemonData->rssLink.config.escCount > MAX_ESC_CHARS) std::abort();
    RssFreeData();
    unlink(path.c_str());
    return 0;
}
