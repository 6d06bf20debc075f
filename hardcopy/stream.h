// xwd2hc: the printer streams, nrv7310 and the TPI print request.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hardcopy/hc.h"
#include "hardcopy/xwd.h"

enum { HC_LINE_END = 0x02, HC_STREAM_END = 0x01, TPI_REQUEST = 0x14, NRV7310_START = 0x04 };
enum { TPI_MAX_NUMBER = 0xffffff };

void SENDDATA(HcRun *run, const void *buf, size_t n);
void SENDCHAR(HcRun *run, int c);

// 1: an output line is an image row; 2: an image column from the bottom row up.
int PixelOrder(const HCRec *HC);

// Writes the stream for the chosen printer type.
void Convert_X_TPI(HcRun *run, XImage *image, const char *window_name, XwdColor *colors,
                   uint32_t ncolors, int visual_class);

// nrv7310: replication factor, geometry and colour work as set in run->HC, then the stream.
void Do_Nrv7310_HC(HcRun *run, XImage *image, int visual_class, const char *window_name,
                   XwdColor *colors, uint32_t ncolors);
// The 8-byte nrv7310 header for the out_width and out_height in HC.
void Nrv7310Header(const HCRec *HC, int bits_per_primary, uint8_t out[8]);

void Do_NrvPrintRequest_HC(HcRun *run, XImage *image, int visual_class, const char *window_name,
                           XwdColor *colors, uint32_t ncolors);
// Builds the request with its checksum and line byte into buf (room for 512 + 4 x ncolors
// bytes); returns its length L + 2. Fatal when it cannot be encoded.
size_t BuildPrintRequest(HcRun *run, int visual_class, const XwdColor *colors, uint32_t ncolors,
                         uint8_t *buf);

uint8_t *int_to_primary(HcRun *run, long n, uint8_t *out);
int ComputeLengthBytes(HcRun *run, long n);
// The request length in its fixed four-digit form.
void PutRequestLength(HcRun *run, long n, uint8_t out[4]);
uint8_t *X_to_Index_8_Colormap(const XwdColor *colors, uint32_t ncolors, uint8_t *out);

int DecodeScaling(const HCRec *HC);
int DecodeImageRendering(const HCRec *HC);
int DecodeGamma(const HCRec *HC);
int DecodeColorAdjustment(const HCRec *HC);
int DecodeOrientation(const HCRec *HC);
int DecodeMediaWidth(const HCRec *HC);
int DecodeMediaSize(const HCRec *HC);
int DecodeMediaOrientation(const HCRec *HC);
int DecodeMediaType(const HCRec *HC);
int DecodePaperAdvance(const HCRec *HC);
// Writes the model tail for the printer type; returns the position after it.
uint8_t *PutModelTail(const HCRec *HC, uint8_t *out);

// Image lines after the request; 0, or -1 when the line buffer cannot be allocated.
int Convert_8_Bits_RGB(HcRun *run, XImage *image, const XwdColor *colors, uint32_t ncolors);
int Convert_8_Bits_Index(HcRun *run, XImage *image);
