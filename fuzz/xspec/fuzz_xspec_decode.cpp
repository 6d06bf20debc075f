// The host's decoding of arbitrary link messages from the terminal, for several clients, with the
// pool running dry at times: no crash, no overread, every call returns.
#include "fuzz/xspec/fuzzx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fx::Reader r{data, size};
    fx::End e(r.Byte());
    while (r.n) {
        uint8_t op = r.Byte();
        ClientRec& c = e.c[op % fx::End::kClients];
        if ((op & 0x70) == 0x70) {
            e.Hog(op >> 7 ? 0 : 2);
        } else if ((op & 0x70) == 0x60) {
            e.Unhog();
        } else {
            static const uint8_t types[] = {MSG_XDATA, MSG_XCACHED, MSG_XMERGED, MSG_XDATA};
            e.Queue(r, c.replyInList, types[(op >> 2) & 3], c.clientId, r.Byte());
        }
        XspecDecode(&e.env, &c);
        e.Discard(c.replyOutList);
    }
    e.Unhog();
    for (ClientRec& c : e.c) XspecDecode(&e.env, &c);
    return 0;
}
