#include "relay/link/zcoder.h"

#include <zlib.h>
// For the block splitter switch: one message must stay one block.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cstring>

namespace {

// Deflate: a raw body is marked by bit 0 of its first byte, which in a coded body is the final-block
// bit: never set, as the link's stream never ends.
constexpr uint8_t kDeflateRaw = 0x01;
constexpr uint8_t kSyncTail[4] = {0x00, 0x00, 0xFF, 0xFF};

// Zstd: the type byte of a body is the block type; a block never ends the frame.
constexpr uint8_t kZRaw = 0, kZRle = 1, kZCompressed = 2;
constexpr size_t kZBlockHeader = 3;

bool ParamsOk(const ZCoderParams& p) {
    if (p.dictLen && !p.dict) return false;
    if (p.kind == ZKind::Deflate) return p.level >= 1 && p.level <= 9 && p.windowLog >= 9 && p.windowLog <= 15;
    return p.level >= 1 && p.level <= ZSTD_maxCLevel() && p.windowLog >= 10 && p.windowLog <= 23;
}

// The frame header the encoder writes once and both ends leave off the line: no content size, no
// checksum, no dictionary id, a window of 2^windowLog bytes.
void ZstdFrameHeader(int windowLog, uint8_t h[6]) {
    const uint8_t v[6] = {0x28, 0xB5, 0x2F, 0xFD, 0x00, static_cast<uint8_t>((windowLog - 10) << 3)};
    std::memcpy(h, v, sizeof v);
}

}  // namespace

// ---- encoder ------------------------------------------------------------------------------------

ZEncoder::~ZEncoder() { Release(); }

void ZEncoder::Release() {
    if (!z_) return;
    if (kind_ == ZKind::Deflate) {
        auto* z = static_cast<z_stream*>(z_);
        deflateEnd(z);
        delete z;
    } else {
        ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(z_));
    }
    z_ = nullptr;
}

int ZEncoder::Init(const ZCoderParams& p) {
    Release();
    broken_ = false;
    kind_ = p.kind;
    windowLog_ = p.windowLog;
    if (!ParamsOk(p)) return -1;
    if (p.kind == ZKind::Deflate) {
        auto* z = new z_stream{};
        if (deflateInit2(z, p.level, Z_DEFLATED, -p.windowLog, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            delete z;
            return -1;
        }
        z_ = z;
        if (p.dictLen && deflateSetDictionary(z, p.dict, static_cast<uInt>(p.dictLen)) != Z_OK) return Release(), -1;
        return 0;
    }
    ZSTD_CCtx* c = ZSTD_createCCtx();
    if (!c) return -1;
    z_ = c;
    headerPending_ = true;
    const bool ok = !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, p.level)) &&
                    !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, p.windowLog)) &&
                    !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0)) &&
                    !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0)) &&
                    !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_dictIDFlag, 0)) &&
                    !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_useBlockSplitter, ZSTD_ps_disable)) &&
                    (!p.dictLen || !ZSTD_isError(ZSTD_CCtx_loadDictionary(c, p.dict, p.dictLen)));
    if (!ok) Release();
    return ok ? 0 : -1;
}

