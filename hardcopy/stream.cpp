#include "hardcopy/stream.h"

#include <X11/Xutil.h>

#include <cstdlib>
#include <cstring>

#include "hardcopy/color.h"

void SENDDATA(HcRun *run, const void *buf, size_t n) { fwrite(buf, 1, n, run->outfile); }

void SENDCHAR(HcRun *run, int c) { putc(c, run->outfile); }

int PixelOrder(const HCRec *HC) {
  return HC->printer_type == 92 && HC->orientation != HC_LANDSCAPE ? 2 : 1;
}

void Convert_X_TPI(HcRun *run, XImage *image, const char *window_name, XwdColor *colors,
                   uint32_t ncolors, int visual_class) {
  if (run->HC.printer_type == 92)
    Do_Nrv7310_HC(run, image, visual_class, window_name, colors, ncolors);
  else
    Do_NrvPrintRequest_HC(run, image, visual_class, window_name, colors, ncolors);
}

// ---- nrv7310 ----

void Nrv7310Header(const HCRec *HC, int bits_per_primary, uint8_t out[8]) {
  static const uint8_t orientation_bits[] = {0, 0, 0x00, 0x0C, 0x08, 0x04};
  int o = HC->orientation >= HC_LANDSCAPE && HC->orientation <= HC_BOTTOM ? HC->orientation : 2;
  out[0] = NRV7310_START;
  out[1] = (uint8_t)(0x80 | (bits_per_primary == 4 ? 0x20 : 0x10) | orientation_bits[o] |
                     (HC->density == 1 ? 0x02 : 0) | (HC->invert == HC_YES ? 0x01 : 0));
  out[2] = (uint8_t)(0x81 | HC->repaint_count);
  out[3] = (uint8_t)(0x80 | ((HC->out_width >> 7) & 0x7F));
  out[4] = (uint8_t)(0x80 | (HC->out_width & 0x7F));
  out[5] = (uint8_t)(0x80 | ((HC->out_height >> 7) & 0x7F));
  out[6] = (uint8_t)(0x80 | (HC->out_height & 0x7F));
  int sum = 0;
  for (int i = 0; i < 7; i++) sum += out[i] & 0x7F;
  out[7] = (uint8_t)(0x80 | (sum % 128));
}

