#include "fonts/fonttab.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

const char FAM_KEYWORD[] = "_FontDirectoryFAM";
const char SYN_KEYWORD[] = "_FontDirectorySYN";
const size_t KEYWORD_LEN = 17;
const int MAX_LOOKUPS = 10;

const uint32_t FAMILY_MAGIC = 0x137A2B48;
const size_t FF_DEFAULT = 0x14;
const size_t FF_BUCKETS = 0x24;
const size_t FF_SIZES = 0xB8;
const size_t FF_HEADER = FF_SIZES + 4 * FAMILY_SIZES;
const size_t SIZE_RECORD = 40;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

const char* skip_space(const char* s)
{
    while (is_space(*s))
        s++;
    return s;
}

// A Families.list token: "(" text ")" or "/" word. Returns the position after it, or null
// when the token is malformed.
const char* parse_token(const char* s, const char** start, size_t* len)
{
    if (*s == '(') {
        const char* e = strchr(s + 1, ')');
        if (!e)
            return nullptr;
        *start = s + 1;
        *len = e - (s + 1);
        return e + 1;
    }
    if (*s == '/') {
        const char* e = s + 1;
        while (*e && !is_space(*e))
            e++;
        if (!*e)
            return nullptr;
        *start = s + 1;
        *len = e - (s + 1);
        return e;
    }
    return nullptr;
}

char* copy_n(const char* s, size_t n)
{
    char* p = static_cast<char*>(malloc(n + 1));
    if (p) {
        memcpy(p, s, n);
        p[n] = 0;
    }
    return p;
}

uint32_t be32(const unsigned char* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

uint32_t word_at(const FamilyFile* ff, size_t off)
{
    return be32(ff->data + off);
}

// A non-zero offset that can be turned into an address inside the file.
bool offset_inside(const FamilyFile* ff, uint32_t off)
{
    return off < ff->size;
}

// A zero-terminated string that starts and ends inside the file.
bool string_inside(const FamilyFile* ff, uint32_t off)
{
    return off != 0 && off < ff->size && memchr(ff->data + off, 0, ff->size - off) != nullptr;
}

bool record_inside(const FamilyFile* ff, uint32_t off)
{
    return off != 0 && off <= ff->size && ff->size - off >= SIZE_RECORD &&
           string_inside(ff, word_at(ff, off));
}

// Checks every offset the look-ups may follow, so that they never leave the file; every
// record may be reached once only, which also rules out chains that loop.
bool check_family(FamilyFile* ff)
{
    if (ff->size < FF_HEADER || word_at(ff, 0x08) != FAMILY_MAGIC)
        return false;
    const size_t unused[] = {0x0C, 0x18};
    for (size_t off : unused)
        if (word_at(ff, off) && !offset_inside(ff, word_at(ff, off)))
            return false;
    if (uint32_t w = word_at(ff, 0x20)) {
        if (w > ff->size || ff->size - w < 4)
            return false;
        if (word_at(ff, w) && !offset_inside(ff, word_at(ff, w)))
            return false;
    }
    if (uint32_t d = word_at(ff, FF_DEFAULT)) {
        if (!string_inside(ff, d))
            return false;
        ff->defaultName = reinterpret_cast<const char*>(ff->data + d);
    }
    unsigned char* seen = static_cast<unsigned char*>(calloc(ff->size, 1));
    if (!seen)
        return false;
    bool ok = true;
    for (int b = 0; b < FAMILY_BUCKETS && ok; b++) {
        uint32_t r = word_at(ff, FF_BUCKETS + 4 * b);
        while (r && ok) {
            ok = record_inside(ff, r) && !seen[r];
            if (ok) {
                seen[r] = 1;
                r = word_at(ff, r + 12);
            }
        }
    }
    free(seen);
    for (int s = 0; s < FAMILY_SIZES && ok; s++) {
        uint32_t r = word_at(ff, FF_SIZES + 4 * s);
        ok = r == 0 || record_inside(ff, r);
    }
    return ok;
}

const char* record_name(const FamilyFile* ff, uint32_t r)
{
    return reinterpret_cast<const char*>(ff->data + word_at(ff, r));
}

} // namespace

int InitializeTable(FontTable* ft)
{
    memset(ft->fontTable, 0, sizeof ft->fontTable);
    ft->fontListHead = ft->fontListTail = nullptr;
    return 0;
}

void FreeTable(FontTable* ft)
{
    for (FontEntry* e = ft->fontListHead; e;) {
        FontEntry* next = e->listNext;
        free(e);
        e = next;
    }
    InitializeTable(ft);
    free(ft->fontPath);
    ft->fontPath = nullptr;
}

