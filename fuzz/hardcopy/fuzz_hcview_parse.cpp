// Any bytes as a printer stream: the checker accepts a picture of the announced size or names
// a fault that lies within the stream.
#include <cstdint>
#include <cstring>

#include "hardcopy/view.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  HcvImage img;
  HcvError err;
  if (HcvParse(data, size, &img, &err) == 0) {
    if (img.width <= 0 || img.height <= 0 || img.rgb.size() != (size_t)img.width * img.height * 3)
      __builtin_trap();
  } else if (err.offset > size || err.message[0] == '\0') {
    __builtin_trap();
  }
  return 0;
}
