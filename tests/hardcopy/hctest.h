// Helpers for the hardcopy tests: synthetic dumps, running the programs, converting in-process.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hardcopy/hc.h"
#include "hardcopy/stream.h"
#include "hardcopy/xwd.h"

using Bytes = std::vector<uint8_t>;

inline void PutBe32(Bytes &b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back((uint8_t)(v >> s));
}
inline void PutBe16(Bytes &b, uint16_t v) {
  b.push_back((uint8_t)(v >> 8));
  b.push_back((uint8_t)v);
}

// A dump file: header as given (header_size and ncolors are the caller's), name, map, data.
inline Bytes MakeXwd(const XwdHeader &h, const std::string &name,
                     const std::vector<XwdColor> &colors, const Bytes &data) {
  Bytes b;
  const uint32_t *w = &h.header_size;
  for (int i = 0; i < 25; i++) PutBe32(b, w[i]);
  b.insert(b.end(), name.begin(), name.end());
  for (const XwdColor &c : colors) {
    PutBe32(b, c.pixel);
    PutBe16(b, c.red);
    PutBe16(b, c.green);
    PutBe16(b, c.blue);
    b.push_back(c.flags);
    b.push_back(c.pad);
  }
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// A ZPixmap header with consistent sizes for the given depth and bits per pixel.
inline XwdHeader ZHeader(uint32_t w, uint32_t h, uint32_t depth, uint32_t bpp,
                         uint32_t visual_class, uint32_t ncolors) {
  XwdHeader x{};
  x.header_size = 100;
  x.file_version = 7;
  x.pixmap_format = 2;
  x.pixmap_depth = depth;
  x.pixmap_width = w;
  x.pixmap_height = h;
  x.byte_order = 0;  // least significant byte first
  x.bitmap_unit = 32;
  x.bitmap_bit_order = 0;
  x.bitmap_pad = 32;
  x.bits_per_pixel = bpp;
  x.bytes_per_line = (w * bpp + 31) / 32 * 4;
  x.visual_class = visual_class;
  if (visual_class == XWD_TRUECOLOR || visual_class == XWD_DIRECTCOLOR) {
    x.red_mask = 0xff0000;
    x.green_mask = 0xff00;
    x.blue_mask = 0xff;
  }
  x.bits_per_rgb = 8;
  x.colormap_entries = 256;
  x.ncolors = ncolors;
  x.window_width = w;
  x.window_height = h;
  return x;
}

// A 24-bit TrueColor dump without colour map; pixel(x, y) gives 0xRRGGBB.
template <class F>
Bytes TrueColorDump(uint32_t w, uint32_t h, F pixel) {
  XwdHeader x = ZHeader(w, h, 24, 32, XWD_TRUECOLOR, 0);
  Bytes data(x.bytes_per_line * h);
  for (uint32_t y = 0; y < h; y++)
    for (uint32_t i = 0; i < w; i++) {
      uint32_t p = pixel(i, y);
      for (int k = 0; k < 4; k++) data[y * x.bytes_per_line + 4 * i + k] = (uint8_t)(p >> (8 * k));
    }
  return MakeXwd(x, "", {}, data);
}

// An 8-bit PseudoColor dump with the given map; pixel(x, y) gives the index.
template <class F>
Bytes PseudoColorDump(uint32_t w, uint32_t h, const std::vector<XwdColor> &map, F pixel) {
  XwdHeader x = ZHeader(w, h, 8, 8, 3, (uint32_t)map.size());
  Bytes data(x.bytes_per_line * h);
  for (uint32_t y = 0; y < h; y++)
    for (uint32_t i = 0; i < w; i++) data[y * x.bytes_per_line + i] = (uint8_t)pixel(i, y);
  return MakeXwd(x, "", map, data);
}

inline std::vector<XwdColor> GreyMap(uint32_t n) {
  std::vector<XwdColor> map(n);
  for (uint32_t i = 0; i < n; i++) {
    uint16_t v = (uint16_t)(i * 65535 / (n > 1 ? n - 1 : 1));
    map[i] = XwdColor{i, v, v, v, 7, 0};
  }
  return map;
}

// Reads a dump from memory; fails the calling test through the returned message.
inline std::string ReadDump(const Bytes &file, XwdDump *dump) {
  FILE *f = fmemopen(const_cast<uint8_t *>(file.data()), file.size(), "rb");
  char err[256] = "";
  int rc = XwdRead(f, dump, err, sizeof err);
  fclose(f);
  return rc == 0 ? std::string() : std::string(err);
}

// Settings for a printer, as the command line would leave them.
inline HcRun RunFor(const char *printer) {
  HcRun run;
  HcInit(&run, "xwd2hc");
  for (const SupportedHCRow &r : SupportedHC)
    if (strcmp(r.name, printer) == 0) {
      run.HC.printer_name = r.name;
      run.HC.printer_type = r.type;
      run.HC.max_width = r.max_width;
      run.HC.max_height = r.max_height;
    }
  return run;
}

// Converts a dump in-process with the settings of run; returns the printer stream.
inline Bytes Convert(HcRun &run, const Bytes &file) {
  XwdDump dump;
  std::string err = ReadDump(file, &dump);
  if (!err.empty()) return Bytes();
  FILE *out = tmpfile();
  run.outfile = out;
  Convert_X_TPI(&run, &dump.image, dump.window_name, dump.colors, dump.ncolors,
                (int)dump.header.visual_class);
  fflush(out);
  Bytes b((size_t)ftell(out));
  rewind(out);
  if (!b.empty() && fread(b.data(), 1, b.size(), out) != b.size()) b.clear();
  fclose(out);
  XwdFree(&dump);
  return b;
}

inline std::string BinDir() {
  const char *d = getenv("LQ_BIN_DIR");
  return d ? d : "build/bin";
}

inline bool WriteFile(const std::string &path, const Bytes &b) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(b.data(), 1, b.size(), f) == b.size();
  return fclose(f) == 0 && ok;
}

inline Bytes ReadFile(const std::string &path) {
  Bytes b;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return b;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  fclose(f);
  return b;
}

struct RunResult {
  int status = -1;  // exit status, or -1 when killed
  Bytes out;
  std::string err;
};

// Runs argv[0] with the arguments, feeding input on standard input.
inline RunResult RunProgram(const std::vector<std::string> &argv, const Bytes &input = {}) {
  char in_name[] = "/tmp/hctest-inXXXXXX", out_name[] = "/tmp/hctest-outXXXXXX",
       err_name[] = "/tmp/hctest-errXXXXXX";
  int in = mkstemp(in_name), out = mkstemp(out_name), err = mkstemp(err_name);
  RunResult r;
  if (in < 0 || out < 0 || err < 0) return r;
  if (!input.empty() && write(in, input.data(), input.size()) != (ssize_t)input.size()) return r;
  lseek(in, 0, SEEK_SET);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int ws = 0;
  waitpid(pid, &ws, 0);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  r.out = ReadFile(out_name);
  Bytes e = ReadFile(err_name);
  r.err.assign(e.begin(), e.end());
  close(in);
  close(out);
  close(err);
  unlink(in_name);
  unlink(out_name);
  unlink(err_name);
  return r;
}
