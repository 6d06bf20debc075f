#include "hardcopy/xwd.h"

#include <X11/Xutil.h>

extern "C" {  // the header declares C functions without saying so
#include <X11/ImUtil.h>
}

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

int Fail(char *err, size_t errlen, const char *format, ...) __attribute__((format(printf, 3, 4)));
int Fail(char *err, size_t errlen, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  if (errlen) vsnprintf(err, errlen, format, ap);
  va_end(ap);
  return -1;
}

uint32_t Be32(const unsigned char *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// Maps a large buffer's pages in one go rather than one fault at a time while it fills.
void Prefault(char *buf, size_t n) {
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
  const uintptr_t page = 4096, start = ((uintptr_t)buf + page - 1) & ~(page - 1),
                  end = ((uintptr_t)buf + n) & ~(page - 1);
  if (n >= (1u << 20) && end > start) madvise((void *)start, end - start, MADV_POPULATE_WRITE);
}

// Reads want bytes into a new buffer that grows with what actually arrives, so a header that
// announces more than the file holds costs no more memory than the file. Returns the number of
// bytes read (want when complete), or -1 when memory runs out; *out is then freed.
long long ReadGrowing(FILE *in, uint64_t want, char **out) {
  size_t cap = want < 65536 ? (size_t)want : 65536;
  // From a regular file that holds it all, the whole buffer at once spares the copies.
  struct stat st;
  long at = ftell(in);
  if (cap < want && at >= 0 && fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode) &&
      (uint64_t)st.st_size >= (uint64_t)at + want)
    cap = (size_t)want;
  char *buf = (char *)malloc(cap ? cap : 1);
  if (!buf) return -1;
  Prefault(buf, cap);
  uint64_t got = 0;
  while (got < want) {
    if (got == cap) {
      size_t next = cap * 2 < want ? cap * 2 : (size_t)want;
      char *grown = (char *)realloc(buf, next);
      if (!grown) {
        free(buf);
        *out = nullptr;
        return -1;
      }
      buf = grown;
      cap = next;
    }
    size_t n = fread(buf + got, 1, cap - got, in);
    if (n == 0) break;
    got += n;
  }
  *out = buf;
  return (long long)got;
}

// Maps the next size bytes of a regular file that holds them all; 0, or -1 to read instead.
int MapRest(FILE *in, uint64_t size, XwdDump *dump, char **data) {
  struct stat st;
  const int fd = fileno(in);
  const long at = ftell(in);
  if (fd < 0 || at < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      (uint64_t)st.st_size < (uint64_t)at + size)
    return -1;
  const long page = sysconf(_SC_PAGESIZE);
  const off_t base = at / page * page;
  const size_t len = (size_t)(at - base) + (size_t)size;
  void *map = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, base);
  if (map == MAP_FAILED) return -1;
  dump->map_base = map;
  dump->map_len = len;
  *data = (char *)map + (at - base);
  return 0;
}

// Refuses every header whose pixel data the image routines could not read within bounds.
int CheckGeometry(const XwdHeader *h, char *err, size_t errlen) {
  uint32_t w = h->pixmap_width, ht = h->pixmap_height;
  if (w == 0 || ht == 0) return Fail(err, errlen, "Empty %ux%u image in XWD dump\n", w, ht);
  if (w > XWD_MAX_SIDE || ht > XWD_MAX_SIDE)
    return Fail(err, errlen, "Image %ux%u is larger than %u pixels a side\n", w, ht,
                (unsigned)XWD_MAX_SIDE);
  if (h->pixmap_format > ZPixmap)
    return Fail(err, errlen, "Unknown pixmap format %u\n", h->pixmap_format);
  if (h->pixmap_depth < 1 || h->pixmap_depth > 32)
    return Fail(err, errlen, "Unsupported pixmap depth %u\n", h->pixmap_depth);
  if (h->pixmap_format == XYBitmap && h->pixmap_depth != 1)
    return Fail(err, errlen, "Bitmap dump of depth %u\n", h->pixmap_depth);
  uint32_t bpp = h->bits_per_pixel;
  if (h->pixmap_format == ZPixmap
          ? !(bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32) ||
                bpp < h->pixmap_depth
          : bpp < 1 || bpp > 32)
    return Fail(err, errlen, "Unsupported %u bits per pixel at depth %u\n", bpp,
                h->pixmap_depth);
  uint32_t unit = h->bitmap_unit;
  if (unit != 8 && unit != 16 && unit != 32)
    return Fail(err, errlen, "Unsupported bitmap unit %u\n", unit);
  if (h->byte_order > MSBFirst || h->bitmap_bit_order > MSBFirst)
    return Fail(err, errlen, "Unknown byte order %u or bit order %u\n", h->byte_order,
                h->bitmap_bit_order);
  if (h->xoffset > XWD_MAX_SIDE) return Fail(err, errlen, "Bad x offset %u\n", h->xoffset);
  uint64_t need;  // bytes of one line the pixel routines may touch
  if (h->pixmap_format != ZPixmap || (bpp | h->pixmap_depth) == 1)
    need = ((uint64_t)h->xoffset + w + unit - 1) / unit * (unit / 8);
  else
    need = ((uint64_t)w * bpp + 7) / 8;
  if (h->bytes_per_line < need)
    return Fail(err, errlen, "Line of %u bytes is too short for %u pixels of %u bits\n",
                h->bytes_per_line, w, bpp);
  if (ComputeImageSize(h) > XWD_MAX_DATA)
    return Fail(err, errlen, "Image data size %u x %u x %u is too large\n", h->bytes_per_line,
                ht, h->pixmap_format == ZPixmap ? 1 : h->pixmap_depth);
  return 0;
}

}  // namespace