void Do_Nrv7310_HC(HcRun *run, XImage *image, int visual_class, const char *window_name,
                   XwdColor *colors, uint32_t ncolors) {
  (void)window_name;
  HCRec *HC = &run->HC;
  const int W = image->width, H = image->height;
  if (W <= 0 || H <= 0) FatalError(run, "Empty %dx%d image\n", W, H);
  HC->pixel_order = PixelOrder(HC);
  const bool landscape = HC->orientation == HC_LANDSCAPE;
  // Across and down the paper, in the image's own terms.
  const int across = landscape ? HC->max_width : HC->max_height;
  const int down = landscape ? HC->max_height : HC->max_width;
  if (W > across || H > down)
    FatalError(run, "Image %dx%d is bigger than %dx%d copier resolution\n", W, H, across, down);

  int f = 1;
  if (HC->scaling != HC_NONE) {
    f = across / W;
    if (down / H < f) f = down / H;
  }
  const int ppl = HC->pixel_order == 1 ? W * f : H * f;
  const int lines = HC->pixel_order == 1 ? H * f : W * f;
  HC->out_width = W * f;
  HC->out_height = H * f;
  const int bits = HC->resolution == 1 && HC->render_mode == 0 ? 4 : 2;
  const int bpp = bits == 4 ? 2 : 1;

  // A TrueColor or DirectColor pixel takes each component from a different map entry, so its
  // colour exists only per pixel and is matched there; a PseudoColor map holds whole colours.
  const bool rgb = visual_class == XWD_TRUECOLOR || visual_class == XWD_DIRECTCOLOR;
  const bool match_pixels = HC->render_mode == 2 && rgb;
  if (HC->local_gamma == 1) hc_un_gamma(colors, ncolors);
  if (HC->render_mode == 2 && !rgb) hc_7310_colormatch(colors, ncolors);
  HcsColorTables tables;
  hcs_color_match_init(&tables);
  struct Matched {
    uint32_t key;  // 0x1000000 | red, green, blue once filled
    uint8_t rgb[3];
  };
  Matched *cache = match_pixels ? (Matched *)calloc(4096, sizeof(Matched)) : nullptr;
  if (match_pixels && !cache) FatalError(run, "Can't allocate memory for the colour cache\n");

  uint8_t *scan = (uint8_t *)malloc(3 * (size_t)(W > H ? W : H));
  uint8_t *out = (uint8_t *)malloc((size_t)ppl * bpp);
  if (!scan || !out) FatalError(run, "Can't allocate memory for the scanline buffer\n");

  uint8_t header[8];
  Nrv7310Header(HC, bits, header);
  SENDDATA(run, header, sizeof header);
  SENDCHAR(run, HC_LINE_END);

  for (int i = 0; i < lines; i++) {
    if (i % f == 0 &&
        Get_X_Scanline(image, i / f, colors, ncolors, HC->pixel_order, visual_class, scan) != 0)
      FatalError(run, "Failed to get shift value for DirectColor class\n");
    if (i % f == 0 && match_pixels)
      for (int k = 0; k < (HC->pixel_order == 1 ? W : H); k++) {
        uint8_t *px = scan + 3 * k;
        const uint32_t key = 0x1000000u | px[0] << 16 | px[1] << 8 | px[2];
        Matched *m = &cache[(key * 2654435761u) >> 20];
        if (m->key != key) {
          int out[3];
          hcs_color_match(&tables, px[0], px[1], px[2], out);
          *m = Matched{key, {(uint8_t)out[0], (uint8_t)out[1], (uint8_t)out[2]}};
        }
        memcpy(px, m->rgb, 3);
      }
    uint8_t *o = out;
    for (int j = 0; j < ppl; j++) {
      const uint8_t *src = scan + 3 * (j / f);
      uint8_t r = src[0], g = src[1], b = src[2];
      if (HC->render_mode != 0) {
        if (HC->pixel_order == 1)
          hcs_dither(&r, &g, &b, (uint16_t)j, (uint16_t)i);
        else
          hcs_dither(&r, &g, &b, (uint16_t)i, (uint16_t)j);
      }
      *o++ = (uint8_t)(0xC0 | (b >> 6) << 4 | (g >> 6) << 2 | (r >> 6));
      if (bpp == 2) *o++ = (uint8_t)(0x80 | (b & 0x30) | ((g >> 2) & 0x0C) | ((r >> 4) & 0x03));
    }
    SENDDATA(run, out, (size_t)ppl * bpp);
    SENDCHAR(run, HC_LINE_END);
  }
  SENDCHAR(run, HC_STREAM_END);
  free(cache);
  free(out);
  free(scan);
}

// ---- TPI print request ----

int ComputeLengthBytes(HcRun *run, long n) {
  if (n < 0 || n > TPI_MAX_NUMBER)
    FatalError(run, "Internal error: ComputeLengthBytes(): length =0x%lx\n", n);
  return n < 64 ? 1 : n < 4096 ? 2 : n < 262144 ? 3 : 4;
}

uint8_t *int_to_primary(HcRun *run, long n, uint8_t *out) {
  if (n < 0 || n > TPI_MAX_NUMBER) FatalError(run, "Internal failure, number=%0ld > 0xffffff\n", n);
  int digits = n < 64 ? 1 : n < 4096 ? 2 : n < 262144 ? 3 : 4;
  for (int d = digits - 1; d >= 0; d--)
    *out++ = (uint8_t)((d == digits - 1 ? 0xC0 : 0x80) | ((n >> (6 * d)) & 0x3F));
  return out;
}

void PutRequestLength(HcRun *run, long n, uint8_t out[4]) {
  ComputeLengthBytes(run, n);
  for (int d = 3; d >= 0; d--)
    out[3 - d] = (uint8_t)((d == 3 ? 0xC0 : 0x80) | ((n >> (6 * d)) & 0x3F));
}

uint8_t *X_to_Index_8_Colormap(const XwdColor *colors, uint32_t ncolors, uint8_t *out) {
  for (uint32_t i = 0; i < ncolors; i++) {
    unsigned R = colors[i].red >> 8, G = colors[i].green >> 8, B = colors[i].blue >> 8;
    *out++ = (uint8_t)(0x80 | (R >> 2));
    *out++ = (uint8_t)(0x80 | ((R & 0x03) << 4) | (G >> 4));
    *out++ = (uint8_t)(0x80 | ((G & 0x0F) << 2) | (B >> 6));
    *out++ = (uint8_t)(0x80 | (B & 0x3F));
  }
  return out;
}

int DecodeScaling(const HCRec *HC) {
  switch (HC->scaling) {
    case HC_NONE: return 0xC1;
    case HC_REPLICATION: return 0xC2;
    case HC_INTERPOLATION: return 0xC3;
    default: return 0xC0;
  }
}

