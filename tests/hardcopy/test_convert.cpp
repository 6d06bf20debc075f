// Colour processing, the two printer streams and their known answers.
#include <gtest/gtest.h>

#include "hardcopy/color.h"
#include "hardcopy/view.h"
#include "tests/hardcopy/hctest.h"

namespace {

TEST(Color, MatchesKnownAnswers) {
  const struct {
    int in[3], out[3];
  } cases[] = {
      {{255, 0, 0}, {253, 44, 0}},        {{0, 0, 255}, {35, 75, 255}},
      {{0, 255, 0}, {161, 255, 140}},     {{200, 100, 50}, {232, 184, 128}},
      {{128, 128, 128}, {202, 202, 202}}, {{0, 0, 0}, {0, 0, 0}},
      {{255, 255, 255}, {255, 255, 255}},
  };
  HcsColorTables t;
  hcs_color_match_init(&t);
  EXPECT_EQ(t.S[0][0][1], -990);
  EXPECT_EQ(t.S[2][1][1], 0);
  EXPECT_EQ(t.A[2][2], 280);
  for (const auto &c : cases) {
    int out[3];
    hcs_color_match(&t, c.in[0], c.in[1], c.in[2], out);
    EXPECT_EQ(std::vector<int>(out, out + 3), std::vector<int>(c.out, c.out + 3))
        << c.in[0] << "," << c.in[1] << "," << c.in[2];
  }
  // The whole colour map is matched in place, 8-bit values in the high bytes.
  XwdColor map[2] = {{0, 0xFFFF, 0x00FF, 0, 0, 0}, {1, 200 << 8, 100 << 8, 50 << 8, 0, 0}};
  hc_7310_colormatch(map, 2);
  EXPECT_EQ(map[0].red, 253 << 8);
  EXPECT_EQ(map[0].green, 44 << 8);
  EXPECT_EQ(map[1].blue, 128 << 8);
}

TEST(Color, EveryColourStaysInRange) {
  // Some colours drive the tone-curve index below 0; the result must still be a colour.
  HcsColorTables t;
  hcs_color_match_init(&t);
  for (int r = 0; r < 256; r += 3)
    for (int g = 0; g < 256; g += 3)
      for (int b = 0; b < 256; b += 3) {
        int out[3];
        hcs_color_match(&t, r, g, b, out);
        for (int v : out) ASSERT_TRUE(v >= 0 && v <= 255) << r << "," << g << "," << b;
      }
}

TEST(Color, LinearisationKeepsOnlyTheMappedHighByte) {
  XwdColor map[3] = {{0, 0x80FF, 49 << 8 | 0xFF, 50 << 8, 0, 0},
                     {1, 0xFFFF, 0, 0x0001, 0, 0},
                     {2, 200 << 8, 100 << 8, 64 << 8, 0, 0}};
  hc_un_gamma(map, 3);
  EXPECT_EQ(map[0].red, 37 << 8);
  EXPECT_EQ(map[0].green, 0);
  EXPECT_EQ(map[0].blue, 256);
  EXPECT_EQ(map[1].red, 255 << 8);
  EXPECT_EQ(map[1].blue, 0);
  EXPECT_EQ(map[2].red, 138 << 8);
  EXPECT_EQ(map[2].green, 16 << 8);
  EXPECT_EQ(map[2].blue, 3 << 8);
}

TEST(Color, DitherThresholds) {
  const struct {
    uint8_t r, g, b;
    uint16_t a, bb;
    uint8_t out_r, out_g, out_b;
  } cases[] = {
      {128, 128, 128, 0, 0, 0, 0, 0},          // threshold 17
      {128, 128, 128, 3, 0, 255, 255, 255},    // threshold 240
      {128, 128, 128, 19, 32, 255, 255, 255},  // coordinates wrap every 16
      {238, 237, 0, 0, 0, 255, 0, 0},          // 238 + 17 reaches 255, 237 + 17 does not
      {255, 0, 255, 0, 0, 255, 0, 255},        // full-on and full-off primaries stay
      {1, 0, 0, 15, 0, 255, 0, 0},             // threshold 254
      {254, 254, 254, 5, 10, 0, 0, 0},         // threshold 0
  };
  for (const auto &c : cases) {
    uint8_t r = c.r, g = c.g, b = c.b;
    hcs_dither(&r, &g, &b, c.a, c.bb);
    EXPECT_EQ(r, c.out_r) << c.a << "," << c.bb;
    EXPECT_EQ(g, c.out_g) << c.a << "," << c.bb;
    EXPECT_EQ(b, c.out_b) << c.a << "," << c.bb;
  }
}

// ---- nrv7310 ----

TEST(Nrv7310, DefaultLandscapeReplicatesToThePrinterArea) {
  HcRun run = RunFor("nrv7310");
  Bytes s = Convert(run, TrueColorDump(512, 384, [](uint32_t x, uint32_t y) {
                      return (x * 2) << 16 | (y / 2) << 8 | ((x + y) & 0xFF);
                    }));
  const Bytes header = {0x04, 0x92, 0x81, 0x8C, 0x80, 0x89, 0x80, 0xAC, 0x02};
  ASSERT_GE(s.size(), header.size());
  EXPECT_EQ(Bytes(s.begin(), s.begin() + 9), header);
  EXPECT_EQ(s.size(), 9u + 1152u * 1537u + 1u);
  HcvImage img;
  HcvError err;
  ASSERT_EQ(HcvParse(s.data(), s.size(), &img, &err), 0) << err.offset << ": " << err.message;
  EXPECT_EQ(img.width, 1536);
  EXPECT_EQ(img.height, 1152);

  run = RunFor("nrv7310");
  run.HC.scaling = HC_NONE;
  s = Convert(run, TrueColorDump(512, 384, [](uint32_t, uint32_t) { return 0x808080u; }));
  EXPECT_EQ(s.size(), 9u + 384u * 513u + 1u);
}

TEST(Nrv7310, HeaderBytes) {
  HcRun run = RunFor("nrv7310");
  run.HC.out_width = 1100;
  run.HC.out_height = 550;
  const struct {
    int orientation, density, invert, repaint, bits;
    uint8_t b1, b2;
  } cases[] = {
      {HC_LANDSCAPE, 1, HC_NO, 1, 2, 0x92, 0x81},
      {HC_TOP, 1, HC_NO, 2, 2, 0x9E, 0x83},
      {HC_CENTER, 0, HC_YES, 3, 4, 0xA9, 0x83},
      {HC_BOTTOM, 0, HC_DEFAULT, 4, 2, 0x94, 0x85},
  };
  for (const auto &c : cases) {
    run.HC.orientation = c.orientation;
    run.HC.density = c.density;
    run.HC.invert = c.invert;
    run.HC.repaint_count = c.repaint;
    uint8_t h[8];
    Nrv7310Header(&run.HC, c.bits, h);
    EXPECT_EQ(h[1], c.b1);
    EXPECT_EQ(h[2], c.b2);
    EXPECT_EQ(h[3], 0x88);  // 1100 = 8 * 128 + 76
    EXPECT_EQ(h[4], 0xCC);
    EXPECT_EQ(h[5], 0x84);  // 550 = 4 * 128 + 38
    EXPECT_EQ(h[6], 0xA6);
    int sum = 0;
    for (int i = 0; i < 7; i++) sum += h[i] & 0x7F;
    EXPECT_EQ(h[7], 0x80 | (sum % 128));
  }
}

// Source colours whose primaries survive 2-bit packing exactly.
uint32_t Quadrant(uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  static const uint32_t c[4] = {0xFF0055, 0x00AA00, 0x5555FF, 0xAAFFAA};
  return c[(x >= w / 2) + 2 * (y >= h / 2)] ^ ((x + y) % 2 ? 0x550000 : 0);
}

TEST(Nrv7310, DecodesToTheReplicatedSourceInEveryOrientation) {
  const struct {
    int orientation;
    uint32_t w, h;
    int f, lines, per_line;
  } cases[] = {
      {HC_LANDSCAPE, 100, 50, 15, 750, 1500},
      {HC_TOP, 100, 50, 11, 1100, 550},
      {HC_BOTTOM, 7, 3, 164, 1148, 492},
  };
  for (const auto &c : cases) {
    HcRun run = RunFor("nrv7310");
    run.HC.orientation = c.orientation;
    run.HC.render_mode = 0;  // no colour work, so the picture must come back as it was
    run.HC.resolution = 0;
    run.HC.local_gamma = 0;
    auto src = [&](uint32_t x, uint32_t y) { return Quadrant(x, y, c.w, c.h); };
    Bytes s = Convert(run, TrueColorDump(c.w, c.h, src));
    EXPECT_EQ(run.HC.pixel_order, c.orientation == HC_LANDSCAPE ? 1 : 2);
    EXPECT_EQ(s.size(), 9u + (size_t)c.lines * (c.per_line + 1) + 1);
    HcvImage img;
    HcvError err;
    ASSERT_EQ(HcvParse(s.data(), s.size(), &img, &err), 0) << err.message;
    ASSERT_EQ(img.width, (int)c.w * c.f);
    ASSERT_EQ(img.height, (int)c.h * c.f);
    for (int y = 0; y < img.height; y++)
      for (int x = 0; x < img.width; x++) {
        uint32_t p = src(x / c.f, y / c.f);
        const uint8_t *o = &img.rgb[((size_t)y * img.width + x) * 3];
        ASSERT_EQ(o[0] << 16 | o[1] << 8 | o[2], p) << x << "," << y;
      }
  }
}

TEST(Nrv7310, BitsPerPrimary) {
  auto dump = TrueColorDump(10, 10, [](uint32_t, uint32_t) { return 0x123456u; });
  HcRun run = RunFor("nrv7310");
  run.HC.render_mode = 0;  // eight_colors
  Bytes s = Convert(run, dump);
  EXPECT_EQ(s[1] & 0x30, 0x20);
  EXPECT_EQ(s.size(), 9u + 1150u * (2 * 1150 + 1) + 1);  // f = 115, square
  run = RunFor("nrv7310");
  s = Convert(run, dump);
  EXPECT_EQ(s[1] & 0x30, 0x10);
  EXPECT_EQ(s.size(), 9u + 1150u * 1151u + 1);
}

TEST(Nrv7310, TrueColorPixelsAreMatchedAsWholeColours) {
  // The same picture as a PseudoColor and as a TrueColor dump must print the same.
  const uint32_t colours[4] = {0xFF0000, 0x0000FF, 0xC86432, 0x808080};
  std::vector<XwdColor> map;
  for (uint32_t i = 0; i < 4; i++)
    map.push_back(XwdColor{i, (uint16_t)((colours[i] >> 16) * 257),
                           (uint16_t)((colours[i] >> 8 & 0xFF) * 257),
                           (uint16_t)((colours[i] & 0xFF) * 257), 7, 0});
  auto index = [](uint32_t x, uint32_t y) { return (x / 3 + y / 2) % 4; };
  for (int mode : {1, 2}) {
    HcRun pseudo = RunFor("nrv7310"), truecolor = RunFor("nrv7310");
    pseudo.HC.render_mode = truecolor.HC.render_mode = mode;
    Bytes a = Convert(pseudo, PseudoColorDump(12, 8, map, index));
    Bytes b =
        Convert(truecolor,
                TrueColorDump(12, 8, [&](uint32_t x, uint32_t y) { return colours[index(x, y)]; }));
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, b) << "render mode " << mode;
  }
}

