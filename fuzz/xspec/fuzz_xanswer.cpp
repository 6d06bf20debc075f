// Arbitrary bytes as a colour table file, and as a client's requests interleaved with its X
// server's messages through an answer stream: a file is refused with a reason or taken so that
// writing it again reads back the same; the stream never overreads, and hands on no more than it
// was given plus the answers it made.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "relay/xspec/xanswer.h"

namespace {

bool Count(void* ctx, const uint8_t*, size_t n) {
    *static_cast<size_t*>(ctx) += n;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    XAnswerTable t;
    std::string why;
    if (XAnswerFileRead(&t, 7, data, size, &why) == 0) {
        const std::vector<uint8_t> again = XAnswerFileBytes(t);
        XAnswerTable back;
        if (XAnswerFileRead(&back, 7, again.data(), again.size(), &why) != 0 || back.colors != t.colors) std::abort();
    } else if (why.empty() || !t.colors.empty()) {
        std::abort();
    }

    // Script: a byte picks a step. Even: a request of the next (byte % 24) bytes, at least 4;
    // odd: the next (byte >> 1) bytes are the X server's.
    t.colors.clear();
    t.colors[0xffffull << 32] = XAnswerColor{{0xffff, 0, 0}, 0xff0000};
    t.colors[0] = XAnswerColor{{0, 0, 0}, 0};
    XAnswerStream s;
    s.little = size > 0 && (data[0] & 1);
    s.quiet = size > 0 && (data[0] & 2);
    s.colormap = 0x20;
    size_t in = 0, out = 0;
    for (size_t at = 1; at < size;) {
        const uint8_t step = data[at++];
        size_t n = step & 1 ? step >> 1 : std::max<size_t>(4, step % 24);
        n = std::min(n, size - at);
        if (step & 1) {
            XAnswerServer(&s, &t, data + at, n, Count, &out);
            in += n;
        } else if (n >= 4) {
            std::vector<uint8_t> req(data + at, data + at + n);  // a quiet stream marks it in place
            XAnswerRequest(&s, &t, req.data(), req.size());
            XAnswerFlush(&s, Count, &out);
        }
        at += n;
    }
    if (out > in + 32 * t.answered) std::abort();
    // The input as the terminal's account of kept replies.
    uint8_t id;
    uint32_t count;
    uint64_t hash;
    if (XAnswerKeptRead(data, size, &id, &count, &hash) == 0) XAnswerKept(&s, &t, count, hash);
    return 0;
}
