// A real X client library opening the relay's display, against a connection reply scripted by the
// terminal end.
#include <xcb/xcb.h>

#include <atomic>
#include <thread>

#include "tests/core/relayharness.h"

namespace {

// A minimal, valid set-up reply in the client's byte order (this host's: least significant byte
// first): one screen, one depth, one visual.
std::vector<uint8_t> SetupReply() {
    std::vector<uint8_t> r;
    auto u8 = [&](uint8_t v) { r.push_back(v); };
    auto u16 = [&](uint16_t v) { u8(v & 0xff), u8(v >> 8); };
    auto u32 = [&](uint32_t v) { u16(v & 0xffff), u16(v >> 16); };
    const std::string vendor = "relaytest";  // 9 bytes, padded to 12
    u8(1), u8(0), u16(11), u16(0), u16(0);   // status, pad, version, length (filled below)
    u32(1), u32(0x00200000), u32(0x001fffff), u32(0);
    u16(static_cast<uint16_t>(vendor.size())), u16(65535);
    u8(1), u8(1), u8(1), u8(1), u8(32), u8(32), u8(8), u8(255), u32(0);
    r.insert(r.end(), vendor.begin(), vendor.end());
    while (r.size() % 4) u8(0);
    u8(24), u8(32), u8(32), u8(0), u32(0);                    // pixmap format
    u32(0x100), u32(0x20), u32(0xffffff), u32(0), u32(0);       // screen: root, colormap, pixels, masks
    u16(1024), u16(768), u16(270), u16(203), u16(1), u16(1);  // size, mm, installed maps
    u32(0x21), u8(0), u8(0), u8(24), u8(1);                   // root visual, backing, depth, depths
    u8(24), u8(0), u16(1), u32(0);                            // depth 24, one visual
    u32(0x21), u8(4), u8(8), u16(256), u32(0xff0000), u32(0xff00), u32(0xff), u32(0);
    uint16_t words = static_cast<uint16_t>((r.size() - 8) / 4);
    r[6] = static_cast<uint8_t>(words);
    r[7] = static_cast<uint8_t>(words >> 8);
    return r;
}

TEST_F(Relay, XcbOpensTheDisplayThroughTheRelay) {
    setenv("XAUTHORITY", "/nonexistent", 1);
    Start({"-xtports", "local", ":" + std::to_string(44 + getpid() % 5)});
    std::string display = ":" + std::to_string(pRssDaemonData->display);
    std::atomic<int> result{-1};
    std::atomic<int> roots{0};
    std::thread client([&] {
        xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
        result = xcb_connection_has_error(c);
        if (result == 0) {
            roots = xcb_setup_roots_length(xcb_get_setup(c));
            xcb_no_operation(c);
            xcb_flush(c);
        }
        xcb_disconnect(c);
    });
    std::vector<uint8_t> setup;
    ASSERT_TRUE(PumpUntil([&] {
        for (auto& m : Take(MSG_CONNECT)) setup.insert(setup.end(), m.bytes.begin(), m.bytes.end());
        return setup.size() >= 12;
    }));
    ASSERT_EQ(setup.size(), 12u);
    EXPECT_EQ(setup[0], 'l');
    ClientRec* rec = OnlyClient();
    ASSERT_NE(rec, nullptr);
    auto reply = SetupReply();
    TermSend(MSG_CONNECT, static_cast<uint8_t>(rec->clientId), {reply.begin(), reply.begin() + 8});
    TermSend(MSG_CONNECT, static_cast<uint8_t>(rec->clientId), {reply.begin() + 8, reply.end()});
    // The NoOperation reaches the terminal, then the client's close is reported once.
    bool sawRequest = false;
    EXPECT_TRUE(PumpUntil([&] {
        for (auto& m : got) sawRequest = sawRequest || (m.type != MSG_CONNECT && m.type <= MSG_XDATA);
        return !Take(MSG_DEADCLIENT).empty();
    }));
    client.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(roots, 1);
    EXPECT_TRUE(sawRequest);
}

}  // namespace
