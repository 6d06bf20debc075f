#include "relay/link/linkpair.h"

#include "relay/link/linkext.h"

int LinkPairInit(LinkPair* P, const LinkPairConfig* cfg) {
    P->vclock.usec = cfg->startUsec;
    P->autoReady = cfg->autoReady;
    P->termVersion = cfg->termVersion;
    P->termLevel = cfg->termLevel;
    P->ext = cfg->ext;
    for (Lst* l : {&P->hostIn, &P->hostOut, &P->termIn, &P->termOut}) lstInit(l);
    if (BufInit(&P->hostBufs) != 0 || BufInit(&P->termBufs) != 0) return -1;
    Clock clock = P->vclock.AsClock();
    SimLineInit(&P->line, &cfg->line, clock);
    LinkSetDefaults(&P->host, LINK_HOST, &P->hostBufs, clock);
    LinkSetDefaults(&P->term, LINK_TERMINAL, &P->termBufs, clock);
    P->host.config.timeout = cfg->timeout;
    P->host.config.displayName = "unix:1.0";
    if (cfg->escapes) LinkParseEscChars(&P->host, cfg->escapes);
    P->host.errFile = P->term.errFile = cfg->errFile;
    P->host.io = SimLineIo(&P->line, 0);
    P->term.io = SimLineIo(&P->line, 1);
    if (TransInit(&P->host) != 0 || TransInit(&P->term) != 0) return -1;
    if (TransStart(&P->term) != 0 || TransStart(&P->host) != 0) return -1;
    P->nextPass[0] = P->nextPass[1] = P->vclock.usec;
    return 0;
}

void LinkPairDestroy(LinkPair* P) {
    BufListFree(&P->hostBufs, &P->hostIn);
    BufListFree(&P->hostBufs, &P->hostOut);
    BufListFree(&P->termBufs, &P->termIn);
    BufListFree(&P->termBufs, &P->termOut);
    LinkDestroy(&P->host);
    LinkDestroy(&P->term);
    BufDestroy(&P->hostBufs);
    BufDestroy(&P->termBufs);
}

LinkEnd* LinkPairEnd(LinkPair* P, int end) { return end ? &P->term : &P->host; }
Lst* LinkPairIn(LinkPair* P, int end) { return end ? &P->termIn : &P->hostIn; }
Lst* LinkPairOut(LinkPair* P, int end) { return end ? &P->termOut : &P->hostOut; }

void LinkPairPass(LinkPair* P, int end) {
    LinkEnd* L = LinkPairEnd(P, end);
    Lst* in = LinkPairIn(P, end);
    Lst* out = LinkPairOut(P, end);
    P->passes++;
    TransRead(L, in);
    if (P->autoReady) {
        uint8_t want = end ? MSG_START : MSG_XREADY;
        for (Buf* b = lstFirstT<Buf>(in); b;) {
            Buf* next = b->next;
            uint32_t bits = 0;
            if (end && b->type == MSG_EXTENSIONS && LinkExtRead(b->start, b->Len(), &bits) == 0) {
                // The answer: the link has acted on it already.
                lstDelete(in, b);
                BufFree(L->pBufData, b);
            } else if (b->type == want) {
                lstDelete(in, b);
                if (end) {
                    DlgAnswerStart(L, b, out, P->termVersion, P->termLevel, P->ext);
                } else {
                    DlgReady r{};
                    if (DlgReadReady(b, &r) == 0) {
                        LinkSetRemoteVersion(L, r.byteOrder, r.version, r.level);
                        // The answer goes before anything else the host sends from here on.
                        if (r.offer && (r.offered & P->ext)) {
                            DlgMake(b, MSG_EXTENSIONS, nullptr, 0);
                            b->end += LinkExtWrite(b->end, r.offered & P->ext);
                            lstInsert(out, nullptr, b);
                            b = nullptr;
                        }
                    }
                    if (b) BufFree(L->pBufData, b);
                }
            }
            b = next;
        }
    }
    P->nextPass[end] = P->vclock.usec + TransWrite(L, out);
}

void LinkPairRun(LinkPair* P, uint32_t usec, bool (*stop)(LinkPair*, void*), void* ctx) {
    uint32_t left = usec;
    for (;;) {
        for (int e = 0; e < 2; e++) {
            if (static_cast<int32_t>(P->vclock.usec - P->nextPass[e]) >= 0 || SimLinePending(&P->line, e) > 0) {
                LinkPairPass(P, e);
                if (stop && stop(P, ctx)) return;
            }
        }
        // Next event: a timer interval ends or a frame reaches an end.
        uint32_t step = left;
        for (int e = 0; e < 2; e++) {
            int32_t d = static_cast<int32_t>(P->nextPass[e] - P->vclock.usec);
            if (d < 1) d = 1;
            if (static_cast<uint32_t>(d) < step) step = static_cast<uint32_t>(d);
            uint64_t when;
            // Bytes that have arrived were read by the pass above (or wait for a free buffer).
            uint64_t now = SimLineNow(&P->line);
            if (SimLineNextWake(&P->line, e, &when) && when > now && when - now < step)
                step = static_cast<uint32_t>(when - now);
        }
        if (left == 0) return;
        if (step == 0) step = 1;
        P->vclock.usec += step;
        left -= step;
    }
}
