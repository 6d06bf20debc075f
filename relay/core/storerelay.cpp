#include "relay/core/storerelay.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "relay/core/answerrelay.h"
#include "relay/core/conn.h"
#include "relay/core/disp.h"
#include "relay/core/peer.h"
#include "relay/core/req.h"
#include "relay/core/rss.h"
#include "relay/link/dialog.h"
#include "relay/link/linkext.h"
#include "relay/xspec/setupdiff.h"
#include "relay/xspec/xbytes.h"
#include "relay/xspec/xanswer.h"
#include "relay/xspec/xstore.h"

// A reference on its way to its client: resolved, waiting for the terminal's bytes, or lost.
struct RssStoreWait {
    XStoreKey key;
    uint8_t seq[2];
    std::vector<uint8_t> bytes;  // the message once it is known
    bool ready;
    bool lost;
};

// One link client id's stream of server messages as it arrives, cut where the terminal cuts it.
struct RssStoreStream {
    bool little = false;
    uint8_t head[32];
    uint32_t headHave = 0;
    uint32_t need = 0;      // bytes of the message in progress still to come
    bool keeping = false;   // the message in progress is one the store takes
    std::vector<uint8_t> keep;
    std::deque<RssStoreWait> waits;
};

struct RssStore {
    XStore store;
    RssStoreStream streams[64];
    bool active = false;
    bool frozen = false;
};

namespace {

BufData* Pool() { return &pRssDaemonData->bufData; }

RssStore* Store() {
    RssDaemonData* d = pRssDaemonData;
    if (!d->store) d->store = new RssStore;
    return d->store;
}

std::string FilePath(const std::string& dir, uint64_t digest) {
    char name[40];
    std::snprintf(name, sizeof name, "/store-%016" PRIx64, digest);
    return dir + name;
}

// Keeps the newest RSS_STORE_FILES stores: a relay that serves terminals of several X servers in
// turn keeps each one's, and the directory stays bounded.
void PruneFiles(const std::string& dir) {
    DIR* dp = opendir(dir.c_str());
    if (!dp) return;
    std::vector<std::pair<time_t, std::string>> files;
    while (dirent* e = readdir(dp)) {
        if (std::strncmp(e->d_name, "store-", 6) != 0 || std::strchr(e->d_name, '.')) continue;
        std::string path = dir + "/" + e->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) == 0) files.emplace_back(st.st_mtime, path);
    }
    closedir(dp);
    if (files.size() <= RSS_STORE_FILES) return;
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = RSS_STORE_FILES; i < files.size(); i++) unlink(files[i].second.c_str());
}

// The size of the message at the head as the terminal's encoder cuts its stream: a generic event
// of up to a link message goes whole, every other event and error is 32 bytes, a reply its length.
uint32_t UnitSize(const uint8_t* head, bool little) {
    if (XspecIsGenericEvent(head)) {
        const uint32_t total = XspecServerMessageSize(head, little);
        return total <= 256 ? total : 32;
    }
    return XspecLinkMessageSize(head, little);
}

void Feed(RssStore* s, RssStoreStream* st, const uint8_t* p, size_t n) {
    while (n > 0) {
        if (st->need == 0) {
            const size_t k = std::min<size_t>(n, 32 - st->headHave);
            std::memcpy(st->head + st->headHave, p, k);
            st->headHave += static_cast<uint32_t>(k);
            p += k;
            n -= k;
            if (st->headHave < 32) return;
            st->headHave = 0;
            const uint32_t size = UnitSize(st->head, st->little);
            st->keeping = !s->frozen && XStoreEligible(st->head[0], size);
            if (st->keeping) st->keep.assign(st->head, st->head + 32);
            st->need = size - 32;
            continue;
        }
        const size_t k = std::min<size_t>(n, st->need);
        if (st->keeping) st->keep.insert(st->keep.end(), p, p + k);
        st->need -= static_cast<uint32_t>(k);
        p += k;
        n -= k;
        if (st->need == 0 && st->keeping && !s->frozen) {
            // Without memory the stores go out of step; the terminal's references then miss and
            // are asked for again.
            if (!XStoreAdd(&s->store, st->keep.data(), st->keep.size())) RssPanic("out of memory (message store)");
        }
        if (st->need == 0) {
            st->keep.clear();
            st->keeping = false;
        }
    }
}

