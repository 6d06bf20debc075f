// The xwd2hc and hcview programs: options, messages, exit statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/hardcopy/hctest.h"

namespace {

const std::string kUsage =
    "\t[-in file]  [-out file]  [-hc copier_type]\n"
    "\t\t[-colors eight_colors | full_color_1 | full_color_2 |\n"
    "\t\t\t  black_white | gray_shading | error_diffusion |\n"
    "\t\t\t  default]\n"
    "\t\t[-scale  interpolation | replication | none | default]\n"
    "\t\t[-correction  7320d | nrv_terminal | none | default]\n"
    "\t\t[-orientation  landscape | top | center | bottom]\n"
    "\t\t[-gamma  2.2 | 2.4 | 2.6 | 2.8 | none | default]\n"
    "\t\t[-paper  a | a3 | a4 | legal | a4_special | b | 12x18 | default]\n"
    "\t\t[-dither  dither | colormatch | none]\n"
    "\t\t[-media paper | transparency ]\n"
    "\t\t[-invert  yes | no | default]\n"
    "\t\t[-resolution  low | high]\n"
    "\t\t[-density  low | high]\n"
    "\t\t[-repaint  count]\n"
    "\t\t[-nlg]           no local gamma correction\n"
    "\t\t[-pa]            paper advance\n"
    "\t\t[-stream]        use data streaming instead of bytewise ack\n"
    "\t\t[-numcop <int>]  must be 0 through 32767\n";

std::string Prog() { return BinDir() + "/xwd2hc"; }

RunResult Xwd2hc(std::vector<std::string> args, const Bytes &input) {
  args.insert(args.begin(), Prog());
  return RunProgram(args, input);
}

Bytes SmallDump() {
  return TrueColorDump(8, 4, [](uint32_t x, uint32_t y) { return x * 30 << 16 | y * 60; });
}

TEST(Xwd2hcCli, CommandLineFaults) {
  const std::string p = Prog() + ": ";
  const std::string usage = "Usage: " + Prog() + kUsage;
  const std::string bad = "Error in command line argument.\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-in"}, usage},
      {{"-hc", "nrv7310", "-bogus"}, usage},
      {{"-nlg", "-out"}, usage},
      {{"-hc", "NRV9999"}, p + "Don't know printer \"nrv9999\"\n"},
      {{"-hc", "nrv7310", "-repaint", "0"},
       p + "Repaint count must be between 1 and 4 inclusively\n" + bad},
      {{"-hc", "nrv7310", "-repaint", "5"},
       p + "Repaint count must be between 1 and 4 inclusively\n" + bad},
      {{"-hc", "nrv7310", "-numcop", "32768"},
       p + "Number of copiew must be between 0 and 32767 inclusively\n" + bad},
      {{"-hc", "nrv7310", "-numcop", "99999999999999999999"},
       p + "Number of copiew must be between 0 and 32767 inclusively\n" + bad},
      {{"-hc", "nrv7370", "-gamma", "3.0", "-orientation", "up", "-paper", "c5", "-dither", "x"},
       p + "Don't know \"up\" orientation option\n" + p +
           "Don't know \"3.0\" gamma correction factor\n" + p + "Don't know media form \"c5\"\n" +
           p + "Don't know 7310 \"x\" dithering option\n" + bad},
      {{"-hc", "nrv7320", "-invert", "maybe", "-scale", "big", "-colors", "pink", "-correction",
        "x", "-media", "wood", "-density", "mid", "-resolution", "mid"},
       p + "Don't know \"maybe\" invert option\n" + p + "Don't know \"big\" scale option\n" + p +
           "Don't know \"pink\" color set option\n" + p +
           "Don't know \"x\" color correction option\n" + p + "Don't know \"wood\" media type\n" +
           p + "Don't know \"mid\" density\n" + p + "Don't know \"mid\" resolution\n" + bad},
      {{"-in", "/nonexistent/dump"}, p + "Cannot open /nonexistent/dump file for input\n"},
      {{"-out", "/nonexistent/dir/out"}, p + "Cannot open /nonexistent/dir/out file for output\n"},
  };
  for (const auto &c : cases) {
    RunResult r = Xwd2hc(c.args, SmallDump());
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
    EXPECT_TRUE(r.out.empty()) << c.args[0];
  }
}

