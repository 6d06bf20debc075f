// LZW link compression: a host-end encoder and a terminal-end decoder (separate records) must stay
// in step over long runs, including dictionary fill, width steps, clears and refused messages.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "relay/link/lzw.h"

namespace {

using Bytes = std::vector<uint8_t>;

int panicCount = 0;

struct End {
    LzwData lzw{};
    End() {
        lzw.panic = [](const char*) { panicCount++; };
        EXPECT_EQ(TransCompressInit(&lzw), 0);
    }
    ~End() { TransCompressFree(&lzw); }
};

void Fill(Buf* b, const Bytes& v) {
    b->start = b->end = b->data;
    if (!v.empty()) std::memcpy(b->data, v.data(), v.size());
    b->end += v.size();
}

Bytes Content(const Buf* b) { return Bytes(b->start, b->end); }

// One TransCompress call with a fresh spare; checks the buffer contract of both outcomes.
int Compress(LzwData* d, const Bytes& m, Bytes* pkt) {
    Buf msg{}, spare{};
    spare.start = spare.end = spare.data;
    Lst list;
    lstInit(&list);
    lstAdd(&list, &spare);
    Fill(&msg, m);
    int rc = TransCompress(d, &msg, &list);
    EXPECT_EQ(lstCount(&list), 1);
    if (rc == 0) {
        EXPECT_EQ(msg.Len(), 0u);
        EXPECT_EQ(spare.start, spare.data);
        EXPECT_LE(spare.Len(), static_cast<size_t>(LZW_MAX_OUT));
        *pkt = Content(&spare);
    } else {
        EXPECT_EQ(Content(&msg), m);
        EXPECT_EQ(spare.Len(), 0u);
    }
    return rc;
}

Bytes Uncompress(LzwData* d, const Bytes& pkt, int* rc = nullptr) {
    Buf in{}, out{};
    Fill(&in, pkt);
    int r = TransUncompress(d, &in, &out);
    EXPECT_EQ(out.start, out.data);
    EXPECT_LE(out.Len(), static_cast<size_t>(LZW_MAX_OUT));
    if (rc) *rc = r;
    else EXPECT_EQ(r, 0);
    return Content(&out);
}

// Everything of the encoder that a later message depends on.
struct EncoderSnapshot {
    std::vector<int32_t> keys = std::vector<int32_t>(LZW_HSIZE);
    std::vector<uint16_t> codes = std::vector<uint16_t>(LZW_HSIZE);
    std::vector<int32_t> scalars;

    explicit EncoderSnapshot(const LzwData& d) { Take(d); }
    void Take(const LzwData& d) {
        const LzwEncoder& e = d.encoder;
        std::memcpy(keys.data(), e.hashTable, sizeof(int32_t) * LZW_HSIZE);
        std::memcpy(codes.data(), e.codeTable, sizeof(uint16_t) * LZW_HSIZE);
        scalars.assign(e.group, e.group + LZW_BITS);
        for (int32_t v : {e.hashSize, e.hashShift, e.maxBits, e.codeLimit, e.codeWidth, e.largestCode, e.nextCode,
                          e.blockMode, e.clearFlag, e.ratio, e.checkpoint, e.inCount, e.outCount, e.bitOffset})
            scalars.push_back(v);
    }
    bool operator==(const EncoderSnapshot&) const = default;
};

struct Stats {
    int refused = 0;
    int clears = 0;
    int maxWidth = 0;
    int clearsInRefused = 0;
};

// Sends one message from `from` to `to` as the transport does: compressed whole, or, when refused,
// in pieces of LZW_SAFE_MSG bytes, each of which must compress. Checks the refused attempt left the
// encoder exactly as it was.
void Send(LzwData* from, LzwData* to, const Bytes& m, Stats* st) {
    int before = from->encoder.nextCode;
    static EncoderSnapshot snapshot(*from), after(*from);
    snapshot.Take(*from);
    Bytes pkt;
    int panicsBefore = panicCount;
    int rc = Compress(from, m, &pkt);
    Bytes got;
    if (rc == 2) {
        st->refused++;
        EXPECT_EQ(panicCount, panicsBefore + 1);
        if (from->undoClearAt >= 0) st->clearsInRefused++;
        after.Take(*from);
        ASSERT_TRUE(after == snapshot) << "the refused attempt changed the encoder";
        for (size_t off = 0; off < m.size(); off += LZW_SAFE_MSG) {
            Bytes piece(m.begin() + off, m.begin() + std::min(m.size(), off + LZW_SAFE_MSG));
            ASSERT_EQ(Compress(from, piece, &pkt), 0) << "a piece of the safe size was refused";
            Bytes part = Uncompress(to, pkt);
            got.insert(got.end(), part.begin(), part.end());
        }
    } else {
        ASSERT_EQ(rc, 0);
        got = Uncompress(to, pkt);
    }
    ASSERT_EQ(got, m);
    ASSERT_EQ(to->decoder.nextCode, from->encoder.nextCode);
    if (from->encoder.nextCode < before) st->clears++;
    st->maxWidth = std::max(st->maxWidth, from->encoder.codeWidth);
}

Bytes Text(std::mt19937& rng, size_t n) {
    static const char* words[] = {"window ", "pixmap ", "GC ", "font ", "draw ", "line ", "rect ", "text ",
                                  "event ", "atom ", "the ", "of ", "0x2f ", "map "};
    Bytes b;
    while (b.size() < n) {
        const char* w = words[rng() % 14];
        b.insert(b.end(), w, w + std::strlen(w));
    }
    b.resize(n);
    return b;
}

Bytes Random(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& c : b) c = static_cast<uint8_t>(rng());
    return b;
}

