#include "bench/wire/replay.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "relay/core/req.h"
#include "relay/link/frame.h"
#include "relay/link/linkpair.h"
#include "relay/xspec/xspec.h"

namespace {

Bytes ReadAll(const std::string& path, bool* ok) {
    std::ifstream f(path, std::ios::binary);
    *ok = static_cast<bool>(f);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

size_t Pad4(size_t n) { return (n + 3) & ~size_t{3}; }

// One end's X side: its client record, encoder environment and the bytes still to be fed.
struct Side {
    LinkPair* pair;
    int end;  // 0 host, 1 terminal
    XspecMsgCache cache{};
    XspecEnv env{};
    ClientRec c{};
    int version = 1, level = 3;
    const Bytes* src = nullptr;  // bytes this end's X peer produces
    size_t setupLen = 0;         // leading set-up bytes, sent as MSG_CONNECT
    size_t avail = 0;            // bytes of src the recording has produced so far
    size_t fed = 0;              // bytes of src handed to the encoder or the transport
    uint32_t feedLeft = 0;       // terminal: bytes of a long server message still to be fed
    Bytes got;                   // what arrived from the other end, decoded
    bool holding = false;
    uint32_t resumeAt = 0;
};

// Sits between an end's frame layer and the simulated line and takes the written bytes apart:
// flags, stuffing escapes and the unstuffed frame bytes (packet header, contents, FCS).
struct LineTap {
    LinkIo inner;
    uint64_t flags = 0, escapes = 0, frameBytes = 0, frames = 0;
    bool inFrame = false;
};

int TapWrite(void* ctx, const uint8_t* p, int n) {
    auto* t = static_cast<LineTap*>(ctx);
    int r = t->inner.write(t->inner.ctx, p, n);
    for (int i = 0; i < r; i++) {
        if (p[i] == 0x7e) {
            t->flags++;
            if (t->inFrame) t->frames++;
            t->inFrame = false;
        } else if (p[i] == 0x7d) {
            t->escapes++;
        } else {
            t->frameBytes++;
            t->inFrame = true;
        }
    }
    return r;
}
int TapRead(void* ctx, uint8_t* p, int n) {
    auto* t = static_cast<LineTap*>(ctx);
    return t->inner.read(t->inner.ctx, p, n);
}
int TapPending(void* ctx) {
    auto* t = static_cast<LineTap*>(ctx);
    return t->inner.pending(t->inner.ctx);
}

// The recording of frames. The transport stays as it is: binaries that link this file are linked
// with --wrap for the two calls that make a packet (the coder's and the frame writer's), so the
// functions below stand in front of them and see every packet exactly as the transport makes it.
struct Capture {
    FrameLog* log = nullptr;
    LinkPair* pair = nullptr;  // the replay running now, while recording
    Buf* pending[2] = {};      // the coder's output not yet framed, per end
    Bytes plain[2];            // and the message it came from
};
Capture capture;

bool Little(const Side& s) { return s.c.byteOrder == 'l'; }

void InitSide(Side* s, LinkPair* P, int end, int clientId, uint8_t order) {
    s->pair = P;
    s->end = end;
    LinkEnd* L = LinkPairEnd(P, end);
    s->env.pBufData = L->pBufData;
    s->env.xspecCache = &s->cache;
    s->env.clock = &L->clock;
    s->env.hostByteOrder = 'B';
    s->env.pRemoteVersion = end ? &s->version : &L->peer.version;
    s->env.pRemoteLevel = end ? &s->level : &L->peer.level;
    ClientRecInitQueues(&s->c);
    s->c.clientId = clientId;
    s->c.byteOrder = order;
    XspecEncodeInit(&s->env, &s->c);
}

void FreeSide(Side* s) {
    BufData* pool = s->env.pBufData;
    for (Lst* l : {s->c.reqList, s->c.encList, s->c.replyInList, s->c.replyOutList}) BufListFree(pool, l);
    XspecFree(s->c.xspec);
}

// A message of n bytes straight onto the end's outgoing list. false when no buffer is free.
bool Direct(Side* s, uint8_t type, const uint8_t* p, size_t n) {
    Buf* b = BufGet(s->env.pBufData);
    if (!b) return false;
    std::memcpy(b->start, p, n);
    b->end = b->start + n;
    b->type = type;
    b->clientId = static_cast<uint8_t>(s->c.clientId);
    lstAdd(LinkPairOut(s->pair, s->end), b);
    return true;
}

void Ship(Side* s) { lstConcat(LinkPairOut(s->pair, s->end), s->c.encList); }

bool Roomy(Side* s) {
    LinkEnd* L = LinkPairEnd(s->pair, s->end);
    return lstCount(LinkPairOut(s->pair, s->end)) <= RSS_MAX_TTY_OUT && BufPoolCount(s->env.pBufData) > 8 &&
           TransIsClientSendWindowOpen(L, s->c.clientId);
}

// Host intake: the set-up bytes as they come, then whole requests (cut into buffers of at most
// 256 bytes) once the server's set-up reply is in, each followed by an encoder call.
void FeedHost(Side* s, size_t setupReplyLen) {
    const Bytes& b = *s->src;
    bool moved = false;
    while (s->fed < s->setupLen && s->fed < s->avail && Roomy(s)) {
        size_t k = std::min<size_t>({256, s->setupLen - s->fed, s->avail - s->fed});
        if (!Direct(s, MSG_CONNECT, &b[s->fed], k)) break;
        s->fed += k;
        moved = true;
    }
    if (s->fed >= s->setupLen && s->got.size() >= setupReplyLen) {
        while (s->fed < s->avail && Roomy(s)) {
            // A long request goes to the encoder 1024 bytes at a time, as intake reads it.
            size_t n;
            if (s->feedLeft) {
                n = std::min<size_t>({s->feedLeft, s->avail - s->fed, 1024});
            } else {
                if (s->fed + 4 > s->avail) break;
                n = XspecRequestSize(&b[s->fed], Little(*s));
                if (n > 1024) {
                    s->feedLeft = static_cast<uint32_t>(n);
                    continue;
                }
                if (s->fed + n > s->avail) break;
            }
            if (XspecOutPut(s->env.pBufData, s->c.reqList, MSG_XDATA, s->c.clientId, &b[s->fed], n) < 0) break;
            if (s->feedLeft) s->feedLeft -= static_cast<uint32_t>(n);
            s->fed += n;
            int hold = XspecEncode(&s->env, &s->c);
            s->holding = hold != 0;
            if (hold) s->resumeAt = GetTime(s->env.clock) + static_cast<uint32_t>(hold);
            Ship(s);
            moved = true;
        }
    }
    if (moved) LinkPairPass(s->pair, 0);
}

// Terminal: the set-up reply as an 8-byte head and the rest, then whole server messages (long ones
// 1024 bytes at a time), each batch followed by an encoder call.
void FeedTerm(Side* s) {
    const Bytes& b = *s->src;
    const bool little = Little(*s);
    bool moved = false;
    if (s->fed == 0 && s->avail >= s->setupLen && s->setupLen >= 8) {
        Direct(s, MSG_CONNECT, &b[0], 8);
        for (size_t pos = 8; pos < s->setupLen;) {
            size_t k = std::min<size_t>(256, s->setupLen - pos);
            Direct(s, MSG_CONNECT, &b[pos], k);
            pos += k;
        }
        s->fed = s->setupLen;
        moved = true;
    }
    while (s->fed >= s->setupLen && s->fed < s->avail && Roomy(s) && lstCount(s->c.reqList) < 8) {
        size_t left = s->avail - s->fed;
        size_t k;
        if (s->feedLeft) {
            k = std::min<size_t>({s->feedLeft, left, 1024});
            s->feedLeft -= static_cast<uint32_t>(k);
        } else {
            if (left < 32) break;
            uint32_t size = XspecLinkMessageSize(&b[s->fed], little);
            if (size > 1024) {
                s->feedLeft = size;
                continue;
            }
            if (left < size) break;
            k = size;
        }
        if (XspecOutPut(s->env.pBufData, s->c.reqList, MSG_XDATA, s->c.clientId, &b[s->fed], k) < 0) break;
        s->fed += k;
        XspecTermEncode(&s->env, &s->c);
        Ship(s);
        moved = true;
    }
    if (moved) LinkPairPass(s->pair, 1);
}

// Messages that reached an end go to its client: set-up bytes as they are, the rest through the
// decoder; whatever comes out is appended to got.
void Take(Side* s) {
    Lst* in = LinkPairIn(s->pair, s->end);
    BufData* pool = s->env.pBufData;
    while (Buf* m = lstGetT<Buf>(in)) {
        if (m->clientId != s->c.clientId) {
            BufFree(pool, m);
            continue;
        }
        if (m->type == MSG_CONNECT) {
            s->got.insert(s->got.end(), m->start, m->end);
            BufFree(pool, m);
            continue;
        }
        lstAdd(s->c.replyInList, m);
        if (s->end) {
            XspecTermDecode(&s->env, &s->c);
        } else {
            XspecDecode(&s->env, &s->c);
        }
        while (Buf* o = lstGetT<Buf>(s->c.replyOutList)) {
            s->got.insert(s->got.end(), o->start, o->end);
            BufFree(pool, o);
        }
    }
}

bool AnyInput(LinkPair* P, void*) { return lstCount(&P->hostIn) > 0 || lstCount(&P->termIn) > 0; }

bool Busy(LinkPair* P, const Side& h, const Side& t) {
    return h.fed < h.avail || t.fed < t.avail || h.holding || lstCount(&P->hostOut) || lstCount(&P->termOut) ||
           SimLinePending(&P->line, 0) || SimLinePending(&P->line, 1) || lstCount(&P->hostIn) ||
           lstCount(&P->termIn);
}

// The request stream with the bytes that X leaves unused cleared: byte 1 of PolySegment,
// PolyRectangle and PolyFillRectangle, and the padding after an ImageText8 string. The compact
// encodings do not carry them, so the far end writes zeros there.
Bytes ClearUnused(const Bytes& in, size_t setupLen, bool little) {
    Bytes b = in;
    for (size_t pos = setupLen; pos + 4 <= b.size();) {
        const size_t n = XspecRequestSize(&b[pos], little);
        if (pos + n > b.size()) break;
        uint8_t op = b[pos];
        if (op == 66 || op == 67 || op == 70) b[pos + 1] = 0;
        if (op == X_IMAGE_TEXT8 && n >= 16 && 16u + b[pos + 1] <= n)
            std::fill(b.begin() + static_cast<long>(pos + 16 + b[pos + 1]), b.begin() + static_cast<long>(pos + n), 0);
        pos += n;
    }
    return b;
}

size_t CountDiffs(const Bytes& a, const Bytes& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); i++) n += a[i] != b[i];
    return n;
}

