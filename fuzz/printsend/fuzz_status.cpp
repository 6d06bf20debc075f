// Status text from the printer, in reads of any size: every byte that is no NUL ends up in a
// printed line, as a line end, or still held; a read reports control-D exactly when it has one.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "printsend/data_qz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QzData qz;
    qz_init(&qz, "f");
    qz.printername = "p";
    qz.debug = size > 0 && (data[0] & 1);
    char* text = nullptr;
    size_t text_size = 0;
    FILE* log = open_memstream(&text, &text_size);
    size_t kept = 0, ends = 0;
    size_t at = 0;
    while (at + 2 <= size) {
        size_t len = ((size_t)data[at] << 8 | data[at + 1]) % 2048;
        at += 2;
        if (len > size - at)
            len = size - at;
        const char* chunk = (const char*)data + at;
        int r = collect_status(&qz, chunk, len, log);
        bool has_ctld = memchr(chunk, QZ_CTLD, len) != nullptr;
        if (r != (has_ctld ? -1 : 0))
            abort();
        if (qz.prtbufi < 0 || qz.prtbufi >= QZ_READ_MAX || memchr(qz.prtbuf, 0, (size_t)qz.prtbufi))
            abort();
        for (size_t i = 0; i < len; i++) {
            char c = chunk[i];
            kept += c != 0;
            ends += c == QZ_CTLD || c == '\n' || c == '\r';
        }
        at += len;
    }
    fclose(log);
    const std::string all(text, text_size);
    free(text);
    const std::string mark = "data from remote device = \"";
    size_t printed = 0;
    for (size_t pos = 0; pos < all.size();) {
        size_t end = all.find('\n', pos);
        if (end == std::string::npos)
            abort();
        size_t m = all.find(mark, pos);
        if (m != std::string::npos && m < end)
            printed += end - (m + mark.size()) - 1;
        pos = end + 1;
    }
    if (printed + ends + (size_t)qz.prtbufi != kept)
        abort();
    return 0;
}
