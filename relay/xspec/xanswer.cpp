#include "relay/xspec/xanswer.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "relay/xspec/setupdiff.h"
#include "relay/xspec/xbytes.h"

namespace {

constexpr uint8_t X_KEYMAP_NOTIFY = 11;
constexpr uint8_t X_TRUE_COLOR = 4;
constexpr char kMagic[4] = {'L', 'Q', 'A', 'C'};
constexpr uint8_t kVersion = 1;
constexpr size_t kHead = 4 + 1 + 8 + 4;
constexpr size_t kEntry = 16;

uint64_t Be(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; i++) v = v << 8 | p[i];
    return v;
}

void PutBe(std::vector<uint8_t>* out, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; i--) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Core requests that have exactly one reply (or one error): the reply with their sequence number
// is the last thing the X server sends for them. ListFontsWithInfo, with a reply per font, and
// every extension request are left out: for those only a later sequence number tells.
bool SingleReply(uint8_t op) {
    switch (op) {
        case 3: case 14: case 15: case 16: case 17: case 20: case 21: case 23: case 26: case 31:
        case 38: case 39: case 40: case 43: case 44: case 47: case 48: case 49: case 52: case 73:
        case 83: case 84: case 85: case 86: case 87: case 91: case 92: case 97: case 98: case 99:
        case 101: case 103: case 106: case 108: case 110: case 116: case 117: case 118: case 119:
            return true;
        default:
            return false;
    }
}

uint64_t ColorKey(const uint8_t* req, bool little) {
    return static_cast<uint64_t>(XspecLoad16(req + 8, little)) << 32 |
           static_cast<uint64_t>(XspecLoad16(req + 10, little)) << 16 | XspecLoad16(req + 12, little);
}

std::vector<uint8_t> MakeReply(uint32_t seq, const XAnswerColor& c, bool little) {
    std::vector<uint8_t> r(32, 0);
    r[0] = 1;
    XspecStore16(&r[2], static_cast<uint16_t>(seq), little);
    for (int i = 0; i < 3; i++) XspecStore16(&r[8 + 2 * i], c.rgb[i], little);
    XspecStore32(&r[16], c.pixel, little);
    return r;
}

XAnswerColor ColorOf(const uint8_t* reply, bool little) {
    XAnswerColor c{};
    for (int i = 0; i < 3; i++) c.rgb[i] = XspecLoad16(reply + 8 + 2 * i, little);
    c.pixel = XspecLoad32(reply + 16, little);
    return c;
}

// The full sequence number of a message's 16 bits: the latest request read that has them.
uint32_t Widen(const XAnswerStream* s, uint16_t low) {
    uint32_t v = (s->reqSeq & ~0xffffu) | low;
    if (v > s->reqSeq) v = v >= 0x10000 ? v - 0x10000 : 0;
    return v;
}

void Done(XAnswerStream* s, uint32_t seq) {
    if (seq > s->done) s->done = seq;
    while (!s->pending.empty() && s->pending.front().seq <= s->done) s->pending.pop_front();
}

// A whole message head: what becomes of the message, and the head as the client gets it.
void TakeHead(XAnswerStream* s, XAnswerTable* t) {
    const uint8_t type = s->head[0] & 0x7f;
    const uint32_t size = XspecServerMessageSize(s->head, s->little);
    s->bodyLeft = size - 32;
    s->dropping = false;
    if (type == X_KEYMAP_NOTIFY) return;  // the one message without a sequence number
    const uint32_t seq = Widen(s, XspecLoad16(s->head + 2, s->little));
    if (type == 1) {
        if (seq > 0) Done(s, seq - 1);
        if (!s->pending.empty() && s->pending.front().seq == seq) {
            const XAnswerStream::Pending e = s->pending.front();
            if (e.answered) {
                s->dropping = true;
                t->checked++;
                if (size != 32 || !(ColorOf(s->head, s->little) == e.made)) {
                    t->wrong++;
                    t->off = true;
                }
            } else if (e.opcode == X_ALLOC_COLOR && size == 32 && s->colormap &&
                       (t->colors.size() < XANSWER_COLORS_MAX || t->colors.count(e.color))) {
                if (t->colors.insert_or_assign(e.color, ColorOf(s->head, s->little)).second) t->learned++;
            }
            Done(s, seq);
        }
    } else if (type == 0) {
        Done(s, seq);
    } else if (seq > 0) {
        Done(s, seq - 1);
    }
    if (!s->dropping && seq < s->lastAnswer) XspecStore16(s->head + 2, static_cast<uint16_t>(s->lastAnswer), s->little);
}

}  // namespace

uint64_t XAnswerServerKey(const uint8_t* reply, size_t n) {
    if (n < 40) return 0;
    std::vector<uint8_t> v(reply, reply + n);
    std::memset(&v[12], 0, 8);
    return SetupHash(v.data(), v.size()) | 1;
}