// Structured binary, like coordinate lists of drawing requests.
Bytes Points(std::mt19937& rng, size_t n) {
    Bytes b;
    int x = rng() % 1000, y = rng() % 1000;
    while (b.size() < n) {
        x += static_cast<int>(rng() % 9) - 4;
        y += static_cast<int>(rng() % 9) - 4;
        for (int v : {x >> 8, x, y >> 8, y}) b.push_back(static_cast<uint8_t>(v));
    }
    b.resize(n);
    return b;
}

Bytes Mixed(std::mt19937& rng) {
    size_t n = rng() % (LZW_MAX_MSG + 1);
    switch (rng() % 4) {
        case 0: return Text(rng, n);
        case 1: return Random(rng, n);
        case 2: return Points(rng, n);
        default: return Bytes(n, static_cast<uint8_t>(rng()));
    }
}

TEST(Lzw, KnownAnswersAndPacketForm) {
    End host, term;
    Bytes pkt;
    ASSERT_EQ(Compress(&host.lzw, {'a', 'b', 'a', 'b'}, &pkt), 0);
    EXPECT_EQ(pkt, (Bytes{0x61, 0xC4, 0x04, 0x04}));
    EXPECT_EQ(Uncompress(&term.lzw, pkt), (Bytes{'a', 'b', 'a', 'b'}));

    // A message sent twice codes shorter the second time, still starting with a literal.
    const char* text = "PolyLine PolyLine PolyFillRectangle";
    Bytes msg(text, text + std::strlen(text)), first, again;
    ASSERT_EQ(Compress(&host.lzw, msg, &first), 0);
    ASSERT_EQ(Compress(&host.lzw, msg, &again), 0);
    EXPECT_LT(again.size(), first.size());
    EXPECT_EQ(again[0], 'P');
    EXPECT_EQ(again[1] & 1, 0);  // bit 8 of the first code: below 256
    EXPECT_EQ(Uncompress(&term.lzw, first), msg);
    EXPECT_EQ(Uncompress(&term.lzw, again), msg);

    ASSERT_EQ(Compress(&host.lzw, {'z'}, &pkt), 0);
    EXPECT_EQ(pkt, (Bytes{'z', 0x00}));
    EXPECT_EQ(Uncompress(&term.lzw, pkt), Bytes{'z'});

    ASSERT_EQ(Compress(&host.lzw, {}, &pkt), 0);
    EXPECT_TRUE(pkt.empty());
    EXPECT_TRUE(Uncompress(&term.lzw, pkt).empty());
}

TEST(Lzw, ArgumentErrors) {
    End host;
    Buf msg{}, out{};
    Fill(&msg, {1, 2, 3});
    Lst empty;
    lstInit(&empty);
    EXPECT_EQ(TransCompress(nullptr, &msg, &empty), -1);
    EXPECT_EQ(TransCompress(&host.lzw, nullptr, &empty), -1);
    EXPECT_EQ(TransCompress(&host.lzw, &msg, nullptr), -1);
    EXPECT_EQ(TransCompress(&host.lzw, &msg, &empty), -2);
    EXPECT_EQ(Content(&msg), (Bytes{1, 2, 3}));
    EXPECT_EQ(TransUncompress(nullptr, &msg, &out), -1);
    EXPECT_EQ(TransUncompress(&host.lzw, nullptr, &out), -1);
    EXPECT_EQ(TransUncompress(&host.lzw, &msg, nullptr), -1);
    EXPECT_EQ(TransUncompress(&host.lzw, &msg, &msg), -1);
    EXPECT_EQ(TransCompressInit(&host.lzw), 0);  // a second call changes nothing

    // Longer than any message may be: refused untouched, for the transport to cut.
    Bytes pkt, big(LZW_MAX_MSG + 1, 'x');
    EncoderSnapshot before(host.lzw);
    EXPECT_EQ(Compress(&host.lzw, big, &pkt), 2);
    EXPECT_TRUE(EncoderSnapshot(host.lzw) == before);
}

