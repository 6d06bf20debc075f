#include "relay/core/setupreply.h"

#include <dirent.h>
#include <sys/stat.h>
#include <utime.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "relay/core/answerrelay.h"
#include "relay/core/conn.h"
#include "relay/core/disp.h"
#include "relay/core/peer.h"
#include "relay/core/req.h"
#include "relay/core/rss.h"
#include "relay/xspec/setupdiff.h"
#include "relay/xspec/xbytes.h"

namespace {

constexpr int kCacheKeep = 8;  // replies of that many X servers are kept on disk

BufData* Pool() { return &pRssDaemonData->bufData; }

// Keeps the newest kCacheKeep replies of the cache directory: a relay that serves several
// terminals in turn keeps each one's, and the directory does not grow without end.
void PruneCache(const std::string& dir) {
    DIR* dp = opendir(dir.c_str());
    if (!dp) return;
    std::vector<std::pair<time_t, std::string>> files;
    while (dirent* e = readdir(dp)) {
        if (std::strncmp(e->d_name, "setup-", 6) != 0) continue;
        std::string path = dir + "/" + e->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) == 0) files.emplace_back(st.st_mtime, path);
    }
    closedir(dp);
    if (files.size() <= kCacheKeep) return;
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = kCacheKeep; i < files.size(); i++) unlink(files[i].second.c_str());
}

// Makes the n bytes at p the base. False without memory (the base is then unchanged).
bool KeepBase(const uint8_t* p, uint32_t n) {
    RssDaemonData* d = pRssDaemonData;
    auto* copy = static_cast<uint8_t*>(std::malloc(n));
    if (!copy) return false;
    std::memcpy(copy, p, n);
    std::free(d->setupBase);
    d->setupBase = copy;
    d->setupBaseLen = n;
    return true;
}

// The base on disk: written when it is new, touched when it is there, so that the files pruned
// are the ones used longest ago.
void StoreBase(const std::string& dir, const std::string& path, const uint8_t* p, uint32_t n) {
    std::string why;
    if (utime(path.c_str(), nullptr) == 0) return;
    if (SetupCacheSave(dir, path, p, n, &why) == -1)
        std::fprintf(stderr, "set-up cache: %s - not kept\n", why.c_str());
    else
        PruneCache(dir);
}

void SetBase(const uint8_t* p, uint32_t n) {
    if (!KeepBase(p, n)) {
        // Without memory the relay cannot follow the terminal's base: end the link cleanly.
        RssPanic("out of memory!");
        ShutdownRss();
        return;
    }
    const std::string dir = SetupCacheDir("lqhostd");
    if (!dir.empty()) StoreBase(dir, SetupCachePath(dir, SetupHash(p, n)), p, n);
}

// A whole reply crossed: a Success one becomes the base at both ends (the terminal keeps none
// longer than SETUP_REPLY_MAX either).
void ReplyCrossed(const uint8_t* p, uint32_t n) {
    if (n > 0 && n <= SETUP_REPLY_MAX && p[0] == 1) SetBase(p, n);
}

}  // namespace

uint64_t RssSetupOffered(uint64_t hash) {
    RssDaemonData* d = pRssDaemonData;
    std::free(d->setupBase);
    d->setupBase = nullptr;
    d->setupBaseLen = 0;
    if (hash == 0) return 0;
    const std::string dir = SetupCacheDir("lqhostd");
    std::vector<uint8_t> reply;
    std::string why = "no cache directory";
    const std::string path = dir.empty() ? "" : SetupCachePath(dir, hash);
    if (!dir.empty() && SetupCacheLoad(path, &reply, &why) == 0 && SetupHash(reply.data(), reply.size()) == hash) {
        const uint32_t n = static_cast<uint32_t>(reply.size());
        if (KeepBase(reply.data(), n)) {
            StoreBase(dir, path, reply.data(), n);
            std::fprintf(stderr, "set-up cache: the terminal's reply of %u bytes is held\n", n);
            return hash;
        }
        why = "out of memory";
    }
    std::fprintf(stderr, "set-up cache: %s - starting without a set-up base\n", why.c_str());
    return 0;
}

