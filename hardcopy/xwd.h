// xwd2hc: reading an X window dump into an XImage and a colour-map array.
#pragma once

#include <X11/Xlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "hardcopy/hc.h"

// The 100-byte file header, 25 words, most significant byte first in the file.
struct XwdHeader {
  uint32_t header_size;  // 100 plus the length of the window name
  uint32_t file_version;
  uint32_t pixmap_format;  // 0 XYBitmap, 1 XYPixmap, 2 ZPixmap
  uint32_t pixmap_depth;
  uint32_t pixmap_width;
  uint32_t pixmap_height;
  uint32_t xoffset;
  uint32_t byte_order;
  uint32_t bitmap_unit;
  uint32_t bitmap_bit_order;
  uint32_t bitmap_pad;
  uint32_t bits_per_pixel;
  uint32_t bytes_per_line;
  uint32_t visual_class;
  uint32_t red_mask;
  uint32_t green_mask;
  uint32_t blue_mask;
  uint32_t bits_per_rgb;
  uint32_t colormap_entries;
  uint32_t ncolors;
  uint32_t window_width;
  uint32_t window_height;
  uint32_t window_x;
  uint32_t window_y;
  uint32_t window_bdrwidth;
};

enum { XWD_HEADER_BYTES = 100, XWD_COLOR_BYTES = 12 };
enum { XWD_TRUECOLOR = 4, XWD_DIRECTCOLOR = 5 };

// Largest dump accepted: X drawables are at most 65535 pixels a side, and the pixel data,
// colour map and window name must each fit the sizes the image routines can address.
enum : uint32_t {
  XWD_MAX_SIDE = 65535,
  XWD_MAX_COLORS = 1u << 24,
  XWD_MAX_NAME = 1u << 24,
  XWD_MAX_DATA = 0x7fffffffu,
};

// One colour-map entry; entries are found by position, never by their pixel field.
struct XwdColor {
  uint32_t pixel;
  uint16_t red, green, blue;
  uint8_t flags, pad;
};

// A dump in memory. The image's data, the window name and the colours are malloc'd.
struct XwdDump {
  XwdHeader header;
  char *window_name;
  XwdColor *colors;
  uint32_t ncolors;  // entries in colors (a built-in ramp for TrueColor dumps without a map)
  XImage image;
  void *map_base;  // the pixel data of a regular file are mapped rather than copied
  size_t map_len;
};

// Reads a whole dump. 0 on success; -1 with the reason (ending in a newline) in err.
// Every geometry the image routines would read outside the pixel data is refused. From a
// regular file the pixel data are mapped read-only; if the file shrinks while the dump is in
// use, touching the lost pages raises SIGBUS, which the program turns into an error.
int XwdRead(FILE *in, XwdDump *dump, char *err, size_t errlen);
// Frees what XwdRead allocated.
void XwdFree(XwdDump *dump);

// The program's reader: XwdRead, or FatalError with its reason. Returns 1.
int GetXWDPixmap(HcRun *run, XwdDump *dump);

void _swaplong(char *buf, size_t n);
void _swapshort(char *buf, size_t n);
// Bytes of pixel data the header announces (64-bit, so no product overflows).
uint64_t ComputeImageSize(const XwdHeader *header);
// base to the power exp in 32-bit arithmetic; -1 for a negative base or exponent.
int32_t positivepower(int32_t base, int32_t exp);

// Shift of a colour mask's lowest set bit, or -1 for an empty mask.
int MaskShift(unsigned long mask);

// One output line of red, green, blue bytes into out (3 x line length bytes): image row `line`
// in pixel order 1, image column `line` from the bottom row up in pixel order 2. A pixel or
// colour component without a colour-map entry becomes 0. Returns 0, or -1 when a TrueColor or
// DirectColor image has an empty colour mask.
int Get_X_Scanline(const XImage *image, int line, const XwdColor *colors, uint32_t ncolors,
                   int pixel_order, int visual_class, uint8_t *out);
