// The converter's own pieces: name resolution, BDF editing, shell words and alias fields.
#include <gtest/gtest.h>

#include "fonts/fontconv.h"
#include "tests/fonts/fontfixtures.h"

namespace {

TEST(FindFont, NamesSizesAndGenericForms)
{
    FontConv fc{};
    fc.ProgName = "fontconv";
    InitializeTable(&fc.table);
    const char* lines[] = {
        "/helvetica (/hel.f3b) _FontDirectoryFAM",
        "/helv /helvetica _FontDirectorySYN",
        "/h (/h.fb) _FontDirectoryFAM",
        "/h- (/hdash.fb) _FontDirectoryFAM",
        "/- (/dash.fb) _FontDirectoryFAM",
        "/-adobe-courier-medium-r-normal--0-0-0-0-m-0-iso8859-1 (/cour.fb) _FontDirectoryFAM",
        "/-misc-fixed-medium-r-normal--13-120-75-75-c-70-iso8859-1 (/fixed.fb) _FontDirectoryFAM",
        "/-x-odd-medium-r-normal--0x-0-0-0-p-0-iso8859-1 (/odd.fb) _FontDirectoryFAM",
        "/-adobe-courier-medium-r-normal--14--75-75-m-90-iso8859-1 (/nopt.fb) _FontDirectoryFAM",
    };
    for (const char* l : lines)
        ASSERT_EQ(ProcessFamiliesLine(&fc.table, l, "/f"), 0);
    struct Case {
        const char* name;
        const char* requested;  // null: not found
        const char* file;
        int size;
    } cases[] = {
        {"helvetica", "helvetica", "/f/hel.f3b", 12},
        {"Helvetica", "Helvetica", "/f/hel.f3b", 12},
        {"helvetica12", "helvetica12", "/f/hel.f3b", 12},
        {"helvetica-12", "helvetica-12", "/f/hel.f3b", 12},
        {"HELV-18", "HELV-18", "/f/hel.f3b", 18},
        {"helvetica0", "helvetica0", "/f/hel.f3b", 12},
        {"h*a", "helvetica", "/f/hel.f3b", 12},
        {"h?lv*", "helvetica", "/f/hel.f3b", 12},
        {"h-12", "h-12", "/f/h.fb", 12},  // one "-" goes with the size ...
        {"h--12", "h--12", "/f/hdash.fb", 12},
        {"-12", "-12", "/f/dash.fb", 12},  // ... unless it is all that is left
        {"-Adobe-Courier-Medium-R-Normal--14-140-75-75-M-90-ISO8859-1",
         "-Adobe-Courier-Medium-R-Normal--14-140-75-75-M-90-ISO8859-1", "/f/cour.fb", 14},
        {"-adobe-courier-medium-r-normal--*-240-*-*-m-*-iso8859-1",
         "-adobe-courier-medium-r-normal--*-240-*-*-m-*-iso8859-1", nullptr, 0},
        {"-misc-fixed-medium-r-normal--13-120-75-75-c-70-iso8859-1",
         "-misc-fixed-medium-r-normal--13-120-75-75-c-70-iso8859-1", "/f/fixed.fb", 12},
        {"-x-odd-medium-r-normal--12x-140-75-75-p-10-iso8859-1",  // other characters stay
         "-x-odd-medium-r-normal--12x-140-75-75-p-10-iso8859-1", "/f/odd.fb", 14},
        {"-adobe-courier-medium-r-normal--14--75-75-m-90-iso8859-1",  // empty point field
         "", "/f/nopt.fb", 12},
        {"helvetica99999999999", nullptr, nullptr, 0},
        {"-adobe-courier-medium-r-normal--1-99999999999-0-0-m-0-iso8859-1", nullptr, nullptr, 0},
        {"times", nullptr, nullptr, 0},
        {"t*", nullptr, nullptr, 0},
        {"", nullptr, nullptr, 0},
    };
    for (const auto& c : cases) {
        std::string requested;
        char* file = nullptr;
        int size = 0;
        int r = find_font(&fc, c.name, &requested, &file, &size);
        if (!c.file) {
            EXPECT_EQ(r, FONT_NOTFOUND) << c.name;
            continue;
        }
        ASSERT_EQ(r, 0) << c.name;
        if (*c.requested) {
            EXPECT_EQ(requested, c.requested);
        }
        EXPECT_STREQ(file, c.file) << c.name;
        EXPECT_EQ(size, c.size) << c.name;
        free(file);
    }
    FreeTable(&fc.table);
}

std::string filter(const std::string& in, int size, std::string* name)
{
    FILE* i = fmemopen(const_cast<char*>(in.data()), in.size(), "r");
    char* buf = nullptr;
    size_t len = 0;
    FILE* o = open_memstream(&buf, &len);
    EXPECT_EQ(bdf_filter(i, o, size, name), 0);
    fclose(i);
    fclose(o);
    std::string out(buf, len);
    free(buf);
    return out;
}

TEST(BdfFilter, FontAndSizeLines)
{
    struct Case {
        std::string in;
        int size;
        std::string out, name;
    } cases[] = {
        {"FONT Courier\nSIZE 0 75 75\n", 14, "FONT Courier14\nSIZE 14 75 75\n", "Courier14"},
        {"FONT Courier0\n", 14, "FONT Courier14\n", "Courier14"},
        {"FONT Courier000\n", 9, "FONT Courier9\n", "Courier9"},
        {"FONT Courier10\n", 14, "FONT Courier10\n", "Courier10"},
        {"FONT -adobe-courier-medium-r-normal--14-140-75-75-m-90-iso8859-1\n", 12,
         "FONT -adobe-courier-medium-r-normal--14-140-75-75-m-90-iso8859-1\n",
         "-adobe-courier-medium-r-normal--14-140-75-75-m-90-iso8859-1"},
        {"FONT Big99999999999999999999\n", 12, "FONT Big99999999999999999999\n",
         "Big99999999999999999999"},
        {"STARTFONT 2.1\nFONT A\nFONT_ASCENT 7\n FONT x\nFONT \"A\"\nFONT y\n", 8,
         "STARTFONT 2.1\nFONT A8\nFONT_ASCENT 7\n FONT x\nFONT \"A8\"\nFONT \"A8\"\n", "A8"},
        {"SIZE 14 75 75\nSIZE 0 100 100\n", 12, "SIZE 14 75 75\nSIZE 12 100 100\n", ""},
        {"SIZE 0\nSIZE 0 75\nSIZE 0 x 75\nSIZEX 0 75 75\n", 12,
         "SIZE 0\nSIZE 0 75\nSIZE 0 x 75\nSIZEX 0 75 75\n", ""},
        {"SIZE 0 99999999999 75\n", 12, "SIZE 0 99999999999 75\n", ""},
        {"COMMENT no newline at the end\nFONT Z", 10, "COMMENT no newline at the end\nFONT Z10\n",
         "Z10"},
        // A line longer than any fixed buffer: its tail is no line of its own.
        {"COMMENT " + std::string(1015, 'x') + "FONT Tail\nFONT Real\n", 11,
         "COMMENT " + std::string(1015, 'x') + "FONT Tail\nFONT Real11\n", "Real11"},
    };
    for (const auto& c : cases) {
        std::string name;
        EXPECT_EQ(filter(c.in, c.size, &name), c.out) << c.in.substr(0, 40);
        EXPECT_EQ(name, c.name) << c.in.substr(0, 40);
    }
}

TEST(ShellWords, ShellSeesTheSameWord)
{
    const char* words[] = {
        "plain.bdf", "with space", "quote'd", "semi;colon", "$(touch pwned)", "`x`", "a\"b",
        "back\\slash", "glob*?[x]", "new\nline", "tab\there", "~user", "x=y", "", "-x",
    };
    fontfix::TempDir d;
    for (const char* w : words) {
        std::string cmd = "cd " + fontfix::sh_quote(d.path) + " && printf '%s|' " +
                          shell_word(w) + " > out";
        ASSERT_EQ(system(cmd.c_str()), 0) << w;
        EXPECT_EQ(fontfix::read_file(d / "out"), std::string(w) + "|") << w;
    }
    EXPECT_FALSE(fontfix::exists(d / "pwned"));
    EXPECT_EQ(shell_word("Courier14.bdf"), "Courier14.bdf");  // ordinary names stay readable
    EXPECT_EQ(file_word("-x.bdf"), "./-x.bdf");
    EXPECT_EQ(file_word("a b.bdf"), "'a b.bdf'");
}

TEST(AliasFields, QuotedOnlyWhenNeeded)
{
    EXPECT_EQ(alias_field("helv-12"), "helv-12");
    EXPECT_EQ(alias_field("odd name"), "\"odd name\"");
    EXPECT_EQ(alias_field("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(alias_field(""), "\"\"");
}

TEST(TrailingNumber, DigitsAtTheEnd)
{
    size_t start = 99;
    EXPECT_EQ(trailing_number("helvetica12", &start), 12);
    EXPECT_EQ(start, 9u);
    EXPECT_EQ(trailing_number("helvetica", &start), -1);
    EXPECT_EQ(start, 9u);
    EXPECT_EQ(trailing_number("x007", nullptr), 7);
    EXPECT_EQ(trailing_number("x99999999999", nullptr), -2);
    EXPECT_EQ(trailing_number("", nullptr), -1);
}

} // namespace

namespace {

TEST(F3bHeader, NameFromTheFirstBytes)
{
    struct Case {
        std::string file;
        size_t n;  // bytes read; 0: all
        int result;
        std::string name;
    } cases[] = {
        {fontfix::f3b_file("Times", "body"), 0, 0, "Times"},
        {fontfix::f3b_file(std::string(40, 'N') + "rest", ""), 0, 0, std::string(40, 'N')},
        {fontfix::f3b_file("Helvetica-Narrow", ""), 14, 0, "Helve"},  // short file
        {fontfix::f3b_file("Times", ""), 4, 0, ""},
        {fontfix::f3b_file("Times", ""), 3, -1, ""},
        {fontfix::f3b_file("Times", "", 0x137A2B48), 0, -1, ""},
        {fontfix::f3b_file("../../etc/x", ""), 0, -1, ""},
        {fontfix::f3b_file(std::string("ab\0cd", 5), ""), 0, 0, "ab"},
    };
    for (const auto& c : cases) {
        std::string name = "unchanged";
        size_t n = c.n ? c.n : c.file.size();
        EXPECT_EQ(f3b_name(reinterpret_cast<const unsigned char*>(c.file.data()), n, &name), c.result)
            << c.name;
        if (c.result == 0) {
            EXPECT_EQ(name, c.name);
        }
    }
}

} // namespace