std::string Compare(const char* what, const Bytes& want, const Bytes& got) {
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) i++;
    if (i == want.size() && i == got.size()) return "";
    char t[160];
    std::snprintf(t, sizeof t, "%s: %zu of %zu bytes arrived, first difference at byte %zu", what, got.size(),
                  want.size(), i);
    return t;
}

}  // namespace

extern "C" {
int __real__Z13TransCompressP7LzwDataP3BufP3Lst(LzwData* d, Buf* msg, Lst* list);
int __real__Z10FrameWriteP7LinkEndP3Buf(LinkEnd* L, Buf* b);

int __wrap__Z13TransCompressP7LzwDataP3BufP3Lst(LzwData* d, Buf* msg, Lst* list) {
    LinkPair* P = capture.pair;
    if (!P || !msg || (d != &P->host.lzw && d != &P->term.lzw))
        return __real__Z13TransCompressP7LzwDataP3BufP3Lst(d, msg, list);
    const int end = d == &P->host.lzw ? 0 : 1;
    Bytes plain(msg->start, msg->end);
    int r = __real__Z13TransCompressP7LzwDataP3BufP3Lst(d, msg, list);
    if (r == 0) {
        capture.pending[end] = lstFirstT<Buf>(list);
        capture.plain[end] = std::move(plain);
    }
    return r;
}

int __wrap__Z10FrameWriteP7LinkEndP3Buf(LinkEnd* L, Buf* b) {
    LinkPair* P = capture.pair;
    if (!P || !b || (L != &P->host && L != &P->term)) return __real__Z10FrameWriteP7LinkEndP3Buf(L, b);
    const int end = L == &P->host ? 0 : 1;
    SentFrame f{};
    f.usec = P->vclock.usec;
    f.type = b->type;
    f.wrapped = b->linkFlags & LINK_DCS_WRAP;
    f.headLen = b->Len() >= 2 && b->start[1] == MSG_REXMIT_HDR ? 5 : 2;
    f.sent.assign(b->start, b->end);
    const uint64_t before = L->stats.framesOut;
    int r = __real__Z10FrameWriteP7LinkEndP3Buf(L, b);
    if (L->stats.framesOut == before) return r;  // left for a later attempt
    if (b == capture.pending[end]) {
        f.coded = true;
        f.plain = std::move(capture.plain[end]);
        capture.pending[end] = nullptr;
    }
    std::array<bool, 256> esc;
    for (int c = 0; c < 256; c++) esc[c] = L->frame.frame_ce_table[c] & CE_ESCAPE;
    auto& tables = capture.log->escaped[end];
    if (tables.empty() || tables.back() != esc) tables.push_back(esc);
    f.table = static_cast<uint8_t>(tables.size() - 1);
    capture.log->frames[end].push_back(std::move(f));
    return r;
}
}

