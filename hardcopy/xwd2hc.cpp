// xwd2hc: an X window dump in, the data stream for a colour hardcopy printer out.
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "hardcopy/hc.h"
#include "hardcopy/stream.h"
#include "hardcopy/xwd.h"

static const char *g_name = "xwd2hc";

// The dump's pixel data are mapped from the input file; a file cut short meanwhile must end
// the run with a message, not a crash.
static void InputShrank(int) {
  static const char msg[] = ": the input file shrank while it was being read\n";
  if (write(2, g_name, strlen(g_name)) < 0 || write(2, msg, sizeof msg - 1) < 0) _exit(1);
  _exit(1);
}

int main(int argc, char **argv) {
  HcRun run;
  HcInit(&run, argc > 0 ? argv[0] : "xwd2hc");
  ParseArgument(&run, argc, argv);
  g_name = run.program_name;
  signal(SIGBUS, InputShrank);
  // Whole lines in few writes; the streams are megabytes.
  static char out_buffer[1 << 18];
  setvbuf(run.outfile, out_buffer, _IOFBF, sizeof out_buffer);
  XwdDump dump;
  GetXWDPixmap(&run, &dump);
  Convert_X_TPI(&run, &dump.image, dump.window_name, dump.colors, dump.ncolors,
                (int)dump.header.visual_class);
  // A stream the printer never fully received must not be reported as done.
  if (fflush(run.outfile) != 0 || ferror(run.outfile)) FatalError(&run, "Can't write output\n");
  XwdFree(&dump);
  return 0;
}
