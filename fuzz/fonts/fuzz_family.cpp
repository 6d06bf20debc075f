// Family (.ff) files: the reader's checks, then size look-ups over the whole range.
#include <cstdlib>
#include <cstring>

#include "fonts/fonttab.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    unsigned char* copy = static_cast<unsigned char*>(malloc(size ? size : 1));
    if (!copy)
        return 0;
    memcpy(copy, data, size);
    FamilyFile* ff = ReadFamilyData(copy, size);
    if (!ff)
        return 0;
    const int sizes[] = {0, 1, 12, 72, 73, 100, 16383, 16384, 40000, 0x7FFFFFFF};
    for (int s = 0; s < 80; s++)
        if (const char* m = FamilyMember(ff, s))
            (void)strlen(m);
    for (int s : sizes)
        if (const char* m = FamilyMember(ff, s))
            (void)strlen(m);
    FreeFamily(ff);
    return 0;
}
