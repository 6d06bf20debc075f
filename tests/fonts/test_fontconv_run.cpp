// The converter run end to end in a temporary directory: test stand-ins for the maker's
// converters, the real bdftopcf, compress and mkfontdir.
#include <gtest/gtest.h>

#include "tests/fonts/fontfixtures.h"

using fontfix::RunResult;
using fontfix::Scene;

namespace {

const std::string USAGE =
    "\nUsage:  fontconv  [-bdf][-mkfontdir][-v][--][[font_name] ...]\n"
    "     -bdf    Keep all generated bdf files.\n\n"
    " -mkfontdir  Skip font conversions and only generate the\n"
    "             fonts.dir and fonts.alias files.\n\n"
    "     -v      Display detail of conversion process.\n\n"
    "     --      End of switches.  Anything after this on\n"
    "             the command line is treated as a font name.\n"
    "             Used if a font name begins with a dash.\n\n"
    "  font_name  Name of a font to convert.  Multiple font names\n"
    "             separated by spaces may be given on the command\n"
    "             line.  Put quotes around names that contain spaces.\n"
    "             If no font names are given then names will be\n"
    "             taken from standard input.\n\n"
    "   If errors with bdftopcf or mkfontdir occur, be sure your path\n"
    "   is set to pick up the Norvane utilities first, or set the\n"
    "   \"NRVQZ_BIN\" environment variable to the path where the\n"
    "   Norvane utilities can be found.\n\n";

// fonts.dir lines after the count, sorted.
std::string fonts_dir(const Scene& s)
{
    return fontfix::shell_output("tail -n +2 " + fontfix::sh_quote(s.out + "/fonts.dir") +
                                 " | LC_ALL=C sort");
}

TEST(FontconvRun, ConvertsOutlineBitmapAndFamilyFonts)
{
    Scene s;
    RunResult r = s.run({"times", "courier", "helv-12", "fixed", "Helv10"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(s.listing(),
              "Helvetica10.pcf.Z Helvetica12.pcf.Z Times12.pcf.Z courier14.pcf.Z fixed.pcf.Z "
              "fonts.alias fonts.dir ");
    EXPECT_EQ(fonts_dir(s),
              "Helvetica10.pcf.Z helvetica10\n"
              "Helvetica12.pcf.Z helvetica12\n"
              "Times12.pcf.Z times12\n"
              "courier14.pcf.Z courier14\n"
              "fixed.pcf.Z -misc-fixed-medium-r-normal--8-80-75-75-c-80-iso8859-1");
    EXPECT_EQ(s.file("fonts.alias"),
              "Helv10\thelvetica10\n"
              "courier\tcourier14\n"
              "fixed\t-misc-fixed-medium-r-normal--8-80-75-75-c-80-iso8859-1\n"
              "helv-12\thelvetica12\n"
              "times\ttimes12\n");
    EXPECT_EQ(fontfix::read_file(s.log),
              "makeafb [-M] [-P] [-V] [-12] [" + s.fonts + "/Times.f3b]\n"
              "convertfont [-x] [-o] [Times12] [Times12.afb]\n"
              "convertfont [-x] [-o] [courier14] [" + s.fonts + "/courier14.fb]\n"
              "makeafb [-M] [-P] [-V] [-12] [" + s.fonts + "/Helvetica.f3b]\n"
              "convertfont [-x] [-o] [Helvetica12] [Helvetica12.afb]\n"
              "convertfont [-x] [-o] [fixed] [" + s.fonts + "/fixed.fb]\n"
              "makeafb [-M] [-P] [-V] [-10] [" + s.fonts + "/Helvetica.f3b]\n"
              "convertfont [-x] [-o] [Helvetica10] [Helvetica10.afb]\n");
}

TEST(FontconvRun, KeepsEditedBdfWithFlag)
{
    Scene s;
    RunResult r = s.run({"-bdf", "times", "courier", "fixed", "lucida-14"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(s.listing(),
              "Lucida214.bdf Lucida214.pcf.Z Times12.bdf Times12.pcf.Z courier14.bdf "
              "courier14.pcf.Z fixed.bdf fixed.pcf.Z fonts.alias fonts.dir ");
    // An outline font's name that ends in a digit does not change the size asked for.
    std::string lucida = s.file("Lucida214.bdf");
    EXPECT_NE(lucida.find("\nFONT Lucida14\nSIZE 14 75 75\n"), std::string::npos) << lucida;
    std::string times = s.file("Times12.bdf");
    EXPECT_NE(times.find("\nFONT Times12\nSIZE 12 75 75\n"), std::string::npos) << times;
    EXPECT_NE(times.find("\nFONT \"Times12\"\n"), std::string::npos) << times;
    std::string courier = s.file("courier14.bdf");
    EXPECT_NE(courier.find("\nFONT Courier14\nSIZE 14 75 75\n"), std::string::npos) << courier;
    // A complete XLFD name and a size already given stay as they are.
    EXPECT_EQ(s.file("fixed.bdf"),
              fontfix::bdf_text("-misc-fixed-medium-r-normal--8-80-75-75-c-80-iso8859-1",
                                "SIZE 8 75 75"));
}

TEST(FontconvRun, AliasOnlyWhereNamesDiffer)
{
    Scene s;
    RunResult r = s.run({"times12", "Times12", "courier14", "COURIER-14"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(s.file("fonts.alias"), "COURIER-14\tcourier14\nTimes12\ttimes12\n");

    Scene t;
    r = t.run({"times12"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(t.listing(), "Times12.pcf.Z fonts.dir ");
}

TEST(FontconvRun, AliasFileReordering)
{
    struct Case {
        const char* before;
        const char* after;  // null: no fonts.alias afterwards
    } cases[] = {
        {"FILE_NAMES_ALIASES\nzeta\tz\nalpha\ta\nzeta\tz\nFILE_NAMES_ALIASES\n",
         "FILE_NAMES_ALIASES\nFILE_NAMES_ALIASES\nalpha\ta\nzeta\tz\n"},
        {"zeta\tz\nFILE_NAMES_ALIASES\nalpha\ta", "FILE_NAMES_ALIASES\nalpha\ta\nzeta\tz\n"},
        {"FILE_NAMES_ALIASES_x\nb\tb\n", "FILE_NAMES_ALIASES\nb\tb\n"},
        {"", ""},
        {nullptr, nullptr},
    };
    for (const auto& c : cases) {
        Scene s;
        if (c.before)
            fontfix::write_file(s.out + "/fonts.alias", c.before);
        RunResult r = s.run({"-mkfontdir"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(fontfix::exists(s.out + "/fonts.alias"), c.after != nullptr);
        if (c.after) {
            EXPECT_EQ(s.file("fonts.alias"), c.after) << c.before;
        }
        EXPECT_FALSE(fontfix::exists(s.out + "/fonts.tmp"));
    }
}

TEST(FontconvRun, MkfontdirAloneConvertsNothing)
{
    Scene s;
    ASSERT_EQ(s.run({"times"}).status, 0);
    ASSERT_EQ(unlink((s.out + "/fonts.dir").c_str()), 0);
    RunResult r = s.run({"-mkfontdir", "courier"}, "fixed\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(s.listing(), "Times12.pcf.Z fonts.alias fonts.dir ");
    EXPECT_EQ(fonts_dir(s), "Times12.pcf.Z times12");
}

TEST(FontconvRun, SwitchesAndUsage)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* err;
        std::string listing;
    } cases[] = {
        {{"-bdfx"}, 1, "fontconv: Unrecognized switch \"-bdfx\"\n", ""},
        {{"-m", "-q", "times"}, 1,
         "fontconv: Unrecognized switch \"-m\"\nfontconv: Unrecognized switch \"-q\"\n", ""},
        {{"-"}, 1, "fontconv: Unrecognized switch \"-\"\n", ""},
        {{"-x"}, 1, "fontconv: Unrecognized switch \"-x\"\n", ""},
        {{"--", "-x"}, 0, "", "dashx.pcf.Z fonts.alias fonts.dir "},
        {{"-bdf", "--", "--"}, 0, "fontconv: Couldn't convert font --\n", ""},
        {{"times", "-bdf"}, 0, "fontconv: Couldn't convert font -bdf\n", "Times12.pcf.Z fonts.alias fonts.dir "},
    };
    for (const auto& c : cases) {
        Scene s;
        RunResult r = s.run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(r.out, c.status ? USAGE : "") << c.args[0];
        EXPECT_EQ(s.listing(), c.listing) << c.args[0];
    }
    Scene s;
    ASSERT_EQ(s.run({"--", "-x"}).status, 0);
    EXPECT_EQ(s.file("fonts.alias"), "-x\tdashx12\n");
}

TEST(FontconvRun, VerboseEchoesEveryCommand)
{
    Scene s;
    RunResult r = s.run({"-vv", "times"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string tools = fontfix::shell_output("dirname \"$(command -v bdftopcf)\"");
    EXPECT_EQ(r.out,
              "Font path = " + s.fonts + "\n"
              "Processing " + s.fonts + "/Families.list\n"
              "makeafb -M -P -V -12 " + s.fonts + "/Times.f3b\n"
              "makeafb: wrote Times12.afb\n"
              "convertfont -x -o Times12 Times12.afb\n"
              "convertfont: wrote Times12.bdf\n"
              "rm -f Times12.afb\n"
              "bdffilter Times12.bdf > Times12.tmp\n"
              "mv Times12.tmp Times12.bdf\n" +
              tools + "/bdftopcf Times12.bdf > Times12.pcf\n"
              "rm -f Times12.pcf.Z\n"
              "compress Times12.pcf\n"
              "rm -f Times12.bdf\n"
              "rm -f Times12.pcf\n" +
              tools + "/mkfontdir\n"
              "aliasfilter fonts.alias > fonts.tmp\n"
              "sort -u ./fonts.tmp >> ./fonts.alias\n"
              "rm -f ./fonts.tmp\n");
}

TEST(FontconvRun, NamesFromStandardInput)
{
    Scene s;
    RunResult r = s.run({}, "times\n\ncourier");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "fontconv: Couldn't convert font \n");
    EXPECT_EQ(s.listing(), "Times12.pcf.Z courier14.pcf.Z fonts.alias fonts.dir ");

    Scene e;
    r = e.run({}, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(e.listing(), "");  // nothing converted, mkfontdir not run
}

TEST(FontconvRun, FailuresAreReportedAndLeaveNothing)
{
    struct Case {
        const char* name;
        std::string err;
    } cases[] = {
        {"broken", ""},
        {"badafb", ""},
        {"notf3b", "fontconv: Font file FONTS/not.f3b is corrupted\n"},
        {"nosuch", ""},
        {"big-80", ""},  // a family asked for 73 points or more gives its bare directory
        {"*nomatch*", ""},
    };
    for (const auto& c : cases) {
        Scene s;
        fontfix::write_file(s.out + "/fonts.dir", "sentinel\n");
        fontfix::write_file(s.out + "/fonts.alias", "b\tb\na\ta\n");
        RunResult r = s.run({c.name});
        std::string err = c.err;
        if (size_t at = err.find("FONTS"); at != std::string::npos)
            err.replace(at, 5, s.fonts);
        EXPECT_EQ(r.status, 0) << c.name;
        std::string tail = "fontconv: Couldn't convert font " + std::string(c.name) + "\n";
        ASSERT_GE(r.err.size(), tail.size()) << c.name;
        EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail) << c.name;
        if (!err.empty()) {
            EXPECT_EQ(r.err.substr(0, err.size()), err) << c.name;
        }
        EXPECT_EQ(s.listing(), "fonts.alias fonts.dir ") << c.name;
        EXPECT_EQ(s.file("fonts.dir"), "sentinel\n");
        EXPECT_EQ(s.file("fonts.alias"), "b\tb\na\ta\n");
    }

    // A failed font among good ones; with -bdf it leaves at most its .bdf behind.
    Scene s;
    RunResult r = s.run({"-bdf", "broken", "times"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("fontconv: Couldn't convert font broken\n"), std::string::npos);
    EXPECT_EQ(s.listing(), "Times12.bdf Times12.pcf.Z broken.bdf fonts.alias fonts.dir ");
}

TEST(FontconvRun, ShellMetacharactersInNames)
{
    Scene s;
    RunResult r = s.run({"Odd Name", "--x"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "fontconv: Couldn't convert font --x\n");
    EXPECT_EQ(s.listing(), "fonts.alias fonts.dir odd 'q;touch pwned.pcf.Z ");
    EXPECT_EQ(s.file("fonts.alias"), "\"Odd Name\"\todd12\n");
    EXPECT_EQ(fontfix::shell_output("find " + fontfix::sh_quote(s.d.path) + " -name pwned"), "");
    EXPECT_EQ(fontfix::read_file(s.log), "convertfont [-x] [-o] [odd 'q;touch pwned] [" + s.fonts +
                                             "/odd 'q;touch pwned.fb]\n");
}

TEST(FontconvRun, ToolDirectory)
{
    struct Case {
        std::string env;
        std::string program;  // empty: the converter by its full path
        std::string command;  // first line of the verbose output
        int status;
    } cases[] = {
        {"NRVQZ_BIN=/nb NRVQZ_ROOT=/nr", "", "/nb/mkfontdir", 1},
        {"-u NRVQZ_BIN NRVQZ_ROOT=/nr", "", "/nr/bin/sun4/mkfontdir", 1},
        {"-u NRVQZ_BIN -u NRVQZ_ROOT", "", fontfix::bin_dir() + "/mkfontdir", 1},
        {"-u NRVQZ_BIN -u NRVQZ_ROOT PATH=" + fontfix::sh_quote(fontfix::bin_dir() + ":" + getenv("PATH")),
         "fontconv", "mkfontdir", 0},
        {"NRVQZ_BIN='/a dir;x'", "", "'/a dir;x/mkfontdir'", 1},
    };
    for (const auto& c : cases) {
        Scene s;
        RunResult r = fontfix::run_in(s.out, c.env, {"-v", "-mkfontdir"}, "", c.program);
        EXPECT_EQ(r.status, c.status) << c.env;
        EXPECT_EQ(r.out.substr(0, r.out.find('\n')), c.command) << c.env;
    }
}

} // namespace
