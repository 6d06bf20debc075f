#include "relay/xspec/xstore.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "relay/xspec/setupdiff.h"
#include "relay/xspec/xbytes.h"

namespace {

constexpr uint8_t kMagic[8] = {'L', 'Q', 'S', 'T', 'O', 'R', 'E', '1'};
constexpr size_t kEntryHdr = 4 + 8 + 8;
constexpr size_t kMaxFile = XSTORE_CAP + XSTORE_CAP / XSTORE_MIN * kEntryHdr + 8 + 4 + 8;

void Put32(uint8_t* p, uint32_t v) { XspecStore32(p, v, false); }
uint32_t Get32(const uint8_t* p) { return XspecLoad32(p, false); }
void Put64(uint8_t* p, uint64_t v) {
    Put32(p, static_cast<uint32_t>(v >> 32));
    Put32(p + 4, static_cast<uint32_t>(v));
}
uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) << 32 | Get32(p + 4); }

// The second hash, independent of FNV-1a: 8 bytes at a time, each word mixed before it is folded
// in, and the whole finished by the same avalanche.
uint64_t Mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
}
uint64_t WordHash(const uint8_t* p, size_t n) {
    uint64_t h = 0x9e3779b97f4a7c15ull ^ n;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ Mix(w)) * 0x87c37b91114253d5ull;
        h = h << 31 | h >> 33;
    }
    uint64_t w = 0;
    for (size_t k = 0; i + k < n; k++) w |= uint64_t(p[i + k]) << (8 * k);
    return Mix(h ^ Mix(w ^ 0x52dce729));
}

// FNV-1a continued from h.
uint64_t Fnv(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

void PutKey(uint8_t* p, const XStoreKey& k) {
    Put32(p, k.len);
    Put64(p + 4, k.a);
    Put64(p + 12, k.b);
}
XStoreKey GetKey(const uint8_t* p) { return XStoreKey{Get64(p + 4), Get64(p + 12), Get32(p)}; }

void Evict(XStore* s) {
    while (s->bytes > s->cap && !s->entries.empty()) {
        XStoreEntry& e = s->entries.front();
        s->bytes -= e.bytes.size();
        s->index.erase(e.key);
        s->entries.pop_front();
        s->stats.evicted++;
    }
}

}  // namespace

bool XStoreEligible(uint8_t first, uint32_t size) {
    return first == 1 && size >= XSTORE_MIN && size <= XSTORE_MSG_MAX;
}

XStoreKey XStoreKeyOf(const uint8_t* m, size_t n) {
    // The sequence number is cleared in a copy of the head only; the rest is hashed in place.
    uint8_t head[8] = {};
    const size_t h = std::min<size_t>(n, 8);
    std::memcpy(head, m, h);
    if (n >= 4) head[2] = head[3] = 0;
    uint64_t a = Fnv(Fnv(0xcbf29ce484222325ull, head, h), m + h, n - h);
    uint64_t b;
    if (n <= 8) {
        b = WordHash(head, h);
    } else {
        std::vector<uint8_t> copy(m, m + n);
        copy[2] = copy[3] = 0;
        b = WordHash(copy.data(), n);
    }
    return XStoreKey{a, b, static_cast<uint32_t>(n)};
}

size_t XStoreRefWrite(const XStoreRef& r, uint8_t* out) {
    out[0] = r.kind;
    out[1] = r.clientId;
    if (r.kind == XSTORE_MISS) {
        PutKey(out + 2, r.key);
        return XSTORE_MISS_LEN;
    }
    out[2] = r.seq[0];
    out[3] = r.seq[1];
    PutKey(out + 4, r.key);
    return XSTORE_REF_LEN;
}

int XStoreRefRead(const uint8_t* p, size_t n, XStoreRef* r) {
    *r = XStoreRef{};
    if (n < 2 || p[1] >= 64) return -1;
    r->kind = p[0];
    r->clientId = p[1];
    if (p[0] == XSTORE_REF && n == XSTORE_REF_LEN) {
        r->seq[0] = p[2];
        r->seq[1] = p[3];
        r->key = GetKey(p + 4);
    } else if (p[0] == XSTORE_MISS && n == XSTORE_MISS_LEN) {
        r->key = GetKey(p + 2);
    } else {
        return -1;
    }
    return XStoreEligible(1, r->key.len) ? 0 : -1;
}

void XStoreClear(XStore* s) {
    s->entries.clear();
    s->index.clear();
    s->bytes = 0;
}

const XStoreEntry* XStoreTake(XStore* s, const XStoreKey& k) {
    auto it = s->index.find(k);
    if (it == s->index.end()) return nullptr;
    s->entries.splice(s->entries.end(), s->entries, it->second);
    return &*it->second;
}

bool XStoreHolds(const XStore* s, const XStoreKey& k) { return s->index.count(k) != 0; }

const XStoreEntry* XStoreFind(const XStore* s, const XStoreKey& k) {
    auto it = s->index.find(k);
    return it == s->index.end() ? nullptr : &*it->second;
}

