// The message store: long X replies that cross the line again and again (font information,
// keyboard mappings, the resource database) cross as short references once the other end holds
// them. Both ends keep one store for the replies that go from the terminal to the relay, keyed by
// content, and change it by the same rule in link order, so that each knows what the other holds
// without being told:
//   - a reply of XSTORE_MIN to XSTORE_MSG_MAX bytes that crossed whole is added as the newest
//     entry (as the terminal puts its last byte on the link, as the relay takes that byte in);
//   - a reference to an entry makes it the newest again at both ends;
//   - while the entries' bytes exceed XSTORE_CAP, the oldest is dropped.
// A store is kept on disk between sessions and named by its digest (the keys in order), which the
// terminal offers at the start of the link; both ends start from the same store or from none.
//
// A key is two independent 64-bit hashes of the message with its sequence number (bytes 2-3)
// cleared, and its length: the sequence number travels in the reference. An entry holds the bytes
// with the sequence number cleared.
#pragma once
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

constexpr size_t XSTORE_MIN = 128;             // shorter replies are not worth a reference
constexpr size_t XSTORE_MSG_MAX = 1u << 20;     // longer replies are not kept
constexpr size_t XSTORE_CAP = 16u << 20;       // bytes of entries a store keeps (both ends alike)

// ---- the references on the link (message type MSG_XSTORE, no client id in the type byte) ----
//   [0] XSTORE_REF,  [1] client id, [2..3] bytes 2-3 of the message as they are,
//                    [4..7] length, [8..15] hash a, [16..23] hash b   (numbers high byte first)
//   [0] XSTORE_MISS, [1] client id, [2..21] length and hashes: the relay cannot resolve it
//   [0] XSTORE_DATA, [1] client id, [2..] the next bytes of the entry asked for, in order
//   [0] XSTORE_LOST, [1] client id: the terminal no longer holds it either
constexpr uint8_t XSTORE_REF = 1;
constexpr uint8_t XSTORE_MISS = 2;
constexpr uint8_t XSTORE_DATA = 3;
constexpr uint8_t XSTORE_LOST = 4;
constexpr size_t XSTORE_REF_LEN = 24;
constexpr size_t XSTORE_MISS_LEN = 22;
constexpr size_t XSTORE_DATA_MAX = 254;  // message bytes in one XSTORE_DATA piece

struct XStoreKey {
    uint64_t a, b;
    uint32_t len;
    bool operator==(const XStoreKey&) const = default;
};

// True for a server message the store takes: a reply of XSTORE_MIN to XSTORE_MSG_MAX bytes.
bool XStoreEligible(uint8_t first, uint32_t size);
// The key of the n bytes at m (at least 4), their sequence number cleared.
XStoreKey XStoreKeyOf(const uint8_t* m, size_t n);

// A reference as it crosses the link, and read back: 0, or -1 when it is malformed.
struct XStoreRef {
    uint8_t kind;      // XSTORE_REF or XSTORE_MISS
    uint8_t clientId;
    uint8_t seq[2];    // bytes 2-3 of the message (XSTORE_REF only)
    XStoreKey key;
};
size_t XStoreRefWrite(const XStoreRef& r, uint8_t* out);  // out: XSTORE_REF_LEN bytes
int XStoreRefRead(const uint8_t* p, size_t n, XStoreRef* r);

struct XStoreEntry {
    XStoreKey key;
    std::vector<uint8_t> bytes;  // the message, sequence number cleared
};

struct XStoreKeyHash {
    size_t operator()(const XStoreKey& k) const { return static_cast<size_t>(k.a ^ (k.b << 1) ^ k.len); }
};

// Figures of one end: references made or resolved, misses, and the message bytes the references
// stood for less their own, in all and by the major opcode of the request a reply answers (when
// that end knows it; 0 when not).
struct XStoreStats {
    uint64_t added, hits, misses, bytesSaved, evicted;
    uint64_t hitsBy[256], bytesSavedBy[256];
};

struct XStore {
    std::list<XStoreEntry> entries;  // oldest first
    std::unordered_map<XStoreKey, std::list<XStoreEntry>::iterator, XStoreKeyHash> index;
    size_t bytes = 0;
    size_t cap = XSTORE_CAP;
    XStoreStats stats{};
};

void XStoreClear(XStore* s);
// The entry with this key, made the newest; null when the store does not hold it.
const XStoreEntry* XStoreTake(XStore* s, const XStoreKey& k);
// True when the store holds the key, and the entry itself (nothing changes).
bool XStoreHolds(const XStore* s, const XStoreKey& k);
const XStoreEntry* XStoreFind(const XStore* s, const XStoreKey& k);
// Adds the n bytes at m (an eligible message) as the newest entry, or makes it the newest when it is
// held, and drops the oldest while the store is over its cap. False without memory (the store is
// then as before but for the drops).
bool XStoreAdd(XStore* s, const uint8_t* m, size_t n);
// Drops the entry with this key, if held (a store that loses one out of step: the other end's
// reference then misses).
void XStoreDrop(XStore* s, const XStoreKey& k);
// The digest of the store: its keys in order. 0 only for an empty store.
uint64_t XStoreDigest(const XStore* s);
// Writes a reference's message into out: the entry's bytes with the reference's bytes 2-3.
void XStoreResolve(const XStoreEntry& e, const uint8_t seq[2], std::vector<uint8_t>* out);
// One summary line of the figures ("store: ...", by opcode for the busiest ones).
std::string XStoreStatsLine(const XStoreStats& st);

// ---- on disk ----
// A file holds "LQSTORE1", the number of entries (4 bytes), then each entry as its length
// (4 bytes), hash a and hash b (8 bytes each) and its bytes, and last the 64-bit FNV-1a hash of all
// that went before (8 bytes), numbers most significant byte first. A file that does not read
// exactly so, whose entries do not match their keys, that repeats a key or holds more than the cap
// is refused whole.
// Serialises the store into a file's bytes, and reads them back (the store is empty after a
// failure, why then says what was wrong).
std::vector<uint8_t> XStoreEncode(const XStore* s);
int XStoreDecode(XStore* s, const uint8_t* p, size_t n, std::string* why);
// Reads or writes (whole, by a temporary file renamed into place, making dir first) a store
// file. 0, or -1 with why set.
int XStoreLoad(XStore* s, const std::string& path, std::string* why);
int XStoreSave(const XStore* s, const std::string& dir, const std::string& path, std::string* why);