TEST(Xwd2hcCli, AcceptedCommandLines) {
  const std::string p = Prog() + ": ";
  const struct {
    std::vector<std::string> args;
    std::string err;
    size_t at;  // byte of the stream to check
    Bytes expect;
  } cases[] = {
      // No arguments: the default printer, reported; a request with the type 93 tail.
      {{}, p + "Converting to the default nrv7320d printer.\n", 18, {0xC0, 0x80}},
      {{"-hc", "NRV7360"}, "", 18, {0xC9, 0x98, 0xA2}},
      {{"-hc", "nrv7320", "-numcop", "abc", "-format", "-whatever"}, "", 7, {0xC1, 0xC0}},
      {{"-hc", "nrv7320", "-paper", "legal", "-stream"}, "", 7, {0xC2}},
      {{"-hc", "nrv7320", "-paper", "nonsense", "-pa"}, "", 18, {0xC0, 0x80}},
      {{"-hc", "tintswift", "-paper", "a3", "-media", "paper", "-gamma", "2.8"}, "", 14, {0xC8}},
      {{"-hc", "nrv7370", "-paper", "a4", "-media", "transparency"}, "", 18, {0xC9, 0x99, 0xB3}},
      {{"-hc", "nrv7310", "-repaint", "3", "-orientation", "top", "-invert", "yes"},
       "",
       0,
       {0x04, 0x9F, 0x83}},
  };
  for (const auto &c : cases) {
    RunResult r = Xwd2hc(c.args, SmallDump());
    std::string what = c.args.empty() ? "(none)" : c.args[1];
    EXPECT_EQ(r.status, 0) << what << ": " << r.err;
    EXPECT_EQ(r.err, c.err) << what;
    ASSERT_GE(r.out.size(), c.at + c.expect.size()) << what;
    EXPECT_EQ(Bytes(r.out.begin() + c.at, r.out.begin() + c.at + c.expect.size()), c.expect)
        << what;
  }
}

TEST(Xwd2hcCli, SettingsFromTheCommandLine) {
  const struct {
    std::vector<const char *> args;
    int32_t HCRec::*field;
    int32_t value;
  } cases[] = {
      {{}, &HCRec::render_mode, 2},
      {{"-colors", "default"}, &HCRec::render_mode, 0},
      {{"-colors", "full_color_1", "-correction", "7320d"}, &HCRec::render_mode, 2},
      {{"-colors", "full_color_1", "-correction", "7320d", "-dither", "none"},
       &HCRec::render_mode,
       0},
      {{"-colors", "full_color_2", "-correction", "none"}, &HCRec::render_mode, 1},
      {{"-colors", "gray_shading"}, &HCRec::color_set, 5},
      {{"-gamma", "2.8"}, &HCRec::gamma, 6},
      {{"-nlg"}, &HCRec::local_gamma, 0},
      {{"-stream"}, &HCRec::byte_ack, 0},
      {{"-numcop", "0"}, &HCRec::copies, 0},
      {{"-numcop", "12abc"}, &HCRec::copies, 12},
      {{"-hc", "Tintswift"}, &HCRec::max_height, 2490},
      {{"-hc", "nrv7370", "-paper", "12x18"}, &HCRec::media_size, 7},
      {{"-hc", "nrv7320", "-paper", "12x18"}, &HCRec::media_size, 10},
      {{"-orientation", "landscape", "-orientation", "bottom"}, &HCRec::orientation, HC_BOTTOM},
  };
  for (const auto &c : cases) {
    std::vector<std::string> words = {"xwd2hc"};
    for (const char *a : c.args) words.push_back(a);
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    HcRun run;
    HcInit(&run, "xwd2hc");
    testing::internal::CaptureStderr();
    ParseArgument(&run, (int)argv.size(), argv.data());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(run.HC.*c.field, c.value) << (c.args.empty() ? "(none)" : c.args.back());
  }
}

