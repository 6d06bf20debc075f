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

// The relay checks every client's authorization itself and passes on only set-ups it has
// accepted, without their authorization: the terminal may add its own X server's cookie to them.
constexpr uint32_t LINKEXT_VOUCH = 1u << 0;
constexpr uint32_t LINKEXT_KNOWN = LINKEXT_VOUCH;

// Writes an offer or an answer with the given bits to p (LINKEXT_LEN bytes) and returns its length.
size_t LinkExtWrite(uint8_t* p, uint32_t bits);
// Reads an offer or answer from the len bytes at p: 0 with its bits (unknown ones cleared), or -1
// when they are none (too short, or another tag). Bytes after the bit set belong to later versions.
int LinkExtRead(const uint8_t* p, size_t len, uint32_t* bits);