uint32_t XAnswerTrueColormap(const uint8_t* p, size_t n) {
    if (n < 40 || p[0] != 1) return 0;
    const bool little = p[2] == 11 && p[3] == 0;
    const size_t vendor = XspecLoad16(p + 24, little);
    const size_t formats = p[29];
    size_t at = 40 + ((vendor + 3) & ~size_t{3}) + 8 * formats;
    if (p[28] == 0 || at + 40 > n) return 0;
    const uint8_t* scr = p + at;
    const uint32_t colormap = XspecLoad32(scr + 4, little);
    const uint32_t rootVisual = XspecLoad32(scr + 32, little);
    const int depths = scr[39];
    at += 40;
    for (int d = 0; d < depths; d++) {
        if (at + 8 > n) return 0;
        const size_t visuals = XspecLoad16(p + at + 2, little);
        at += 8;
        for (size_t v = 0; v < visuals; v++, at += 24) {
            if (at + 24 > n) return 0;
            if (XspecLoad32(p + at, little) == rootVisual) return p[at + 4] == X_TRUE_COLOR ? colormap : 0;
        }
    }
    return 0;
}

std::vector<uint8_t> XAnswerFileBytes(const XAnswerTable& t) {
    std::vector<uint8_t> out(kMagic, kMagic + 4);
    out.push_back(kVersion);
    PutBe(&out, t.server, 8);
    PutBe(&out, t.colors.size(), 4);
    for (const auto& [color, c] : t.colors) {
        PutBe(&out, color, 6);
        for (uint16_t v : c.rgb) PutBe(&out, v, 2);
        PutBe(&out, c.pixel, 4);
    }
    PutBe(&out, SetupHash(out.data(), out.size()), 8);
    return out;
}

int XAnswerFileRead(XAnswerTable* t, uint64_t server, const uint8_t* p, size_t n, std::string* why) {
    t->colors.clear();
    t->server = server;
    if (n < kHead + 8 || std::memcmp(p, kMagic, 4) != 0 || p[4] != kVersion) {
        *why = "not a colour table";
        return -1;
    }
    const uint64_t count = Be(p + 13, 4);
    if (count > XANSWER_COLORS_MAX || n != kHead + count * kEntry + 8 || Be(p + n - 8, 8) != SetupHash(p, n - 8)) {
        *why = "damaged";
        return -1;
    }
    if (Be(p + 5, 8) != server) {
        *why = "another X server's";
        return -1;
    }
    for (const uint8_t* e = p + kHead; e < p + n - 8; e += kEntry) {
        const XAnswerColor c{{static_cast<uint16_t>(Be(e + 6, 2)), static_cast<uint16_t>(Be(e + 8, 2)),
                              static_cast<uint16_t>(Be(e + 10, 2))},
                             static_cast<uint32_t>(Be(e + 12, 4))};
        t->colors[Be(e, 6)] = c;
    }
    return 0;
}

int XAnswerLoad(XAnswerTable* t, uint64_t server, const std::string& path, std::string* why) {
    std::ifstream in(path, std::ios::binary);
    t->colors.clear();
    t->server = server;
    if (!in) {
        *why = path + ": none";
        return -1;
    }
    std::vector<uint8_t> bytes;
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        bytes.insert(bytes.end(), buf, buf + in.gcount());
        if (bytes.size() > kHead + XANSWER_COLORS_MAX * kEntry + 8) break;
    }
    std::string what;
    if (XAnswerFileRead(t, server, bytes.data(), bytes.size(), &what) == -1) {
        *why = path + ": " + what;
        return -1;
    }
    return 0;
}

int XAnswerSave(const XAnswerTable& t, const std::string& dir, const std::string& path, std::string* why) {
    const std::vector<uint8_t> bytes = XAnswerFileBytes(t);
    return CacheFileReplace(dir, path, bytes.data(), bytes.size(), why);
}

uint64_t XAnswerFold(uint64_t h, const uint8_t* reply, bool little) {
    // The colour and the pixel as integers, so that the hash does not depend on byte order; an
    // error folds in a byte no reply does.
    auto byte = [&h](uint32_t v) { h = (h ^ (v & 0xff)) * 0x100000001b3ull; };
    if (!reply) {
        byte(0);
        return h;
    }
    byte(1);
    const XAnswerColor c = ColorOf(reply, little);
    for (uint32_t v : {uint32_t{c.rgb[0]}, uint32_t{c.rgb[1]}, uint32_t{c.rgb[2]}, c.pixel})
        for (int i = 0; i < 4; i++) byte(v >> (8 * i));
    return h;
}

void XAnswerKept(XAnswerStream* s, XAnswerTable* t, uint32_t count, uint64_t hash) {
    uint64_t h = XANSWER_FOLD_START;
    bool ok = count <= s->unchecked.size();
    for (uint32_t i = 0; ok && i < count; i++) {
        h = XAnswerFold(h, MakeReply(0, s->unchecked.front(), s->little).data(), s->little);
        s->unchecked.pop_front();
    }
    t->checked += count;
    if (!ok || h != hash) {
        t->wrong++;
        t->off = true;
        s->unchecked.clear();
    }
}

