// LZW compression of link packets (message types 0, 3 and 9).
//
// Variable-width LZW (9 to 13 bit codes, packed least significant bit first in groups of eight
// codes, clear code 256 with a compression-ratio check), adapted to packets: no stream header, each
// message coded on its own starting with a literal, and a dictionary that persists for the life of
// the link. One LzwData per relay end holds the encoder for the packets that end sends and the
// decoder for the packets it receives; the peer holds the mirror image, so both must see the same
// packets in the same order.
//
// Usage: zero-initialise an LzwData (`LzwData lzw{};`), call TransCompressInit once, and
// TransCompressFree when done.
#pragma once
#include <cstdint>

#include "relay/core/buf.h"
#include "relay/core/lst.h"

constexpr int LZW_BITS = 13;                  // widest code
constexpr int LZW_INIT_BITS = 9;              // narrowest code
constexpr int32_t LZW_HSIZE = 9001;           // hash slots of the encoder
constexpr int32_t LZW_HSHIFT = 5;             // slot = (c << LZW_HSHIFT) XOR ent
constexpr int32_t LZW_CODE_LIMIT = 1 << LZW_BITS;  // 8192: no code of this value or above
constexpr int32_t LZW_CLEAR = 256;            // clear code
constexpr int32_t LZW_FIRST = 257;            // first dictionary code
constexpr int32_t LZW_CHECK_GAP = 10000;      // input bytes between two ratio checks
constexpr int32_t LZW_BLOCK_MODE = 128;

// Compressed content of a packet and decompressed message are both at most this long; a longer
// decompressed result is cut here.
constexpr int LZW_MAX_OUT = 256;

// TransCompress codes messages of at most LZW_MAX_MSG bytes; a longer one is refused with result 2
// (the peer's decoder would cut it), leaving every state untouched.
constexpr int LZW_MAX_MSG = 256;

// The longest message whose compressed form is guaranteed to fit in LZW_MAX_OUT bytes, whatever the
// dictionary state. An n-byte message gives at most n codes plus possibly one clear code. The worst
// cases are (a) all codes 13 bits wide: ceil(13n/8) bytes; (b) a clear after k codes at 13 bits:
// the k codes and the clear padded to whole 13-byte groups, then n-k codes at 9 bits:
// 13*ceil((k+1)/8) + ceil(9(n-k)/8); (c) a width step a -> a+1 after k codes: a*ceil(k/8) +
// ceil((a+1)(n-k)/8). Only one of (b) or (c) can happen within 256 bytes. The maximum over k
// first exceeds 256 at n = 152 (case (c), 12 -> 13 bits after the first code: 12 + 246 bytes), so
// 151 bytes always fit.
// The transport cuts a message that got result 2 into pieces of at most this size.
constexpr int LZW_SAFE_MSG = 151;

struct LzwEncoder {
    int32_t* hashTable;   // LZW_HSIZE keys (c << 13) + ent; -1 = empty
    uint16_t* codeTable;  // LZW_HSIZE codes
    int32_t hashSize;
    int32_t hashShift;
    int32_t maxBits;
    int32_t codeLimit;
    int32_t codeWidth;
    int32_t largestCode;  // 2^codeWidth - 1, or codeLimit at the widest width
    int32_t nextCode;
    int32_t blockMode;
    int32_t clearFlag;
    int32_t ratio;        // best ratio since the last clear, 8 fractional bits
    int32_t checkpoint;   // inCount at which the ratio is next looked at
    int32_t inCount;      // input bytes since the last clear, not counting first bytes
    int32_t outCount;     // output bytes since the last clear
    uint8_t group[LZW_BITS];
    int32_t bitOffset;
};

struct LzwDecoder {
    uint16_t* prefix;  // LZW_CODE_LIMIT entries
    uint8_t* suffix;   // LZW_CODE_LIMIT entries; entry i is i for i < 256
    uint8_t* stack;    // LZW_CODE_LIMIT bytes: room for the longest chain
    int32_t codeWidth;
    int32_t largestCode;
    int32_t nextCode;
    int32_t clearFlag;
    uint8_t group[LZW_BITS + 3];  // zero padded so a code can be read as three bytes
    int32_t bitOffset;
    int32_t groupBits;  // bits of the group from which a whole code can still be read
};

// One written hash slot with its previous contents, so a failed attempt can be taken back.
struct LzwUndo {
    int32_t slot;
    int32_t key;
    uint16_t code;
};

struct LzwData {
    int initialized;
    // Where the report of a refused message goes ("restore_htab_map called(1)" while coding,
    // "(2)" in the final flush); null: "LQx panic: %s\n" on standard error. Kept by the free.
    void (*panic)(const char* msg);
    LzwEncoder encoder;
    LzwDecoder decoder;
    // Undo state of the message being coded.
    LzwEncoder savedEncoder;     // encoder record at the start of the message
    LzwUndo* undoLog;            // LZW_MAX_MSG entries: hash slots written, in order
    int32_t undoCount;
    int32_t undoClearAt;         // undoCount when a clear wiped the table this message, or -1
    int32_t* savedHashTable;     // the hash table as it was when that clear wiped it
    uint16_t* savedCodeTable;
};

// Sets up both states; a second call does nothing. 0, or -1 when memory cannot be had.
int TransCompressInit(LzwData* pLzwData);
// Releases the tables; the record may then be initialised again.
void TransCompressFree(LzwData* pLzwData);

// Compresses the content of msg into the spare Buf at the head of transCompList.
//  0: done; the output Buf is at the head of transCompList (content from its data area start) and
//     msg's content has been consumed (start = end).
// -1: an argument is absent. -2: transCompList is empty.
//  2: the compressed form would not fit in LZW_MAX_OUT bytes, or msg is longer than LZW_MAX_MSG;
//     msg is unchanged, the spare is emptied and stays on transCompList, and the encoder is exactly
//     as before the call. Send the message in pieces of at most LZW_SAFE_MSG bytes instead.
int TransCompress(LzwData* pLzwData, Buf* msg, Lst* transCompList);

// Decompresses the content of pkt into out (content from its data area start, at most LZW_MAX_OUT
// bytes; a longer result is cut). pkt is left as it is.
//  0: done (an empty packet gives an empty message).
// -1: an argument is absent, pkt is out, or the packet is corrupt (a code the dictionary does not
//     hold, or a clear code not followed by a literal); out is then empty. The decoder stays safe
//     to use but no longer mirrors the peer's encoder.
int TransUncompress(LzwData* pLzwData, Buf* pkt, Buf* out);
