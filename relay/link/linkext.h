// Extensions the relay and our own terminal end may agree on, beyond the base protocol. The
// terminal offers them after the four bytes of its MSG_XREADY; the relay answers, before it accepts
// its first client, with a MSG_EXTENSIONS holding the ones it takes. A terminal that offers
// nothing gets no answer and the base protocol, byte for byte. The wire format is in
// docs/extensions.md.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint8_t LINKEXT_VERSION = 1;
constexpr size_t LINKEXT_LEN = 9;  // tag (4 bytes), version, bit set (4 bytes, high byte first)
constexpr size_t LINKEXT_MAX = 64; // room an offer or answer with its parameters needs

// The relay checks every client's authorization itself and passes on only set-ups it has
// accepted, without their authorization: the terminal may add its own X server's cookie to them.
constexpr uint32_t LINKEXT_VOUCH = 1u << 0;
// Later set-up replies cross as their differences against the last one the link carried; the
// parameter LINKEXT_P_SETUP_BASE names a first one both ends hold from an earlier session.
constexpr uint32_t LINKEXT_SETUPDIFF = 1u << 1;
// Every message that carries data (types 0-3 and file data) is coded by deflate with a history
// for the life of the link, instead of LZW (relay/link/zcoder.h). The link layer switches by itself
// at a point in packet order: after the MSG_EXTENSIONS it sends (the relay's answer, the
// terminal's confirmation), and on delivering the peer's.
constexpr uint32_t LINKEXT_ZCODER = 1u << 2;
// Faster loss recovery (relay/link/transrecover.cpp): a receiver reports damage, gaps and
// duplicates at once in unnumbered link controls, and a sender probes a burst's unacknowledged tail
// and times its resends by the round trip and line rate it measures.
constexpr uint32_t LINKEXT_RECOVER = 1u << 3;
// Long replies that either end is known to hold cross as references into a store both ends keep in
// step (relay/xspec/xstore.h); the parameter LINKEXT_P_STORE names a store both hold from an
// earlier session.
constexpr uint32_t LINKEXT_STORE = 1u << 4;
// The relay answers requests whose reply it knows before the terminal's X server sends it
// (relay/xspec/xanswer.h): AllocColor on a TrueColor default colormap, learnt per X server. The
// terminal does nothing different; the bit says that its X server's replies may be answered ahead.
// Needs LINKEXT_SETUPDIFF, through which the relay follows the set-up replies.
constexpr uint32_t LINKEXT_ANSWER = 1u << 5;
// With LINKEXT_ANSWER: the relay marks each request it answered with a check of its answer, and the
// terminal drops the X server's reply when it has that check, so that only a reply that differs
// crosses the line.
constexpr uint32_t LINKEXT_ANSWERQUIET = 1u << 6;
constexpr uint32_t LINKEXT_KNOWN = LINKEXT_VOUCH | LINKEXT_SETUPDIFF | LINKEXT_ZCODER | LINKEXT_RECOVER | LINKEXT_STORE |
                                   LINKEXT_ANSWER | LINKEXT_ANSWERQUIET;
// The bits the link layer acts on itself; the terminal's link confirms these.
constexpr uint32_t LINKEXT_LINK_BITS = LINKEXT_ZCODER | LINKEXT_RECOVER;

// Parameters after the bit set: each an id byte, a length byte and that many bytes of value.
constexpr uint8_t LINKEXT_P_SETUP_BASE = 1;  // 8 bytes: SetupHash of the set-up reply held
constexpr uint8_t LINKEXT_P_STORE = 2;       // 8 bytes: XStoreDigest of the message store held

struct LinkExtParams {
    uint64_t setupBase;  // 0: none
    uint64_t store;      // 0: none
};

// Writes an offer or an answer with the given bits and parameters (may be null) to p (room for
// LINKEXT_MAX bytes) and returns its length.
size_t LinkExtWrite(uint8_t* p, uint32_t bits, const LinkExtParams* params = nullptr);
// Reads an offer or answer from the len bytes at p: 0 with its bits (unknown ones cleared) and
// parameters (params may be null; unknown ones are skipped, a list cut short ends where it is cut),
// or -1 when they are none (too short, or another tag).
int LinkExtRead(const uint8_t* p, size_t len, uint32_t* bits, LinkExtParams* params = nullptr);