TEST(Nrv7310, WhiteIsNeverDithered) {
  HcRun run = RunFor("nrv7310");
  run.HC.render_mode = 1;
  Bytes s = Convert(run, TrueColorDump(64, 48, [](uint32_t, uint32_t) { return 0xFFFFFFu; }));
  ASSERT_EQ(s.size(), 9u + 1152u * 1537u + 1);
  for (size_t line = 0; line < 1152; line++)
    for (size_t j = 0; j < 1536; j++) ASSERT_EQ(s[9 + line * 1537 + j], 0xFF);
}

TEST(Nrv7310, TooLargeForThePrinter) {
  HcRun run = RunFor("nrv7310");
  Bytes dump = TrueColorDump(1200, 1200, [](uint32_t, uint32_t) { return 0u; });
  EXPECT_EXIT(Convert(run, dump), testing::ExitedWithCode(1),
              "xwd2hc: Image 1200x1200 is bigger than 1536x1152 copier resolution\n");
  run.HC.orientation = HC_TOP;
  dump = TrueColorDump(1200, 1500, [](uint32_t, uint32_t) { return 0u; });
  EXPECT_EXIT(Convert(run, dump), testing::ExitedWithCode(1),
              "Image 1200x1500 is bigger than 1152x1536 copier resolution");
}

