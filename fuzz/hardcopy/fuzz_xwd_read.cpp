// Any bytes as an XWD dump: the reader refuses or accepts them, and every pixel of an accepted
// dump is fetched, both along rows and down columns, from pixel data that ends at an
// inaccessible page, so no fetch can reach beyond what the file supplied.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "hardcopy/xwd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "rb");
  if (!in) return 0;
  XwdDump dump;
  char err[256];
  int rc = XwdRead(in, &dump, err, sizeof err);
  fclose(in);
  if (rc != 0) {
    if (strchr(err, '\n') == nullptr) __builtin_trap();  // every reason is a whole line
    return 0;
  }
  const size_t n = (size_t)ComputeImageSize(&dump.header), page = (size_t)sysconf(_SC_PAGESIZE);
  const size_t span = (n + page - 1) / page * page;
  uint8_t *map = (uint8_t *)mmap(nullptr, span + 2 * page, PROT_READ | PROT_WRITE,
                                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) {
    XwdFree(&dump);
    return 0;
  }
  mprotect(map, page, PROT_NONE);
  mprotect(map + page + span, page, PROT_NONE);
  char *guarded = (char *)map + page + span - n;
  memcpy(guarded, dump.image.data, n);
  char *own = dump.image.data;
  dump.image.data = guarded;

  const XImage &img = dump.image;
  std::vector<uint8_t> line(3 * (size_t)(img.width > img.height ? img.width : img.height));
  const int cls = (int)dump.header.visual_class;
  for (int y = 0; y < img.height; y++)
    if (Get_X_Scanline(&img, y, dump.colors, dump.ncolors, 1, cls, line.data()) != 0) break;
  for (int x = 0; x < img.width; x++)
    if (Get_X_Scanline(&img, x, dump.colors, dump.ncolors, 2, cls, line.data()) != 0) break;

  dump.image.data = own;
  munmap(map, span + 2 * page);
  XwdFree(&dump);
  return 0;
}
