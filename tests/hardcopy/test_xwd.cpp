// Reading dumps: layouts, byte orders, colour lookups and every header the reader must refuse.
#include <gtest/gtest.h>

#include <csignal>

#include "tests/hardcopy/hctest.h"

namespace {

Bytes Scanline(const XwdDump &d, int line, int order) {
  Bytes out(3 * 70000);
  if (Get_X_Scanline(&d.image, line, d.colors, d.ncolors, order, (int)d.header.visual_class,
                     out.data()) != 0)
    return Bytes();
  out.resize(3 * (order == 1 ? d.image.width : d.image.height));
  return out;
}

TEST(XwdRead, AcceptsWhatTheFormatAllows) {
  XwdHeader h = ZHeader(3, 2, 8, 8, 3, 4);
  h.header_size = 105;
  h.file_version = 12345;
  std::vector<XwdColor> map = {{0, 0x1000, 0x2000, 0x3000, 7, 0},
                               {1, 0x4000, 0x5000, 0x6000, 7, 0},
                               {2, 0x7000, 0x8000, 0x9000, 7, 0},
                               {3, 0xA0FF, 0xB000, 0xC000, 7, 0}};
  // Row 0: 0 1 2, row 1: 3 0 1 (4 bytes per line).
  XwdDump d;
  ASSERT_EQ(ReadDump(MakeXwd(h, "xterm", map, {0, 1, 2, 9, 3, 0, 1, 9}), &d), "");
  EXPECT_STREQ(d.window_name, "xterm");
  EXPECT_EQ(d.ncolors, 4u);
  EXPECT_EQ(Scanline(d, 0, 1), (Bytes{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90}));
  // Pixel order 2, line 1: image column 1 from the bottom row up, (1, 1) then (1, 0).
  EXPECT_EQ(Scanline(d, 1, 2), (Bytes{0x10, 0x20, 0x30, 0x40, 0x50, 0x60}));
  XwdFree(&d);

  // TrueColor without a map: a ramp that makes every lookup the identity.
  ASSERT_EQ(
      ReadDump(TrueColorDump(2, 1, [](uint32_t x, uint32_t) { return x ? 0x80FF01u : 0u; }), &d),
      "");
  ASSERT_EQ(d.ncolors, 256u);
  EXPECT_EQ(d.header.ncolors, 256u);
  EXPECT_EQ(d.colors[5].pixel, 5u);
  EXPECT_EQ(d.colors[5].red, 5 * 256);
  EXPECT_EQ(d.colors[255].blue, 255 * 256);
  EXPECT_EQ(Scanline(d, 0, 1), (Bytes{0, 0, 0, 0x80, 0xFF, 0x01}));
  XwdFree(&d);
}

TEST(XwdRead, PixelDataIsReadInTheDumpsOwnByteOrder) {
  // The same 16-bit 5-6-5 picture written least and most significant byte first.
  const uint16_t pix[4] = {0xF800, 0x07E0, 0x001F, 0x8421};
  std::vector<XwdColor> map(64);
  for (uint32_t i = 0; i < 64; i++) {
    uint16_t r = i < 32 ? (uint16_t)(i * 65535 / 31) : 0, g = (uint16_t)(i * 65535 / 63);
    map[i] = XwdColor{i, r, g, r, 7, 0};
  }
  Bytes expect;
  for (uint16_t p : pix) {
    expect.push_back((uint8_t)(map[p >> 11].red >> 8));
    expect.push_back((uint8_t)(map[(p >> 5) & 63].green >> 8));
    expect.push_back((uint8_t)(map[p & 31].blue >> 8));
  }
  for (uint32_t order : {0u, 1u}) {
    XwdHeader h = ZHeader(4, 1, 16, 16, XWD_TRUECOLOR, 64);
    h.red_mask = 0xF800;
    h.green_mask = 0x07E0;
    h.blue_mask = 0x001F;
    h.byte_order = order;
    Bytes data;
    for (uint16_t p : pix) {
      data.push_back((uint8_t)(order ? p >> 8 : p));
      data.push_back((uint8_t)(order ? p : p >> 8));
    }
    XwdDump d;
    ASSERT_EQ(ReadDump(MakeXwd(h, "", map, data), &d), "");
    // Each component indexes the map with its own bits only: the low red bits must not leak
    // into the green index (which would reach past the 64 entries).
    EXPECT_EQ(Scanline(d, 0, 1), expect) << "byte order " << order;
    XwdFree(&d);
  }
}

TEST(XwdRead, PlanesOfAnXYPixmap) {
  // Depth 2, two planes of 1 x 8-bit unit per line; most significant plane first.
  XwdHeader h = ZHeader(8, 1, 2, 8, 3, 4);
  h.pixmap_format = 1;
  h.bitmap_unit = 8;
  h.bitmap_bit_order = 1;
  h.byte_order = 1;
  h.bytes_per_line = 1;
  XwdDump d;
  ASSERT_EQ(ReadDump(MakeXwd(h, "", GreyMap(4), {0xF0, 0xCC}), &d), "");
  Bytes line = Scanline(d, 0, 1);
  const uint8_t grey[4] = {0, 0x55, 0xAA, 0xFF};
  const int pixels[8] = {3, 3, 2, 2, 1, 1, 0, 0};
  for (int x = 0; x < 8; x++) EXPECT_EQ(line[3 * x], grey[pixels[x]]) << x;
  XwdFree(&d);
}

TEST(XwdRead, PixelsWithoutAColourMapEntryAreBlack) {
  XwdDump d;
  ASSERT_EQ(ReadDump(PseudoColorDump(3, 1, GreyMap(4),
                                     [](uint32_t x, uint32_t) { return x ? 200 + x : 3; }),
                     &d),
            "");
  EXPECT_EQ(Scanline(d, 0, 1), (Bytes{255, 255, 255, 0, 0, 0, 0, 0, 0}));
  XwdFree(&d);
  // A TrueColor map shorter than a component's range.
  XwdHeader h = ZHeader(1, 1, 24, 32, XWD_TRUECOLOR, 16);
  ASSERT_EQ(ReadDump(MakeXwd(h, "", GreyMap(16), {0x05, 0x0F, 0x10, 0}), &d), "");
  EXPECT_EQ(Scanline(d, 0, 1), (Bytes{0, 0xFF, 0x55}));  // red 0x10 has no entry
  XwdFree(&d);
}

TEST(XwdRead, EmptyColourMaskFailsTheScanline) {
  XwdHeader h = ZHeader(1, 1, 24, 32, XWD_DIRECTCOLOR, 0);
  h.visual_class = XWD_TRUECOLOR;
  h.green_mask = 0;
  XwdDump d;
  ASSERT_EQ(ReadDump(MakeXwd(h, "", {}, {1, 2, 3, 4}), &d), "");
  EXPECT_TRUE(Scanline(d, 0, 1).empty());
  XwdFree(&d);
}

TEST(XwdRead, RegularFilesAreMappedAndAShrunkFileIsNoticed) {
  char name[] = "/tmp/hctest-dumpXXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_TRUE(WriteFile(name, TrueColorDump(2000, 600, [](uint32_t x, uint32_t y) { return x ^ y; })));
  FILE *f = fopen(name, "rb");
  XwdDump d;
  char err[256] = "";
  ASSERT_EQ(XwdRead(f, &d, err, sizeof err), 0) << err;
  fclose(f);
  EXPECT_NE(d.map_base, nullptr);
  Bytes line = Scanline(d, 599, 1);
  const uint32_t last = 1999 ^ 599;
  EXPECT_EQ(Bytes(line.end() - 3, line.end()), (Bytes{0, (uint8_t)(last >> 8), (uint8_t)last}));
  // Pages that left the file cannot be read; the program reports this signal as an error.
  ASSERT_EQ(truncate(name, 4096), 0);
  // (Under AddressSanitizer the signal is reported and the process ends by its own means.)
  auto stopped = [](int status) {
    return (WIFSIGNALED(status) && (WTERMSIG(status) == SIGBUS || WTERMSIG(status) == SIGABRT)) ||
           (WIFEXITED(status) && WEXITSTATUS(status) != 0);
  };
  EXPECT_EXIT(Scanline(d, 599, 1), stopped, "");
  XwdFree(&d);
  unlink(name);
}

TEST(XwdRead, RefusesBrokenDumpsWithAReason) {
  const Bytes data4x2(4 * 4 * 2, 0x11);
  const struct {
    const char *what;
    void (*edit)(XwdHeader *);
    size_t cut;  // bytes removed from the end of the file
    const char *message;
  } cases[] = {
      {"window name with a short header size", [](XwdHeader *h) { h->header_size = 99; }, 0,
       "Header size 99 is smaller than the 100-byte XWD header\n"},
      {"zero width", [](XwdHeader *h) { h->pixmap_width = 0; }, 0, "Empty 0x2 image in XWD dump\n"},
      {"zero height", [](XwdHeader *h) { h->pixmap_height = 0; }, 0,
       "Empty 4x0 image in XWD dump\n"},
      {"huge width", [](XwdHeader *h) { h->pixmap_width = 0x80000000u; }, 0,
       "Image 2147483648x2 is larger than 65535 pixels a side\n"},
      {"line size times height overflows",
       [](XwdHeader *h) {
         h->bytes_per_line = 0x80000000u;
         h->pixmap_height = 2;
       },
       0, "Image data size 2147483648 x 2 x 1 is too large\n"},
      {"planes overflow",
       [](XwdHeader *h) {
         h->pixmap_format = 1;
         h->pixmap_depth = 32;
         h->bytes_per_line = 0x4000000;
       },
       0, "Image data size 67108864 x 2 x 32 is too large\n"},
      {"line too short", [](XwdHeader *h) { h->bytes_per_line = 15; }, 0,
       "Line of 15 bytes is too short for 4 pixels of 32 bits\n"},
      {"depth 40", [](XwdHeader *h) { h->pixmap_depth = 40; }, 0, "Unsupported pixmap depth 40\n"},
      {"12 bits per pixel", [](XwdHeader *h) { h->bits_per_pixel = 12; }, 0,
       "Unsupported 12 bits per pixel at depth 24\n"},
      {"bitmap unit 0", [](XwdHeader *h) { h->bitmap_unit = 0; }, 0, "Unsupported bitmap unit 0\n"},
      {"format 7", [](XwdHeader *h) { h->pixmap_format = 7; }, 0, "Unknown pixmap format 7\n"},
      {"byte order 2", [](XwdHeader *h) { h->byte_order = 2; }, 0,
       "Unknown byte order 2 or bit order 0\n"},
      {"ramp of 2^30 entries", [](XwdHeader *h) { h->bits_per_rgb = 30; }, 0,
       "Can't build a colour map for 30 bits per colour\n"},
      {"PseudoColor without map", [](XwdHeader *h) { h->visual_class = 3; }, 0,
       "No colormap found in XWD dump image\n"},
      {"colour map beyond the file", [](XwdHeader *h) { h->ncolors = 1000000; }, 0,
       " Can't read color map\n"},
      {"colour map too large", [](XwdHeader *h) { h->ncolors = 0x20000000; }, 0,
       "Colour map of 536870912 entries is too large\n"},
      {"window name beyond the file", [](XwdHeader *h) { h->header_size = 100 + 1000000; }, 0,
       "Can't read window name\n"},
      {"one byte of pixel data short", [](XwdHeader *) {}, 1, "Can't read X image data\n"},
      {"header cut", [](XwdHeader *) {}, 32 + 50, "Can't read X header file.\n"},
  };
  for (const auto &c : cases) {
    XwdHeader h = ZHeader(4, 2, 24, 32, XWD_TRUECOLOR, 0);
    c.edit(&h);
    Bytes file = MakeXwd(h, "", {}, data4x2);
    file.resize(file.size() - c.cut);
    XwdDump d;
    EXPECT_EQ(ReadDump(file, &d), c.message) << c.what;
  }
}

}  // namespace