int DecodeImageRendering(const HCRec *HC) {
  switch (HC->color_set) {
    case 1: return 0xC1;
    case 2: return 0xC3;
    case 3: return 0xC4;
    case 4: return 0xD1;
    case 5: return 0xD3;
    case 6: return 0xE2;
    default: return 0xC0;
  }
}

int DecodeGamma(const HCRec *HC) {
  switch (HC->gamma) {
    case HC_NONE: return 0xC1;
    case 2: return 0xCA;
    case 3: return 0xCC;
    case 4: return 0xCE;
    case 6: return 0xC8;
    default: return 0xC0;
  }
}

int DecodeColorAdjustment(const HCRec *HC) {
  switch (HC->color_adjustment) {
    case HC_NONE: return 0xC1;
    case 2: return 0xC2;
    case 3: return 0xC3;
    default: return 0xC0;
  }
}

int DecodeOrientation(const HCRec *HC) {
  switch (HC->orientation) {
    case HC_BOTTOM: return 0xC2;
    case HC_CENTER: return 0xC3;
    case HC_TOP: return 0xC4;
    default: return 0xC1;
  }
}

int DecodeMediaWidth(const HCRec *HC) { return HC->media_width == 1 ? 0 : 0x04; }

int DecodeMediaSize(const HCRec *HC) {
  switch (HC->media_size) {
    case 1: return 1;  // a
    case 3: return 2;  // legal
    case 2: return 3;  // a4
    case 4: return 4;  // a4_special
    case 5: return 5;  // b
    case 6: return 6;  // a3
    case 7: return 7;  // 12x18
    default: return 0;
  }
}

int DecodeMediaOrientation(const HCRec *HC) { return HC->media_orientation == 1 ? 0x08 : 0; }

int DecodeMediaType(const HCRec *HC) { return HC->media_type == HC_TRANSPARENCY ? 0x10 : 0; }

int DecodePaperAdvance(const HCRec *HC) { return HC->paper_advance == 1 ? 0x20 : 0; }

uint8_t *PutModelTail(const HCRec *HC, uint8_t *out) {
  switch (HC->printer_type) {
    case 96:
      *out++ = 0xC9;
      *out++ = 0x98;
      *out++ = (uint8_t)(0x80 | 0x02 | DecodeMediaWidth(HC) | DecodePaperAdvance(HC));
      break;
    case 97:
      *out++ = 0xC9;
      *out++ = 0x99;
      *out++ = (uint8_t)(0x80 | DecodeMediaSize(HC) | DecodeMediaOrientation(HC) |
                         DecodeMediaType(HC) | DecodePaperAdvance(HC));
      break;
    default:
      *out++ = 0xC0;
      *out++ = 0x80;
      break;
  }
  return out;
}

size_t BuildPrintRequest(HcRun *run, int visual_class, const XwdColor *colors, uint32_t ncolors,
                         uint8_t *buf) {
  const HCRec *HC = &run->HC;
  const bool rgb = visual_class == XWD_TRUECOLOR || visual_class == XWD_DIRECTCOLOR;
  uint8_t *p = buf;
  *p++ = TPI_REQUEST;
  p += 4;  // the length, once known
  p = int_to_primary(run, HC->out_width, p);
  p = int_to_primary(run, HC->out_height, p);
  *p++ = HC->byte_ack == 1 ? 0xC1 : 0xC2;
  p = int_to_primary(run, HC->copies, p);
  *p++ = 0xC0;
  if (rgb) {
    *p++ = 0xCD;
  } else {
    *p++ = 0xC8;
    *p++ = 0x83;
    p = X_to_Index_8_Colormap(colors, ncolors, p);
  }
  *p++ = HC->pixel_order == 1 ? 0xC1 : 0xC2;
  *p++ = (uint8_t)DecodeScaling(HC);
  *p++ = (uint8_t)DecodeImageRendering(HC);
  *p++ = (uint8_t)DecodeGamma(HC);
  *p++ = (uint8_t)DecodeColorAdjustment(HC);
  *p++ = HC->invert == HC_YES ? 0xC2 : 0xC1;
  *p++ = (uint8_t)DecodeOrientation(HC);
  p = PutModelTail(HC, p);
  const long L = p - buf;
  PutRequestLength(run, L, buf + 1);
  unsigned sum = 0;
  for (long i = 0; i < L; i++) sum += buf[i];
  *p++ = (uint8_t)(0x80 | (sum % 128));
  *p++ = HC_LINE_END;
  return (size_t)(p - buf);
}

