// Escape lists, transport lists and session commands come from users' resource files and command
// lines: word splitting and character values must take any bytes without overreading.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/core/rss.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    RssInitData();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* text = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(text, data, size);
    text[size] = '\0';

    std::free(pRssDaemonData->escapeChars);
    pRssDaemonData->escapeChars = strdup(text);
    ParseEscChars();
    if (pRssDaemonData->rssLink.config.escCount > MAX_ESC_CHARS) std::abort();

    char* cursor = text;
    while (char* w = NextWord(&cursor)) {
        uint8_t v;
        base_atoi(w, &v);
        chk_base_atoi(w, &v, 16, 2);
        if (cursor < text || cursor > text + size) std::abort();
    }
    std::free(text);
    return 0;
}
