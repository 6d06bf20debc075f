// Drives lqterm's readers of outside bytes. The first byte chooses the byte order and the reader:
//   0: the X server's stream for a client (set-up reply first, or already past it), in pieces
//   1: the request stream towards the X server, in pieces, then the reply filter and the rewrite
//   2: the line test echo
//   3: requests and the X server's stream in turn, with the relay's answers kept here
// The rest is cut into pieces whose lengths come from the data itself.
#include <cstdint>
#include <cstring>
#include <vector>

#include "terminal/lqterm.h"
#include "terminal/xside.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0] % 4;
    const bool little = data[0] & 0x80;
    const bool pastSetup = data[0] & 0x40;
    const uint8_t piece = static_cast<uint8_t>(data[1] | 1);
    data += 2;
    size -= 2;
    if (mode == 2) {
        TermEcho e;
        if (size) e.swallow[data[0]] = 1;
        e.strip8 = pastSetup;
        std::vector<uint8_t> out;
        TermEchoFeed(&e, data, size, &out);
        return 0;
    }
    TermData* t = new TermData;
    if (BufInit(&t->bufData) != 0) {
        delete t;
        return 0;
    }
    lstInit(&t->inList);
    lstInit(&t->outList);
    t->xspecEnv.pBufData = &t->bufData;
    t->xspecEnv.xspecCache = &t->xspecCache;
    t->xspecEnv.hostByteOrder = 'l';
    TermClient* c = TermNewClient(t, 5);
    if (c) {
        c->rec.byteOrder = little ? 'l' : 'B';
        c->setupDone = pastSetup;
        c->answerQuiet = mode == 3;
        bool toServer = true;
        for (size_t pos = 0; pos < size;) {
            const size_t k = size - pos < piece ? size - pos : piece;
            if (mode == 3) toServer = !toServer;
            if (mode == 0 || (mode == 3 && !toServer)) {
                c->xin.insert(c->xin.end(), data + pos, data + pos + k);
                TermCodeServerBytes(t, c);
                // the link takes everything coded so far
                BufListFree(&t->bufData, c->rec.encList);
                BufListFree(&t->bufData, &t->outList);
            } else {
                TermAppendRequests(c, data + pos, k);
                c->xout.erase(c->xout.begin(), c->xout.begin() + static_cast<long>(c->parsed));
                c->parsed = 0;
            }
            pos += k;
        }
        if (mode == 1) {
            std::vector<uint8_t> r(data, data + size);
            TermFilterListExtensions(&r, little);
            TermHideQueryExtension(r.data(), r.size(), little);
        }
        TermSendKept(t, c);
        TermFreeClient(t, c);
    }
    BufListFree(&t->bufData, &t->outList);
    BufDestroy(&t->bufData);
    delete t;
    return 0;
}