int SetDefaultFontPath(FontTable* ft)
{
    free(ft->fontPath);
    ft->fontPath = nullptr;
    if (const char* env = getenv("FONTPATH")) {
        ft->fontPath = strdup(env);
    } else {
        const char* home = getenv("OPENWINHOME");
        if (!home)
            home = "/usr/openwin";
        const char tail[] = "/lib/fonts";
        size_t n = strlen(home);
        ft->fontPath = static_cast<char*>(malloc(n + sizeof tail));
        if (ft->fontPath) {
            memcpy(ft->fontPath, home, n);
            memcpy(ft->fontPath + n, tail, sizeof tail);
        }
    }
    if (!ft->fontPath)
        return FONT_NOMEM;
    if (ft->verbose)
        printf("Font path = %s\n", ft->fontPath);
    for (const char* p = ft->fontPath;;) {
        const char* colon = strchr(p, ':');
        size_t n = colon ? (size_t)(colon - p) : strlen(p);
        char* dir = copy_n(p, n);
        if (!dir)
            return FONT_NOMEM;
        int r = ProcessFamiliesList(ft, dir);
        free(dir);
        if (r)
            return r;
        if (!colon)
            return 0;
        p = colon + 1;
    }
}

int ProcessFamiliesList(FontTable* ft, const char* dir)
{
    const char name[] = "/Families.list";
    size_t n = strlen(dir);
    char* path = static_cast<char*>(malloc(n + sizeof name));
    if (!path)
        return FONT_NOMEM;
    memcpy(path, dir, n);
    memcpy(path + n, name, sizeof name);
    FILE* fp = fopen(path, "r");
    if (fp && ft->verbose)
        printf("Processing %s\n", path);
    free(path);
    if (!fp)
        return 0;
    int r = ReadFamiliesList(ft, fp, dir);
    fclose(fp);
    return r;
}

int ReadFamiliesList(FontTable* ft, FILE* fp, const char* dir)
{
    char* line = nullptr;
    size_t cap = 0;
    ssize_t n;
    int r = 0;
    while (r == 0 && (n = getline(&line, &cap, fp)) >= 0) {
        if (n > 0 && line[n - 1] == '\n')
            line[n - 1] = 0;
        r = ProcessFamiliesLine(ft, line, dir);
    }
    free(line);
    return r;
}

int ProcessFamiliesLine(FontTable* ft, const char* line, const char* dir)
{
    const char* s = skip_space(line);
    if (*s == '%')
        return 0;
    const char *a, *b;
    size_t alen, blen;
    s = parse_token(s, &a, &alen);
    if (!s)
        return 0;
    s = parse_token(skip_space(s), &b, &blen);
    if (!s)
        return 0;
    s = skip_space(s);
    int kind;
    if (strncmp(s, FAM_KEYWORD, KEYWORD_LEN) == 0)
        kind = ENTRY_FAM;
    else if (strncmp(s, SYN_KEYWORD, KEYWORD_LEN) == 0)
        kind = ENTRY_SYN;
    else
        return 0;
    char* first = copy_n(a, alen);
    char* second = copy_n(b, blen);
    int r = FONT_NOMEM;
    if (first && second)
        r = kind == ENTRY_FAM ? Add_FAM(ft, first, dir, second) : Add_SYN(ft, first, second);
    free(first);
    free(second);
    return r;
}

int AddEntry(FontTable* ft, const char* name, const char* target, int kind)
{
    if (FindEntry(ft, name))
        return 0;
    size_t tlen = strlen(target), nlen = strlen(name);
    FontEntry* e = static_cast<FontEntry*>(malloc(sizeof(FontEntry) + tlen + 1 + nlen + 1));
    if (!e)
        return FONT_NOMEM;
    e->kind = kind;
    e->target = reinterpret_cast<char*>(e + 1);
    memcpy(e->target, target, tlen + 1);
    e->name = e->target + tlen + 1;
    memcpy(e->name, name, nlen + 1);
    unsigned h = hash_index(name);
    e->bucketNext = ft->fontTable[h];
    ft->fontTable[h] = e;
    e->listNext = nullptr;
    if (ft->fontListTail)
        ft->fontListTail->listNext = e;
    else
        ft->fontListHead = e;
    ft->fontListTail = e;
    return 0;
}

int Add_FAM(FontTable* ft, const char* name, const char* dir, const char* file)
{
    size_t dlen = strlen(dir), flen = strlen(file);
    char* target = static_cast<char*>(malloc(dlen + flen + 1));
    if (!target)
        return FONT_NOMEM;
    memcpy(target, dir, dlen);
    memcpy(target + dlen, file, flen + 1);
    int r = AddEntry(ft, name, target, ENTRY_FAM);
    free(target);
    return r;
}

int Add_SYN(FontTable* ft, const char* name, const char* other)
{
    return AddEntry(ft, name, other, ENTRY_SYN);
}

uint32_t hash_name(const char* name)
{
    uint32_t h = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++)
        h = h * 31 + *p;
    return h;
}

unsigned hash_index(const char* name)
{
    return hash_name(name) % FONT_TABLE_SIZE;
}

FontEntry* FindEntry(const FontTable* ft, const char* name)
{
    for (FontEntry* e = ft->fontTable[hash_index(name)]; e; e = e->bucketNext)
        if (strcmp(e->name, name) == 0)
            return e;
    return nullptr;
}

const char* FindFile(const FontTable* ft, const char* name)
{
    for (int i = 0; i < MAX_LOOKUPS; i++) {
        const FontEntry* e = FindEntry(ft, name);
        if (!e)
            return nullptr;
        if (e->kind == ENTRY_FAM)
            return e->target;
        name = e->target;
    }
    return nullptr;
}

