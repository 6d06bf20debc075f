// hcview: checks a printer stream written by xwd2hc and shows the picture it will print.
#include <cstdio>
#include <cstring>
#include <vector>

#include "hardcopy/view.h"

static const char kUsage[] =
    "Usage: %s [-in stream] [-out picture] [-png] [-check]\n"
    "\t-in file     printer stream to read (default standard input)\n"
    "\t-out file    picture to write (default standard output); a name ending in\n"
    "\t             .png selects PNG\n"
    "\t-png         write PNG instead of binary PPM\n"
    "\t-check       check the stream and describe it on standard output, no picture\n";

int main(int argc, char **argv) {
  const char *prog = argc > 0 ? argv[0] : "hcview";
  const char *in_name = nullptr, *out_name = nullptr;
  bool png = false, check = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-in") == 0 && i + 1 < argc) {
      in_name = argv[++i];
    } else if (strcmp(argv[i], "-out") == 0 && i + 1 < argc) {
      out_name = argv[++i];
    } else if (strcmp(argv[i], "-png") == 0) {
      png = true;
    } else if (strcmp(argv[i], "-check") == 0) {
      check = true;
    } else {
      fprintf(stderr, kUsage, prog);
      return 2;
    }
  }
  if (out_name) {
    size_t n = strlen(out_name);
    if (n >= 4 && strcmp(out_name + n - 4, ".png") == 0) png = true;
  }

  FILE *in = in_name ? fopen(in_name, "rb") : stdin;
  if (!in) {
    fprintf(stderr, "%s: cannot open %s for input\n", prog, in_name);
    return 1;
  }
  std::vector<uint8_t> data;
  uint8_t chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) data.insert(data.end(), chunk, chunk + n);
  if (ferror(in)) {
    fprintf(stderr, "%s: cannot read %s\n", prog, in_name ? in_name : "standard input");
    return 1;
  }

  HcvImage img;
  HcvError err;
  if (HcvParse(data.data(), data.size(), &img, &err) != 0) {
    fprintf(stderr, "%s: byte %zu: %s\n", prog, err.offset, err.message);
    return 1;
  }
  if (check) {
    HcvDescribe(stdout, &img);
    return 0;
  }
  FILE *out = out_name ? fopen(out_name, "wb") : stdout;
  if (!out) {
    fprintf(stderr, "%s: cannot open %s for output\n", prog, out_name);
    return 1;
  }
  if ((png ? HcvWritePng(out, &img) : HcvWritePnm(out, &img)) != 0 || fclose(out) != 0) {
    fprintf(stderr, "%s: cannot write the picture\n", prog);
    return 1;
  }
  return 0;
}