// Long seeded runs both ways at once: compressible, random and structured messages of 0 to 256
// bytes, through dictionary fill past 8192 codes, every width, and clears.
TEST(Lzw, RoundTripsStayInStep) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        End host, term;
        Stats up, down;
        for (int i = 0; i < 3000; i++) {
            Send(&host.lzw, &term.lzw, Text(rng, rng() % 257), &down);  // fill with compressible data
            Send(&term.lzw, &host.lzw, Mixed(rng), &up);
            if (HasFatalFailure()) return;
        }
        for (int i = 0; i < 6000; i++) {
            // Mostly incompressible: the ratio falls, so a clear must follow.
            Bytes m = rng() % 4 ? Random(rng, rng() % 257) : Mixed(rng);
            Send(&host.lzw, &term.lzw, m, &down);
            Send(&term.lzw, &host.lzw, Mixed(rng), &up);
            if (HasFatalFailure()) return;
        }
        EXPECT_EQ(down.maxWidth, LZW_BITS);
        EXPECT_GT(down.clears, 0);
        EXPECT_GT(down.refused, 0);
        EXPECT_GT(up.refused, 0);
    }
}

// Fills the dictionary (compressible text, until a ratio check has been passed), then sends random
// messages that always fit until the next ratio check is `left` input bytes ahead.
void DriveToRatioCheck(End& host, End& term, std::mt19937& rng, int left, Stats* st) {
    LzwEncoder& e = host.lzw.encoder;
    while (e.nextCode < LZW_CODE_LIMIT || e.ratio == 0) {
        Send(&host.lzw, &term.lzw, Text(rng, 200), st);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
    }
    while (e.checkpoint - e.inCount > left) {
        // A message of n bytes counts n - 1.
        Send(&host.lzw, &term.lzw, Random(rng, std::min(100, e.checkpoint - e.inCount - left + 1)), st);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
    }
    ASSERT_EQ(e.checkpoint - e.inCount, left);
    ASSERT_EQ(st->clears, 0);
}

// A refused attempt whose coding included a clear (the dictionary wipe) is taken back completely,
// and both ends go on in step.
TEST(Lzw, RefusedAttemptWithClearIsUndone) {
    std::mt19937 rng(7);
    End host, term;
    Stats st;
    DriveToRatioCheck(host, term, rng, 40, &st);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    Send(&host.lzw, &term.lzw, Random(rng, LZW_MAX_MSG), &st);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    EXPECT_EQ(st.clearsInRefused, 1);
    EXPECT_EQ(st.clears, 1);  // the pieces then made the clear for real
    for (int i = 0; i < 2000; i++) {
        Send(&host.lzw, &term.lzw, Mixed(rng), &st);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
    }
}

// Wire form at a width step and at a clear: the group in progress goes out whole, and the next code
// starts a new group at the new width, also in the next message.
TEST(Lzw, WidthStepsAndClearsEndTheGroup) {
    std::mt19937 rng(5);
    {
        End host, term;
        Stats st;
        while (host.lzw.encoder.nextCode < 480) Send(&host.lzw, &term.lzw, Text(rng, 100), &st);
        // A two-byte message adds exactly one entry.
        for (int i = 0; host.lzw.encoder.nextCode < 511; i++)
            Send(&host.lzw, &term.lzw, {static_cast<uint8_t>('a' + i % 16), static_cast<uint8_t>('a' + i / 16)}, &st);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        // x and y at 9 bits: entry 511 is made after x; after y the next code 512 needs 10 bits.
        Bytes pkt;
        ASSERT_EQ(Compress(&host.lzw, {'x', 'y', 'z'}, &pkt), 0);
        EXPECT_EQ(pkt, (Bytes{'x', 0xF2, 0, 0, 0, 0, 0, 0, 0, 'z', 0}));
        EXPECT_EQ(Uncompress(&term.lzw, pkt), (Bytes{'x', 'y', 'z'}));
        ASSERT_EQ(Compress(&host.lzw, {'x'}, &pkt), 0);
        EXPECT_EQ(pkt, (Bytes{'x', 0}));
        EXPECT_EQ(Uncompress(&term.lzw, pkt), Bytes{'x'});
    }
    {
        End host, term;
        Stats st;
        DriveToRatioCheck(host, term, rng, 1, &st);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        // x at 13 bits, the clear code 256 at 13 bits (bit 21), group of 13 bytes; y at 9 bits.
        Bytes pkt;
        ASSERT_EQ(Compress(&host.lzw, {'x', 'y'}, &pkt), 0);
        EXPECT_EQ(pkt, (Bytes{'x', 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'y', 0}));
        EXPECT_EQ(Uncompress(&term.lzw, pkt), (Bytes{'x', 'y'}));
        EXPECT_EQ(term.lzw.decoder.nextCode, LZW_FIRST);
        for (int i = 0; i < 500; i++) Send(&host.lzw, &term.lzw, Mixed(rng), &st);
    }
}