TEST(Xwd2hcCli, OutputFileIsCreatedBeforeValuesAreChecked) {
  char dir[] = "/tmp/hctest-dirXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string out = std::string(dir) + "/out";
  ASSERT_TRUE(WriteFile(out, {1, 2, 3}));
  RunResult r = Xwd2hc({"-out", out, "-hc", "nrv7310", "-repaint", "9"}, SmallDump());
  EXPECT_EQ(r.status, 1);
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  unlink(out.c_str());
  rmdir(dir);
}

TEST(Xwd2hcCli, BrokenDumpsEndTheRunWithAMessage) {
  const std::string p = Prog() + ": ";
  XwdHeader zero = ZHeader(0, 4, 24, 32, XWD_TRUECOLOR, 0);
  XwdHeader shorthdr = ZHeader(4, 4, 24, 32, XWD_TRUECOLOR, 0);
  shorthdr.header_size = 20;
  XwdHeader pseudo = ZHeader(4, 4, 8, 8, 3, 0);
  const struct {
    Bytes dump;
    std::string err;
  } cases[] = {
      {MakeXwd(zero, "", {}, Bytes(64)), p + "Empty 0x4 image in XWD dump\n"},
      {MakeXwd(shorthdr, "", {}, Bytes(64)),
       p + "Header size 20 is smaller than the 100-byte XWD header\n"},
      {MakeXwd(pseudo, "", {}, Bytes(16)), p + "No colormap found in XWD dump image\n"},
      {Bytes(10), p + "Can't read X header file.\n"},
  };
  for (const auto &c : cases) {
    RunResult r = Xwd2hc({"-hc", "nrv7310"}, c.dump);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(r.out.empty());
  }
}

TEST(Xwd2hcCli, WriteFailureIsNotSuccess) {
  RunResult r = Xwd2hc({"-hc", "nrv7310", "-out", "/dev/full"}, SmallDump());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, Prog() + ": Can't write output\n");
}

TEST(HcviewCli, ChecksDescribesAndWritesPictures) {
  const std::string hcview = BinDir() + "/hcview";
  RunResult conv = Xwd2hc({"-hc", "nrv7320", "-nlg"}, SmallDump());
  ASSERT_EQ(conv.status, 0);
  RunResult r = RunProgram({hcview, "-check"}, conv.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(std::string(r.out.begin(), r.out.end()),
            "TPI model 93 8x4, request 20 bytes, byte acknowledge, 1 copies, red green blue "
            "pixels, codes c1 c0 c0 c0 c0 c1 c1, tail c0 80\n");
  r = RunProgram({hcview}, conv.out);
  EXPECT_EQ(r.status, 0);
  const std::string head = "P6\n8 4\n255\n";
  ASSERT_EQ(r.out.size(), head.size() + 8 * 4 * 3);
  EXPECT_EQ(std::string(r.out.begin(), r.out.begin() + head.size()), head);
  EXPECT_EQ(r.out[head.size() + (3 * 8 + 7) * 3], 7 * 30);  // red of pixel (7, 3)
  EXPECT_EQ(r.out[head.size() + (3 * 8 + 7) * 3 + 2], 3 * 60);
  r = RunProgram({hcview, "-png"}, conv.out);
  EXPECT_EQ(r.status, 0);
  ASSERT_GE(r.out.size(), 8u);
  EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + 8),
            (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));

  Bytes broken = conv.out;
  broken[20] ^= 1;  // the checksum
  r = RunProgram({hcview, "-check"}, broken);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind(hcview + ": byte 20: checksum", 0), 0u) << r.err;
  r = RunProgram({hcview, "-bogus"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("Usage: " + hcview, 0), 0u);
}

}  // namespace
