// Helpers of the link tests: seeded random link messages and an in-order delivery check.
#pragma once
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "relay/core/buf.h"
#include "relay/link/link.h"

inline Buf* MakeMsg(BufData* d, uint8_t type, uint8_t clientId, const std::vector<uint8_t>& bytes) {
    Buf* b = BufGet(d);
    if (!b) return nullptr;
    b->type = type;
    b->clientId = clientId;
    b->linkFlags = 0;
    if (!bytes.empty()) std::memcpy(b->data, bytes.data(), bytes.size());
    b->end = b->data + bytes.size();
    return b;
}

inline std::vector<uint8_t> Content(const Buf* b) { return std::vector<uint8_t>(b->start, b->end); }

struct ExpectMsg {
    uint8_t type, clientId;
    std::vector<uint8_t> bytes;
};

// Random messages of every type a caller may hand the transport, sizes 0 to the maximum, many
// clients, compressible and incompressible contents.
struct MsgGen {
    std::mt19937 rng;
    explicit MsgGen(uint32_t seed) : rng(seed) {}
    int Pick(int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); }
    uint8_t ClientId() {
        int i = Pick(52);
        return static_cast<uint8_t>(i < 26 ? 5 + i : 37 + (i - 26));
    }
    ExpectMsg Next() {
        static const uint8_t kTypes[] = {3, 3, 3, 3, 3, 2, 2, 9, 9, 1, 7, 8, 10, 11, 12, 13, 16, 17, 18, 19};
        ExpectMsg m;
        m.type = kTypes[Pick(sizeof kTypes)];
        m.clientId = m.type <= 3 ? ClientId() : 0;
        int r = Pick(10), len = r < 4 ? Pick(41) : r < 7 ? 41 + Pick(87) : Pick(LINK_MAX_MSG + 1);
        if (m.type == MSG_XCACHED && Pick(2)) len = 2 + 2 * Pick(64);
        m.bytes.resize(static_cast<size_t>(len));
        bool text = Pick(3) != 0;
        for (auto& c : m.bytes) c = text ? static_cast<uint8_t>("abcdefgh  \n\x7d\x7e\x11\x13"[Pick(14)]) : static_cast<uint8_t>(rng());
        if (m.type == MSG_XCACHED && len >= 2 && len <= 128 && Pick(2)) m.bytes[1] = static_cast<uint8_t>((len - 2) / 2);
        return m;
    }
};

// The messages one end sent, in order, checked against what the other end delivers. A long
// compressible message may arrive cut into consecutive pieces; everything else arrives whole.
struct DeliveryCheck {
    std::deque<ExpectMsg> pending;
    uint64_t delivered = 0, pieces = 0;
    std::string error;

    bool Take(const Buf* b) {
        if (!error.empty()) return false;
        if (pending.empty()) return Fail("unexpected message", b);
        ExpectMsg& e = pending.front();
        std::vector<uint8_t> got = Content(b);
        if (b->type != e.type || b->clientId != e.clientId) return Fail("type or client differs", b);
        if (got == e.bytes) {
            pending.pop_front();
            delivered++;
            return true;
        }
        bool prefix = got.size() < e.bytes.size() && std::equal(got.begin(), got.end(), e.bytes.begin());
        if (!prefix || (e.type != MSG_XDATA && e.type != MSG_FILEDATA)) return Fail("content differs", b);
        pieces++;
        std::vector<uint8_t> rest;
        if (e.type == MSG_FILEDATA && e.bytes.size() >= 2 && (e.bytes[1] == 'F' || e.bytes[1] == 'D'))
            rest = {e.bytes[0], 'D'};
        rest.insert(rest.end(), e.bytes.begin() + static_cast<long>(got.size()), e.bytes.end());
        e.bytes = rest;
        return true;
    }
    bool Fail(const char* what, const Buf* b) {
        error = std::string(what) + " at message " + std::to_string(delivered) + " (type " + std::to_string(b->type) +
                ", client " + std::to_string(b->clientId) + ", " + std::to_string(b->Len()) + " bytes)";
        return false;
    }
};

// Tops up an end's outgoing list (up to 6 waiting) with generated messages while *left is above 0,
// noting each in check.
inline void TopUpStream(BufData* pool, Lst* out, MsgGen* gen, DeliveryCheck* check, uint64_t* left) {
    while (*left > 0 && lstCount(out) < 6) {
        ExpectMsg m = gen->Next();
        Buf* b = MakeMsg(pool, m.type, m.clientId, m.bytes);
        if (!b) break;
        lstAdd(out, b);
        check->pending.push_back(std::move(m));
        (*left)--;
    }
}

