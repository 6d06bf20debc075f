// Test fixtures for the font converter: temporary directories, small BDF texts, .f3b headers,
// family files laid out as the converter reads them, and a runner for the program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fontfix {

inline std::string sh_quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct TempDir {
    std::string path;
    TempDir()
    {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fontconv-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        if (mkdtemp(buf.data()))
            path = buf.data();
    }
    ~TempDir()
    {
        if (!path.empty())
            [[maybe_unused]] int r = system(("rm -rf " + sh_quote(path)).c_str());
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline void write_file(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A small but complete BDF font with the given FONT value and SIZE line.
inline std::string bdf_text(const std::string& font, const std::string& sizeLine = "SIZE 0 75 75")
{
    std::string glyph = "BITMAP\n00\n18\n24\n42\n7E\n42\n42\n00\nENDCHAR\n";
    return "STARTFONT 2.1\nFONT " + font + "\n" + sizeLine +
           "\nFONTBOUNDINGBOX 8 8 0 -1\nSTARTPROPERTIES 3\nFONT_ASCENT 7\nFONT_DESCENT 1\n"
           "FONT \"" + font + "\"\nENDPROPERTIES\nCHARS 2\n"
           "STARTCHAR space\nENCODING 32\nSWIDTH 500 0\nDWIDTH 8 0\nBBX 8 8 0 -1\n"
           "BITMAP\n00\n00\n00\n00\n00\n00\n00\n00\nENDCHAR\n"
           "STARTCHAR A\nENCODING 65\nSWIDTH 500 0\nDWIDTH 8 0\nBBX 8 8 0 -1\n" + glyph +
           "ENDFONT\n";
}

// An outline font file: the 52-byte header naming the font, then (for the test stand-ins) the
// BDF text that their conversion produces.
inline std::string f3b_file(const std::string& name, const std::string& body,
                            uint32_t magic = 0x137A2951)
{
    std::string h(52, '\0');
    for (int i = 0; i < 4; i++)
        h[i] = static_cast<char>(magic >> (24 - 8 * i));
    std::string n = name.size() < 40 ? name + "\n" : name.substr(0, 40);
    h.replace(9, n.size(), n);
    return h + body;
}

// Builds a family file: header, size records chained into their key buckets, size table,
// default member name.
struct FamilyBuilder {
    std::vector<unsigned char> data = std::vector<unsigned char>(0x1DC);
    FamilyBuilder() { put(0x08, 0x137A2B48); }
    void put(size_t off, uint32_t v)
    {
        for (int i = 0; i < 4; i++)
            data[off + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
    }
    uint32_t get(size_t off) const
    {
        return (uint32_t)data[off] << 24 | data[off + 1] << 16 | data[off + 2] << 8 | data[off + 3];
    }
    uint32_t str(const std::string& s)
    {
        uint32_t off = static_cast<uint32_t>(data.size());
        data.insert(data.end(), s.begin(), s.end());
        data.push_back(0);
        return off;
    }
    static unsigned bucket_of(int32_t key)
    {
        uint32_t k = static_cast<uint32_t>(key);
        return (((k >> 16) ^ k) & 0xFFFF) % 37;
    }
    // A size record for `size` whose matrix says `matrixSize`; chained into its bucket.
    uint32_t record(const std::string& file, int size, int matrixSize = -1, bool chain = true)
    {
        if (matrixSize < 0)
            matrixSize = size;
        uint32_t name = str(file);
        uint32_t off = static_cast<uint32_t>(data.size());
        data.resize(off + 40);
        int32_t key = 2 * size * 65536;
        put(off, name);
        put(off + 4, static_cast<uint32_t>(key));
        put(off + 16, static_cast<uint32_t>(matrixSize) << 16);
        put(off + 28, static_cast<uint32_t>(matrixSize) << 16);
        if (chain) {
            size_t head = 0x24 + 4 * bucket_of(key);
            put(off + 12, get(head));
            put(head, off);
        }
        return off;
    }
    void size_entry(int size, uint32_t rec) { put(0xB8 + 4 * size, rec); }
    void default_name(const std::string& s) { put(0x14, str(s)); }
    std::string bytes() const { return std::string(data.begin(), data.end()); }
};

struct RunResult {
    int status = -1;
    std::string out, err;
};

inline std::string bin_dir()
{
    const char* d = getenv("LQ_BIN_DIR");
    return d ? d : "build/bin";
}

inline std::string fixture_bin()
{
    const char* s = getenv("LQ_SOURCE_DIR");
    return std::string(s ? s : ".") + "/tests/fonts/fixtures/bin";
}

// Runs `program` (the converter by default) in `cwd` through the shell, with `env` (a string of
// NAME=value words, already quoted) and `args`, feeding `input` on standard input.
inline RunResult run_in(const std::string& cwd, const std::string& env,
                        const std::vector<std::string>& args, const std::string& input = "",
                        const std::string& program = "")
{
    RunResult r;
    std::string in = cwd + ".stdin", out = cwd + ".stdout", err = cwd + ".stderr";
    write_file(in, input);
    std::string cmd = "cd " + sh_quote(cwd) + " && env " + env + " " +
                      sh_quote(program.empty() ? bin_dir() + "/fontconv" : program);
    for (const auto& a : args)
        cmd += " " + sh_quote(a);
    cmd += " <" + sh_quote(in) + " >" + sh_quote(out) + " 2>" + sh_quote(err);
    int st = system(cmd.c_str());
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = read_file(out);
    r.err = read_file(err);
    unlink(in.c_str());
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

// Output of a shell command line (its standard output, trailing newline removed).
inline std::string shell_output(const std::string& cmd)
{
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// A font directory with a Families.list and fonts of every kind, an empty output directory,
// and the environment that runs the converter with the test stand-ins and the real tools.
struct Scene {
    TempDir d;
    std::string fonts = d / "fonts", out = d / "out", log = d / "standin.log";
    Scene()
    {
        mkdir(fonts.c_str(), 0755);
        mkdir(out.c_str(), 0755);
        write_file(fonts + "/Families.list",
                   "% fonts for the tests\n"
                   "/helvetica (/hel.ff) _FontDirectoryFAM\n"
                   "/helv /helvetica _FontDirectorySYN\n"
                   "/times (/Times.f3b) _FontDirectoryFAM\n"
                   "(times roman) /times _FontDirectorySYN\n"
                   "/lucida (/Lucida2.f3b) _FontDirectoryFAM\n"
                   "/courier (/courier14.fb) _FontDirectoryFAM\n"
                   "/-adobe-courier-medium-r-normal--0-0-0-0-m-0-iso8859-1 /courier _FontDirectorySYN\n"
                   "/fixed (/fixed.fb) _FontDirectoryFAM\n"
                   "/-x (/dashx.fb) _FontDirectoryFAM\n"
                   "/broken (/broken.fb) _FontDirectoryFAM\n"
                   "/badafb (/BadAfb.f3b) _FontDirectoryFAM\n"
                   "/notf3b (/not.f3b) _FontDirectoryFAM\n"
                   "/big (/hel.ff) _FontDirectoryFAM\n"
                   "(odd name) (/odd 'q;touch pwned.fb) _FontDirectoryFAM\n");
        FamilyBuilder ff;
        ff.record("Helvetica.f3b", 12);
        ff.size_entry(10, ff.record("Helvetica.f3b", 10, 10, false));
        write_file(fonts + "/hel.ff", ff.bytes());
        write_file(fonts + "/Helvetica.f3b", f3b_file("Helvetica", bdf_text("Helvetica")));
        write_file(fonts + "/Times.f3b", f3b_file("Times", bdf_text("Times")));
        write_file(fonts + "/Lucida2.f3b", f3b_file("Lucida2", bdf_text("Lucida")));
        write_file(fonts + "/courier14.fb", bdf_text("Courier"));
        write_file(fonts + "/fixed.fb",
                   bdf_text("-misc-fixed-medium-r-normal--8-80-75-75-c-80-iso8859-1", "SIZE 8 75 75"));
        write_file(fonts + "/dashx.fb", bdf_text("DashX"));
        write_file(fonts + "/broken.fb", "FAIL\n" + bdf_text("Broken"));
        write_file(fonts + "/BadAfb.f3b", f3b_file("BadAfb", "FAILAFB\n"));
        write_file(fonts + "/not.f3b", f3b_file("Not", bdf_text("Not"), 0x137A2952));
        write_file(fonts + "/odd 'q;touch pwned.fb", bdf_text("Odd"));
    }
    // NAME=value words for env(1): font path, tool directory, stand-ins first on PATH.
    std::string env() const
    {
        std::string tools = shell_output("dirname \"$(command -v bdftopcf)\"");
        const char* path = getenv("PATH");
        return "-u NRVQZ_ROOT -u OPENWINHOME LC_ALL=C FONTPATH=" + sh_quote(fonts) +
               " NRVQZ_BIN=" + sh_quote(tools) +
               " PATH=" + sh_quote(fixture_bin() + ":" + (path ? path : "/usr/bin:/bin")) +
               " STANDIN_LOG=" + sh_quote(log);
    }
    RunResult run(const std::vector<std::string>& args, const std::string& input = "") const
    {
        return run_in(out, env(), args, input);
    }
    // The names in the output directory, sorted, joined by spaces.
    std::string listing() const
    {
        return shell_output("cd " + sh_quote(out) + " && ls -A | LC_ALL=C sort | tr '\\n' ' '");
    }
    std::string file(const std::string& name) const { return read_file(out + "/" + name); }
};

} // namespace fontfix
