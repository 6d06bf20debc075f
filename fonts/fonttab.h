// Font families and the name table of fontconv: the font path, the Families.list files found
// along it, name resolution (synonyms, patterns), and the family (.ff) files that map a point
// size to a member font file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum { ENTRY_FAM = 1, ENTRY_SYN = 2 };

// Return codes shared with the conversion driver.
enum { FONT_NOMEM = 11, FONT_NOTFOUND = 15 };

enum {
    FONT_TABLE_SIZE = 73,   // buckets of the name table
    FAMILY_BUCKETS = 37,    // size-record hash buckets of a family file
    FAMILY_SIZES = 73,      // point sizes 0..72 of a family file's size table
};

// One name; allocated in one piece, target and name stored right after the fixed fields.
struct FontEntry {
    FontEntry* bucketNext;
    FontEntry* listNext;
    int kind;  // ENTRY_FAM or ENTRY_SYN
    char* target;
    char* name;
};

// The name table; one per run of the converter.
struct FontTable {
    FontEntry* fontTable[FONT_TABLE_SIZE];
    FontEntry* fontListHead;
    FontEntry* fontListTail;
    char* fontPath;
    int verbose;  // echo the font path and each Families.list read
};

// A family file read whole; every offset reachable from its header has been checked to lie
// inside `data`, every name to end inside it, and no bucket chain to loop.
struct FamilyFile {
    unsigned char* data;
    size_t size;
    const char* defaultName;  // or null
};

int InitializeTable(FontTable* ft);
void FreeTable(FontTable* ft);
int SetDefaultFontPath(FontTable* ft);
int ProcessFamiliesList(FontTable* ft, const char* dir);
// Reads Families.list lines from `fp`, taking file names relative to `dir`.
int ReadFamiliesList(FontTable* ft, FILE* fp, const char* dir);
// Parses one line (without its newline) and adds what it defines.
int ProcessFamiliesLine(FontTable* ft, const char* line, const char* dir);

int AddEntry(FontTable* ft, const char* name, const char* target, int kind);
int Add_FAM(FontTable* ft, const char* name, const char* dir, const char* file);
int Add_SYN(FontTable* ft, const char* name, const char* other);

uint32_t hash_name(const char* name);
unsigned hash_index(const char* name);
FontEntry* FindEntry(const FontTable* ft, const char* name);
const char* FindFile(const FontTable* ft, const char* name);
const char* FindMatch(const FontTable* ft, const char* pattern);
int Match(const char* pattern, const char* text);
int IsPattern(const char* name);
int IsXLFD(const char* name);
// dst must hold len + 1 bytes.
void CopyISOLatin1Lowered(char* dst, const char* src, size_t len);

// Path of the file to convert for `path` at point `size`, newly allocated (free()), or null.
char* FindFontFile(const char* path, int size);

FamilyFile* ReadFamily(const char* path);
// Takes ownership of `data` (malloc'd) and checks it; null (data freed) when it is no family file.
FamilyFile* ReadFamilyData(unsigned char* data, size_t size);
void FreeFamily(FamilyFile* ff);
// Member file name for `size`: the matching size record, the default name, or the size table.
// Null when none applies and the size is below 73; "" for size 73 and above.
const char* FamilyMember(const FamilyFile* ff, int size);
// count big-endian 16.16 fixed-point words to floating point.
void floatfr_array(const unsigned char* words, double* out, int count);