// ---- TPI print request ----

TEST(Tpi, PrimaryNumbers) {
  HcRun run = RunFor("nrv7320d");
  const struct {
    long n;
    Bytes primary, length;
  } cases[] = {
      {0, {0xC0}, {0xC0, 0x80, 0x80, 0x80}},
      {30, {0xDE}, {0xC0, 0x80, 0x80, 0x9E}},
      {63, {0xFF}, {0xC0, 0x80, 0x80, 0xBF}},
      {64, {0xC1, 0x80}, {0xC0, 0x80, 0x81, 0x80}},
      {1047, {0xD0, 0x97}, {0xC0, 0x80, 0x90, 0x97}},
      {4095, {0xFF, 0xBF}, {0xC0, 0x80, 0xBF, 0xBF}},
      {4096, {0xC1, 0x80, 0x80}, {0xC0, 0x81, 0x80, 0x80}},
      {262143, {0xFF, 0xBF, 0xBF}, {0xC0, 0xBF, 0xBF, 0xBF}},
      {262144, {0xC1, 0x80, 0x80, 0x80}, {0xC1, 0x80, 0x80, 0x80}},
      {16777215, {0xFF, 0xBF, 0xBF, 0xBF}, {0xFF, 0xBF, 0xBF, 0xBF}},
  };
  for (const auto &c : cases) {
    uint8_t buf[4];
    uint8_t *end = int_to_primary(&run, c.n, buf);
    EXPECT_EQ(Bytes(buf, end), c.primary) << c.n;
    EXPECT_EQ(ComputeLengthBytes(&run, c.n), (int)c.primary.size()) << c.n;
    PutRequestLength(&run, c.n, buf);
    EXPECT_EQ(Bytes(buf, buf + 4), c.length) << c.n;
  }
  uint8_t buf[8];
  EXPECT_EXIT(int_to_primary(&run, 16777216, buf), testing::ExitedWithCode(1),
              "xwd2hc: Internal failure, number=16777216 > 0xffffff\n");
  EXPECT_EXIT(ComputeLengthBytes(&run, 16777216), testing::ExitedWithCode(1),
              "xwd2hc: Internal error: ComputeLengthBytes\\(\\): length =0x1000000\n");
}

