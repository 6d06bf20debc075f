// hcview: checks a printer stream written by xwd2hc and recovers the picture it describes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

enum { HCV_NRV7310 = 92, HCV_TPI = 0x14 };

struct HcvError {
  size_t offset;  // byte of the stream where the fault lies
  char message[160];
};

// What a stream announces and the picture it carries, in the dump's own orientation.
struct HcvImage {
  int kind;  // HCV_NRV7310 or HCV_TPI
  int width, height;
  std::vector<uint8_t> rgb;  // width x height pixels of red, green, blue

  // nrv7310
  int bits_per_primary;  // 2 or 4
  int orientation;       // 2 landscape, 3 top, 4 center, 5 bottom
  int density, invert;   // 1 high, 1 yes
  int repaint;           // the repaint byte, 0x81, 0x83 or 0x85

  // TPI
  long request_length;  // L, up to and including the model tail
  int byte_ack;         // 1 acknowledged byte by byte, 0 streaming
  long copies;
  bool truecolor;                  // pixels are red, green, blue; else colour-map indices
  std::vector<uint8_t> colormap;   // 3 bytes per entry
  int pixel_order, scaling, rendering, gamma, adjustment, invert_code, orientation_code;
  int model_type;                  // 93, 96 or 97
  uint8_t tail[3];
  int tail_len;
};

// Checks the whole stream and decodes it. 0, or -1 with the first fault in err.
int HcvParse(const uint8_t *data, size_t len, HcvImage *img, HcvError *err);
// One line naming the stream kind and its settings.
void HcvDescribe(FILE *out, const HcvImage *img);
// Binary PPM with maxval 255.
int HcvWritePnm(FILE *out, const HcvImage *img);
// PNG through libpng when built with it, else through the pnmtopng filter. 0 or -1.
int HcvWritePng(FILE *out, const HcvImage *img);