int RssSetupReplyIn(Buf* msg) {
    RssDaemonData* d = pRssDaemonData;
    const int id = msg->clientId & 0x3f;
    RssSetupAcc* a = &d->setupAcc[id];
    ClientRec* c = pRssDispData->clientTbl[id];
    if (a->have == 0 && msg->Len() > 0 && msg->start[0] == SETUP_DIFF_MARK) {
        std::vector<uint8_t> reply;
        std::string why;
        const size_t n = msg->Len();
        const int r = SetupDiffApply(d->setupBase, d->setupBaseLen, msg->start, n, &reply, &why);
        BufFree(Pool(), msg);
        if (r == -1) {
            std::fprintf(stderr, "client %d: %s - link shut down\n", id, why.c_str());
            return -1;
        }
        const uint32_t len = static_cast<uint32_t>(reply.size());
        d->setupRebuilt++;
        d->setupBytesSaved += len - n;
        std::fprintf(stderr, "client %d: set-up reply of %u bytes crossed as %zu\n", id, len, n);
        if (c && !c->dead && !c->connReplied && !c->setupReply) {
            c->setupReply = static_cast<uint8_t*>(std::malloc(len));
            if (c->setupReply) {
                std::memcpy(c->setupReply, reply.data(), len);
                c->setupReplyLen = len;
                c->setupReplyPos = 0;
                RssSetupReplyPump(c);
            } else {
                RssPanic("out of memory!");
                ProcessDeadSocket(c->sock);
            }
        }
        RssAnswerSetup(id, reply.data(), len);
        ReplyCrossed(reply.data(), len);
        return 1;
    }
    // A plain piece: gathered until the reply is whole (its length is in its head, in the byte
    // order of the client it was made for).
    const uint32_t n = static_cast<uint32_t>(msg->Len());
    if (a->have + n > SETUP_REPLY_MAX + 8) {  // too long to be a base: followed, not kept
        std::free(a->bytes);
        a->bytes = nullptr;
    } else if (n > 0) {
        auto* grown = static_cast<uint8_t*>(std::realloc(a->bytes, a->have + n));
        if (!grown) {
            // The terminal takes this reply as its base; without it the relay could not follow.
            RssPanic("out of memory!");
            ShutdownRss();
            return 0;
        }
        a->bytes = grown;
        std::memcpy(a->bytes + a->have, msg->start, n);
    }
    a->have += n;
    if (a->want == 0 && a->have >= 8 && a->bytes) {
        a->want = 8 + 4u * XspecLoad16(a->bytes + 6, c ? XspecLittle(c) : false);
    }
    if (a->want && a->have >= a->want) {
        if (a->bytes) {
            RssAnswerSetup(id, a->bytes, a->want);
            ReplyCrossed(a->bytes, a->want);
        }
        std::free(a->bytes);
        *a = RssSetupAcc{};
    }
    return 0;
}

bool RssSetupReplyPump(ClientRec* c) {
    while (c->setupReplyPos < c->setupReplyLen) {
        ssize_t n = write(c->sock, c->setupReply + c->setupReplyPos, c->setupReplyLen - c->setupReplyPos);
        if (n < 0) {
            if (errno == EINTR || errno == EBADF || errno == EPIPE || errno == ECONNRESET) {
                std::free(c->setupReply);
                c->setupReply = nullptr;
                ProcessDeadSocket(c->sock);
                return true;
            }
            if (errno != EAGAIN) std::fprintf(stderr, "ProcessConnReply write error errno=%d\n", errno);
            return false;
        }
        c->setupReplyPos += static_cast<uint32_t>(n);
    }
    // Written whole: the set-up phase ends as with the second message of a plain reply.
    if (c->setupReply[0] == 0) c->dead = 1;
    std::free(c->setupReply);
    c->setupReply = nullptr;
    InitClientRequest(c->sock);
    c->connReplied = 1;
    c->inSetup = 0;
    return true;
}

void RssSetupFree() {
    RssDaemonData* d = pRssDaemonData;
    std::free(d->setupBase);
    d->setupBase = nullptr;
    d->setupBaseLen = 0;
    for (RssSetupAcc& a : d->setupAcc) {
        std::free(a.bytes);
        a = RssSetupAcc{};
    }
}