int XAnswerKeptRead(const uint8_t* p, size_t n, uint8_t* client, uint32_t* count, uint64_t* hash) {
    if (n != XANSWER_KEPT_LEN || p[0] != XANSWER_KEPT || p[1] >= 64) return -1;
    *client = p[1];
    *count = static_cast<uint32_t>(Be(p + 2, 4));
    *hash = Be(p + 6, 8);
    return 0;
}

void XAnswerKeptWrite(uint8_t client, uint32_t count, uint64_t hash, uint8_t* out) {
    std::vector<uint8_t> v = {XANSWER_KEPT, client};
    PutBe(&v, count, 4);
    PutBe(&v, hash, 8);
    std::memcpy(out, v.data(), XANSWER_KEPT_LEN);
}


namespace {

// What XAnswerRequest does but for the mark: true when the request was answered.
bool TakeRequest(XAnswerStream* s, XAnswerTable* t, const uint8_t* req, bool alloc) {
    s->reqSeq++;
    const uint8_t op = req[0];
    if (s->lost || !SingleReply(op)) {
        s->lastPassed = s->reqSeq;
        return false;
    }
    if (s->pending.size() >= XANSWER_PENDING_MAX || s->unchecked.size() >= XANSWER_PENDING_MAX) {
        // A client that leaves this many replies unread is not one that waits for each: following
        // it further would cost memory for nothing.
        s->lost = true;
        s->lastPassed = s->reqSeq;
        return false;
    }
    XAnswerStream::Pending e{s->reqSeq, op, false, alloc ? ColorKey(req, s->little) : 0, {}};
    if (alloc && !t->off && s->lastPassed <= s->done) {
        const auto it = t->colors.find(e.color);
        if (it != t->colors.end()) {
            e.answered = true;
            e.made = it->second;
            s->ready.push_back(MakeReply(e.seq, e.made, s->little));
            t->answered++;
        }
    }
    if (!e.answered) s->lastPassed = s->reqSeq;
    s->pending.push_back(e);
    return e.answered;
}

}  // namespace

bool XAnswerRequest(XAnswerStream* s, XAnswerTable* t, uint8_t* req, size_t n) {
    const bool alloc = req[0] == X_ALLOC_COLOR && n >= 16 && XspecLoad16(req + 2, s->little) == 4 && s->colormap &&
                       XspecLoad32(req + 4, s->little) == s->colormap;
    const bool answered = TakeRequest(s, t, req, alloc);
    // Every AllocColor of a quiet stream is marked, so that what the client left in those bytes is
    // never taken for a check.
    if (s->quiet && req[0] == X_ALLOC_COLOR && n >= 16 && XspecLoad16(req + 2, s->little) == 4)
        XspecStore16(req + 14, answered ? XANSWER_MARK : 0, s->little);
    if (answered && s->quiet) s->unchecked.push_back(s->pending.back().made);
    return answered;
}

bool XAnswerFlush(XAnswerStream* s, XAnswerSink sink, void* ctx) {
    while (s->bodyLeft == 0 && !s->ready.empty()) {
        const std::vector<uint8_t>& r = s->ready.front();
        if (!sink(ctx, r.data(), r.size())) return false;
        s->lastAnswer = Widen(s, XspecLoad16(&r[2], s->little));
        s->ready.pop_front();
    }
    return true;
}

bool XAnswerServer(XAnswerStream* s, XAnswerTable* t, const uint8_t* p, size_t n, XAnswerSink sink, void* ctx) {
    while (n > 0) {
        if (s->bodyLeft == 0) {
            const size_t k = std::min<size_t>(n, 32 - s->headHave);
            std::memcpy(s->head + s->headHave, p, k);
            s->headHave += static_cast<uint32_t>(k);
            p += k;
            n -= k;
            if (s->headHave < 32) break;
            s->headHave = 0;
            TakeHead(s, t);
            if (!s->dropping && !sink(ctx, s->head, 32)) return false;
        } else {
            const size_t k = std::min<size_t>(n, s->bodyLeft);
            if (!s->dropping && !sink(ctx, p, k)) return false;
            s->bodyLeft -= static_cast<uint32_t>(k);
            p += k;
            n -= k;
        }
        if (s->bodyLeft == 0 && !XAnswerFlush(s, sink, ctx)) return false;
    }
    return XAnswerFlush(s, sink, ctx);
}

std::string XAnswerStatsLine(const XAnswerTable& t) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "answers at the relay: %llu AllocColor answered, %llu checked, %llu wrong%s; %zu colours known (%llu learnt)",
                  static_cast<unsigned long long>(t.answered), static_cast<unsigned long long>(t.checked),
                  static_cast<unsigned long long>(t.wrong), t.off ? " (answering stopped)" : "", t.colors.size(),
                  static_cast<unsigned long long>(t.learned));
    return line;
}