// True when a stream both ways has failed, or has been sent and delivered whole.
inline bool StreamDone(const DeliveryCheck* check, const uint64_t* left) {
    if (!check[0].error.empty() || !check[1].error.empty()) return true;
    return left[0] == 0 && left[1] == 0 && check[0].pending.empty() && check[1].pending.empty();
}

// ---- one end on a memory line ----------------------------------------------------------------

struct MemIo {
    std::vector<uint8_t> out;  // everything the end wrote
    std::deque<uint8_t> in;    // bytes waiting for the end to read
    int writeLimit = -1;       // bytes the line takes per write call; -1 = all
};

inline LinkIo MemLinkIo(MemIo* m) {
    return LinkIo{[](void* c, uint8_t* p, int n) -> int {
                      MemIo* m = static_cast<MemIo*>(c);
                      int k = 0;
                      while (k < n && !m->in.empty()) p[k++] = m->in.front(), m->in.pop_front();
                      if (k == 0) errno = EAGAIN;
                      return k ? k : -1;
                  },
                  [](void* c, const uint8_t* p, int n) -> int {
                      MemIo* m = static_cast<MemIo*>(c);
                      if (m->writeLimit >= 0 && n > m->writeLimit) n = m->writeLimit;
                      m->out.insert(m->out.end(), p, p + n);
                      return n;
                  },
                  [](void* c) -> int { return static_cast<int>(static_cast<MemIo*>(c)->in.size()); }, m};
}

// The FCS-16 of a packet, computed bit by bit (independently of the frame layer's table).
inline uint16_t SlowFcs(const std::vector<uint8_t>& p) {
    uint16_t fcs = 0xFFFF;
    for (uint8_t c : p) {
        fcs ^= c;
        for (int i = 0; i < 8; i++) fcs = (fcs & 1) ? static_cast<uint16_t>((fcs >> 1) ^ 0x8408) : static_cast<uint16_t>(fcs >> 1);
    }
    return static_cast<uint16_t>(~fcs);
}

// A frame as a peer would send it: the packet, the FCS, every 0x7D, 0x7E and byte of `stuff` (by
// default the default escape list) escaped.
inline const std::vector<uint8_t> kDefaultEscapes = {0x0a, 0x0d, 0x11, 0x13, 0x1d, 0x7f, 0x93, 0x9d, 0xff};
inline std::vector<uint8_t> EncodeFrame(std::vector<uint8_t> pkt, const std::vector<uint8_t>& stuff = kDefaultEscapes) {
    uint16_t fcs = SlowFcs(pkt);
    pkt.push_back(static_cast<uint8_t>(fcs));
    pkt.push_back(static_cast<uint8_t>(fcs >> 8));
    std::vector<uint8_t> f;
    for (uint8_t c : pkt) {
        bool esc = c == 0x7D || c == 0x7E || std::find(stuff.begin(), stuff.end(), c) != stuff.end();
        if (esc) f.push_back(0x7D), f.push_back(c ^ 0x20);
        else f.push_back(c);
    }
    f.push_back(0x7E);
    return f;
}

// Splits line bytes into packets whose FCS is good (FCS removed), in order.
inline std::vector<std::vector<uint8_t>> DecodeFrames(const std::vector<uint8_t>& bytes) {
    std::vector<std::vector<uint8_t>> pkts;
    std::vector<uint8_t> cur;
    bool esc = false;
    for (uint8_t c : bytes) {
        if (esc) {
            cur.push_back(c ^ 0x20);
            esc = false;
        } else if (c == 0x7D) {
            esc = true;
        } else if (c == 0x7E) {
            if (cur.size() > 2) {
                std::vector<uint8_t> body(cur.begin(), cur.end() - 2);
                uint16_t fcs = SlowFcs(body);
                if (cur[cur.size() - 2] == static_cast<uint8_t>(fcs) && cur.back() == static_cast<uint8_t>(fcs >> 8))
                    pkts.push_back(body);
            }
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    return pkts;
}

// One end alone on a memory line with a virtual clock.
struct SoloEnd {
    VirtualClock clock{5000000};
    BufData pool{};
    LinkEnd link{};
    MemIo io;
    explicit SoloEnd(int role = LINK_HOST, int timeout = 30, const char* escapes = nullptr) {
        BufInit(&pool);
        LinkSetDefaults(&link, role, &pool, clock.AsClock());
        link.config.timeout = timeout;
        if (escapes) LinkParseEscChars(&link, escapes);
        link.io = MemLinkIo(&io);
    }
    ~SoloEnd() {
        LinkDestroy(&link);
        BufDestroy(&pool);
    }
    int Start() { return TransInit(&link) == 0 ? TransStart(&link) : -1; }
    std::vector<std::vector<uint8_t>> Sent() { return DecodeFrames(io.out); }
    void Feed(const std::vector<uint8_t>& bytes) { io.in.insert(io.in.end(), bytes.begin(), bytes.end()); }
};