const char* FindMatch(const FontTable* ft, const char* pattern)
{
    for (const FontEntry* e = ft->fontListHead; e; e = e->listNext)
        if (Match(pattern, e->name))
            return e->name;
    return nullptr;
}

// Wildcard match with one back-tracking point: a later "*" makes every earlier choice final,
// so the time stays proportional to pattern length times text length.
int Match(const char* pattern, const char* text)
{
    const char* p = pattern;
    const char* t = text;
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*t) {
        if (*p == '*') {
            star = p++;
            resume = t;
        } else if (*p && (*p == '?' || *p == *t)) {
            p++;
            t++;
        } else if (star) {
            p = star + 1;
            t = ++resume;
        } else {
            return 0;
        }
    }
    while (*p == '*')
        p++;
    return *p == 0;
}

int IsPattern(const char* name)
{
    return strpbrk(name, "*?") != nullptr;
}

int IsXLFD(const char* name)
{
    int dashes = 0;
    for (; *name; name++)
        dashes += *name == '-';
    return dashes == 14;
}

void CopyISOLatin1Lowered(char* dst, const char* src, size_t len)
{
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(src[i]);
        if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xDE))
            c += 0x20;
        dst[i] = static_cast<char>(c);
    }
    dst[len] = 0;
}

static bool ends_with(const char* s, size_t n, const char* tail, size_t minlen)
{
    size_t t = strlen(tail);
    return n > minlen && strcmp(s + n - t, tail) == 0;
}

char* FindFontFile(const char* path, int size)
{
    size_t n = strlen(path);
    if (ends_with(path, n, ".ff", 3)) {
        FamilyFile* ff = ReadFamily(path);
        if (!ff)
            return nullptr;
        const char* slash = strrchr(path, '/');
        size_t dlen = slash ? (size_t)(slash - path + 1) : 0;
        const char* member = FamilyMember(ff, size);
        char* result = nullptr;
        if (member) {
            size_t mlen = strlen(member);
            result = static_cast<char*>(malloc(dlen + mlen + 1));
            if (result) {
                memcpy(result, path, dlen);
                memcpy(result + dlen, member, mlen + 1);
            }
        }
        FreeFamily(ff);
        return result;
    }
    if (ends_with(path, n, ".f3b", 4) || ends_with(path, n, ".fb", 3))
        return strdup(path);
    return nullptr;
}

FamilyFile* ReadFamily(const char* path)
{
    FILE* fp = fopen(path, "rb");
    if (!fp)
        return nullptr;
    struct stat st;
    unsigned char* data = nullptr;
    size_t size = 0;
    if (fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        (uint64_t)st.st_size <= UINT32_MAX) {
        size = (size_t)st.st_size;
        data = static_cast<unsigned char*>(malloc(size));
        if (data && fread(data, 1, size, fp) != size) {
            free(data);
            data = nullptr;
        }
    }
    fclose(fp);
    return data ? ReadFamilyData(data, size) : nullptr;
}

FamilyFile* ReadFamilyData(unsigned char* data, size_t size)
{
    FamilyFile* ff = static_cast<FamilyFile*>(malloc(sizeof(FamilyFile)));
    if (!ff || size > UINT32_MAX) {
        free(ff);
        free(data);
        return nullptr;
    }
    ff->data = data;
    ff->size = size;
    ff->defaultName = nullptr;
    if (!check_family(ff)) {
        FreeFamily(ff);
        return nullptr;
    }
    return ff;
}

void FreeFamily(FamilyFile* ff)
{
    if (ff) {
        free(ff->data);
        free(ff);
    }
}

const char* FamilyMember(const FamilyFile* ff, int size)
{
    if (size < 0)
        return nullptr;
    // Keys are signed 32-bit; a size whose key does not fit matches no record.
    double wanted = 2.0 * size * 65536.0;
    if (wanted <= INT32_MAX) {
        int32_t key = static_cast<int32_t>(wanted);
        uint32_t k = static_cast<uint32_t>(key);
        unsigned bucket = (((k >> 16) ^ k) & 0xFFFF) % FAMILY_BUCKETS;
        for (uint32_t r = word_at(ff, FF_BUCKETS + 4 * bucket); r; r = word_at(ff, r + 12)) {
            double m[6];
            floatfr_array(ff->data + r + 16, m, 6);
            if (static_cast<int32_t>(word_at(ff, r + 4)) == key && m[0] == size && m[3] == size)
                return record_name(ff, r);
        }
    }
    if (ff->defaultName)
        return ff->defaultName;
    if (size < FAMILY_SIZES) {
        uint32_t r = word_at(ff, FF_SIZES + 4 * size);
        return r ? record_name(ff, r) : nullptr;
    }
    return "";
}

void floatfr_array(const unsigned char* words, double* out, int count)
{
    for (int i = 0; i < count; i++)
        out[i] = static_cast<int32_t>(be32(words + 4 * i)) / 65536.0;
}