void lq_replay_capture(FrameLog* log) { capture.log = log; }

namespace {
uint32_t replayExt = 0;
}
void lq_replay_ext(uint32_t bits) { replayExt = bits; }

int LoadRecording(const std::string& dir, Recording* rec, std::string* err) {
    bool ok1, ok2, ok3;
    rec->name = dir.substr(dir.rfind('/') + 1);
    rec->c2s = ReadAll(dir + "/conn00.c2s", &ok1);
    rec->s2c = ReadAll(dir + "/conn00.s2c", &ok2);
    Bytes ch = ReadAll(dir + "/conn00.chunks", &ok3);
    if (!ok1 || !ok2 || !ok3) {
        *err = dir + ": conn00.c2s, conn00.s2c and conn00.chunks are needed";
        return -1;
    }
    std::string text(ch.begin(), ch.end());
    size_t c = 0, s = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.empty()) continue;
        unsigned ms = 0, n = 0;
        char d = 0;
        if (std::sscanf(line.c_str(), "%u %c %u", &ms, &d, &n) != 3 || (d != 'c' && d != 's')) {
            *err = dir + "/conn00.chunks: bad line \"" + line + "\"";
            return -1;
        }
        rec->chunks.push_back({ms, d, n});
        (d == 'c' ? c : s) += n;
    }
    if (c != rec->c2s.size() || s != rec->s2c.size()) {
        *err = dir + ": conn00.chunks does not add up to the streams' sizes";
        return -1;
    }
    if (rec->c2s.size() < 12 || (rec->c2s[0] != 'l' && rec->c2s[0] != 'B') || rec->s2c.size() < 8) {
        *err = dir + ": no X connection set-up at the start of the streams";
        return -1;
    }
    return 0;
}