void _swaplong(char *buf, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    char c = buf[i];
    buf[i] = buf[i + 3];
    buf[i + 3] = c;
    c = buf[i + 1];
    buf[i + 1] = buf[i + 2];
    buf[i + 2] = c;
  }
}

void _swapshort(char *buf, size_t n) {
  for (size_t i = 0; i + 2 <= n; i += 2) {
    char c = buf[i];
    buf[i] = buf[i + 1];
    buf[i + 1] = c;
  }
}

uint64_t ComputeImageSize(const XwdHeader *header) {
  uint64_t size = (uint64_t)header->bytes_per_line * header->pixmap_height;
  if (header->pixmap_format != ZPixmap) size *= header->pixmap_depth;
  return size;
}

int32_t positivepower(int32_t base, int32_t exp) {
  if (base == 0) return 0;
  if (base < 0 || exp < 0) return -1;
  uint32_t v = 1;
  for (int32_t i = 0; i < exp; i++) v *= (uint32_t)base;
  return (int32_t)v;
}

int MaskShift(unsigned long mask) {
  mask &= 0xffffffffUL;
  if (!mask) return -1;
  int shift = 0;
  while (!(mask & 1)) {
    mask >>= 1;
    shift++;
  }
  return shift;
}

int XwdRead(FILE *in, XwdDump *dump, char *err, size_t errlen) {
  memset(dump, 0, sizeof *dump);
  unsigned char raw[XWD_HEADER_BYTES];
  if (fread(raw, 1, sizeof raw, in) != sizeof raw)
    return Fail(err, errlen, "Can't read X header file.\n");
  // The header is most significant byte first whatever host wrote it.
  uint32_t *word = &dump->header.header_size;
  for (int i = 0; i < XWD_HEADER_BYTES / 4; i++) word[i] = Be32(raw + 4 * i);
  XwdHeader *h = &dump->header;

  if (h->header_size < XWD_HEADER_BYTES)
    return Fail(err, errlen, "Header size %u is smaller than the %d-byte XWD header\n",
                h->header_size, XWD_HEADER_BYTES);
  uint32_t name_len = h->header_size - XWD_HEADER_BYTES;
  if (name_len > XWD_MAX_NAME)
    return Fail(err, errlen, "Window name of %u bytes is too long\n", name_len);
  if (CheckGeometry(h, err, errlen) != 0) return -1;
  if (h->ncolors > XWD_MAX_COLORS)
    return Fail(err, errlen, "Colour map of %u entries is too large\n", h->ncolors);

  long long got = ReadGrowing(in, name_len, &dump->window_name);
  char *named = got < 0 ? nullptr : (char *)realloc(dump->window_name, (size_t)name_len + 1);
  if (!named) {
    XwdFree(dump);
    return Fail(err, errlen, "Cannot allocate memory for window name\n");
  }
  dump->window_name = named;
  if (got != name_len) {
    XwdFree(dump);
    return Fail(err, errlen, "Can't read window name\n");
  }
  dump->window_name[name_len] = '\0';

  if (h->ncolors != 0) {
    char *map = nullptr;
    uint64_t bytes = (uint64_t)h->ncolors * XWD_COLOR_BYTES;
    got = ReadGrowing(in, bytes, &map);
    if (got < 0) {
      XwdFree(dump);
      return Fail(err, errlen, "Can't allocate memory for color map\n");
    }
    if ((uint64_t)got != bytes) {
      free(map);
      XwdFree(dump);
      return Fail(err, errlen, " Can't read color map\n");
    }
    dump->colors = (XwdColor *)malloc((size_t)h->ncolors * sizeof(XwdColor));
    if (!dump->colors) {
      free(map);
      XwdFree(dump);
      return Fail(err, errlen, "Can't allocate memory for color map\n");
    }
    for (uint32_t i = 0; i < h->ncolors; i++) {
      const unsigned char *e = (const unsigned char *)map + (size_t)i * XWD_COLOR_BYTES;
      XwdColor *c = &dump->colors[i];
      c->pixel = Be32(e);
      c->red = (uint16_t)(e[4] << 8 | e[5]);
      c->green = (uint16_t)(e[6] << 8 | e[7]);
      c->blue = (uint16_t)(e[8] << 8 | e[9]);
      c->flags = e[10];
      c->pad = e[11];
    }
    free(map);
  } else {
    if (h->visual_class != XWD_TRUECOLOR) {
      XwdFree(dump);
      return Fail(err, errlen, "No colormap found in XWD dump image\n");
    }
    // A TrueColor dump may come without a map: build the ramp that makes lookups the identity.
    if (h->bits_per_rgb > 16) {
      XwdFree(dump);
      return Fail(err, errlen, "Can't build a colour map for %u bits per colour\n",
                  h->bits_per_rgb);
    }
    h->ncolors = (uint32_t)positivepower(2, (int32_t)h->bits_per_rgb);
    dump->colors = (XwdColor *)malloc((size_t)h->ncolors * sizeof(XwdColor));
    if (!dump->colors) {
      XwdFree(dump);
      return Fail(err, errlen, "Can't allocate memory for color map\n");
    }
    for (uint32_t i = 0; i < h->ncolors; i++) {
      uint16_t v = (uint16_t)(i * 256);
      dump->colors[i] = XwdColor{i, v, v, v, 0, 0};
    }
  }
  dump->ncolors = h->ncolors;

  uint64_t size = ComputeImageSize(h);
  char *data = nullptr;
  if (MapRest(in, size, dump, &data) != 0) {
    got = ReadGrowing(in, size, &data);
    if (got < 0) {
      XwdFree(dump);
      return Fail(err, errlen, "Can malloc for X image data\n");
    }
    if ((uint64_t)got != size) {
      free(data);
      XwdFree(dump);
      return Fail(err, errlen, "Can't read X image data\n");
    }
  }

  XImage *img = &dump->image;
  img->width = (int)h->pixmap_width;
  img->height = (int)h->pixmap_height;
  img->xoffset = (int)h->xoffset;
  img->format = (int)h->pixmap_format;
  img->data = data;
  img->byte_order = (int)h->byte_order;
  img->bitmap_unit = (int)h->bitmap_unit;
  img->bitmap_bit_order = (int)h->bitmap_bit_order;
  img->bitmap_pad = (int)h->bitmap_pad;
  img->depth = (int)h->pixmap_depth;
  img->bytes_per_line = (int)h->bytes_per_line;
  img->bits_per_pixel = (int)h->bits_per_pixel;
  img->red_mask = h->red_mask;
  img->green_mask = h->green_mask;
  img->blue_mask = h->blue_mask;
  _XInitImageFuncPtrs(img);
  return 0;
}

