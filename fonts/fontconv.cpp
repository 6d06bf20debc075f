#include "fonts/fontconv.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

const uint32_t F3B_MAGIC = 0x137A2951;
const size_t F3B_HEADER = 52;
const size_t F3B_NAME = 9;
const size_t F3B_NAME_MAX = 40;
const int DEFAULT_SIZE = 12;
const int XLFD_POINT_FIELD = 8;
const char ALIAS_KEYWORD[] = "FILE_NAMES_ALIASES";
const size_t ALIAS_KEYWORD_LEN = 18;

const char* usage_text =
    "\nUsage:  %s  [-bdf][-mkfontdir][-v][--][[font_name] ...]\n"
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

bool has_suffix(const std::string& s, const char* tail, size_t minlen)
{
    size_t t = strlen(tail);
    return s.size() > minlen && s.compare(s.size() - t, t, tail) == 0;
}

bool starts_with(const char* s, const char* head)
{
    return strncmp(s, head, strlen(head)) == 0;
}

std::string lowered(const std::string& s)
{
    std::string out(s.size() + 1, '\0');
    CopyISOLatin1Lowered(out.data(), s.data(), s.size());
    out.resize(s.size());
    return out;
}

// Runs a command with its standard output read through a pipe and, with -v, copied to ours.
// Returns what pclose reports, or -1 when the pipe cannot be opened.
int run_pipe(const FontConv* fc, const std::string& cmd)
{
    if (fc->verbose)
        printf("%s\n", cmd.c_str());
    fflush(stdout);
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char* line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, p) >= 0)
        if (fc->verbose)
            fputs(line, stdout);
    free(line);
    fflush(stdout);
    return pclose(p);
}

// Non-negative decimal digits at s, stopping at the first other character; -1 when there
// are none, -2 when they do not fit an int.
int leading_number(const char* s)
{
    if (*s < '0' || *s > '9')
        return -1;
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > INT_MAX)
            return -2;
    }
    return static_cast<int>(v);
}

const char* after_dash(const std::string& name, int n)
{
    const char* p = name.c_str();
    for (int i = 0; i < n; i++) {
        p = strchr(p, '-');
        if (!p)
            return nullptr;
        p++;
    }
    return p;
}

// Point size of an XLFD name: the point-size field in tenths; 0 when absent, -2 when too big.
int xlfd_point_size(const std::string& name)
{
    const char* p = after_dash(name, XLFD_POINT_FIELD);
    if (!p)
        return 0;
    int v = leading_number(p);
    return v == -1 ? 0 : v < 0 ? v : v / 10;
}

