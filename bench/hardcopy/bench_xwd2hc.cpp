// xwd2hc against the netpbm dump converter on the same 1024 x 768 TrueColor dump, run as
// programs the way a user runs them. Reports each stream kind's time as a ratio to the
// converter's, both wall-clock and CPU (user + system of the child), measured in this run.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tests/hardcopy/hctest.h"

namespace {

std::string g_dump;  // the dump file
std::map<std::string, double> g_cpu;  // CPU seconds per run, by benchmark

double ChildCpu() {
  struct rusage ru;
  getrusage(RUSAGE_CHILDREN, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
         ru.ru_stime.tv_usec / 1e6;
}

// Runs argv with the dump on standard input and the output thrown away.
bool RunOnce(const std::vector<std::string> &argv) {
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(g_dump.c_str(), O_RDONLY), null = open("/dev/null", O_WRONLY);
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
  waitpid(pid, &ws, 0);
  return WIFEXITED(ws) && WEXITSTATUS(ws) == 0;
}

void Program(benchmark::State &state, std::string key, std::vector<std::string> argv) {
  double cpu0 = ChildCpu();
  for (auto _ : state)
    if (!RunOnce(argv)) {
      state.SkipWithError((argv[0] + " failed").c_str());
      return;
    }
  g_cpu[key] = (ChildCpu() - cpu0) / (double)state.iterations();
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> wall;  // seconds per run
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (!r.error_occurred && r.iterations > 0)
        wall[r.run_name.function_name] = r.real_accumulated_time / (double)r.iterations;
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
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
  g_dump = name;
  if (!WriteFile(g_dump, MakeXwd(x, "bench", map, data))) return 1;

  const std::string xwd2hc = std::string(LQ_BENCH_BIN_DIR) + "/xwd2hc";
  const std::pair<const char *, std::vector<std::string>> programs[] = {
      {"xwdtopnm", {"xwdtopnm"}},
      {"xwd2hc_tpi", {xwd2hc, "-hc", "nrv7320d"}},
      {"xwd2hc_nrv7310", {xwd2hc, "-hc", "nrv7310"}},
  };
  for (const auto &p : programs)
    benchmark::RegisterBenchmark(p.first, Program, std::string(p.first), p.second)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2.0);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  unlink(name);

  if (reporter.wall.count("xwdtopnm") == 0) {
    printf("xwdtopnm did not run; no ratios\n");
    return 0;
  }
  const double base_wall = reporter.wall["xwdtopnm"], base_cpu = g_cpu["xwdtopnm"];
  printf("\nratio to xwdtopnm on the same 1024x768 TrueColor dump (below 1 is faster):\n");
  for (const char *b : {"xwd2hc_tpi", "xwd2hc_nrv7310"})
    if (reporter.wall.count(b))
      printf("  %-16s wall %.2f   cpu %.2f\n", b, reporter.wall[b] / base_wall,
             base_cpu > 0 ? g_cpu[b] / base_cpu : 0.0);
  return 0;
}
