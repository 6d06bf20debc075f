// xwd2hc: colour-map linearisation, colour matching and ordered dither for the nrv7310.
#pragma once

#include <cstdint>

#include "hardcopy/xwd.h"

// The fixed-point (x 256) forms of the colour-matching coefficients.
struct HcsColorTables {
  int32_t A[3][3];     // 8-bit red, green, blue to X, Y, Z
  int32_t V[6][3];     // luminance weights per sector
  int32_t S[6][3][3];  // X, Y, Z to ink amounts per sector
};

extern const uint8_t hc_linearise[256];
extern const uint8_t hc_dither_matrix[16][16];

// Linearises every entry in place: a component's high byte goes through the table, the low byte
// becomes 0.
void hc_un_gamma(XwdColor *colors, uint32_t n);
// Replaces every entry by its colour matched for the nrv7310.
void hc_7310_colormatch(XwdColor *colors, uint32_t n);
void hcs_color_match_init(HcsColorTables *t);
// Matches one colour of 8-bit components; out gets red, green, blue.
void hcs_color_match(const HcsColorTables *t, int r, int g, int b, int out[3]);
// Reduces one pixel to full-on or full-off primaries against the dither matrix at (a, b).
void hcs_dither(uint8_t *r, uint8_t *g, uint8_t *b, uint16_t a, uint16_t bb);