// The XLFD name with pixel size, point size, resolutions and average width made generic:
// the digits of each such field become a single "0".
std::string xlfd_generic(const std::string& name)
{
    std::string out;
    int dashes = 0;
    bool zeroed = false;
    for (char c : name) {
        if (c == '-') {
            dashes++;
            zeroed = false;
            out += c;
            continue;
        }
        bool numeric = dashes == 7 || dashes == 8 || dashes == 9 || dashes == 10 || dashes == 12;
        if (numeric && c >= '0' && c <= '9') {
            if (!zeroed)
                out += '0';
            zeroed = true;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

void Error(const FontConv* fc, const char* fmt, ...)
{
    fflush(stdout);
    fprintf(stderr, "%s: ", fc->ProgName);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

void usage(const FontConv* fc)
{
    printf(usage_text, fc->ProgName);
}

int Shell(const FontConv* fc, const std::string& cmd)
{
    return run_pipe(fc, cmd) == 0 ? 0 : -1;
}

int ShellMakeafb(const FontConv* fc, const std::string& cmd)
{
    int st = run_pipe(fc, cmd);
    return st == -1 || st == 1 ? -1 : 0;
}

int ShellNrv(const FontConv* fc, const char* program, const std::string& args)
{
    std::string cmd = shell_word(fc->NrvPath + program);
    if (!args.empty())
        cmd += " " + args;
    return Shell(fc, cmd);
}

std::string shell_word(const std::string& word)
{
    bool plain = !word.empty();
    for (unsigned char c : word)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              strchr("_-.,/+:@%", c)) || c == 0)
            plain = false;
    if (plain)
        return word;
    std::string q = "'";
    for (char c : word) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

std::string file_word(const std::string& name)
{
    return shell_word(!name.empty() && name[0] == '-' ? "./" + name : name);
}

std::string alias_field(const std::string& name)
{
    bool plain = !name.empty();
    for (unsigned char c : name)
        if (c <= ' ' || c == '"' || c == '\\')
            plain = false;
    if (plain)
        return name;
    std::string q = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

int trailing_number(const std::string& s, size_t* start)
{
    size_t i = s.size();
    while (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9')
        i--;
    if (start)
        *start = i;
    return i == s.size() ? -1 : leading_number(s.c_str() + i);
}

int find_font(const FontConv* fc, const char* name, std::string* requested, char** file,
              int* size)
{
    const FontTable* ft = &fc->table;
    *requested = name;
    std::string lower = lowered(name);
    if (IsPattern(lower.c_str())) {
        const char* m = FindMatch(ft, lower.c_str());
        if (!m)
            return FONT_NOTFOUND;
        lower = *requested = m;
    }
    const char* path = FindFile(ft, lower.c_str());
    int pt;
    if (path) {
        pt = xlfd_point_size(lower);
    } else if (IsXLFD(lower.c_str())) {
        pt = xlfd_point_size(lower);
        path = FindFile(ft, xlfd_generic(lower).c_str());
    } else {
        size_t start;
        pt = trailing_number(lower, &start);
        if (pt == -1)
            pt = 0;
        std::string base = lower.substr(0, start);
        if (base.size() > 1 && base.back() == '-')
            base.pop_back();
        path = FindFile(ft, base.c_str());
    }
    if (!path || pt < 0)
        return FONT_NOTFOUND;
    *size = pt == 0 ? DEFAULT_SIZE : pt;
    *file = FindFontFile(path, *size);
    return *file ? 0 : FONT_NOTFOUND;
}

int ConvertFont(FontConv* fc, const char* name)
{
    std::string requested;
    char* file;
    int size;
    int r = find_font(fc, name, &requested, &file, &size);
    if (r)
        return r;
    r = RunConvertFont(fc, requested.c_str(), file, size);
    free(file);
    return r;
}

int RunConvertFont(FontConv* fc, const char* requested, const char* path, int size)
{
    std::string file = path, base;
    int r;
    if (has_suffix(file, ".f3b", 4)) {
        r = ConvertF3b(fc, path, size, &base);
    } else if (has_suffix(file, ".fb", 3)) {
        r = ConvertFb(fc, path, &base);
        // A bitmap font is made for one size, which its file name carries. (An outline
        // font's base name ends in the size asked for, after a name that may end in digits.)
        int n = trailing_number(base, nullptr);
        if (n > 0)
            size = n;
    } else {
        return FONT_NOTFOUND;
    }
    if (r)
        return r;

    std::string fontName;
    r = ShellBdfFilter(fc, base, size, &fontName);
    if (r == 0)
        r = ShellNrv(fc, "bdftopcf", file_word(base + ".bdf") + " > " + file_word(base + ".pcf"));
    if (r == 0) {
        Shell(fc, "rm -f " + file_word(base + ".pcf.Z"));
        r = Shell(fc, "compress " + file_word(base + ".pcf"));
    }
    if (!fc->keepbdf)
        Shell(fc, "rm -f " + file_word(base + ".bdf"));
    Shell(fc, "rm -f " + file_word(base + ".pcf"));
    if (r)
        return r;

    std::string lower = lowered(fontName);
    if (lower != requested) {
        FILE* fp = fopen("./fonts.alias", "a");
        if (!fp)
            return -1;
        fprintf(fp, "%s\t%s\n", alias_field(requested).c_str(), alias_field(lower).c_str());
        if (fclose(fp) != 0)
            return -1;
    }
    return 0;
}

int f3b_name(const unsigned char* hdr, size_t n, std::string* name)
{
    if (n < 4 || ((uint32_t)hdr[0] << 24 | hdr[1] << 16 | hdr[2] << 8 | hdr[3]) != F3B_MAGIC)
        return -1;
    name->clear();
    for (size_t i = F3B_NAME; i < n && i < F3B_NAME + F3B_NAME_MAX; i++) {
        if (hdr[i] == '\n' || hdr[i] == 0)
            break;
        *name += static_cast<char>(hdr[i]);
    }
    // The name becomes a file name in the current directory.
    return name->find('/') == std::string::npos ? 0 : -1;
}

int ConvertF3b(FontConv* fc, const char* path, int size, std::string* base)
{
    FILE* fp = fopen(path, "rb");
    if (!fp) {
        Error(fc, "Can't open font file %s", path);
        return FONT_NOTFOUND;
    }
    unsigned char hdr[F3B_HEADER];
    size_t n = fread(hdr, 1, sizeof hdr, fp);
    fclose(fp);
    std::string name;
    if (f3b_name(hdr, n, &name) != 0) {
        Error(fc, "Font file %s is corrupted", path);
        return FONT_NOTFOUND;
    }
    *base = name + std::to_string(size);
    int r = ShellMakeafb(fc, "makeafb -M -P -V -" + std::to_string(size) + " " + file_word(path));
    if (r == 0) {
        r = Shell(fc, "convertfont -x -o " + file_word(*base) + " " + file_word(*base + ".afb"));
        if (r && !fc->keepbdf)
            Shell(fc, "rm -f " + file_word(*base + ".bdf"));
    }
    Shell(fc, "rm -f " + file_word(*base + ".afb"));
    return r;
}

int ConvertFb(FontConv* fc, const char* path, std::string* base)
{
    std::string p = path;
    size_t dot = p.rfind('.');
    if (dot == std::string::npos)
        return FONT_NOTFOUND;
    size_t slash = p.rfind('/');
    size_t from = slash == std::string::npos ? 0 : slash + 1;
    if (from > dot)
        return FONT_NOTFOUND;
    *base = p.substr(from, dot - from);
    int r = Shell(fc, "convertfont -x -o " + file_word(*base) + " " + file_word(p));
    if (r && !fc->keepbdf)
        Shell(fc, "rm -f " + file_word(*base + ".bdf"));
    return r;
}

int bdf_filter(FILE* in, FILE* out, int size, std::string* fontName)
{
    char* line = nullptr;
    size_t cap = 0;
    ssize_t n;
    bool named = false;
    while ((n = getline(&line, &cap, in)) >= 0) {
        std::string l(line, n);
        if (starts_with(line, "FONT ")) {
            if (!named) {
                named = true;
                std::string value = l.substr(5);
                if (!value.empty() && value.back() == '\n')
                    value.pop_back();
                size_t start;
                int num = trailing_number(value, &start);
                bool nonzero = num == -2 || num > 0;
                if (nonzero) {
                    *fontName = value;
                } else {
                    *fontName = value.substr(0, start) + std::to_string(size);
                    l = "FONT " + *fontName + "\n";
                }
            } else {
                l = "FONT \"" + *fontName + "\"\n";
            }
        } else if (starts_with(line, "SIZE ")) {
            // Only a complete "SIZE 0 x y" line is given the size.
            char* e;
            errno = 0;
            long v[3];
            const char* p = line + 5;
            int got = 0;
            for (; got < 3; got++) {
                v[got] = strtol(p, &e, 10);
                if (e == p || errno || v[got] < INT_MIN || v[got] > INT_MAX)
                    break;
                p = e;
            }
            if (got == 3 && v[0] == 0)
                l = "SIZE " + std::to_string(size) + " " + std::to_string(v[1]) + " " +
                    std::to_string(v[2]) + "\n";
        }
        fwrite(l.data(), 1, l.size(), out);
    }
    free(line);
    return ferror(out) ? -1 : 0;
}

int ShellBdfFilter(FontConv* fc, const std::string& base, int size, std::string* fontName)
{
    if (fc->verbose)
        printf("bdffilter %s.bdf > %s.tmp\n", base.c_str(), base.c_str());
    std::string tmp = "./" + base + ".tmp";
    FILE* out = fopen(tmp.c_str(), "we");  // not inherited by the cat below
    if (!out) {
        Error(fc, "Can't open temporary file %s.tmp", base.c_str());
        return -1;
    }
    fflush(stdout);
    FILE* in = popen(("cat " + file_word(base + ".bdf")).c_str(), "r");
    int written = in ? bdf_filter(in, out, size, fontName) : -1;
    // A temporary file that could not be written whole must not replace the font.
    if (fclose(out) != 0)
        written = -1;
    int st = in ? pclose(in) : -1;
    if (st != 0 || written != 0) {
        Shell(fc, "rm -f " + file_word(base + ".tmp"));
        return -1;
    }
    int r = Shell(fc, "mv " + file_word(base + ".tmp") + " " + file_word(base + ".bdf"));
    if (r)
        Shell(fc, "rm -f " + file_word(base + ".tmp"));
    return r;
}

int ShellAliasFilter(FontConv* fc)
{
    if (fc->verbose)
        printf("aliasfilter fonts.alias > fonts.tmp\n");
    FILE* in = fopen("./fonts.alias", "r");
    if (!in)
        return 0;
    FILE* out = fopen("./fonts.tmp", "w");
    if (!out) {
        fclose(in);
        Error(fc, "Can't open temporary file fonts.tmp");
        return -1;
    }
    char* line = nullptr;
    size_t cap = 0;
    ssize_t n = getline(&line, &cap, in);
    if (n < 0) {
        free(line);
        fclose(in);
        fclose(out);
        Shell(fc, "rm -f ./fonts.tmp");
        return 0;
    }
    bool keyword = strncmp(line, ALIAS_KEYWORD, ALIAS_KEYWORD_LEN) == 0;
    if (!keyword)
        fwrite(line, 1, n, out);
    while ((n = getline(&line, &cap, in)) >= 0)
        fwrite(line, 1, n, out);
    free(line);
    bool failed = ferror(in) != 0;
    fclose(in);
    if (fclose(out) != 0 || failed) {
        // fonts.alias stays as it was rather than lose the lines that did not get across.
        Error(fc, "Can't open temporary file fonts.tmp");
        Shell(fc, "rm -f ./fonts.tmp");
        return -1;
    }
    FILE* fp = fopen("./fonts.alias", "w");
    if (!fp) {
        Error(fc, "Error opening fonts.alias for write");
        Shell(fc, "rm -f ./fonts.tmp");
        return -1;
    }
    if (keyword)
        fprintf(fp, "%s\n", ALIAS_KEYWORD);
    fclose(fp);
    int r = Shell(fc, "sort -u ./fonts.tmp >> ./fonts.alias");
    Shell(fc, "rm -f ./fonts.tmp");
    return r;
}

int fontconv_main(int argc, char** argv)
{
    FontConv conv{};
    FontConv* fc = &conv;
    const char* self = argc > 0 && argv[0] ? argv[0] : "fontconv";
    const char* slash = strrchr(self, '/');
    fc->ProgName = slash ? slash + 1 : self;
    if (const char* bin = getenv("NRVQZ_BIN"))
        fc->NrvPath = std::string(bin) + "/";
    else if (const char* root = getenv("NRVQZ_ROOT"))
        fc->NrvPath = std::string(root) + "/bin/sun4/";
    else if (slash)
        fc->NrvPath = std::string(self, slash - self + 1);

    int i = 1, bad = 0;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char* a = argv[i];
        if (strcmp(a, "--") == 0) {
            i++;
            break;
        }
        if (a[1] == 'b' && strcmp(a, "-bdf") == 0)
            fc->keepbdf++;
        else if (a[1] == 'm' && strcmp(a, "-mkfontdir") == 0)
            fc->onlymkfontdir++;
        else if (a[1] == 'v')
            fc->verbose++;
        else {
            Error(fc, "Unrecognized switch \"%s\"", a);
            bad++;
        }
    }
    if (bad) {
        usage(fc);
        return 1;
    }

    int converted = 0;
    if (!fc->onlymkfontdir) {
        if (InitializeTable(&fc->table) != 0) {
            Error(fc, "Error initializing hash table");
            return 1;
        }
        fc->table.verbose = fc->verbose;
        if (SetDefaultFontPath(&fc->table) != 0) {
            Error(fc, "Error setting default font path");
            FreeTable(&fc->table);
            return 1;
        }
        auto one = [&](const char* name) {
            if (ConvertFont(fc, name) == 0)
                converted++;
            else
                Error(fc, "Couldn't convert font %s", name);
        };
        if (i < argc) {
            for (; i < argc; i++)
                one(argv[i]);
        } else {
            char* line = nullptr;
            size_t cap = 0;
            ssize_t n;
            while ((n = getline(&line, &cap, stdin)) >= 0) {
                if (n > 0 && line[n - 1] == '\n')
                    line[n - 1] = 0;
                one(line);
            }
            free(line);
        }
        FreeTable(&fc->table);
    }
    if (converted || fc->onlymkfontdir) {
        if (ShellNrv(fc, "mkfontdir", "") != 0)
            return 1;
        if (ShellAliasFilter(fc) != 0)
            return 1;
    }
    return 0;
}
