// xwd2hc: print settings, command line and messages.
#pragma once

#include <cstdint>
#include <cstdio>

// Every print setting of one run. Codes are those the printers and the conversion stages use.
struct HCRec {
  const char *printer_name;
  int32_t printer_type;      // 92, 93, 96 or 97
  int32_t max_width;         // dots
  int32_t max_height;        // dots
  int32_t copies;            // 0..32767
  int32_t render_mode;       // 0 none, 1 dither, 2 colour matching with dither; 4, 5, 6 act like 1
  int32_t orientation;       // 2 landscape, 3 top, 4 center, 5 bottom
  int32_t invert;            // 2 yes, 1 no, 999 default
  int32_t scaling;           // 1 interpolation, 2 replication, 999 default, 998 none
  int32_t color_set;         // 1..6, 999 default
  int32_t gamma;             // 2, 3, 4, 6, 999 default, 998 none
  int32_t color_adjustment;  // 3 "7320d", 2 "nrv_terminal", 999 default, 998 none
  int32_t media_size;        // 1..7, 10 default
  int32_t media_type;        // 100 paper, 101 transparency, 102 not given
  int32_t local_gamma;       // 1: linearise the colour map first
  int32_t pixel_order;       // 1: a line is a row; 2: a line is a column
  int32_t out_width;
  int32_t out_height;
  int32_t repaint_count;     // 1..4
  int32_t density;           // 0 low, 1 high
  int32_t resolution;        // 0 low, 1 high
  int32_t paper_advance;
  int32_t media_width;
  int32_t media_orientation;
  int32_t byte_ack;          // 1: acknowledged byte by byte; 0: data streaming
};

enum {
  HC_LANDSCAPE = 2, HC_TOP = 3, HC_CENTER = 4, HC_BOTTOM = 5,
  HC_YES = 2, HC_NO = 1, HC_DEFAULT = 999, HC_NONE = 998,
  HC_INTERPOLATION = 1, HC_REPLICATION = 2,
  HC_MEDIA_DEFAULT = 10, HC_PAPER = 100, HC_TRANSPARENCY = 101, HC_MEDIA_NOT_GIVEN = 102,
};

struct SupportedHCRow {
  const char *name;
  int32_t type;
  int32_t max_width;
  int32_t max_height;
};
extern const SupportedHCRow SupportedHC[7];

// One run of the converter: the name for messages, the two streams and the settings.
struct HcRun {
  const char *program_name;
  FILE *infile;
  FILE *outfile;
  HCRec HC;
};

// Sets every field to its initial value; streams become standard input and output.
void HcInit(HcRun *run, const char *program_name);

// "<program>: " and the message on standard error.
void ErrorF(const HcRun *run, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The same, then exit status 1.
[[noreturn]] void FatalError(const HcRun *run, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void Usage(const HcRun *run);

// Fills run from the command line and opens the streams; returns only when all is valid.
void ParseArgument(HcRun *run, int argc, char **argv);

// Each returns 0, or 1 after reporting a value outside its list; a null value changes nothing.
int Set_Orientation(HcRun *run, const char *value);
int Set_Invert(HcRun *run, const char *value);
int Set_Scale(HcRun *run, const char *value);
int Set_Color_Set(HcRun *run, const char *value);
int Set_Gamma_Correction(HcRun *run, const char *value);
int Set_Color_Adjustment(HcRun *run, const char *value);
int Set_Media_Size(HcRun *run, const char *value);
int Set_Media_Type(HcRun *run, const char *value);
int Set_Media_Advance(HcRun *run, const char *value);
int Set_7310_Dithering(HcRun *run, const char *value);
int Set_7310_Repaint_Count(HcRun *run, const char *value);
int Set_7310_Density(HcRun *run, const char *value);
int Set_7310_Resolution(HcRun *run, const char *value);
int Set_Number_Copy(HcRun *run, const char *value);