void Reset(RssStoreStream* st) {
    st->headHave = st->need = 0;
    st->keeping = false;
    st->keep.clear();
}

void SendMiss(int id, const XStoreKey& key) {
    Buf* b = BufGet(Pool());
    if (!b) return;  // the wait then never ends: the client is closed when the link ends
    uint8_t m[XSTORE_REF_LEN];
    const XStoreRef r{XSTORE_MISS, static_cast<uint8_t>(id), {0, 0}, key};
    DlgMake(b, MSG_XSTORE, m, static_cast<int>(XStoreRefWrite(r, m)));
    lstAdd(pRssDaemonData->ttyOutList, b);
    RssTransResult(TransWrite(&pRssDaemonData->rssLink, pRssDaemonData->ttyOutList));
}

// The decoder's delivery of a reference at the head of a client's queue.
int StoreOut(XspecEnv*, ClientRec* c) {
    RssStore* s = Store();
    RssStoreStream* st = &s->streams[c->clientId & 0x3f];
    if (st->waits.empty()) return 0;  // a placeholder without a reference: nothing to write
    RssStoreWait& w = st->waits.front();
    if (w.lost) {
        std::fprintf(stderr, "client %d: a stored reply of %u bytes could not be had from the terminal - closed\n",
                     c->clientId, static_cast<unsigned>(w.key.len));
        st->waits.pop_front();
        if (!c->dead) ProcessDeadSocket(c->sock);
        return 0;
    }
    if (!w.ready) return -1;
    if (!c->dead) RssHoldAfterQueued(c, w.bytes.data(), w.bytes.size());
    st->waits.pop_front();
    return 0;
}

void Deliver(int id) {
    ClientRec* c = pRssDispData->clientTbl[id];
    if (c) WriteReplies(c->sock);
}

void RefIn(RssStore* s, const XStoreRef& r, Buf* msg) {
    RssStoreStream* st = &s->streams[r.clientId];
    // Resolved as it arrives: the terminal made the entry the newest as it sent the reference
    // (after the terminal's shutdown message nothing changes the store).
    const XStoreEntry* e = s->frozen ? XStoreFind(&s->store, r.key) : XStoreTake(&s->store, r.key);
    ClientRec* c = pRssDispData->clientTbl[r.clientId];
    RssStoreWait w{r.key, {r.seq[0], r.seq[1]}, {}, e != nullptr, false};
    if (e) {
        XStoreResolve(*e, r.seq, &w.bytes);
        s->store.stats.hits++;
        s->store.stats.bytesSaved += r.key.len - XSTORE_REF_LEN;
    } else {
        s->store.stats.misses++;
        std::fprintf(stderr, "client %d: reply of %u bytes not in the message store - asked for again\n", r.clientId,
                     static_cast<unsigned>(r.key.len));
        SendMiss(r.clientId, r.key);
    }
    if (!c || c->dead) {
        if (!e) st->waits.push_back(std::move(w));  // its bytes still come, and go nowhere
        BufFree(Pool(), msg);
        return;
    }
    st->waits.push_back(std::move(w));
    msg->clientId = static_cast<uint8_t>(r.clientId);
    lstAdd(c->replyInList, msg);
    Deliver(r.clientId);
}

// The first reference of the client that waits for the terminal's bytes.
RssStoreWait* Waiting(RssStoreStream* st) {
    for (RssStoreWait& w : st->waits)
        if (!w.ready && !w.lost) return &w;
    return nullptr;
}

void DataIn(RssStore* s, int id, const uint8_t* p, size_t n, bool lost) {
    RssStoreStream* st = &s->streams[id];
    RssStoreWait* w = Waiting(st);
    if (!w) return;
    if (lost || w->bytes.size() + n > w->key.len) {
        w->lost = true;
    } else {
        w->bytes.insert(w->bytes.end(), p, p + n);
        if (w->bytes.size() == w->key.len) {
            if (XStoreKeyOf(w->bytes.data(), w->bytes.size()) == w->key) {
                w->bytes[2] = w->seq[0];
                w->bytes[3] = w->seq[1];
                w->ready = true;
                if (!s->frozen && !XStoreAdd(&s->store, w->bytes.data(), w->bytes.size()))
                    RssPanic("out of memory (message store)");
            } else {
                w->lost = true;
            }
        }
    }
    ClientRec* c = pRssDispData->clientTbl[id];
    if (!c || c->dead) {
        while (!st->waits.empty() && (st->waits.front().ready || st->waits.front().lost)) st->waits.pop_front();
        return;
    }
    Deliver(id);
}

}  // namespace

