// The stream checker: every structural fault is found at its byte.
#include <gtest/gtest.h>

#include "hardcopy/view.h"
#include "tests/hardcopy/hctest.h"

namespace {

Bytes Nrv7310Stream() {
  HcRun run = RunFor("nrv7310");
  run.HC.scaling = HC_NONE;
  run.HC.render_mode = 0;  // two bytes per pixel
  run.HC.local_gamma = 0;
  return Convert(run,
                 TrueColorDump(5, 3, [](uint32_t x, uint32_t y) { return x * 40 << 16 | y * 80; }));
}

// 4 x 2 PseudoColor with a 4-entry map; pixel (3, 1) is index 9, which has no entry.
Bytes TpiStream(bool bad_index) {
  HcRun run = RunFor("nrv7370");
  return Convert(run, PseudoColorDump(4, 2, GreyMap(4), [=](uint32_t x, uint32_t y) {
                   return bad_index && x == 3 && y == 1 ? 9 : (x + y) % 4;
                 }));
}

TEST(Hcview, DecodesValidStreams) {
  Bytes s = Nrv7310Stream();
  HcvImage img;
  HcvError err;
  ASSERT_EQ(HcvParse(s.data(), s.size(), &img, &err), 0) << err.message;
  EXPECT_EQ(img.kind, HCV_NRV7310);
  EXPECT_EQ(img.bits_per_primary, 4);
  EXPECT_EQ(img.width, 5);
  EXPECT_EQ(img.height, 3);
  // Four bits per primary: 160 = 0xA0 comes back as 0xAA, 80 = 0x50 as 0x55.
  EXPECT_EQ(img.rgb[(2 * 5 + 4) * 3 + 0], 0xAA);
  EXPECT_EQ(img.rgb[(2 * 5 + 4) * 3 + 2], 0xAA);
  EXPECT_EQ(img.rgb[(1 * 5 + 0) * 3 + 2], 0x55);

  s = TpiStream(false);
  ASSERT_EQ(HcvParse(s.data(), s.size(), &img, &err), 0) << err.message;
  EXPECT_EQ(img.kind, HCV_TPI);
  EXPECT_EQ(img.model_type, 97);
  EXPECT_EQ(img.colormap.size(), 12u);
  EXPECT_EQ(img.copies, 1);
  EXPECT_EQ(img.rgb[(1 * 4 + 3) * 3], 0);  // (3 + 1) % 4 = 0, black
}

TEST(Hcview, ReportsEachFaultAtItsByte) {
  const Bytes nrv = Nrv7310Stream(), tpi = TpiStream(false);
  const size_t L = tpi.size() - 2 - 2 * 5 - 1;  // request length: stream minus lines and ends
  const size_t nrv_line = 9 + 5 * 2;            // the first line's end byte
  const struct {
    const char *what;
    const Bytes *stream;
    long at;           // byte to change, -1 for none
    int value;         // new value there; -1 cuts the stream there, -2 flips the low bit
    size_t offset;     // where the fault is reported
    const char *text;  // part of the message
  } cases[] = {
      {"empty", &nrv, 0, -1, 0, "empty stream"},
      {"unknown kind", &nrv, 0, 0x33, 0, "starts neither"},
      {"checksum", &nrv, 7, -2, 7, "checksum"},
      {"mode", &nrv, 1, 0xB2, 1, "bad mode byte"},
      {"repaint", &nrv, 2, 0x82, 2, "bad repaint byte"},
      {"header end", &nrv, 8, 0x03, 8, "instead of 0x02 after the header"},
      {"pixel byte", &nrv, 9, 0x85, 9, "lacks bits 0xC0"},
      {"second pixel byte", &nrv, 10, 0xC0, 10, "second pixel byte"},
      {"line end", &nrv, (long)nrv_line, 0xC0, nrv_line, "line 0 ends in 0xc0"},
      {"cut inside a line", &nrv, 20, -1, 20, "stream ends inside line 1"},
      {"no end byte", &nrv, (long)nrv.size() - 1, -1, nrv.size() - 1, "without its end byte"},
      {"wrong end byte", &nrv, (long)nrv.size() - 1, 0x02, nrv.size() - 1, "where the end byte"},
      {"request cut", &tpi, 30, -1, 30, "stream ends inside the"},
      {"length digit", &tpi, 3, 0xC0, 3, "request length byte"},
      {"width digit", &tpi, 5, 0x80, 5, "width starts with 0x80"},
      {"acknowledgement", &tpi, 7, 0xC5, 7, "bad acknowledgement"},
      {"colour map marker", &tpi, 10, 0xC9, 10, "no colour map marker"},
      {"colour map byte", &tpi, 13, 0x40, 13, "colour map byte 0x40"},
      {"gamma code", &tpi, (long)L - 3 - 4, 0xC5, L - 3 - 4, "bad gamma code 0xc5"},
      {"model tail", &tpi, (long)L - 3, 0xC0, L - 3, "no model tail"},
      {"request checksum", &tpi, (long)L, -2, L, "checksum"},
      {"request end", &tpi, (long)L + 1, 0x01, L + 1, "after the request"},
      {"trailing byte", &tpi, (long)tpi.size(), 0x00, tpi.size(), "1 bytes after the end byte"},
  };
  for (const auto &c : cases) {
    Bytes s = *c.stream;
    if (c.value == -1)
      s.resize((size_t)c.at);
    else if (c.value == -2)
      s[(size_t)c.at] ^= 1;
    else if ((size_t)c.at == s.size())
      s.push_back((uint8_t)c.value);
    else
      s[(size_t)c.at] = (uint8_t)c.value;
    HcvImage img;
    HcvError err;
    ASSERT_EQ(HcvParse(s.data(), s.size(), &img, &err), -1) << c.what;
    EXPECT_EQ(err.offset, c.offset) << c.what << ": " << err.message;
    EXPECT_NE(strstr(err.message, c.text), nullptr) << c.what << ": " << err.message;
  }
}

TEST(Hcview, IndexWithoutColourMapEntry) {
  Bytes s = TpiStream(true);
  HcvImage img;
  HcvError err;
  ASSERT_EQ(HcvParse(s.data(), s.size(), &img, &err), -1);
  EXPECT_EQ(err.offset, s.size() - 1 - 2);  // last pixel of the last line
  EXPECT_STREQ(err.message, "pixel index 9 has no colour-map entry");
}

}  // namespace
