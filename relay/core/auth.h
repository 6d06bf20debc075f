// Authorization of the display's own clients. At start-up the relay makes a random
// MIT-MAGIC-COOKIE-1 for its display and writes it to the user's authority file, so that the
// session and every client the user starts find it as they find any display's cookie; at exit the
// entries it wrote are removed again. A client's set-up is held back until it is whole and is
// passed to the terminal only when it carries that cookie; the cookie itself never crosses the line.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int RSS_COOKIE_LEN = 16;
constexpr const char* RSS_COOKIE_NAME = "MIT-MAGIC-COOKIE-1";
// The set-up header and the cookie's name and data, each padded: all a set-up we accept holds.
constexpr int RSS_SETUP_WITH_COOKIE = 12 + 20 + RSS_COOKIE_LEN;

// Makes the display's cookie and adds it to the authority file ($XAUTHORITY or ~/.Xauthority)
// for the Unix and the TCP forms of display `display` on this host. 0, or -1 after a message.
int RssAuthInit(int display);
// Removes the entries RssAuthInit added (those that still hold our cookie); others are untouched.
void RssAuthRemove();
// The verdict on a whole set-up (the 12-byte header and the first `len` - 12 bytes of what its two
// lengths announce): null when it carries the display's cookie, else the reason to give the client.
const char* RssAuthCheck(const uint8_t* setup, size_t len);
// Writes the X protocol's Failed set-up reply with `reason` in the client's byte order to buf
// (room for 8 + 256 bytes). Returns its length.
size_t RssAuthFailedReply(uint8_t* buf, uint8_t byteOrder, const char* reason);