uint64_t RssStoreOffered(uint64_t digest) {
    RssStore* s = Store();
    XStoreClear(&s->store);
    s->active = true;
    pRssDaemonData->rssXspecEnv.storeOut = StoreOut;
    if (digest == 0) return 0;
    const std::string dir = SetupCacheDir("lqhostd");
    std::string why = "no cache directory";
    if (!dir.empty()) {
        const std::string path = FilePath(dir, digest);
        if (XStoreLoad(&s->store, path, &why) == 0) {
            if (XStoreDigest(&s->store) == digest) {
                utime(path.c_str(), nullptr);
                std::fprintf(stderr, "message store: the terminal's store of %zu replies (%zu bytes) is held\n",
                             s->store.entries.size(), s->store.bytes);
                return digest;
            }
            why = path + ": another store";
            XStoreClear(&s->store);
        }
    }
    std::fprintf(stderr, "message store: %s - starting empty\n", why.c_str());
    return 0;
}

void RssStoreClientNew(int id, bool little) {
    RssStore* s = pRssDaemonData->store;
    if (!s) return;
    RssStoreStream* st = &s->streams[id & 0x3f];
    Reset(st);
    st->waits.clear();
    st->little = little;
}

void RssStoreSee(const Buf* msg) {
    RssStore* s = pRssDaemonData->store;
    if (!s || !s->active) return;
    RssStoreStream* st = &s->streams[msg->clientId & 0x3f];
    if (msg->type == MSG_XDATA)
        Feed(s, st, msg->start, msg->Len());
    else if (st->need || st->headHave)
        Reset(st);  // not where the terminal ever sends one: the stream is not followed further
}

void RssStoreMessage(Buf* msg) {
    RssStore* s = pRssDaemonData->store;
    const uint8_t* p = msg->start;
    const size_t n = msg->Len();
    XStoreRef r;
    if (n >= 1 && p[0] == XANSWER_KEPT) {  // the answers' record shares the message type
        RssAnswerKept(p, n);
        BufFree(Pool(), msg);
        return;
    }
    if (!s || !s->active || n < 2 || p[1] >= 64) {
        BufFree(Pool(), msg);
        return;
    }
    if (p[0] == XSTORE_REF && XStoreRefRead(p, n, &r) == 0) {
        RefIn(s, r, msg);
        return;
    }
    if (p[0] == XSTORE_DATA || p[0] == XSTORE_LOST) DataIn(s, p[1], p + 2, n - 2, p[0] == XSTORE_LOST);
    BufFree(Pool(), msg);
}

void RssStoreFreeze() {
    if (RssStore* s = pRssDaemonData->store) s->frozen = true;
}

void RssStoreKeep() {
    RssStore* s = pRssDaemonData ? pRssDaemonData->store : nullptr;
    if (s && s->active) {
        std::fprintf(stderr, "message store: %zu replies, %zu bytes; %s\n", s->store.entries.size(), s->store.bytes,
                     XStoreStatsLine(s->store.stats).c_str());
        const std::string dir = SetupCacheDir("lqhostd");
        std::string why;
        if (!dir.empty() && !s->store.entries.empty()) {
            if (XStoreSave(&s->store, dir, FilePath(dir, XStoreDigest(&s->store)), &why) == -1)
                std::fprintf(stderr, "message store: %s - not kept\n", why.c_str());
            else
                PruneFiles(dir);
        }
        s->active = false;
    }
}

void RssStoreFree() {
    RssDaemonData* d = pRssDaemonData;
    RssStore* s = d->store;
    if (!s) return;
    RssStoreKeep();
    delete s;
    d->store = nullptr;
    d->rssXspecEnv.storeOut = nullptr;
}
