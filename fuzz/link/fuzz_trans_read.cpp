// The transport fed arbitrary good frames: the input is cut into packets (a length byte, then that
// many bytes), each framed with a correct FCS and stuffing and handed to one end, with the clock
// moving on between packets and messages of its own going out now and then. First byte: bit 0 =
// terminal role, bit 1 = peer known as ready, bit 2 = hold most free buffers (pool pressure),
// bit 3 = the link-life coder agreed (the host answers first; the peer's first packet is its
// MSG_EXTENSIONS), so that what follows reaches the coder's decoder.
// bit 4 = faster loss recovery agreed (link controls sent and acted on).
#include <vector>

#include "fuzz/link/fuzzlink.h"
#include "relay/link/linkext.h"

namespace {

std::vector<uint8_t> Frame(const uint8_t* p, size_t n) {
    uint16_t fcs = static_cast<uint16_t>(~FrameCRCCompute(0xFFFF, p, static_cast<int>(n)));
    std::vector<uint8_t> out;
    auto put = [&](uint8_t c) {
        if (c < 0x20 || c == 0x7D || c == 0x7E || (c >= 0x7F && c <= 0x9F) || c == 0xFF) {
            out.push_back(0x7D);
            out.push_back(c ^ 0x20);
        } else {
            out.push_back(c);
        }
    };
    for (size_t i = 0; i < n; i++) put(p[i]);
    put(static_cast<uint8_t>(fcs));
    put(static_cast<uint8_t>(fcs >> 8));
    out.push_back(0x7E);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t mode = data[0];
    data++, size--;
    BufData pool{};
    if (BufInit(&pool) != 0) return 0;
    VirtualClock clock{1000};
    LinkEnd* L = static_cast<LinkEnd*>(std::calloc(1, sizeof(LinkEnd)));
    LinkSetDefaults(L, (mode & 1) ? LINK_TERMINAL : LINK_HOST, &pool, clock.AsClock());
    L->errFile = std::fopen("/dev/null", "w");
    FuzzLine line;
    line.chunk = 4096;
    L->io = FuzzLineIo(&line);
    Lst in, out;
    lstInit(&in);
    lstInit(&out);
    std::vector<Buf*> held;
    if (TransInit(L) == 0 && TransStart(L) == 0) {
        if (mode & 2) LinkSetRemoteVersion(L, 'B', 1, 3);
        if (mode & 4)
            while (BufPoolCount(&pool) > 4) held.push_back(BufGet(&pool));
        std::vector<uint8_t> frames;
        if (mode & 8) {
            uint8_t ext[2 + LINKEXT_MAX] = {0x01, MSG_EXTENSIONS};
            size_t n = 2 + LinkExtWrite(ext + 2, LINKEXT_ZCODER);
            if (!(mode & 1)) {
                if (Buf* a = BufGet(&pool)) {
                    a->type = MSG_EXTENSIONS;
                    a->clientId = 0;
                    a->linkFlags = 0;
                    a->end = a->data + LinkExtWrite(a->data, LINKEXT_ZCODER);
                    lstAdd(&out, a);
                    TransWrite(L, &out);
                }
            }
            frames = Frame(ext, n);
        }
        if (mode & 16) {
            L->extOut |= LINKEXT_RECOVER;
            L->extIn |= LINKEXT_RECOVER;
        }
        while (size > 0) {
            size_t n = data[0];
            data++, size--;
            if (n > size) n = size;
            std::vector<uint8_t> f = Frame(data, n);
            frames.insert(frames.end(), f.begin(), f.end());
            // Some of our own traffic, so acknowledgements and resends have packets to act on.
            if (n && (data[0] & 3) == 0) {
                if (Buf* m = BufGet(&pool)) {
                    m->type = (data[0] & 4) ? MSG_XDATA : MSG_CONNECT;
                    m->clientId = 5;
                    m->linkFlags = 0;
                    size_t k = n < 200 ? n : 200;
                    std::memcpy(m->data, data, k);
                    m->end = m->data + k;
                    lstAdd(&out, m);
                }
            }
            data += n, size -= n;
            line.in = frames.data();
            line.left = frames.size();
            TransRead(L, &in);
            TransWrite(L, &out);
            frames.assign(line.in, line.in + line.left);
            BufListFree(&pool, &in);
            clock.usec += n * 4000u;
            if (!held.empty() && (n & 1)) BufFree(&pool, held.back()), held.pop_back();
        }
    }
    for (Buf* b : held) BufFree(&pool, b);
    BufListFree(&pool, &in);
    BufListFree(&pool, &out);
    LinkDestroy(L);
    FuzzCheckPool(&pool);
    std::fclose(L->errFile);
    std::free(L);
    BufDestroy(&pool);
    return 0;
}
