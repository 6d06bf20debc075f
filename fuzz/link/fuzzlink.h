// A link end on a memory line for the fuzz targets. They drive the frame layer and the transport
// directly, so they see the layers' own headers.
#pragma once
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "relay/link/transpriv.h"

struct FuzzLine {
    const uint8_t* in = nullptr;
    size_t left = 0;
    size_t chunk = 1;  // bytes the line hands over per read
};

inline LinkIo FuzzLineIo(FuzzLine* f) {
    return LinkIo{[](void* c, uint8_t* p, int n) -> int {
                      FuzzLine* f = static_cast<FuzzLine*>(c);
                      size_t k = f->left < f->chunk ? f->left : f->chunk;
                      if (k > static_cast<size_t>(n)) k = static_cast<size_t>(n);
                      if (!k) {
                          errno = EAGAIN;
                          return -1;
                      }
                      std::memcpy(p, f->in, k);
                      f->in += k;
                      f->left -= k;
                      return static_cast<int>(k);
                  },
                  [](void*, const uint8_t*, int n) -> int { return n; },
                  [](void* c) -> int {
                      FuzzLine* f = static_cast<FuzzLine*>(c);
                      return static_cast<int>(f->left < f->chunk ? f->left : f->chunk);
                  },
                  f};
}

// Every buffer must be back in the pool once the end is gone.
inline void FuzzCheckPool(BufData* pool) {
    if (BufPoolCount(pool) != NUM_POOL_BUFS) std::abort();
}
