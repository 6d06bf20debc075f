// fontconv: converts outline (.f3b) and bitmap (.fb) fonts into compressed PCF files in the
// current directory through the outside font tools, then rebuilds fonts.dir and fonts.alias.
#pragma once

#include <cstdio>
#include <string>

#include "fonts/fonttab.h"

// The converter's state for one run.
struct FontConv {
    const char* ProgName;  // last component of the program's own name
    int verbose;           // -v given: echo commands and their output
    int keepbdf;           // -bdf given: keep the .bdf files
    int onlymkfontdir;     // -mkfontdir given: convert nothing
    std::string NrvPath;   // directory prefix, with its "/", of bdftopcf and mkfontdir
    FontTable table;
};

// The whole program; returns its exit status.
int fontconv_main(int argc, char** argv);

void Error(const FontConv* fc, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void usage(const FontConv* fc);
int Shell(const FontConv* fc, const std::string& cmd);
int ShellMakeafb(const FontConv* fc, const std::string& cmd);
// Runs NrvPath followed by `program`, then `args`.
int ShellNrv(const FontConv* fc, const char* program, const std::string& args);

int ConvertFont(FontConv* fc, const char* name);
int RunConvertFont(FontConv* fc, const char* requested, const char* path, int size);
int ConvertF3b(FontConv* fc, const char* path, int size, std::string* base);
int ConvertFb(FontConv* fc, const char* path, std::string* base);
int ShellBdfFilter(FontConv* fc, const std::string& base, int size, std::string* fontName);
int ShellAliasFilter(FontConv* fc);

// Resolves a requested name to the file to convert and its point size: *requested becomes the
// name the alias is made for, *file a newly allocated path (free()). 0, or FONT_NOTFOUND.
int find_font(const FontConv* fc, const char* name, std::string* requested, char** file,
              int* size);

// The font's name from the first bytes (n of them) of an .f3b file: 0, or -1 when the magic
// is wrong or the name could not be a file name.
int f3b_name(const unsigned char* hdr, size_t n, std::string* name);

// Rewrites the FONT and SIZE lines of a BDF stream for `size`; *fontName receives the font's
// name. 0, or -1 when writing fails.
int bdf_filter(FILE* in, FILE* out, int size, std::string* fontName);

// One word for the shell: unchanged when it holds only characters the shell leaves alone,
// else in single quotes. A file name that begins with "-" is put behind "./".
std::string shell_word(const std::string& word);
std::string file_word(const std::string& name);

// One field of a fonts.alias line, in double quotes when it holds blanks or quotes.
std::string alias_field(const std::string& name);

// Value of the run of decimal digits at the end of s (*start: where it begins); -1 when there
// is none, -2 when it does not fit an int.
int trailing_number(const std::string& s, size_t* start);
