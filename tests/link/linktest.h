// Helpers of the link tests: seeded random link messages and an in-order delivery check.
#pragma once
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
    std::memcpy(b->data, bytes.data(), bytes.size());
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
