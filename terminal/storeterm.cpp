#include "terminal/storeterm.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "relay/xspec/setupdiff.h"
#include "relay/xspec/xbytes.h"
#include "relay/xspec/xstore.h"
#include "terminal/lqterm.h"

namespace {

constexpr int kPoolReserve = 24;  // as the X side keeps for the link and the dialogues
constexpr int kMaxLinkQueue = 12;

// One file per X server (host and display name), so that two servers that share a cache
// directory each keep their own.
std::string StoreFile(const TermData* t, std::string* dir) {
    *dir = SetupCacheDir("lqterm");
    if (dir->empty()) return "";
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string who = std::string(host) + " " + t->opt.display;
    char name[40];
    std::snprintf(name, sizeof name, "/store-%016" PRIx64,
                  SetupHash(reinterpret_cast<const uint8_t*>(who.data()), who.size()));
    return *dir + name;
}

void Queue(TermData* t, const uint8_t* p, size_t n) {
    if (Buf* b = XspecNewBuf(&t->bufData, MSG_XSTORE, 0, p, n)) lstAdd(&t->outList, b);
}

}  // namespace

uint64_t TermStoreLoad(TermData* t) {
    XStoreClear(&t->store);
    std::string dir, why = "no cache directory ($XDG_CACHE_HOME or $HOME)";
    const std::string path = StoreFile(t, &dir);
    if (!path.empty() && access(path.c_str(), F_OK) != 0) return 0;  // a first session: nothing to say
    if (!path.empty() && XStoreLoad(&t->store, path, &why) == 0) return XStoreDigest(&t->store);
    std::fprintf(stderr, "lqterm: message store: %s - ignored, starting empty\n", why.c_str());
    XStoreClear(&t->store);
    return 0;
}

void TermStoreAgreed(TermData* t, uint32_t accepted, const LinkExtParams& answer) {
    t->storeOn = (accepted & LINKEXT_STORE) != 0;
    const uint64_t ours = XStoreDigest(&t->store);
    if (!t->storeOn || ours == 0 || answer.store != ours) XStoreClear(&t->store);
    t->store.stats = XStoreStats{};
}

bool TermStoreTakes(const TermData* t, const uint8_t* m, uint32_t size) {
    return t->storeOn && !t->storeFrozen && XStoreEligible(m[0], size);
}

bool TermStoreSend(TermData* t, TermClient* c, const uint8_t* m, uint32_t size) {
    const XStoreKey key = XStoreKeyOf(m, size);
    if (!XStoreTake(&t->store, key)) {
        c->storeKeep.assign(m, m + size);
        return false;
    }
    uint8_t ref[XSTORE_REF_LEN];
    const XStoreRef r{XSTORE_REF, static_cast<uint8_t>(c->rec.clientId), {m[2], m[3]}, key};
    Queue(t, ref, XStoreRefWrite(r, ref));
    const uint8_t op = c->opOfSeq[XspecLoad16(m + 2, XspecLittle(&c->rec)) & 0xff];
    XStoreStats& st = t->store.stats;
    st.hits++;
    st.hitsBy[op]++;
    st.bytesSaved += size - XSTORE_REF_LEN;
    st.bytesSavedBy[op] += size - XSTORE_REF_LEN;
    return true;
}

void TermStoreFed(TermClient* c) {
    if (!c->storeKeep.empty()) c->storePending = true;
}

void TermStoreCrossed(TermData* t, TermClient* c) {
    if (!c->storePending || lstCount(c->rec.reqList) != 0) return;
    // The relay adds it as the last byte arrives, before anything that follows it on the link.
    if (!t->storeFrozen && !XStoreAdd(&t->store, c->storeKeep.data(), c->storeKeep.size()))
        std::fprintf(stderr, "lqterm: message store: out of memory\n");
    c->storeKeep.clear();
    c->storeKeep.shrink_to_fit();
    c->storePending = false;
}

bool TermStoreHolding(const TermClient* c) { return c->storePending; }

void TermStoreMessage(TermData* t, Buf* b) {
    XStoreRef r;
    if (XStoreRefRead(b->start, b->Len(), &r) == 0 && r.kind == XSTORE_MISS) {
        t->store.stats.misses++;
        const XStoreEntry* e = XStoreFind(&t->store, r.key);
        std::fprintf(stderr, "lqterm: message store: the relay misses a reply of %u bytes - %s\n",
                     static_cast<unsigned>(r.key.len), e ? "sent again" : "not held here either");
        t->storeAnswers.push_back(TermStoreAnswer{r.clientId, e ? e->bytes : std::vector<uint8_t>{}, 0});
    }
    BufFree(&t->bufData, b);
}

void TermStorePump(TermData* t) {
    while (!t->storeAnswers.empty() && BufPoolCount(&t->bufData) > kPoolReserve &&
           lstCount(&t->outList) < kMaxLinkQueue) {
        TermStoreAnswer& a = t->storeAnswers.front();
        uint8_t piece[2 + XSTORE_DATA_MAX] = {XSTORE_DATA, a.clientId};
        if (a.bytes.empty()) {
            piece[0] = XSTORE_LOST;
            Queue(t, piece, 2);
            t->storeAnswers.pop_front();
            continue;
        }
        const size_t k = std::min(a.bytes.size() - a.pos, XSTORE_DATA_MAX);
        std::copy(a.bytes.begin() + static_cast<long>(a.pos), a.bytes.begin() + static_cast<long>(a.pos + k), piece + 2);
        Queue(t, piece, 2 + k);
        a.pos += k;
        if (a.pos == a.bytes.size()) t->storeAnswers.pop_front();
    }
}

void TermStoreFreeze(TermData* t) { t->storeFrozen = true; }

void TermStoreSave(TermData* t) {
    if (!t->storeOn) return;
    std::string dir, why;
    const std::string path = StoreFile(t, &dir);
    if (!path.empty() && XStoreSave(&t->store, dir, path, &why) == -1)
        std::fprintf(stderr, "lqterm: message store: %s - not kept\n", why.c_str());
}
