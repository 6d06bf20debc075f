// The few places where lqterm reads the X protocol itself: the extensions it hides from clients
// because they cannot work across the line:
//  * BIG-REQUESTS: the relay's request intake reads a length field of 0 as a 4-byte request, so an
//    extended-length request would be cut apart.
//  * MIT-SHM: its requests name shared memory segments of the client's own machine.
#include <cstring>

#include "terminal/lqterm.h"

namespace {

const char* const kHidden[] = {"BIG-REQUESTS", "MIT-SHM"};

}  // namespace

bool TermHiddenExtension(const uint8_t* name, size_t n) {
    for (const char* h : kHidden)
        if (std::strlen(h) == n && std::memcmp(h, name, n) == 0) return true;
    return false;
}

int TermHideQueryExtension(uint8_t* req, size_t len, bool little) {
    if (len < 8 || req[0] != X_QUERY_EXTENSION) return -1;
    const size_t n = XspecLoad16(req + 4, little);
    if (8 + n > len) return -1;
    if (!TermHiddenExtension(req + 8, n)) return 0;
    // Lower case names no extension: the server answers "not present".
    for (size_t i = 0; i < n; i++)
        if (req[8 + i] >= 'A' && req[8 + i] <= 'Z') req[8 + i] = static_cast<uint8_t>(req[8 + i] + 32);
    return 1;
}

int TermFilterListExtensions(std::vector<uint8_t>* reply, bool little) {
    std::vector<uint8_t>& r = *reply;
    if (r.size() < 32 || r[0] != X_REPLY || XspecServerMessageSize(r.data(), little) != r.size()) return -1;
    std::vector<uint8_t> names;
    size_t pos = 32;
    int count = 0;
    for (int i = 0; i < r[1]; i++) {
        if (pos >= r.size() || pos + 1 + r[pos] > r.size()) return -1;
        const size_t n = r[pos];
        if (!TermHiddenExtension(&r[pos + 1], n)) {
            names.insert(names.end(), r.begin() + static_cast<long>(pos), r.begin() + static_cast<long>(pos + 1 + n));
            count++;
        }
        pos += 1 + n;
    }
    while (names.size() % 4) names.push_back(0);
    r.resize(32);
    r.insert(r.end(), names.begin(), names.end());
    r[1] = static_cast<uint8_t>(count);
    XspecStore32(&r[4], static_cast<uint32_t>(names.size() / 4), little);
    return 0;
}

void TermEchoFeed(TermEcho* e, const uint8_t* p, size_t n, std::vector<uint8_t>* out) {
    for (size_t i = 0; i < n; i++) {
        const uint8_t c = p[i];
        if (!e->inside) {  // a probe starts at 0x90; inside one, 0x90 is data like any other
            if (c == 0x90) {
                e->inside = true;
                e->held.clear();
            }
            continue;
        }
        if (c == 0x9c) {
            e->inside = false;
            out->insert(out->end(), e->held.begin(), e->held.end());
            e->held.clear();
            continue;
        }
        uint8_t v = e->strip8 ? static_cast<uint8_t>(c & 0x7f) : c;
        if (e->swallow[c] || e->swallow[v]) continue;
        if (e->held.size() >= 4096) {  // its end was lost: wait for the next probe
            e->inside = false;
            e->held.clear();
            continue;
        }
        e->held.push_back(v);
    }
}
