// The converter's readers of font bytes: the BDF FONT/SIZE editor and the .f3b header.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fonts/fontconv.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    std::string name;
    f3b_name(data, size < 52 ? size : 52, &name);
    if (size == 0)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    FILE* in = fmemopen(text.data(), text.size(), "r");
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    if (in && out)
        bdf_filter(in, out, 1 + data[0], &name);
    if (in)
        fclose(in);
    if (out)
        fclose(out);
    free(buf);
    return 0;
}
