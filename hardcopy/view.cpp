#include "hardcopy/view.h"

#include <unistd.h>

#include <cstdarg>
#include <cstring>

#ifdef HCV_HAVE_LIBPNG
#include <png.h>
#endif

namespace {

int Fault(HcvError *err, size_t offset, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int Fault(HcvError *err, size_t offset, const char *format, ...) {
  err->offset = offset;
  va_list ap;
  va_start(ap, format);
  vsnprintf(err->message, sizeof err->message, format, ap);
  va_end(ap);
  return -1;
}

bool IsFirstDigit(uint8_t b) { return (b & 0xC0) == 0xC0; }
bool IsNextDigit(uint8_t b) { return (b & 0xC0) == 0x80; }

// Walks the image lines: each of `lines` lines of line_bytes bytes and a line byte, then the end
// byte and nothing after it. Only checks the framing; the caller decodes.
int CheckLines(const uint8_t *d, size_t len, size_t pos, uint64_t lines, uint64_t line_bytes,
               HcvError *err) {
  for (uint64_t i = 0; i < lines; i++) {
    if (len - pos <= line_bytes)
      return Fault(err, len, "stream ends inside line %llu of %llu", (unsigned long long)i,
                   (unsigned long long)lines);
    pos += (size_t)line_bytes;
    if (d[pos] != 0x02)
      return Fault(err, pos, "line %llu ends in 0x%02x instead of 0x02", (unsigned long long)i,
                   d[pos]);
    pos++;
  }
  if (pos >= len) return Fault(err, len, "stream ends without its end byte 0x01");
  if (d[pos] != 0x01) return Fault(err, pos, "0x%02x where the end byte 0x01 belongs", d[pos]);
  if (pos + 1 != len) return Fault(err, pos + 1, "%zu bytes after the end byte", len - pos - 1);
  return 0;
}

int ParseNrv7310(const uint8_t *d, size_t len, HcvImage *img, HcvError *err) {
  if (len < 9) return Fault(err, len, "stream ends inside the nrv7310 header");
  for (int i = 1; i < 7; i++)
    if (!(d[i] & 0x80)) return Fault(err, i, "header byte 0x%02x lacks bit 7", d[i]);
  const uint8_t b1 = d[1];
  if ((b1 & 0x40) || ((b1 & 0x30) != 0x10 && (b1 & 0x30) != 0x20))
    return Fault(err, 1, "bad mode byte 0x%02x", b1);
  if (d[2] != 0x81 && d[2] != 0x83 && d[2] != 0x85)
    return Fault(err, 2, "bad repaint byte 0x%02x", d[2]);
  int sum = 0;
  for (int i = 0; i < 7; i++) sum += d[i] & 0x7F;
  if (d[7] != (0x80 | (sum % 128)))
    return Fault(err, 7, "checksum 0x%02x, expected 0x%02x", d[7], 0x80 | (sum % 128));
  if (d[8] != 0x02) return Fault(err, 8, "0x%02x instead of 0x02 after the header", d[8]);

  static const int orientation[4] = {2, 5, 4, 3};  // by bits 0x0C: 0, 4, 8, C
  img->bits_per_primary = (b1 & 0x30) == 0x20 ? 4 : 2;
  img->orientation = orientation[(b1 >> 2) & 3];
  img->density = (b1 >> 1) & 1;
  img->invert = b1 & 1;
  img->repaint = d[2];
  img->width = (d[3] & 0x7F) << 7 | (d[4] & 0x7F);
  img->height = (d[5] & 0x7F) << 7 | (d[6] & 0x7F);
  if (img->width == 0 || img->height == 0)
    return Fault(err, 3, "empty %dx%d picture", img->width, img->height);

  const bool rows = img->orientation == 2;  // else a line is a column from the bottom up
  const int ppl = rows ? img->width : img->height;
  const int lines = rows ? img->height : img->width;
  const int bpp = img->bits_per_primary == 4 ? 2 : 1;
  const size_t line_bytes = (size_t)ppl * bpp;
  if (CheckLines(d, len, 9, (uint64_t)lines, line_bytes, err) != 0) return -1;

  img->rgb.assign((size_t)img->width * img->height * 3, 0);
  size_t pos = 9;
  for (int i = 0; i < lines; i++, pos++) {
    for (int k = 0; k < ppl; k++) {
      const uint8_t a = d[pos];
      if ((a & 0xC0) != 0xC0) return Fault(err, pos, "pixel byte 0x%02x lacks bits 0xC0", a);
      int r = a & 3, g = (a >> 2) & 3, b = (a >> 4) & 3, scale = 85;
      if (bpp == 2) {
        const uint8_t c = d[pos + 1];
        if ((c & 0xC0) != 0x80)
          return Fault(err, pos + 1, "second pixel byte 0x%02x is not 0x80 to 0xBF", c);
        r = r << 2 | (c & 3);
        g = g << 2 | ((c >> 2) & 3);
        b = b << 2 | ((c >> 4) & 3);
        scale = 17;
      }
      pos += bpp;
      const size_t x = rows ? k : i, y = rows ? i : img->height - 1 - k;
      uint8_t *o = &img->rgb[(y * img->width + x) * 3];
      o[0] = (uint8_t)(r * scale);
      o[1] = (uint8_t)(g * scale);
      o[2] = (uint8_t)(b * scale);
    }
  }
  return 0;
}

// A number in base 64, first digit 0xC0 | d, the rest 0x80 | d, at most four digits.
int ReadPrimary(const uint8_t *d, size_t end, size_t *pos, long *value, const char *what,
                HcvError *err) {
  size_t p = *pos;
  if (p >= end) return Fault(err, p, "request ends before its %s", what);
  if (!IsFirstDigit(d[p])) return Fault(err, p, "%s starts with 0x%02x", what, d[p]);
  long v = d[p] & 0x3F;
  if (v == 0 && p + 1 < end && IsNextDigit(d[p + 1]))
    return Fault(err, p, "%s has a leading zero digit", what);
  int digits = 1;
  for (p++; p < end && IsNextDigit(d[p]); p++) {
    if (++digits > 4) return Fault(err, p, "%s has more than four digits", what);
    v = v << 6 | (d[p] & 0x3F);
  }
  *value = v;
  *pos = p;
  return 0;
}

int Code(const uint8_t *d, size_t pos, const uint8_t *valid, size_t n, const char *what,
         HcvError *err) {
  if (memchr(valid, d[pos], n) == nullptr)
    return Fault(err, pos, "bad %s code 0x%02x", what, d[pos]);
  return d[pos];
}

int ParseTpi(const uint8_t *d, size_t len, HcvImage *img, HcvError *err) {
  if (len < 5) return Fault(err, len, "stream ends inside the request length");
  if (!IsFirstDigit(d[1])) return Fault(err, 1, "request length starts with 0x%02x", d[1]);
  long L = d[1] & 0x3F;
  for (int i = 2; i < 5; i++) {
    if (!IsNextDigit(d[i])) return Fault(err, i, "request length byte 0x%02x", d[i]);
    L = L << 6 | (d[i] & 0x3F);
  }
  img->request_length = L;
  if (L < 20) return Fault(err, 1, "request length %ld is too short", L);
  if ((size_t)L + 2 > len) return Fault(err, len, "stream ends inside the %ld-byte request", L);

  const size_t end = (size_t)L;
  // The model tail closes the request: C0 80, or C9 98 or C9 99 and a settings byte.
  if (d[end - 3] == 0xC9 && (d[end - 2] == 0x98 || d[end - 2] == 0x99) && IsNextDigit(d[end - 1])) {
    img->tail_len = 3;
    img->model_type = d[end - 2] == 0x98 ? 96 : 97;
  } else if (d[end - 2] == 0xC0 && d[end - 1] == 0x80) {
    img->tail_len = 2;
    img->model_type = 93;
  } else {
    return Fault(err, end - 3, "no model tail before the end of the request");
  }
  memcpy(img->tail, d + end - img->tail_len, img->tail_len);
  const size_t codes = end - img->tail_len - 7;

  size_t pos = 5;
  long w, h, copies;
  if (ReadPrimary(d, codes, &pos, &w, "width", err) ||
      ReadPrimary(d, codes, &pos, &h, "height", err))
    return -1;
  if (w == 0 || h == 0) return Fault(err, 5, "empty %ldx%ld picture", w, h);
  if (pos >= codes || (d[pos] != 0xC1 && d[pos] != 0xC2))
    return Fault(err, pos, "bad acknowledgement byte");
  img->byte_ack = d[pos++] == 0xC1;
  if (ReadPrimary(d, codes, &pos, &copies, "copy count", err)) return -1;
  img->copies = copies;
  if (pos >= codes || d[pos] != 0xC0) return Fault(err, pos, "0xC0 expected before the colour map");
  pos++;
  if (pos < codes && d[pos] == 0xCD) {
    img->truecolor = true;
    pos++;
  } else if (pos + 1 < codes && d[pos] == 0xC8 && d[pos + 1] == 0x83) {
    img->truecolor = false;
    pos += 2;
    if ((codes - pos) % 4 != 0)
      return Fault(err, pos, "colour map of %zu bytes is not whole entries", codes - pos);
    for (; pos < codes; pos += 4) {
      for (int i = 0; i < 4; i++)
        if (!IsNextDigit(d[pos + i]))
          return Fault(err, pos + i, "colour map byte 0x%02x", d[pos + i]);
      uint32_t v = (uint32_t)(d[pos] & 0x3F) << 18 | (uint32_t)(d[pos + 1] & 0x3F) << 12 |
                   (uint32_t)(d[pos + 2] & 0x3F) << 6 | (d[pos + 3] & 0x3F);
      img->colormap.push_back((uint8_t)(v >> 16));
      img->colormap.push_back((uint8_t)(v >> 8));
      img->colormap.push_back((uint8_t)v);
    }
  } else {
    return Fault(err, pos, "no colour map marker");
  }
  if (pos != codes) return Fault(err, pos, "request length does not match its fields");

  static const uint8_t order[] = {0xC1}, scaling[] = {0xC0, 0xC1, 0xC2, 0xC3},
                       rendering[] = {0xC0, 0xC1, 0xC3, 0xC4, 0xD1, 0xD3, 0xE2},
                       gamma[] = {0xC0, 0xC1, 0xCA, 0xCC, 0xCE, 0xC8},
                       adjustment[] = {0xC0, 0xC1, 0xC2, 0xC3}, invert[] = {0xC1, 0xC2},
                       orientation[] = {0xC1, 0xC2, 0xC3, 0xC4};
  if ((img->pixel_order = Code(d, pos, order, sizeof order, "pixel order", err)) < 0 ||
      (img->scaling = Code(d, pos + 1, scaling, sizeof scaling, "scaling", err)) < 0 ||
      (img->rendering = Code(d, pos + 2, rendering, sizeof rendering, "rendering", err)) < 0 ||
      (img->gamma = Code(d, pos + 3, gamma, sizeof gamma, "gamma", err)) < 0 ||
      (img->adjustment =
           Code(d, pos + 4, adjustment, sizeof adjustment, "colour adjustment", err)) < 0 ||
      (img->invert_code = Code(d, pos + 5, invert, sizeof invert, "invert", err)) < 0 ||
      (img->orientation_code =
           Code(d, pos + 6, orientation, sizeof orientation, "orientation", err)) < 0)
    return -1;

  unsigned sum = 0;
  for (size_t i = 0; i < end; i++) sum += d[i];
  if (d[end] != (0x80 | (sum % 128)))
    return Fault(err, end, "checksum 0x%02x, expected 0x%02x", d[end], 0x80 | (sum % 128));
  if (d[end + 1] != 0x02)
    return Fault(err, end + 1, "0x%02x instead of 0x02 after the request", d[end + 1]);

  const size_t start = end + 2;
  const uint64_t bpp = img->truecolor ? 3 : 1;
  if (CheckLines(d, len, start, (uint64_t)h, (uint64_t)w * bpp, err) != 0) return -1;
  img->width = (int)w;
  img->height = (int)h;
  img->rgb.resize((size_t)w * h * 3);
  const size_t ncolors = img->colormap.size() / 3;
  uint8_t *o = img->rgb.data();
  for (long y = 0; y < h; y++) {
    const size_t line = start + (size_t)y * ((size_t)w * bpp + 1);
    if (img->truecolor) {
      memcpy(o, d + line, (size_t)w * 3);
      o += (size_t)w * 3;
      continue;
    }
    for (long x = 0; x < w; x++) {
      size_t index = d[line + x];
      if (index >= ncolors)
        return Fault(err, line + x, "pixel index %zu has no colour-map entry", index);
      memcpy(o, &img->colormap[index * 3], 3);
      o += 3;
    }
  }
  return 0;
}

}  // namespace

int HcvParse(const uint8_t *data, size_t len, HcvImage *img, HcvError *err) {
  *img = HcvImage();
  err->offset = 0;
  err->message[0] = '\0';
  if (len == 0) return Fault(err, 0, "empty stream");
  img->kind = data[0] == 0x04 ? HCV_NRV7310 : data[0] == 0x14 ? HCV_TPI : 0;
  if (img->kind == HCV_NRV7310) return ParseNrv7310(data, len, img, err);
  if (img->kind == HCV_TPI) return ParseTpi(data, len, img, err);
  return Fault(err, 0, "0x%02x starts neither an nrv7310 stream (0x04) nor a TPI request (0x14)",
               data[0]);
}

void HcvDescribe(FILE *out, const HcvImage *img) {
  static const char *orientation[] = {"", "", "landscape", "top", "center", "bottom"};
  if (img->kind == HCV_NRV7310) {
    fprintf(out, "nrv7310 %dx%d, %d bits per primary, %s, density %s, invert %s, repaint 0x%02x\n",
            img->width, img->height, img->bits_per_primary, orientation[img->orientation],
            img->density ? "high" : "low", img->invert ? "yes" : "no", img->repaint);
    return;
  }
  fprintf(out, "TPI model %d %dx%d, request %ld bytes, %s, %ld copies, ", img->model_type,
          img->width, img->height, img->request_length,
          img->byte_ack ? "byte acknowledge" : "streaming", img->copies);
  if (img->truecolor)
    fprintf(out, "red green blue pixels");
  else
    fprintf(out, "%zu colour-map entries", img->colormap.size() / 3);
  fprintf(out, ", codes %02x %02x %02x %02x %02x %02x %02x, tail", img->pixel_order, img->scaling,
          img->rendering, img->gamma, img->adjustment, img->invert_code, img->orientation_code);
  for (int i = 0; i < img->tail_len; i++) fprintf(out, " %02x", img->tail[i]);
  fprintf(out, "\n");
}

int HcvWritePnm(FILE *out, const HcvImage *img) {
  fprintf(out, "P6\n%d %d\n255\n", img->width, img->height);
  fwrite(img->rgb.data(), 1, img->rgb.size(), out);
  return fflush(out) == 0 && !ferror(out) ? 0 : -1;
}

int HcvWritePng(FILE *out, const HcvImage *img) {
#ifdef HCV_HAVE_LIBPNG
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return -1;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return -1;
  }
  png_init_io(png, out);
  png_set_IHDR(png, info, (png_uint_32)img->width, (png_uint_32)img->height, 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < img->height; y++)
    png_write_row(png, img->rgb.data() + (size_t)y * img->width * 3);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return fflush(out) == 0 && !ferror(out) ? 0 : -1;
#else
  // Without the library, the netpbm filter converts; it writes where out writes.
  fflush(out);
  int saved = dup(1);
  if (saved < 0 || dup2(fileno(out), 1) < 0) return -1;
  FILE *filter = popen("pnmtopng", "w");
  dup2(saved, 1);
  close(saved);
  if (!filter) return -1;
  int rc = HcvWritePnm(filter, img);
  int status = pclose(filter);
  return rc == 0 && status == 0 ? 0 : -1;
#endif
}
