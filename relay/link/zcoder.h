// Per-packet coders with a history that lasts for the life of the link: each message is coded on
// its own into one packet body, but matches may reach back into every earlier message of the same
// direction. The encoder and the peer's decoder must therefore see the same messages in the same
// order, each exactly once: a packet that has to go again is resent as the body that was made, never
// coded a second time.
//
//   deflate  raw deflate (zlib, no header), one sync flush per message with its 00 00 FF FF tail
//            left off the line (the decoder puts it back);
//   zstd     one zstd frame for the whole link (libzstd), one flushed block per message; the frame
//            header is known to both ends and never sent, and the 3-byte block header is cut to one
//            type byte (the block size follows from the body length).
//
// Incompressible input costs at most one byte more than the message:
//   deflate  a body whose first byte has bit 0 set carries the message as it is after that byte
//            (a coded body starts with a non-final block header, bit 0 clear); the encoder has the
//            message in its history already, and the decoder appends it to its own;
//   zstd     the library's own uncompressed block, which keeps both histories in step, behind the
//            type byte.
// An empty message is an empty body for either coder.
//
// Both ends may be primed with the same dictionary: bytes that count as history before the first
// message.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

enum class ZKind : uint8_t { Deflate, Zstd };

struct ZCoderParams {
    ZKind kind = ZKind::Deflate;
    int level = 6;          // deflate 1..9, zstd 1..19
    int windowLog = 15;     // history of 2^windowLog bytes: deflate 9..15, zstd 10..23
    const uint8_t* dict = nullptr;  // history to start from, or null
    size_t dictLen = 0;
};

// The longest message either coder takes; longer is refused.
constexpr size_t ZCODER_MAX_MSG = 64 * 1024;

class ZEncoder {
public:
    ZEncoder() = default;
    ZEncoder(const ZEncoder&) = delete;
    ZEncoder& operator=(const ZEncoder&) = delete;
    ~ZEncoder();
    // 0, or -1 on bad parameters or no memory. A second call starts a fresh history.
    int Init(const ZCoderParams& p);
    // Codes msg[0, n) into *body (replaced), at most n + 1 bytes. 0, or -1 (not initialised, n
    // above ZCODER_MAX_MSG, or a library failure: the history is then lost and every later call
    // fails too).
    int Code(const uint8_t* msg, size_t n, std::vector<uint8_t>* body);

private:
    void Release();
    ZKind kind_ = ZKind::Deflate;
    void* z_ = nullptr;  // z_stream or ZSTD_CCtx
    bool headerPending_ = false;  // zstd: the first output still starts with the frame header
    int windowLog_ = 15;
    bool broken_ = false;
    std::vector<uint8_t> scratch_;
};

class ZDecoder {
public:
    ZDecoder() = default;
    ZDecoder(const ZDecoder&) = delete;
    ZDecoder& operator=(const ZDecoder&) = delete;
    ~ZDecoder();
    int Init(const ZCoderParams& p);
    // Decodes body[0, n) into *msg (replaced). 0; -1 when the body is malformed, would give more
    // than cap bytes, or the decoder has failed before: *msg is then empty, and since the history no
    // longer mirrors the peer's, every later call fails too.
    int Decode(const uint8_t* body, size_t n, size_t cap, std::vector<uint8_t>* msg);

private:
    void Release();
    int Fail(std::vector<uint8_t>* msg);
    ZKind kind_ = ZKind::Deflate;
    void* z_ = nullptr;  // z_stream or ZSTD_DCtx
    bool broken_ = false;
    std::vector<uint8_t> scratch_;
};

// One relay end's pair: the encoder for what it sends, the decoder for what it receives.
struct ZCoder {
    ZEncoder enc;
    ZDecoder dec;
    int Init(const ZCoderParams& p) { return enc.Init(p) == 0 && dec.Init(p) == 0 ? 0 : -1; }
};
