// The name table (Families.list, synonyms, patterns) and the family-file reader.
#include <cstring>
#include <gtest/gtest.h>

#include "fonts/fonttab.h"
#include "tests/fonts/fontfixtures.h"

using fontfix::FamilyBuilder;

namespace {

struct Table {
    FontTable t{};
    Table() { InitializeTable(&t); }
    ~Table() { FreeTable(&t); }
    void lines(const char* dir, std::initializer_list<const char*> ls)
    {
        for (const char* l : ls)
            ASSERT_EQ(ProcessFamiliesLine(&t, l, dir), 0) << l;
    }
    std::string file(const char* name)
    {
        const char* f = FindFile(&t, name);
        return f ? f : "<none>";
    }
};

TEST(NameTable, SynonymResolvesThroughFamily)
{
    Table tb;
    tb.lines("/f", {"/helv /helvetica _FontDirectorySYN", "/helvetica (/hel.ff) _FontDirectoryFAM"});
    EXPECT_EQ(tb.file("helv"), "/f/hel.ff");
    EXPECT_EQ(tb.file("helvetica"), "/f/hel.ff");
    EXPECT_EQ(tb.file("Helv"), "<none>");  // names are compared exactly
    EXPECT_EQ(tb.file("nosuch"), "<none>");
}

TEST(NameTable, SynonymChainsEndAfterTenLookups)
{
    Table tb;
    tb.lines("/f", {"/a /b _FontDirectorySYN", "/b /a _FontDirectorySYN"});
    EXPECT_EQ(tb.file("a"), "<none>");
    // s1 -> ... -> s9 -> fam is ten look-ups; s0 needs eleven.
    for (int i = 0; i < 9; i++) {
        std::string l = "/s" + std::to_string(i) + " /s" + std::to_string(i + 1) + " _FontDirectorySYN";
        tb.lines("/f", {l.c_str()});
    }
    tb.lines("/f", {"/s9 /fam _FontDirectorySYN", "/fam (/x.fb) _FontDirectoryFAM"});
    EXPECT_EQ(tb.file("s1"), "/f/x.fb");
    EXPECT_EQ(tb.file("s0"), "<none>");
}

TEST(NameTable, FamiliesListLines)
{
    struct Case {
        const char* line;
        const char* name;
        const char* expect;  // FindFile result, or null for no entry
    } cases[] = {
        {"/helvetica (/hel.ff) _FontDirectoryFAM", "helvetica", "/d/hel.ff"},
        {"/plain /file.fb _FontDirectoryFAM", "plain", "/dfile.fb"},  // no separator is added
        {" \t(two words) (/a b.fb)\t_FontDirectoryFAM", "two words", "/d/a b.fb"},
        {"(e)(/e.fb)_FontDirectoryFAMextra", "e", "/d/e.fb"},
        {"/syn /helvetica _FontDirectorySYN trailing words", "syn", "/d/hel.ff"},
        {"% /c (/c.fb) _FontDirectoryFAM", "c", nullptr},
        {"  %/c2 (/c.fb) _FontDirectoryFAM", "c2", nullptr},
        {"/k (/k.fb) _FontDirectoryXYZ", "k", nullptr},
        {"/k2 (/k.fb) _FontDirectoryFA", "k2", nullptr},
        {"(open (/o.fb) _FontDirectoryFAM", "open", nullptr},
        {"(u) (/u.fb _FontDirectoryFAM", "u", nullptr},
        {"word (/w.fb) _FontDirectoryFAM", "word", nullptr},
        {"/t", "t", nullptr},
        {"", "", nullptr},
    };
    Table tb;
    for (const auto& c : cases)
        tb.lines("/d", {c.line});
    for (const auto& c : cases)
        EXPECT_EQ(tb.file(c.name), c.expect ? c.expect : "<none>") << c.line;
}

TEST(NameTable, FirstDefinitionWinsAcrossTheFontPath)
{
    fontfix::TempDir d;
    mkdir((d / "one").c_str(), 0755);
    mkdir((d / "two").c_str(), 0755);
    mkdir((d / "empty").c_str(), 0755);
    fontfix::write_file(d / "one/Families.list",
                        "/a (/a1.fb) _FontDirectoryFAM\n/a (/a2.fb) _FontDirectoryFAM\n");
    // A line far longer than any line buffer: read as one line, its tail defines nothing.
    std::string longLine = "% " + std::string(3000, 'x') + " /tail (/t.fb) _FontDirectoryFAM\n";
    fontfix::write_file(d / "two/Families.list",
                        longLine + "/a (/a3.fb) _FontDirectoryFAM\n/b (/b.fb) _FontDirectoryFAM");
    setenv("FONTPATH", (d / "one:" + d.path + "/empty:" + d.path + "/two").c_str(), 1);
    Table tb;
    tb.t.verbose = 1;
    testing::internal::CaptureStdout();
    ASSERT_EQ(SetDefaultFontPath(&tb.t), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(tb.file("a"), d / "one/a1.fb");
    EXPECT_EQ(tb.file("b"), d / "two/b.fb");  // last line without a newline
    EXPECT_EQ(tb.file("tail"), "<none>");
    EXPECT_EQ(out, "Font path = " + d / "one:" + d.path + "/empty:" + d.path + "/two\n" +
                        "Processing " + d / "one/Families.list\n" + "Processing " +
                        d / "two/Families.list\n");
    // Reading order holds each name once.
    int n = 0;
    for (FontEntry* e = tb.t.fontListHead; e; e = e->listNext)
        n++;
    EXPECT_EQ(n, 2);
}

TEST(NameTable, DefaultFontPath)
{
    struct Case {
        const char* fontpath;
        const char* openwin;
        const char* expect;
    } cases[] = {
        {"/x:/y", "/ow", "/x:/y"},
        {nullptr, "/ow", "/ow/lib/fonts"},
        {nullptr, nullptr, "/usr/openwin/lib/fonts"},
    };
    for (const auto& c : cases) {
        c.fontpath ? setenv("FONTPATH", c.fontpath, 1) : unsetenv("FONTPATH");
        c.openwin ? setenv("OPENWINHOME", c.openwin, 1) : unsetenv("OPENWINHOME");
        Table tb;
        ASSERT_EQ(SetDefaultFontPath(&tb.t), 0);
        EXPECT_STREQ(tb.t.fontPath, c.expect);
    }
}

TEST(NameTable, PatternsAndFirstMatchInReadingOrder)
{
    struct Case {
        const char* pattern;
        const char* text;
        int match;
    } cases[] = {
        {"h*a", "helvetica", 1},   {"h?lv*", "helv", 1},      {"h?lv*", "helvetica", 1},
        {"h*a", "helv", 0},        {"*", "", 1},              {"?", "", 0},
        {"", "", 1},               {"abc", "abcd", 0},        {"abc*", "abc", 1},
        {"*c", "abcbc", 1},        {"a*b*c", "axxbyyc", 1},   {"a*b*c", "axxcyyb", 0},
        {"*a*", "bbb", 0},         {"**", "x", 1},            {"x?z", "x*z", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Match(c.pattern, c.text), c.match) << c.pattern << " ~ " << c.text;
    // Many stars against a long text that fails at its end: must not take exponential time.
    std::string text(4000, 'a');
    EXPECT_EQ(Match("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", text.c_str()), 0);

    Table tb;
    tb.lines("/f", {"/helv (/hv.fb) _FontDirectoryFAM", "/helvetica (/h.fb) _FontDirectoryFAM"});
    EXPECT_STREQ(FindMatch(&tb.t, "h?lv*"), "helv");
    EXPECT_STREQ(FindMatch(&tb.t, "h*a"), "helvetica");
    EXPECT_EQ(FindMatch(&tb.t, "x*"), nullptr);
    EXPECT_EQ(IsPattern("h*"), 1);
    EXPECT_EQ(IsPattern("h?"), 1);
    EXPECT_EQ(IsPattern("h"), 0);
}

TEST(NameTable, HashXlfdAndLowering)
{
    EXPECT_EQ(hash_name(""), 0u);
    EXPECT_EQ(hash_name("ab"), 97u * 31 + 98);
    EXPECT_EQ(hash_name("\xff"), 255u);  // bytes count as unsigned
    EXPECT_EQ(hash_index("ab"), (97u * 31 + 98) % 73);
    EXPECT_EQ(IsXLFD("-adobe-helvetica-medium-r-normal--12-120-75-75-p-67-iso8859-1"), 1);
    EXPECT_EQ(IsXLFD("-adobe-helvetica-medium-r-normal--12-120-75-75-p-67-iso8859"), 0);
    EXPECT_EQ(IsXLFD("--------------"), 1);
    EXPECT_EQ(IsXLFD("---------------"), 0);
    const char src[] = "AZaz09\xC0\xD6\xD7\xD8\xDE\xDF\xFF";
    char dst[sizeof src];
    memset(dst, 'x', sizeof dst);
    CopyISOLatin1Lowered(dst, src, 6);
    EXPECT_STREQ(dst, "azaz09");
    CopyISOLatin1Lowered(dst, src, sizeof src - 1);
    EXPECT_STREQ(dst, "azaz09\xE0\xF6\xD7\xF8\xFE\xDF\xFF");
}

std::string member(const FamilyBuilder& b, int size)
{
    std::vector<unsigned char> v = b.data;
    unsigned char* copy = static_cast<unsigned char*>(malloc(v.size()));
    memcpy(copy, v.data(), v.size());
    FamilyFile* ff = ReadFamilyData(copy, v.size());
    if (!ff)
        return "<rejected>";
    const char* m = FamilyMember(ff, size);
    std::string r = m ? m : "<none>";
    FreeFamily(ff);
    return r;
}

TEST(FamilyFile, SizeLookup)
{
    FamilyBuilder b;
    uint32_t r10 = b.record("hel10.f3b", 10);
    uint32_t r12 = b.record("hel12.f3b", 12);
    b.record("odd14.f3b", 14, 15);  // key of 14, matrix of 15: no exact match
    uint32_t table = b.record("table.f3b", 12, 12, false);
    b.size_entry(14, table);
    b.size_entry(12, r10);
    b.size_entry(72, r12);
    EXPECT_EQ(member(b, 12), "hel12.f3b");   // exact record wins over the size table
    EXPECT_EQ(member(b, 10), "hel10.f3b");
    EXPECT_EQ(member(b, 14), "table.f3b");   // size-table fall-back
    EXPECT_EQ(member(b, 72), "hel12.f3b");
    EXPECT_EQ(member(b, 13), "<none>");      // no record, no default, no table entry
    EXPECT_EQ(member(b, 73), "");            // nothing appended from 73 on
    EXPECT_EQ(member(b, 40000), "");         // key beyond 32 bits matches nothing
    b.default_name("default.f3b");
    EXPECT_EQ(member(b, 12), "hel12.f3b");
    EXPECT_EQ(member(b, 14), "default.f3b");
    EXPECT_EQ(member(b, 100), "default.f3b");
}

TEST(FamilyFile, FindFontFileByPath)
{
    fontfix::TempDir d;
    FamilyBuilder b;
    b.size_entry(12, b.record("hel12.f3b", 12));
    fontfix::write_file(d / "hel.ff", b.bytes());
    fontfix::write_file(d / "bad.ff", "not a family");
    struct Case {
        std::string path;
        int size;
        std::string expect;
    } cases[] = {
        {d / "hel.ff", 12, d / "hel12.f3b"},
        {d / "hel.ff", 73, d.path + "/"},
        {d / "hel.ff", 11, "<none>"},
        {d / "bad.ff", 12, "<none>"},
        {d / "missing.ff", 12, "<none>"},
        {d.path + "/", 12, "<none>"},
        {"/x/y.f3b", 99, "/x/y.f3b"},
        {"y.fb", 1, "y.fb"},
        {".f3b", 12, "<none>"},
        {".fb", 12, "<none>"},
        {".ff", 12, "<none>"},
        {"/x/y.pcf", 12, "<none>"},
    };
    for (const auto& c : cases) {
        char* r = FindFontFile(c.path.c_str(), c.size);
        EXPECT_EQ(r ? std::string(r) : "<none>", c.expect) << c.path << " " << c.size;
        free(r);
    }
}

TEST(FamilyFile, RejectsOffsetsOutsideAndLoops)
{
    struct Case {
        const char* what;
        void (*spoil)(FamilyBuilder&);
    } cases[] = {
        {"wrong magic", [](FamilyBuilder& b) { b.put(0x08, 0x137A2B49); }},
        {"truncated header", [](FamilyBuilder& b) { b.data.resize(0x1DB); }},
        {"default name outside", [](FamilyBuilder& b) { b.put(0x14, 0x7FFFFFF0); }},
        {"default name unterminated", [](FamilyBuilder& b) {
             b.data.push_back('x');
             b.put(0x14, static_cast<uint32_t>(b.data.size() - 1));
         }},
        {"unused offset outside", [](FamilyBuilder& b) { b.put(0x0C, 0xFFFFFFFF); }},
        {"indirect offset outside", [](FamilyBuilder& b) { b.put(0x20, static_cast<uint32_t>(b.data.size() - 2)); }},
        {"indirect word outside", [](FamilyBuilder& b) { b.put(0x20, 0x30); b.put(0x30, 0x10000); }},
        {"record outside", [](FamilyBuilder& b) { b.put(0x24, static_cast<uint32_t>(b.data.size() - 20)); }},
        {"record name outside", [](FamilyBuilder& b) { b.put(b.get(0xB8 + 4 * 12), 0xFFFF); }},
        {"size table record outside", [](FamilyBuilder& b) { b.size_entry(5, 0xFFFFFF00); }},
        {"chain loops on itself", [](FamilyBuilder& b) {
             uint32_t r = b.get(0xB8 + 4 * 12);
             b.put(r + 12, r);
         }},
        {"chain loops through two", [](FamilyBuilder& b) {
             uint32_t r = b.get(0xB8 + 4 * 12);
             uint32_t s = b.record("other.f3b", 12);  // same bucket, now its head
             b.put(r + 12, s);
         }},
        {"record in two buckets", [](FamilyBuilder& b) {
             b.put(0x24 + 4 * 36, b.get(0xB8 + 4 * 12));
         }},
    };
    FamilyBuilder good;
    good.size_entry(12, good.record("hel12.f3b", 12));
    ASSERT_EQ(member(good, 12), "hel12.f3b");
    for (const auto& c : cases) {
        FamilyBuilder b = good;
        c.spoil(b);
        EXPECT_EQ(member(b, 12), "<rejected>") << c.what;
    }
}

TEST(FamilyFile, FixedPointMatrix)
{
    const unsigned char w[] = {0x00, 0x0C, 0x00, 0x00, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00, 0x40, 0x00};
    double m[3];
    floatfr_array(w, m, 3);
    EXPECT_EQ(m[0], 12.0);
    EXPECT_EQ(m[1], -0.5);
    EXPECT_EQ(m[2], 0.25);
}

} // namespace
