// Dumps written by xwd of a virtual X server at depths 24, 16 and 8 (and with the pixel data in
// the other byte order): the TPI stream shows the pixels the netpbm converter reads from the
// same dump, and the nrv7310 stream the replicated, colour-processed picture.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>

#include "hardcopy/color.h"
#include "hardcopy/view.h"
#include "tests/hardcopy/hctest.h"

namespace {

std::string FindInPath(const char *name) {
  const char *path = getenv("PATH");
  std::string p = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    std::string f = p.substr(start, end - start) + "/" + name;
    if (access(f.c_str(), X_OK) == 0) return f;
    start = end + 1;
  }
  return "";
}

// A virtual X server on a display number it picks itself; stopped when the test ends.
class Xvfb {
 public:
  explicit Xvfb(int depth) {
    std::string xvfb = FindInPath("Xvfb");
    int fds[2];
    if (xvfb.empty() || pipe(fds) != 0) return;
    std::string fd = std::to_string(fds[1]), screen = "96x64x" + std::to_string(depth);
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      execl(xvfb.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp",
            "-screen", "0", screen.c_str(), (char *)nullptr);
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    struct pollfd pfd = {fds[0], POLLIN, 0};
    char c;
    while (poll(&pfd, 1, 30000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~Xvfb() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string &display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const std::string &value) : name_(name) {
    const char *was = getenv(name);
    had_ = was != nullptr;
    if (had_) old_ = was;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char *name_;
  bool had_;
  std::string old_;
};

// A dump of the painted root window; on failure, empty and the reason in *why.
Bytes PaintAndDump(int depth, std::string *why) {
  Xvfb x(depth);
  if (x.display().empty()) {
    *why = "the virtual X server did not start";
    return Bytes();
  }
  ScopedEnv display("DISPLAY", x.display());
  RunResult paint;
  {
    // The X library keeps some memory until exit; that is no fault of the painter's.
    ScopedEnv quiet("ASAN_OPTIONS", "detect_leaks=0");
    paint = RunProgram({LQ_HC_PAINT});
  }
  RunResult dump = RunProgram({FindInPath("xwd"), "-root", "-silent"});
  if (paint.status != 0 || dump.status != 0) {
    *why = "painter: " + std::to_string(paint.status) + " " + paint.err +
           "; xwd: " + std::to_string(dump.status) + " " + dump.err;
    return Bytes();
  }
  return dump.out;
}

// The same dump as a host of the other byte order writes it: pixel data reversed within each
// pixel and the header saying so.
Bytes OtherByteOrder(const Bytes &dump) {
  Bytes b = dump;
  auto word = [&](size_t at) {
    return (uint32_t)b[at] << 24 | (uint32_t)b[at + 1] << 16 | (uint32_t)b[at + 2] << 8 | b[at + 3];
  };
  const uint32_t header_size = word(0), bpp = word(44), ncolors = word(76);
  b[28 + 3] ^= 1;  // byte_order
  // The netpbm converter reads pixels in items of the bitmap pad; unit and pad as wide as the
  // pixel keep its reading the same as the image routines', which take the pixel as it lies.
  b[32 + 3] = (uint8_t)bpp;  // bitmap_unit
  b[40 + 3] = (uint8_t)bpp;  // bitmap_pad
  const size_t unit = bpp / 8;
  for (size_t at = header_size + 12 * (size_t)ncolors; at + unit <= b.size(); at += unit)
    std::reverse(b.begin() + at, b.begin() + at + unit);
  return b;
}

struct Pnm {
  int width = 0, height = 0, maxval = 0;
  std::vector<int> samples;
};

Pnm ReadPnm(const Bytes &b) {
  Pnm p;
  std::string text(b.begin(), b.begin() + std::min<size_t>(b.size(), 64));
  int consumed = 0;
  if (sscanf(text.c_str(), "P6 %d %d %d%n", &p.width, &p.height, &p.maxval, &consumed) != 3)
    return Pnm();
  size_t at = (size_t)consumed + 1, n = (size_t)p.width * p.height * 3;
  size_t bytes = p.maxval > 255 ? 2 : 1;
  if (b.size() < at + n * bytes) return Pnm();
  for (size_t i = 0; i < n; i++)
    p.samples.push_back(bytes == 2 ? b[at + 2 * i] << 8 | b[at + 2 * i + 1] : b[at + i]);
  return p;
}

// The 8-bit colour the dump's own colour map gives each pixel, read through the netpbm
// converter: its samples are 16-bit map values (high byte kept), 8-bit values, or, for colour
// components of fewer bits, values scaled to 255 that name the component and so its map entry.
std::vector<uint8_t> Reference(const Bytes &dump, const Pnm &p) {
  XwdDump d;
  std::vector<uint8_t> rgb;
  if (!ReadDump(dump, &d).empty()) return rgb;
  const unsigned long masks[3] = {d.image.red_mask, d.image.green_mask, d.image.blue_mask};
  for (size_t i = 0; i < p.samples.size(); i++) {
    int v = p.samples[i], c = (int)(i % 3);
    const int shift = MaskShift(masks[c]);
    const unsigned long top = shift < 0 ? 0 : masks[c] >> shift;
    if (p.maxval == 65535) {
      rgb.push_back((uint8_t)(v >> 8));
    } else if (d.header.visual_class == XWD_TRUECOLOR && top > 0 && top < 255) {
      unsigned long k = 0;
      while (k < top && (long)(k * 255 / top) != v) k++;
      const XwdColor &e = d.colors[k];
      rgb.push_back((uint8_t)((c == 0 ? e.red : c == 1 ? e.green : e.blue) >> 8));
    } else {
      rgb.push_back((uint8_t)v);
    }
  }
  XwdFree(&d);
  return rgb;
}

RunResult Tool(const std::string &name, std::vector<std::string> args, const Bytes &in) {
  args.insert(args.begin(), name);
  return RunProgram(args, in);
}

class RealDump : public testing::TestWithParam<std::pair<int, bool>> {};

TEST_P(RealDump, StreamsShowTheDumpedPixels) {
  const int depth = GetParam().first;
  const std::string xwdtopnm = FindInPath("xwdtopnm");
  if (FindInPath("Xvfb").empty() || FindInPath("xwd").empty() || xwdtopnm.empty())
    GTEST_SKIP() << "needs Xvfb, xwd and xwdtopnm";
  std::string why;
  Bytes dump = PaintAndDump(depth, &why);
  ASSERT_FALSE(dump.empty()) << "no dump at depth " << depth << ": " << why;
  if (GetParam().second) {
    Bytes swapped = OtherByteOrder(dump);
    ASSERT_EQ(Tool(xwdtopnm, {}, swapped).out, Tool(xwdtopnm, {}, dump).out);
    dump = swapped;
  }
  Pnm ref = ReadPnm(Tool(xwdtopnm, {}, dump).out);
  ASSERT_EQ(ref.width, 96);
  ASSERT_EQ(ref.height, 64);
  const std::vector<uint8_t> expect = Reference(dump, ref);
  ASSERT_EQ(expect.size(), 96u * 64 * 3);
  const std::string xwd2hc = BinDir() + "/xwd2hc", hcview = BinDir() + "/hcview";

  RunResult tpi = Tool(xwd2hc, {"-hc", "nrv7320d", "-nlg"}, dump);
  ASSERT_EQ(tpi.status, 0) << tpi.err;
  RunResult pic = Tool(hcview, {}, tpi.out);
  ASSERT_EQ(pic.status, 0) << pic.err;
  Pnm got = ReadPnm(pic.out);
  ASSERT_EQ(got.width, 96);
  ASSERT_EQ(got.height, 64);
  for (size_t i = 0; i < expect.size(); i++)
    ASSERT_EQ(got.samples[i], expect[i]) << "sample " << i << " at depth " << depth;

  // nrv7310 with its defaults (linearise, colour match, dither) and turned a quarter.
  HcsColorTables t;
  hcs_color_match_init(&t);
  for (const char *orientation : {"landscape", "top"}) {
    RunResult s = Tool(xwd2hc, {"-hc", "nrv7310", "-orientation", orientation}, dump);
    ASSERT_EQ(s.status, 0) << s.err;
    RunResult v = Tool(hcview, {}, s.out);
    ASSERT_EQ(v.status, 0) << v.err;
    Pnm img = ReadPnm(v.out);
    const bool rows = orientation[0] == 'l';
    const int f = rows ? 16 : 12;  // min(1536 / 96, 1152 / 64) and min(1152 / 96, 1536 / 64)
    ASSERT_EQ(img.width, 96 * f);
    ASSERT_EQ(img.height, 64 * f);
    for (int y = 0; y < img.height; y++)
      for (int x = 0; x < img.width; x++) {
        const uint8_t *src = &expect[((size_t)(y / f) * 96 + x / f) * 3];
        int m[3];
        hcs_color_match(&t, hc_linearise[src[0]], hc_linearise[src[1]], hc_linearise[src[2]], m);
        uint8_t r = (uint8_t)m[0], g = (uint8_t)m[1], b = (uint8_t)m[2];
        // The dither runs along the printer's lines: rows, or columns from the bottom up.
        if (rows)
          hcs_dither(&r, &g, &b, (uint16_t)x, (uint16_t)y);
        else
          hcs_dither(&r, &g, &b, (uint16_t)x, (uint16_t)(img.height - 1 - y));
        const int *o = &img.samples[((size_t)y * img.width + x) * 3];
        ASSERT_EQ(o[0], (r >> 6) * 85) << orientation << " " << x << "," << y;
        ASSERT_EQ(o[1], (g >> 6) * 85) << orientation << " " << x << "," << y;
        ASSERT_EQ(o[2], (b >> 6) * 85) << orientation << " " << x << "," << y;
      }
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, RealDump,
                         testing::Values(std::make_pair(24, false), std::make_pair(16, false),
                                         std::make_pair(8, false), std::make_pair(24, true),
                                         std::make_pair(16, true)),
                         [](const auto &info) {
                           return "Depth" + std::to_string(info.param.first) +
                                  (info.param.second ? "OtherByteOrder" : "");
                         });

}  // namespace
