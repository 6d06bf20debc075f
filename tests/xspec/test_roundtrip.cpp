// Seeded random X traffic through both ends: the terminal's X server must receive exactly the
// client's requests, the client exactly the server's messages, and both ends' caches, templates
// and Poly state must agree, whatever the buffer splits and however often the pools run dry.
#include <fstream>
#include <iterator>
#include <string>

#include "tests/xspec/harness.h"

namespace {

using xh::Bytes;

struct Typist {  // an echoing terminal window: character cell, then the cursor a cell further
    uint32_t window, textGc, cursorGc;
    uint16_t x = 2, y = 13;
};

void AddRequest(xh::Client& c, const Bytes& r) {
    c.reqBounds.push_back(c.reqs.size());
    c.reqs.insert(c.reqs.end(), r.begin(), r.end());
}

// A client's request stream: small and long requests, typing echo (whole, paired and broken),
// Poly requests of every kind and size, and the odd ones that have no compact form.
Bytes Requests(xh::Client& c, xh::Gen& g, int n) {
    Typist typ[2] = {{0x400001, 0x400002, 0x400003}, {0x400009, 0x400002, 0x400003}};  // same contexts
    std::vector<Bytes> recent;
    for (int i = 0; i < n; i++) {
        int kind = g.R(20);
        Typist& t = typ[g.R(5) == 0];
        uint8_t ch = static_cast<uint8_t>('a' + g.R(26));
        if (kind < 5) {  // small requests, often repeated with small changes
            Bytes r = !recent.empty() && g.R(2) ? recent[g.R(static_cast<int>(recent.size()))] : g.Plain(4 * (1 + g.R(16)));
            for (int k = g.R(4); k > 0 && r.size() > 4; k--) r[4 + g.R(static_cast<int>(r.size()) - 4)] ^= 1;
            recent.push_back(r);
            if (recent.size() > 24) recent.erase(recent.begin());
            AddRequest(c, r);
        } else if (kind == 5) {
            AddRequest(c, g.Plain(68 + 4 * g.R(400)));
        } else if (kind == 6) {  // length field 0, of plain and compact opcodes
            static const uint8_t ops[] = {43, 65, 66, 67, 70, 76, 127};
            Bytes r{ops[g.R(7)], static_cast<uint8_t>(g.R(2)), 0, 0};
            AddRequest(c, r);
        } else if (kind < 11) {  // typing echo
            int shape = g.R(8);
            Bytes a = g.Text(t.window, t.textGc, t.x, t.y, {ch});
            Bytes cur = g.Text(t.window, t.cursorGc, static_cast<uint16_t>(t.x + 6), t.y, {' '});
            if (shape < 5) {
                AddRequest(c, a);
                AddRequest(c, a);
                AddRequest(c, cur);
            } else if (shape < 7) {
                AddRequest(c, a);
                AddRequest(c, cur);
            } else {  // broken: another context or a step back
                AddRequest(c, a);
                AddRequest(c, g.Text(t.window, 0x400007, static_cast<uint16_t>(t.x - 6), t.y, {ch}));
            }
            t.x = static_cast<uint16_t>(t.x + 6);
            if (g.R(30) == 0) t.y = static_cast<uint16_t>(t.y + 13), t.x = 2;
        } else if (kind == 11) {
            Bytes chars(static_cast<size_t>(g.R(256)));
            for (auto& b : chars) b = static_cast<uint8_t>(32 + g.R(90));
            AddRequest(c, g.Text(t.window, g.R(2) ? t.textGc : 0x400011, static_cast<uint16_t>(g.R(500)), t.y, chars));
        } else if (kind == 12) {  // ImageText8 whose length does not fit its count
            Bytes r = g.Text(t.window, t.textGc, 5, 5, {'x', 'y'});
            r[1] = static_cast<uint8_t>(5 + g.R(200));
            AddRequest(c, r);
        } else if (kind < 18) {
            static const uint8_t ops[] = {65, 66, 67, 70};
            uint8_t op = ops[g.R(4)];
            int elems = g.R(4) == 0 ? 0 : g.R(3) == 0 ? g.R(301) : g.R(12);
            AddRequest(c, g.Poly(op, elems, 0x600001 + g.R(2), 0x600005));
        } else {  // malformed Poly: shorter than its header, or half an element
            uint8_t op = static_cast<uint8_t>(g.R(2) ? 65 : 67);
            Bytes r = g.Poly(op, 1, 0x600001, 0x600005);
            if (g.R(2) || op == 65) {
                int len = 1 + g.R(2);
                r.resize(static_cast<size_t>(4 * len));
                XspecStore16(r.data() + 2, static_cast<uint16_t>(len), g.little);
            } else {
                r.resize(r.size() + 4, 0);
                XspecStore16(r.data() + 2, static_cast<uint16_t>(r.size() / 4), g.little);
            }
            AddRequest(c, r);
        }
    }
    return c.reqs;
}

Bytes ServerStream(xh::Gen& g, int n) {
    Bytes s;
    std::vector<Bytes> recent;
    for (int i = 0; i < n; i++) {
        int kind = g.R(10);
        Bytes m;
        if (kind < 4 && !recent.empty()) {
            m = recent[g.R(static_cast<int>(recent.size()))];
            m[2] = static_cast<uint8_t>(i);
            if (g.R(2)) m[8 + g.R(24)] ^= 0x10;
        } else if (kind < 6) {
            static const uint8_t codes[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 22, 33, 0x87};
            m = g.Event(codes[g.R(13)], i);
        } else if (kind == 6) {
            m = g.Event(g.R(3) ? 0 : 35, i);  // an error, or an extension's longer event
            if (m[0] == 35) {
                int extra = g.R(50);
                Bytes len;
                g.P32(len, static_cast<uint32_t>(extra));
                std::copy(len.begin(), len.end(), m.begin() + 4);
                m.resize(m.size() + 4 * static_cast<size_t>(extra), 0x5a);
            }
        } else if (kind < 9) {
            m = g.Reply(g.R(9), i);
        } else {
            m = g.Reply(9 + g.R(300), i);
        }
        if (m.size() <= 64) recent.push_back(m);
        if (recent.size() > 20) recent.erase(recent.begin());
        s.insert(s.end(), m.begin(), m.end());
    }
    return s;
}

struct Case {
    uint8_t hostOrder;
    bool align;
    bool hog;
    int clients;
};

class RoundTrip : public ::testing::TestWithParam<std::tuple<Case, int>> {};

TEST_P(RoundTrip, BothDirectionsExactAndInStep) {
    auto [cs, seed] = GetParam();
    xh::Pair p(static_cast<uint32_t>(seed), cs.hostOrder);
    p.alignRequests = cs.align;
    p.hogging = cs.hog;
    for (int i = 0; i < cs.clients; i++) {
        int id = i < 26 ? 5 + i : 37 + i - 26;
        uint8_t order = (seed + i) % 2 ? 'l' : 'B';
        xh::Client& c = p.Add(id, order);
        xh::Gen g{p.rng, order == 'l'};
        Requests(c, g, 150);
        c.srv = ServerStream(g, 120);
    }
    ASSERT_TRUE(p.Run()) << "the ends stopped with work left";
    p.Drain();
    p.ExpectInStep();
    EXPECT_GT(p.mirrorChecks, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, RoundTrip,
    ::testing::Combine(::testing::Values(Case{'B', false, false, 1}, Case{'B', true, false, 3}, Case{'B', false, true, 4},
                                         Case{'l', false, true, 3}, Case{'B', true, true, 8}, Case{'l', false, true, 20}),
                       ::testing::Range(1, 9)));

}  // namespace

namespace {

// The recorded traffic of real clients, when it is at hand, crosses both ways unchanged.
TEST(RoundTrip, RecordedClients) {
    const char* src = std::getenv("LQ_SOURCE_DIR");
    std::string dir = std::string(src ? src : ".") + "/../shared/xcorpus/";
    int seen = 0;
    for (const char* name : {"xterm-type", "xterm-cat", "xlogo", "xeyes", "ico", "xcalc", "xdpyinfo"}) {
        std::ifstream fc(dir + name + "/conn00.c2s", std::ios::binary), fs(dir + name + "/conn00.s2c", std::ios::binary);
        Bytes c2s((std::istreambuf_iterator<char>(fc)), std::istreambuf_iterator<char>());
        Bytes s2c((std::istreambuf_iterator<char>(fs)), std::istreambuf_iterator<char>());
        if (c2s.size() < 12 || s2c.size() < 8) continue;
        seen++;
        const bool little = c2s[0] == 'l';
        auto pad = [](size_t n) { return (n + 3) & ~size_t{3}; };
        size_t setup = 12 + pad(XspecLoad16(&c2s[6], little)) + pad(XspecLoad16(&c2s[8], little));
        size_t reply = 8 + 4 * size_t{XspecLoad16(&s2c[6], little)};
        xh::Pair p(1);
        p.alignRequests = true;
        xh::Client& c = p.Add(5, c2s[0]);
        c.reqs.assign(c2s.begin() + static_cast<long>(setup), c2s.end());
        for (size_t at = 0; at < c.reqs.size();) {
            c.reqBounds.push_back(at);
            size_t n = 4 * size_t{XspecLoad16(&c.reqs[at + 2], little)};
            at += n ? n : 4;
        }
        c.srv.assign(s2c.begin() + static_cast<long>(reply), s2c.end());
        ASSERT_TRUE(p.Run()) << name;
        p.Drain();
        // The compact forms carry no ImageText8 padding and no byte 1 of PolySegment and the
        // rectangle requests, which X leaves unused: the server receives zeros there.
        for (size_t at : c.reqBounds) {
            uint8_t* r = &c.reqs[at];
            if (r[0] == 66 || r[0] == 67 || r[0] == 70) r[1] = 0;
            if (r[0] == X_IMAGE_TEXT8 && XspecTextWellFormed(r, little))
                std::fill(r + 16 + r[1], r + 4 * XspecLoad16(r + 2, little), 0);
        }
        SCOPED_TRACE(name);
        p.ExpectInStep();
    }
    if (!seen) GTEST_SKIP() << "no recorded traffic at " << dir;
}

}  // namespace
