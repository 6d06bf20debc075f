// The host's encoding of arbitrary request bytes (any split into buffers) and the terminal's
// encoding of arbitrary server bytes, with the pool running dry at times: no crash, no overread,
// every call returns, and once the pool is back a call with nothing new settles a held request.
#include "fuzz/xspec/fuzzx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fx::Reader r{data, size};
    fx::End e(r.Byte());
    while (r.n) {
        uint8_t op = r.Byte();
        ClientRec& c = e.c[op % fx::End::kClients];
        const bool term = op & 0x08;
        if ((op & 0x70) == 0x70) {
            e.Hog(op >> 7 ? 0 : 2);
        } else if ((op & 0x70) == 0x60) {
            e.Unhog();
        } else {
            e.Queue(r, c.reqList, 0, c.clientId, 1 + r.Byte());
        }
        if (term)
            XspecTermEncode(&e.env, &c);
        else
            XspecEncode(&e.env, &c);
        e.Discard(c.encList);
    }
    e.Unhog();
    for (ClientRec& c : e.c)
        for (int i = 0; i < 4; i++) {
            XspecEncode(&e.env, &c);
            e.Discard(c.encList);
        }
    return 0;
}
