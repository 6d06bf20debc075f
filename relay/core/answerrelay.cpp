#include "relay/core/answerrelay.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "relay/core/rss.h"
#include "relay/link/linkext.h"
#include "relay/xspec/setupdiff.h"
#include "relay/xspec/xanswer.h"
#include "relay/xspec/xbytes.h"

struct RssAnswerData {
    XAnswerTable table;
    std::string dir;   // the cache directory, empty when there is none
    bool said = false; // the first client of another X server was said in the log
};

namespace {

RssAnswerData* Data() {
    RssDaemonData* d = pRssDaemonData;
    if (!d->answers) d->answers = new RssAnswerData;
    return d->answers;
}

std::string FilePath(const std::string& dir, uint64_t server) {
    char name[40];
    std::snprintf(name, sizeof name, "/colors-%016" PRIx64, server);
    return dir + name;
}

}  // namespace

XAnswerTable* RssAnswerTable() { return &Data()->table; }

void RssAnswerSetup(int id, const uint8_t* reply, size_t n) {
    RssDaemonData* d = pRssDaemonData;
    ClientRec* c = pRssDispData->clientTbl[id & 0x3f];
    if (!(d->extAccepted & LINKEXT_ANSWER) || !c || c->dead || c->answer) return;
    const uint32_t colormap = XAnswerTrueColormap(reply, n);
    const uint64_t server = XAnswerServerKey(reply, n);
    if (colormap == 0 || server == 0) return;
    RssAnswerData* a = Data();
    if (a->table.server == 0) {
        a->dir = SetupCacheDir("lqhostd");
        std::string why = "no cache directory";
        if (!a->dir.empty() && XAnswerLoad(&a->table, server, FilePath(a->dir, server), &why) == 0)
            std::fprintf(stderr, "answers at the relay: %zu colours of this X server are known\n",
                         a->table.colors.size());
        else
            std::fprintf(stderr, "answers at the relay: %s - starting with none\n", why.c_str());
        a->table.server = server;
    } else if (a->table.server != server) {
        if (!a->said) std::fprintf(stderr, "answers at the relay: client %d has another X server - none made\n", id);
        a->said = true;
        return;
    }
    c->answer = new XAnswerStream;
    c->answer->little = XspecLittle(c);
    c->answer->colormap = colormap;
    c->answer->quiet = (d->extAccepted & LINKEXT_ANSWERQUIET) != 0;
}

bool RssAnswerRequest(ClientRec* c, uint8_t* req, size_t n) {
    return c->answer && XAnswerRequest(c->answer, RssAnswerTable(), req, n);
}

void RssAnswerKept(const uint8_t* p, size_t n) {
    uint8_t id;
    uint32_t count;
    uint64_t hash;
    if (XAnswerKeptRead(p, n, &id, &count, &hash) != 0) {
        std::fprintf(stderr, "answers at the relay: a malformed account of kept replies - ignored\n");
        return;
    }
    ClientRec* c = pRssDispData->clientTbl[id];
    XAnswerTable* t = RssAnswerTable();
    const bool wasOff = t->off;
    // (one for a client gone meanwhile has nothing left to check)
    if (c && c->answer && c->answer->quiet) XAnswerKept(c->answer, t, count, hash);
    if (t->off && !wasOff) std::fprintf(stderr, "answers at the relay: client %d was answered wrongly - no more answers\n", id);
}

void RssAnswerClientEnd(ClientRec* c) {
    delete c->answer;
    c->answer = nullptr;
}

void RssAnswerKeep() {
    RssDaemonData* d = pRssDaemonData;
    RssAnswerData* a = d ? d->answers : nullptr;
    if (!a || a->table.server == 0) return;
    XAnswerTable* t = &a->table;
    std::fprintf(stderr, "%s\n", XAnswerStatsLine(*t).c_str());
    // A table that was wrong once is not kept: the next session learns afresh.
    std::string why;
    if (!a->dir.empty() && t->learned > 0 && !t->off &&
        XAnswerSave(*t, a->dir, FilePath(a->dir, t->server), &why) == -1)
        std::fprintf(stderr, "answers at the relay: %s - not kept\n", why.c_str());
    if (t->off && !a->dir.empty()) std::remove(FilePath(a->dir, t->server).c_str());
    t->server = 0;
}

void RssAnswerFree() {
    RssDaemonData* d = pRssDaemonData;
    if (!d || !d->answers) return;
    RssAnswerKeep();
    delete d->answers;
    d->answers = nullptr;
}