int ZEncoder::Code(const uint8_t* msg, size_t n, std::vector<uint8_t>* body) {
    body->clear();
    if (!z_ || broken_ || n > ZCODER_MAX_MSG || (n && !msg)) return -1;
    if (n == 0) return 0;
    // Every output the library can make for n bytes fits: its own bound, a frame header and a
    // sync marker.
    scratch_.resize(ZSTD_compressBound(n) + 64);
    size_t have = 0;
    if (kind_ == ZKind::Deflate) {
        auto* z = static_cast<z_stream*>(z_);
        z->next_in = const_cast<uint8_t*>(msg);
        z->avail_in = static_cast<uInt>(n);
        z->next_out = scratch_.data();
        z->avail_out = static_cast<uInt>(scratch_.size());
        int r = deflate(z, Z_SYNC_FLUSH);
        have = scratch_.size() - z->avail_out;
        if (r != Z_OK || z->avail_in != 0 || z->avail_out == 0 || have < 4 ||
            std::memcmp(&scratch_[have - 4], kSyncTail, 4) != 0 || (have > 4 && (scratch_[0] & kDeflateRaw))) {
            broken_ = true;
            return -1;
        }
        have -= 4;
        if (have > n) {
            // Stored blocks would cost 6 bytes more; the history has the message either way.
            body->reserve(n + 1);
            body->push_back(kDeflateRaw);
            body->insert(body->end(), msg, msg + n);
        } else {
            body->assign(scratch_.begin(), scratch_.begin() + static_cast<long>(have));
        }
        return 0;
    }
    auto* c = static_cast<ZSTD_CCtx*>(z_);
    ZSTD_inBuffer in{msg, n, 0};
    ZSTD_outBuffer out{scratch_.data(), scratch_.size(), 0};
    size_t r = ZSTD_compressStream2(c, &out, &in, ZSTD_e_flush);
    const uint8_t* p = scratch_.data();
    size_t len = out.pos;
    bool ok = !ZSTD_isError(r) && r == 0 && in.pos == n;
    if (ok && headerPending_) {
        uint8_t h[6];
        ZstdFrameHeader(windowLog_, h);
        ok = len > sizeof h && std::memcmp(p, h, sizeof h) == 0;
        p += sizeof h;
        len -= sizeof h;
        headerPending_ = false;
    }
    // Exactly one block, not the last, must remain.
    uint32_t bh = ok && len >= kZBlockHeader ? p[0] | p[1] << 8 | p[2] << 16 : 1;
    const uint8_t type = (bh >> 1) & 3;
    const size_t size = bh >> 3;
    ok = ok && !(bh & 1) && type != 3 && len == kZBlockHeader + (type == kZRle ? 1 : size);
    if (!ok) {
        broken_ = true;
        return -1;
    }
    p += kZBlockHeader;
    if (type == kZRle) {
        // Byte, then the run length in as few bytes as it needs. A run and the same bytes sent
        // uncompressed leave both ends in the same state, so a short run goes uncompressed.
        size_t k = size < 0x100 ? 1 : size < 0x10000 ? 2 : 3;
        if (2 + k <= n + 1) {
            body->push_back(kZRle);
            body->push_back(p[0]);
            for (size_t i = 0; i < k; i++) body->push_back(static_cast<uint8_t>(size >> (8 * i)));
        } else {
            body->push_back(kZRaw);
            body->insert(body->end(), n, p[0]);
        }
        return 0;
    }
    body->reserve(1 + size);
    body->push_back(type);
    body->insert(body->end(), p, p + size);
    return 0;
}

// ---- decoder ------------------------------------------------------------------------------------

ZDecoder::~ZDecoder() { Release(); }

void ZDecoder::Release() {
    if (!z_) return;
    if (kind_ == ZKind::Deflate) {
        auto* z = static_cast<z_stream*>(z_);
        inflateEnd(z);
        delete z;
    } else {
        ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(z_));
    }
    z_ = nullptr;
}

int ZDecoder::Init(const ZCoderParams& p) {
    Release();
    broken_ = false;
    kind_ = p.kind;
    if (!ParamsOk(p)) return -1;
    if (p.kind == ZKind::Deflate) {
        auto* z = new z_stream{};
        if (inflateInit2(z, -p.windowLog) != Z_OK) {
            delete z;
            return -1;
        }
        z_ = z;
        if (p.dictLen && inflateSetDictionary(z, p.dict, static_cast<uInt>(p.dictLen)) != Z_OK) return Release(), -1;
        return 0;
    }
    ZSTD_DCtx* d = ZSTD_createDCtx();
    if (!d) return -1;
    z_ = d;
    uint8_t h[6];
    ZstdFrameHeader(p.windowLog, h);
    ZSTD_inBuffer in{h, sizeof h, 0};
    ZSTD_outBuffer out{nullptr, 0, 0};
    bool ok = !ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, p.windowLog)) &&
              (!p.dictLen || !ZSTD_isError(ZSTD_DCtx_loadDictionary(d, p.dict, p.dictLen))) &&
              !ZSTD_isError(ZSTD_decompressStream(d, &out, &in)) && in.pos == in.size;
    if (!ok) Release();
    return ok ? 0 : -1;
}

