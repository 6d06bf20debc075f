// xwd2hc: an X window dump in, the data stream for a colour hardcopy printer out.
#include "hardcopy/hc.h"
#include "hardcopy/stream.h"
#include "hardcopy/xwd.h"

int main(int argc, char **argv) {
  HcRun run;
  HcInit(&run, argc > 0 ? argv[0] : "xwd2hc");
  ParseArgument(&run, argc, argv);
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