void Do_NrvPrintRequest_HC(HcRun *run, XImage *image, int visual_class, const char *window_name,
                           XwdColor *colors, uint32_t ncolors) {
  (void)window_name;
  HCRec *HC = &run->HC;
  const int W = image->width, H = image->height;
  HC->pixel_order = PixelOrder(HC);
  HC->out_width = W;
  HC->out_height = H;
  const bool landscape = HC->orientation == HC_LANDSCAPE;
  if (landscape ? W > HC->max_width || H > HC->max_height : W > HC->max_height || H > HC->max_width)
    FatalError(run, "Size %dx%d is bigger than hardcopy %dx%d resolution.\n", W, H, HC->max_width,
               HC->max_height);
  if (W <= 0 || H <= 0) FatalError(run, "Empty %dx%d image\n", W, H);

  const bool rgb = visual_class == XWD_TRUECOLOR || visual_class == XWD_DIRECTCOLOR;
  const int m = HC->render_mode;
  if (HC->local_gamma == 1 && (m == 0 || m == 1 || m == 2 || m == 6)) hc_un_gamma(colors, ncolors);

  uint8_t *request = (uint8_t *)malloc(rgb ? 512 : 512 + 4 * (size_t)ncolors);
  if (!request) FatalError(run, "Can't allocate memory for TPI header\n");
  size_t n = BuildPrintRequest(run, visual_class, colors, ncolors, request);
  SENDDATA(run, request, n);
  free(request);

  int rc = rgb ? Convert_8_Bits_RGB(run, image, colors, ncolors) : Convert_8_Bits_Index(run, image);
  // A stream cut short after its request must not pass for a finished job.
  if (rc != 0) FatalError(run, "Can't allocate memory for an image line\n");
}

int Convert_8_Bits_RGB(HcRun *run, XImage *image, const XwdColor *colors, uint32_t ncolors) {
  const int W = image->width, H = image->height;
  uint8_t *line = (uint8_t *)malloc(3 * (size_t)W);
  if (!line) return -1;
  const unsigned long mask[3] = {image->red_mask, image->green_mask, image->blue_mask};
  int shift[3];
  unsigned long top[3];
  for (int c = 0; c < 3; c++) {
    shift[c] = MaskShift(mask[c]);
    if (shift[c] < 0) shift[c] = 31;  // an empty mask yields component 0 for every pixel
    top[c] = mask[c] >> shift[c];
  }
  // With components of at most 8 bits, each one's colour comes from a table of 256.
  const bool small = top[0] < 256 && top[1] < 256 && top[2] < 256;
  uint8_t lut[3][256] = {};
  if (small)
    for (uint32_t i = 0; i < 256 && i < ncolors; i++) {
      lut[0][i] = (uint8_t)(colors[i].red >> 8);
      lut[1][i] = (uint8_t)(colors[i].green >> 8);
      lut[2][i] = (uint8_t)(colors[i].blue >> 8);
    }
  for (int y = 0; y < H; y++) {
    uint8_t *o = line;
    for (int x = 0; x < W; x++) {
      unsigned long p = XGetPixel(image, x, y);
      unsigned long ri = (p & mask[0]) >> shift[0], gi = (p & mask[1]) >> shift[1],
                    bi = (p & mask[2]) >> shift[2];
      if (small) {
        *o++ = lut[0][ri];
        *o++ = lut[1][gi];
        *o++ = lut[2][bi];
      } else {
        *o++ = ri < ncolors ? (uint8_t)(colors[ri].red >> 8) : 0;
        *o++ = gi < ncolors ? (uint8_t)(colors[gi].green >> 8) : 0;
        *o++ = bi < ncolors ? (uint8_t)(colors[bi].blue >> 8) : 0;
      }
    }
    SENDDATA(run, line, 3 * (size_t)W);
    SENDCHAR(run, HC_LINE_END);
  }
  SENDCHAR(run, HC_STREAM_END);
  free(line);
  return 0;
}

int Convert_8_Bits_Index(HcRun *run, XImage *image) {
  const int W = image->width, H = image->height;
  uint8_t *line = (uint8_t *)malloc((size_t)W);
  if (!line) return -1;
  for (int y = 0; y < H; y++) {
    for (int x = 0; x < W; x++) line[x] = (uint8_t)XGetPixel(image, x, y);
    SENDDATA(run, line, (size_t)W);
    SENDCHAR(run, HC_LINE_END);
  }
  SENDCHAR(run, HC_STREAM_END);
  free(line);
  return 0;
}