int ZDecoder::Fail(std::vector<uint8_t>* msg) {
    broken_ = true;
    msg->clear();
    return -1;
}

int ZDecoder::Decode(const uint8_t* body, size_t n, size_t cap, std::vector<uint8_t>* msg) {
    msg->clear();
    if (!z_ || broken_ || (n && !body)) return Fail(msg);
    if (n == 0) return 0;
    if (cap > ZCODER_MAX_MSG) cap = ZCODER_MAX_MSG;
    if (kind_ == ZKind::Deflate) {
        auto* z = static_cast<z_stream*>(z_);
        if (body[0] & kDeflateRaw) {
            if (n - 1 > cap || inflateSetDictionary(z, body + 1, static_cast<uInt>(n - 1)) != Z_OK) return Fail(msg);
            msg->assign(body + 1, body + n);
            return 0;
        }
        scratch_.assign(body, body + n);
        scratch_.insert(scratch_.end(), kSyncTail, kSyncTail + 4);
        msg->resize(cap + 1);  // one byte more than allowed shows an overlong message
        z->next_in = scratch_.data();
        z->avail_in = static_cast<uInt>(scratch_.size());
        z->next_out = msg->data();
        z->avail_out = static_cast<uInt>(msg->size());
        int r = inflate(z, Z_SYNC_FLUSH);
        size_t got = msg->size() - z->avail_out;
        // The body must end exactly at a block boundary (what the sync tail gives), mid-stream.
        if ((r != Z_OK && r != Z_BUF_ERROR) || z->avail_in != 0 || got > cap || z->data_type != 128) return Fail(msg);
        msg->resize(got);
        return 0;
    }
    auto* d = static_cast<ZSTD_DCtx*>(z_);
    const uint8_t type = body[0];
    size_t size, contentLen;
    if (type == kZRaw || type == kZCompressed) {
        size = contentLen = n - 1;
        if (size > ZSTD_BLOCKSIZE_MAX || (type == kZRaw && size > cap) || (type == kZCompressed && size == 0))
            return Fail(msg);
    } else if (type == kZRle && n >= 3 && n <= 5) {
        size = 0;
        for (size_t i = 2; i < n; i++) size |= size_t{body[i]} << (8 * (i - 2));
        contentLen = 1;
        if (size == 0 || size > cap) return Fail(msg);
    } else {
        return Fail(msg);
    }
    const uint32_t bh = static_cast<uint32_t>(size << 3 | type << 1);
    scratch_ = {static_cast<uint8_t>(bh), static_cast<uint8_t>(bh >> 8), static_cast<uint8_t>(bh >> 16)};
    scratch_.insert(scratch_.end(), body + 1, body + 1 + contentLen);
    msg->resize(cap + 1);
    ZSTD_inBuffer in{scratch_.data(), scratch_.size(), 0};
    ZSTD_outBuffer out{msg->data(), msg->size(), 0};
    while (in.pos < in.size) {
        const size_t before = in.pos + out.pos;
        const size_t r = ZSTD_decompressStream(d, &out, &in);
        if (ZSTD_isError(r) || out.pos > cap || in.pos + out.pos == before) return Fail(msg);
    }
    // The whole block must be out: the decoder stops only when it has no room left.
    if (out.pos == out.size) return Fail(msg);
    msg->resize(out.pos);
    return 0;
}
