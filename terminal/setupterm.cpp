#include "terminal/setupterm.h"

#include <cstdio>
#include <string>

#include "relay/xspec/setupdiff.h"
#include "terminal/lqterm.h"

namespace {

std::string CacheFile(std::string* dir) {
    *dir = SetupCacheDir("lqterm");
    return dir->empty() ? "" : *dir + "/setup-reply";
}

}  // namespace

LinkExtParams TermSetupLoad(TermData* t) {
    t->setupBase.clear();
    std::string dir, why = "no cache directory ($XDG_CACHE_HOME or $HOME)";
    const std::string path = CacheFile(&dir);
    if (!path.empty() && SetupCacheLoad(path, &t->setupBase, &why) == 0)
        return LinkExtParams{.setupBase = SetupHash(t->setupBase.data(), t->setupBase.size()), .store = 0};
    std::fprintf(stderr, "lqterm: set-up cache: %s - first set-up reply sent whole\n", why.c_str());
    t->setupBase.clear();
    return LinkExtParams{};
}

void TermSetupAgreed(TermData* t, uint32_t accepted, const LinkExtParams& answer) {
    t->setupDiff = (accepted & LINKEXT_SETUPDIFF) != 0;
    const bool held = !t->setupBase.empty() && answer.setupBase == SetupHash(t->setupBase.data(), t->setupBase.size());
    if (!t->setupDiff || !held) t->setupBase.clear();
}

size_t TermSetupReply(TermData* t, const uint8_t* reply, size_t size, uint8_t* out) {
    if (!t->setupDiff) return 0;
    const size_t n = SetupDiffMake(t->setupBase.data(), t->setupBase.size(), reply, size, out);
    if (n) {
        t->stats.setupDiffs++;
        t->stats.setupBytesSaved += size - n;
    }
    if (size == 0 || reply[0] != 1 || size > SETUP_REPLY_MAX) return n;
    t->setupBase.assign(reply, reply + size);
    std::string dir, why;
    const std::string path = CacheFile(&dir);
    if (!path.empty() && SetupCacheSave(dir, path, reply, size, &why) == -1)
        std::fprintf(stderr, "lqterm: set-up cache: %s - not kept\n", why.c_str());
    return n;
}
