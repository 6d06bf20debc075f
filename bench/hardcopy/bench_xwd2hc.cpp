// xwd2hc against the netpbm dump converter on the same 1024 x 768 TrueColor dump, run as
// programs the way a user runs them. The three programs take turns, round after round, so a
// busy machine weighs on all of them alike; each one's median wall-clock and CPU time (user and
// system of the child) are reported, and their ratios to the converter's.
// Usage: bench_xwd2hc [rounds]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/hardcopy/hctest.h"

namespace {

double Seconds(const struct timeval &t) { return t.tv_sec + t.tv_usec / 1e6; }

// Runs argv with the dump on standard input and the output thrown away; false on failure.
bool RunOnce(const std::string &dump, const std::vector<std::string> &argv, double *wall,
             double *cpu) {
  struct timeval t0, t1;
  gettimeofday(&t0, nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(dump.c_str(), O_RDONLY), null = open("/dev/null", O_WRONLY);
    dup2(in, 0);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int ws = 0;
  struct rusage ru;
  if (wait4(pid, &ws, 0, &ru) != pid) return false;
  gettimeofday(&t1, nullptr);
  *wall = Seconds(t1) - Seconds(t0);
  *cpu = Seconds(ru.ru_utime) + Seconds(ru.ru_stime);
  return WIFEXITED(ws) && WEXITSTATUS(ws) == 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 40;
  // A picture of many colours, stored as a 24-bit server writes it, with its 256-entry map.
  const uint32_t w = 1024, h = 768;
  XwdHeader x = ZHeader(w, h, 24, 32, XWD_TRUECOLOR, 256);
  std::vector<XwdColor> map;
  for (uint32_t i = 0; i < 256; i++)
    map.push_back(XwdColor{i << 16 | i << 8 | i, (uint16_t)(i * 257), (uint16_t)(i * 257),
                           (uint16_t)(i * 257), 7, 0});
  Bytes data(x.bytes_per_line * h);
  for (uint32_t y = 0; y < h; y++)
    for (uint32_t i = 0; i < w; i++) {
      uint8_t *p = &data[y * x.bytes_per_line + 4 * i];
      p[0] = (uint8_t)(i ^ y);
      p[1] = (uint8_t)(y * 255 / (h - 1));
      p[2] = (uint8_t)(i * 255 / (w - 1));
    }
  char name[] = "/tmp/bench-xwd2hc-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return 1;
  close(fd);
  if (!WriteFile(name, MakeXwd(x, "bench", map, data))) return 1;

  const std::string xwd2hc = std::string(LQ_BENCH_BIN_DIR) + "/xwd2hc";
  const struct {
    const char *label;
    std::vector<std::string> argv;
  } programs[] = {
      {"xwdtopnm", {"xwdtopnm"}},
      {"xwd2hc TPI", {xwd2hc, "-hc", "nrv7320d"}},
      {"xwd2hc nrv7310", {xwd2hc, "-hc", "nrv7310"}},
  };
  const int n = sizeof programs / sizeof programs[0];
  std::vector<double> wall[n], cpu[n];
  for (int r = 0; r < rounds; r++)
    for (int k = 0; k < n; k++) {
      double wt, ct;
      if (!RunOnce(name, programs[k].argv, &wt, &ct)) {
        fprintf(stderr, "%s failed; is it installed and built?\n", programs[k].label);
        unlink(name);
        return 1;
      }
      wall[k].push_back(wt);
      cpu[k].push_back(ct);
    }
  unlink(name);

  printf("1024x768 TrueColor dump, %d rounds, medians (ratio to xwdtopnm; below 1 is faster)\n",
         rounds);
  for (int k = 0; k < n; k++)
    printf("  %-16s wall %7.2f ms (%.2f)   cpu %7.2f ms (%.2f)\n", programs[k].label,
           Median(wall[k]) * 1e3, Median(wall[k]) / Median(wall[0]), Median(cpu[k]) * 1e3,
           Median(cpu[k]) / Median(cpu[0]));
  return 0;
}