TEST(Tpi, PseudoColorRequestKnownAnswer) {
  std::vector<XwdColor> map(256);
  for (uint32_t i = 0; i < 256; i++)
    map[i] = XwdColor{
        i, (uint16_t)(i << 8 | 0x7F), (uint16_t)((255 - i) << 8), (uint16_t)((i * 7 & 255) << 8), 7,
        0};
  HcRun run = RunFor("nrv7320d");
  Bytes s = Convert(
      run, PseudoColorDump(640, 480, map, [](uint32_t x, uint32_t y) { return (x ^ y) & 0xFF; }));
  const size_t L = 1047;
  ASSERT_EQ(s.size(), L + 2 + 480 * 641 + 1);
  EXPECT_EQ(Bytes(s.begin(), s.begin() + 14), (Bytes{0x14, 0xC0, 0x80, 0x90, 0x97, 0xCA, 0x80, 0xC7,
                                                     0xA0, 0xC1, 0xC1, 0xC0, 0xC8, 0x83}));
  // Colour-map entries: the linearised 24-bit colour cut into four 6-bit groups.
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t v = (uint32_t)hc_linearise[i] << 16 | (uint32_t)hc_linearise[255 - i] << 8 |
                 hc_linearise[i * 7 & 255];
    for (int k = 0; k < 4; k++)
      ASSERT_EQ(s[14 + 4 * i + k], 0x80 | ((v >> (18 - 6 * k)) & 0x3F)) << i;
  }
  EXPECT_EQ(Bytes(s.begin() + 14 + 1024, s.begin() + L),
            (Bytes{0xC1, 0xC0, 0xC0, 0xC0, 0xC0, 0xC1, 0xC1, 0xC0, 0x80}));
  unsigned sum = 0;
  for (size_t i = 0; i < L; i++) sum += s[i];
  EXPECT_EQ(s[L], 0x80 | (sum % 128));
  EXPECT_EQ(s[L + 1], 0x02);
  for (size_t y = 0; y < 480; y++) {
    const uint8_t *line = &s[L + 2 + y * 641];
    for (size_t x = 0; x < 640; x++) ASSERT_EQ(line[x], (x ^ y) & 0xFF);
    ASSERT_EQ(line[640], 0x02);
  }
  EXPECT_EQ(s.back(), 0x01);
}