void XwdFree(XwdDump *dump) {
  free(dump->window_name);
  free(dump->colors);
  if (dump->map_base)
    munmap(dump->map_base, dump->map_len);
  else
    free(dump->image.data);
  dump->window_name = nullptr;
  dump->colors = nullptr;
  dump->image.data = nullptr;
  dump->map_base = nullptr;
}

int GetXWDPixmap(HcRun *run, XwdDump *dump) {
  char err[256];
  if (XwdRead(run->infile, dump, err, sizeof err) != 0) FatalError(run, "%s", err);
  return 1;
}

int Get_X_Scanline(const XImage *image, int line, const XwdColor *colors, uint32_t ncolors,
                   int pixel_order, int visual_class, uint8_t *out) {
  XImage *img = const_cast<XImage *>(image);  // XGetPixel takes a non-const image
  bool rgb = visual_class == XWD_TRUECOLOR || visual_class == XWD_DIRECTCOLOR;
  int rs = 0, gs = 0, bs = 0;
  unsigned long rm = img->red_mask, gm = img->green_mask, bm = img->blue_mask;
  if (rgb) {
    rs = MaskShift(rm);
    gs = MaskShift(gm);
    bs = MaskShift(bm);
    if (rs < 0 || gs < 0 || bs < 0) return -1;
  }
  int len = pixel_order == 1 ? img->width : img->height;
  for (int k = 0; k < len; k++) {
    unsigned long p = pixel_order == 1 ? XGetPixel(img, k, line)
                                       : XGetPixel(img, line, img->height - 1 - k);
    uint8_t *o = out + 3 * k;
    if (rgb) {
      // Each component indexes the map on its own; only the bits of its mask belong to it.
      unsigned long ri = (p & rm) >> rs, gi = (p & gm) >> gs, bi = (p & bm) >> bs;
      o[0] = ri < ncolors ? (uint8_t)(colors[ri].red >> 8) : 0;
      o[1] = gi < ncolors ? (uint8_t)(colors[gi].green >> 8) : 0;
      o[2] = bi < ncolors ? (uint8_t)(colors[bi].blue >> 8) : 0;
    } else if (p < ncolors) {
      o[0] = (uint8_t)(colors[p].red >> 8);
      o[1] = (uint8_t)(colors[p].green >> 8);
      o[2] = (uint8_t)(colors[p].blue >> 8);
    } else {
      o[0] = o[1] = o[2] = 0;
    }
  }
  return 0;
}