extern "C" int lq_replay_run(const Recording* rec, uint32_t rate, const char* escapes, ReplayResult* out) {
    *out = ReplayResult{};
    const uint8_t order = rec->c2s[0];
    const bool little = order == 'l';
    const size_t setupLen = 12 + Pad4(XspecLoad16(&rec->c2s[6], little)) + Pad4(XspecLoad16(&rec->c2s[8], little));
    const size_t replyLen = 8 + 4 * size_t{XspecLoad16(&rec->s2c[6], little)};
    if (setupLen > rec->c2s.size() || replyLen > rec->s2c.size()) {
        out->fault = "set-up longer than the stream";
        return -1;
    }

    auto* P = new LinkPair();
    LinkPairConfig cfg;
    cfg.line.rate = rate;
    cfg.timeout = 0;
    cfg.escapes = escapes;
    cfg.ext = replayExt;
    if (LinkPairInit(P, &cfg) != 0) {
        delete P;
        return -1;
    }
    LinkPairRun(P, 200000);  // the start exchange
    LineTap taps[2];
    for (int e = 0; e < 2; e++) {
        LinkEnd* L = LinkPairEnd(P, e);
        taps[e].inner = L->io;
        L->io = LinkIo{TapRead, TapWrite, TapPending, &taps[e]};
    }
    uint64_t base[2] = {P->line.pipe[0].stats.bytesSent, P->line.pipe[1].stats.bytesSent};
    if (capture.log) {
        capture = Capture{capture.log, P, {}, {}};
        for (auto& v : capture.log->frames) v.clear();
        for (auto& v : capture.log->escaped) v.clear();
    }
    LinkStats s0[2] = {P->host.stats, P->term.stats};

    const int id = TransAllocateClientID(&P->host, 100);
    BufMakeClientBufs(&P->hostBufs, id);
    BufMakeClientBufs(&P->termBufs, id);
    auto* h = new Side();
    auto* t = new Side();
    InitSide(h, P, 0, id, order);
    InitSide(t, P, 1, id, order);
    h->src = &rec->c2s;
    h->setupLen = setupLen;
    t->src = &rec->s2c;
    t->setupLen = replyLen;

    const uint32_t t0 = P->vclock.usec;
    auto service = [&] {
        Take(h);
        Take(t);
        if (h->holding && static_cast<int32_t>(P->vclock.usec - h->resumeAt) >= 0) {
            int hold = XspecEncode(&h->env, &h->c);
            h->holding = hold != 0;
            if (hold) h->resumeAt = P->vclock.usec + static_cast<uint32_t>(hold);
            Ship(h);
            LinkPairPass(P, 0);
        }
        FeedHost(h, replyLen);
        FeedTerm(t);
    };
    // Runs the pair up to virtual time `until`, serving both ends whenever messages arrive and when
    // the encoder's hold runs out.
    auto runTo = [&](uint32_t until) {
        for (int guard = 0; guard < 10000000; guard++) {
            service();
            uint32_t target = until;
            if (h->holding && static_cast<int32_t>(h->resumeAt - target) < 0) target = h->resumeAt;
            int32_t d = static_cast<int32_t>(target - P->vclock.usec);
            if (d <= 0) {
                if (target == until) return;
                P->vclock.usec = target;  // the hold ends now
                continue;
            }
            LinkPairRun(P, static_cast<uint32_t>(d), AnyInput);
        }
    };
    for (const Chunk& c : rec->chunks) {
        runTo(t0 + c.ms * 1000);
        (c.dir == 'c' ? h : t)->avail += c.n;
        service();
    }
    // Everything still on its way, then a quiet second for the last acknowledgements.
    for (int i = 0; i < 3000 && Busy(P, *h, *t); i++) runTo(P->vclock.usec + 10000);
    out->virtualSeconds = static_cast<uint32_t>(P->vclock.usec - t0) / 1e6;

    for (int e = 0; e < 2; e++) {
        const LinkStats& now = e ? P->term.stats : P->host.stats;
        out->lineBytes[e] = P->line.pipe[e].stats.bytesSent - base[e];
        out->frames[e] = now.framesOut - s0[e].framesOut;
        out->packets[e] = now.packetsOut - s0[e].packetsOut;
        out->msgs[e] = now.msgsOut - s0[e].msgsOut;
        out->msgBytes[e] = now.msgBytesOut - s0[e].msgBytesOut;
        out->resends[e] = now.resends - s0[e].resends;
        out->splits[e] = now.splits - s0[e].splits;
        out->flagBytes[e] = taps[e].flags;
        out->escapeBytes[e] = taps[e].escapes;
        out->frameBytes[e] = taps[e].frameBytes;
    }
    out->unusedDiffs = CountDiffs(rec->c2s, t->got);
    out->fault = Compare("client to server", ClearUnused(rec->c2s, setupLen, little), ClearUnused(t->got, setupLen, little));
    if (out->fault.empty()) out->fault = Compare("server to client", rec->s2c, h->got);
    if (out->fault.empty() && Busy(P, *h, *t)) out->fault = "the replay did not drain";
    out->exact = out->fault.empty();
    if (std::getenv("LQ_WIRE_DEBUG"))
        std::fprintf(stderr, "%s: h fed %zu/%zu hold %d req %d enc %d | t fed %zu/%zu req %d | out %d %d wl %d %d sendwin %d %d cli %d %d pool %d %d\n",
                     rec->name.c_str(), h->fed, h->avail, h->holding, lstCount(h->c.reqList), lstCount(h->c.encList), t->fed, t->avail,
                     lstCount(t->c.reqList), lstCount(&P->hostOut), lstCount(&P->termOut), lstCount(&P->host.trans.transWriteList),
                     lstCount(&P->term.trans.transWriteList), TransIsSendWindowOpen(&P->host), TransIsSendWindowOpen(&P->term),
                     TransIsClientSendWindowOpen(&P->host, id), TransIsClientSendWindowOpen(&P->term, id), BufPoolCount(&P->hostBufs), BufPoolCount(&P->termBufs));

    capture.pair = nullptr;
    FreeSide(h);
    FreeSide(t);
    delete h;
    delete t;
    LinkPairDestroy(P);
    delete P;
    return 0;
}