bool XStoreAdd(XStore* s, const uint8_t* m, size_t n) {
    if (n < 4) return false;
    const XStoreKey k = XStoreKeyOf(m, n);
    if (XStoreTake(s, k)) return true;
    try {
        XStoreEntry e{k, std::vector<uint8_t>(m, m + n)};
        e.bytes[2] = e.bytes[3] = 0;
        s->entries.push_back(std::move(e));
        try {
            s->index.emplace(k, std::prev(s->entries.end()));
        } catch (...) {
            s->entries.pop_back();
            throw;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    s->bytes += n;
    s->stats.added++;
    Evict(s);
    return true;
}

void XStoreDrop(XStore* s, const XStoreKey& k) {
    auto it = s->index.find(k);
    if (it == s->index.end()) return;
    s->bytes -= it->second->bytes.size();
    s->entries.erase(it->second);
    s->index.erase(it);
}

uint64_t XStoreDigest(const XStore* s) {
    if (s->entries.empty()) return 0;
    uint64_t h = 0xcbf29ce484222325ull;
    for (const XStoreEntry& e : s->entries) {
        uint8_t k[kEntryHdr];
        PutKey(k, e.key);
        h = Fnv(h, k, sizeof k);
    }
    return h ? h : 1;
}

void XStoreResolve(const XStoreEntry& e, const uint8_t seq[2], std::vector<uint8_t>* out) {
    out->assign(e.bytes.begin(), e.bytes.end());
    (*out)[2] = seq[0];
    (*out)[3] = seq[1];
}

std::string XStoreStatsLine(const XStoreStats& st) {
    char buf[512];
    int n = std::snprintf(buf, sizeof buf, "store: %llu added, %llu hits, %llu misses, %llu bytes saved, %llu dropped",
                          static_cast<unsigned long long>(st.added), static_cast<unsigned long long>(st.hits),
                          static_cast<unsigned long long>(st.misses),
                          static_cast<unsigned long long>(st.bytesSaved), static_cast<unsigned long long>(st.evicted));
    std::vector<int> ops;
    for (int i = 0; i < 256; i++)
        if (st.hitsBy[i]) ops.push_back(i);
    std::sort(ops.begin(), ops.end(), [&](int a, int b) { return st.bytesSavedBy[a] > st.bytesSavedBy[b]; });
    if (ops.size() > 6) ops.resize(6);
    for (size_t i = 0; i < ops.size() && n > 0 && static_cast<size_t>(n) < sizeof buf; i++)
        n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "; opcode %d: %llu hits, %llu bytes", ops[i], static_cast<unsigned long long>(st.hitsBy[ops[i]]),
                           static_cast<unsigned long long>(st.bytesSavedBy[ops[i]]));
    return buf;
}

std::vector<uint8_t> XStoreEncode(const XStore* s) {
    std::vector<uint8_t> f(12);
    std::memcpy(f.data(), kMagic, 8);
    Put32(&f[8], static_cast<uint32_t>(s->entries.size()));
    for (const XStoreEntry& e : s->entries) {
        uint8_t k[kEntryHdr];
        PutKey(k, e.key);
        f.insert(f.end(), k, k + sizeof k);
        f.insert(f.end(), e.bytes.begin(), e.bytes.end());
    }
    uint8_t h[8];
    Put64(h, Fnv(0xcbf29ce484222325ull, f.data(), f.size()));
    f.insert(f.end(), h, h + 8);
    return f;
}

int XStoreDecode(XStore* s, const uint8_t* p, size_t n, std::string* why) {
    XStoreClear(s);
    auto fail = [&](const char* what) {
        XStoreClear(s);
        *why = what;
        return -1;
    };
    if (n < 20 || std::memcmp(p, kMagic, 8) != 0) return fail("not a store file");
    if (n > kMaxFile) return fail("damaged (too large)");
    if (Get64(p + n - 8) != Fnv(0xcbf29ce484222325ull, p, n - 8)) return fail("damaged (contents do not match)");
    const uint32_t count = Get32(p + 8);
    size_t at = 12;
    const size_t end = n - 8;
    for (uint32_t i = 0; i < count; i++) {
        if (end - at < kEntryHdr) return fail("damaged (cut short)");
        const XStoreKey k = GetKey(p + at);
        at += kEntryHdr;
        if (!XStoreEligible(1, k.len) || end - at < k.len) return fail("damaged (bad length)");
        if (p[at] != 1 || p[at + 2] != 0 || p[at + 3] != 0 || !(XStoreKeyOf(p + at, k.len) == k))
            return fail("damaged (an entry does not match its key)");
        if (XStoreHolds(s, k)) return fail("damaged (a key twice)");
        if (s->bytes + k.len > s->cap) return fail("damaged (over the cap)");
        if (!XStoreAdd(s, p + at, k.len)) return fail("out of memory");
        at += k.len;
    }
    if (at != end) return fail("damaged (wrong size)");
    s->stats = XStoreStats{};
    return 0;
}

int XStoreLoad(XStore* s, const std::string& path, std::string* why) {
    XStoreClear(s);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *why = "cannot read " + path + ": " + std::strerror(errno);
        return -1;
    }
    std::vector<uint8_t> bytes;
    uint8_t tmp[65536];
    size_t k;
    while ((k = std::fread(tmp, 1, sizeof tmp, f)) > 0 && bytes.size() <= kMaxFile) bytes.insert(bytes.end(), tmp, tmp + k);
    std::fclose(f);
    if (XStoreDecode(s, bytes.data(), bytes.size(), why) == -1) {
        *why = path + ": " + *why;
        return -1;
    }
    return 0;
}

int XStoreSave(const XStore* s, const std::string& dir, const std::string& path, std::string* why) {
    const std::vector<uint8_t> f = XStoreEncode(s);
    return CacheFileReplace(dir, path, f.data(), f.size(), why);
}