TEST(Tpi, TrueColorLinesCarryTheColourMapValues) {
  HcRun run = RunFor("nrv7320d");
  run.HC.local_gamma = 0;
  auto src = [](uint32_t x, uint32_t y) { return (x * 3) << 16 | (y * 5) << 8 | ((x * y) & 0xFF); };
  Bytes s = Convert(run, TrueColorDump(640, 480, src));
  const size_t L = 22;  // 1 + 4 + 2 + 2 + 1 + 1 + 1 + 1 + 7 + 2
  ASSERT_EQ(s.size(), L + 2 + 480 * 1921 + 1);
  EXPECT_EQ(s[12], 0xCD);
  HcvImage img;
  HcvError err;
  ASSERT_EQ(HcvParse(s.data(), s.size(), &img, &err), 0) << err.message;
  ASSERT_TRUE(img.truecolor);
  for (uint32_t y = 0; y < 480; y++)
    for (uint32_t x = 0; x < 640; x++) {
      const uint8_t *o = &img.rgb[(y * 640 + x) * 3];
      ASSERT_EQ((uint32_t)(o[0] << 16 | o[1] << 8 | o[2]), src(x, y) & 0xFFFFFF);
    }
}

TEST(Tpi, SettingCodes) {
  // A 10 x 10 TrueColor request: [5] width, [6] height, [7] acknowledgement, [8] copies,
  // [9] 0xC0, [10] 0xCD, [11..17] pixel order .. orientation, [18..] model tail.
  const struct {
    const char *printer;
    void (*set)(HCRec *);
    size_t at;
    Bytes expect;
  } cases[] = {
      {"nrv7320d", [](HCRec *) {}, 11, {0xC1, 0xC0, 0xC0, 0xC0, 0xC0, 0xC1, 0xC1, 0xC0, 0x80}},
      {"nrv7320", [](HCRec *h) { h->byte_ack = 0; }, 7, {0xC2, 0xC1}},
      {"nrv7320", [](HCRec *h) { h->copies = 0; }, 7, {0xC1, 0xC0}},
      {"nrv7320", [](HCRec *h) { h->copies = 32767; }, 7, {0xC1, 0xC7, 0xBF, 0xBF, 0xC0}},
      {"nrv7320dx", [](HCRec *h) { h->gamma = 6; }, 14, {0xC8}},
      {"nrv7320",
       [](HCRec *h) {
         h->gamma = 2;
         h->scaling = HC_REPLICATION;
       },
       12,
       {0xC2, 0xC0, 0xCA}},
      {"nrv7320",
       [](HCRec *h) {
         h->color_set = 2;
         h->color_adjustment = 3;
       },
       13,
       {0xC3, 0xC0, 0xC3}},
      {"nrv7320",
       [](HCRec *h) {
         h->color_set = 6;
         h->invert = HC_YES;
       },
       13,
       {0xE2, 0xC0, 0xC0, 0xC2}},
      {"nrv7320", [](HCRec *h) { h->orientation = HC_TOP; }, 17, {0xC4}},
      {"nrv7360", [](HCRec *) {}, 18, {0xC9, 0x98, 0xA2}},
      {"nrv7370",
       [](HCRec *h) {
         h->media_size = 2;
         h->media_type = HC_TRANSPARENCY;
       },
       18,
       {0xC9, 0x99, 0xB3}},
      {"tintswift", [](HCRec *h) { h->media_size = 7; }, 18, {0xC9, 0x99, 0xA7}},
  };
  for (const auto &c : cases) {
    HcRun run = RunFor(c.printer);
    c.set(&run.HC);
    Bytes s = Convert(run, TrueColorDump(10, 10, [](uint32_t, uint32_t) { return 0u; }));
    ASSERT_GE(s.size(), c.at + c.expect.size());
    EXPECT_EQ(Bytes(s.begin() + c.at, s.begin() + c.at + c.expect.size()), c.expect) << c.printer;
    HcvImage img;
    HcvError err;
    EXPECT_EQ(HcvParse(s.data(), s.size(), &img, &err), 0) << c.printer << ": " << err.message;
  }
}

TEST(Tpi, SizeLimits) {
  HcRun run = RunFor("tintswift");
  Bytes dump = TrueColorDump(2441, 1, [](uint32_t, uint32_t) { return 0u; });
  EXPECT_EXIT(Convert(run, dump), testing::ExitedWithCode(1),
              "xwd2hc: Size 2441x1 is bigger than hardcopy 2440x2490 resolution.\n");
  run.HC.orientation = HC_CENTER;
  dump = TrueColorDump(2491, 1, [](uint32_t, uint32_t) { return 0u; });
  EXPECT_EXIT(Convert(run, dump), testing::ExitedWithCode(1),
              "Size 2491x1 is bigger than hardcopy 2440x2490 resolution");
  dump = TrueColorDump(2490, 1, [](uint32_t, uint32_t) { return 0u; });
  EXPECT_FALSE(Convert(run, dump).empty());
}

}  // namespace