// The worst case behind LZW_SAFE_MSG: a step from 12 to 13 bits after the ninth code of a message
// whose every pair is new. One byte more no longer fits.
TEST(Lzw, SafeMessageSizeIsTight) {
    std::mt19937 rng(9);
    End host, term;
    Stats st;
    while (host.lzw.encoder.nextCode < 4000) Send(&host.lzw, &term.lzw, Text(rng, 100), &st);
    while (host.lzw.encoder.nextCode < 4096 - 8)
        Send(&host.lzw, &term.lzw, {static_cast<uint8_t>(rng() % 128), static_cast<uint8_t>(rng() % 128)}, &st);
    ASSERT_FALSE(HasFatalFailure());
    // Bytes 128 to 255 never sent before, no pair twice: every byte becomes a code.
    bool used[128][128] = {};
    Bytes m{128};
    while (m.size() < LZW_SAFE_MSG + 1) {
        int a = m.back() - 128, b = static_cast<int>(rng() % 128);
        if (used[a][b]) continue;
        used[a][b] = true;
        m.push_back(static_cast<uint8_t>(128 + b));
    }
    Bytes pkt;
    EXPECT_EQ(Compress(&host.lzw, m, &pkt), 2);
    m.pop_back();
    ASSERT_EQ(Compress(&host.lzw, m, &pkt), 0);
    EXPECT_EQ(pkt.size(), 2 * 12 + (13 * 142 + 7) / 8u);
    EXPECT_EQ(Uncompress(&term.lzw, pkt), m);
}

// Packs 9-bit codes as a fresh dictionary codes them (no width step): a clear code ends its group.
Bytes Pack9(const std::vector<int>& codes) {
    Bytes b(codes.size() * 9 + 9);
    size_t bit = 0;
    for (int code : codes) {
        for (int j = 0; j < 9; j++, bit++)
            if (code >> j & 1) b[bit / 8] |= static_cast<uint8_t>(1 << (bit % 8));
        if (code == 256) bit = (bit + 71) / 72 * 72;
    }
    b.resize((bit + 7) / 8);
    return b;
}

TEST(Lzw, DecoderRejectsCorruptPackets) {
    struct Case {
        const char* what;
        Bytes pkt;
        int rc;
        Bytes out;
    } cases[] = {
        {"empty packet", {}, 0, {}},
        {"fragment shorter than a code", {0x61}, 0, {}},
        {"code repeating the entry being defined", Pack9({'a', 257}), 0, {'a', 'a', 'a'}},
        {"first code not a literal", Pack9({300, 'a'}), -1, {}},
        {"first code a clear", Pack9({256, 'a'}), -1, {}},
        {"code beyond the dictionary", Pack9({'a', 'b', 259}), -1, {}},
        {"clear then a dictionary code", Pack9({'a', 'b', 256, 300}), -1, {}},
        {"clear then clear", Pack9({'a', 256, 256}), -1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        End term;
        int rc;
        EXPECT_EQ(Uncompress(&term.lzw, c.pkt, &rc), c.out);
        EXPECT_EQ(rc, c.rc);
    }
}

TEST(Lzw, DecodedMessageIsCutAt256Bytes) {
    // 'a', then each new entry one 'a' longer: 1 + 2 + ... + 25 = 325 bytes.
    std::vector<int> codes{'a'};
    for (int k = 257; k < 257 + 24; k++) codes.push_back(k);
    End term;
    EXPECT_EQ(Uncompress(&term.lzw, Pack9(codes)), Bytes(LZW_MAX_OUT, 'a'));
    EXPECT_EQ(term.lzw.decoder.nextCode, 257 + 24);  // the dictionary still took every code
}

TEST(Lzw, DecoderSurvivesGarbage) {
    std::mt19937 rng(11);
    End host, term;
    for (int i = 0; i < 20000; i++) {
        Bytes pkt;
        if (rng() % 2 && Compress(&host.lzw, Mixed(rng), &pkt) == 0 && !pkt.empty()) {
            pkt[rng() % pkt.size()] ^= static_cast<uint8_t>(1 << (rng() % 8));  // damaged real packet
        } else {
            pkt = Random(rng, rng() % (BUF_DATA_SIZE + 1));
        }
        int rc;
        Uncompress(&term.lzw, pkt, &rc);
        ASSERT_TRUE(rc == 0 || rc == -1);
    }
}

}  // namespace
