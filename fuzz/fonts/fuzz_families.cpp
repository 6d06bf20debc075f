// Families.list text into the name table, then every look-up the converter makes with it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fonts/fonttab.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    FontTable ft{};
    InitializeTable(&ft);
    std::string text(reinterpret_cast<const char*>(data), size);
    if (FILE* fp = fmemopen(text.data(), text.size() ? text.size() : 1, "r")) {
        ReadFamiliesList(&ft, fp, "/d");
        fclose(fp);
    }
    // The first line doubles as a requested name or pattern.
    std::string first = text.substr(0, text.find('\n')).c_str();
    for (const FontEntry* e = ft.fontListHead; e; e = e->listNext) {
        FindFile(&ft, e->name);
        Match(first.c_str(), e->name);
        Match(e->name, first.c_str());
    }
    FindMatch(&ft, first.c_str());
    FindFile(&ft, first.c_str());
    FreeTable(&ft);
    return 0;
}
