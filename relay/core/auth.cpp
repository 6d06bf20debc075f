#include "relay/core/auth.h"

#include <X11/X.h>
#include <X11/Xauth.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "relay/core/rss.h"

namespace {

// One address under which clients look for the display's cookie.
struct RssAuthAddress {
    unsigned short family;
    std::string address;  // host name (FamilyLocal) or the 4 bytes of an IPv4 address
};

std::string RssHostName() {
    char host[257] = {};
    if (gethostname(host, sizeof host - 1) == -1) return "localhost";
    return host;
}

// Clients look up the cookie of a local display (Unix socket, or TCP to 127.0.0.1) under the host
// name, and that of a display reached at another address under that address. The latter only
// matter when TCP listens on every interface.
std::vector<RssAuthAddress> RssAuthAddresses() {
    std::vector<RssAuthAddress> all;
    const std::string host = RssHostName();
    all.push_back({FamilyLocal, host});
    if (!pRssDaemonData->useTcpip || !pRssDaemonData->tcpAllInterfaces) return all;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return all;
    for (addrinfo* r = res; r; r = r->ai_next) {
        const in_addr a = reinterpret_cast<sockaddr_in*>(r->ai_addr)->sin_addr;
        if (a.s_addr == htonl(INADDR_LOOPBACK)) continue;
        std::string bytes(reinterpret_cast<const char*>(&a), 4);
        bool seen = false;
        for (const RssAuthAddress& e : all) seen = seen || (e.family == FamilyInternet && e.address == bytes);
        if (!seen) all.push_back({FamilyInternet, bytes});
    }
    freeaddrinfo(res);
    return all;
}

bool RssSameBytes(const char* p, unsigned n, const std::string& s) {
    return n == s.size() && (n == 0 || std::memcmp(p, s.data(), n) == 0);
}

// True for an entry of the display's name under one of our addresses (any cookie).
bool RssAuthOurs(const Xauth* a, const std::vector<RssAuthAddress>& addrs, const std::string& number) {
    if (!RssSameBytes(a->number, a->number_length, number) || !RssSameBytes(a->name, a->name_length, RSS_COOKIE_NAME))
        return false;
    for (const RssAuthAddress& e : addrs)
        if (a->family == e.family && RssSameBytes(a->address, a->address_length, e.address)) return true;
    return false;
}

bool RssAuthHoldsCookie(const Xauth* a) {
    return a->data_length == RSS_COOKIE_LEN && std::memcmp(a->data, pRssDaemonData->cookie, RSS_COOKIE_LEN) == 0;
}

// Rewrites the authority file under its lock: entries of the display's name are dropped (all of
// them when adding, only those holding our cookie when removing) and, when adding, ours go first.
// Every other entry is copied unchanged; a file that cannot be read to its end is left alone.
// Null on success, else what went wrong.
const char* RssAuthRewrite(const char* file, bool add, int display) {
    static char why[300];
    const std::string number = std::to_string(display);
    const std::vector<RssAuthAddress> addrs = RssAuthAddresses();
    // A lock older than ten minutes is taken for the leftover of a program that died holding it.
    int lock = XauLockAuth(file, 2, 1, 600);
    if (lock == LOCK_TIMEOUT) {
        std::snprintf(why, sizeof why, "it is locked (if no program is writing it, remove %s-c and %s-l)", file, file);
        return why;
    }
    if (lock != LOCK_SUCCESS) {
        std::snprintf(why, sizeof why, "cannot lock it: %s", std::strerror(errno));
        return why;
    }
    auto fail = [&](const char* what) {
        std::snprintf(why, sizeof why, "%s: %s", what, std::strerror(errno));
        XauUnlockAuth(file);
        return why;
    };
    std::vector<Xauth*> kept;
    auto release = [&] {
        for (Xauth* a : kept) XauDisposeAuth(a);
    };
    if (FILE* in = std::fopen(file, "rb")) {
        long good = 0;
        while (Xauth* a = XauReadAuth(in)) {
            good = std::ftell(in);
            if (RssAuthOurs(a, addrs, number) && (add || RssAuthHoldsCookie(a)))
                XauDisposeAuth(a);
            else
                kept.push_back(a);
        }
        std::fseek(in, 0, SEEK_END);
        const bool whole = std::ftell(in) == good;
        std::fclose(in);
        if (!whole) {
            release();
            XauUnlockAuth(file);
            std::snprintf(why, sizeof why, "it is damaged (left unchanged)");
            return why;
        }
    } else if (errno != ENOENT) {
        return fail("cannot read it");
    } else if (!add) {
        XauUnlockAuth(file);
        return nullptr;
    }
    const std::string temp = std::string(file) + "-n";
    unlink(temp.c_str());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    FILE* out = fd == -1 ? nullptr : fdopen(fd, "wb");
    if (!out) {
        if (fd != -1) close(fd);
        release();
        return fail("cannot write it");
    }
    bool ok = true;
    static char kName[] = "MIT-MAGIC-COOKIE-1";
    if (add) {
        for (const RssAuthAddress& e : addrs) {
            Xauth a{};
            a.family = e.family;
            a.address_length = static_cast<unsigned short>(e.address.size());
            a.address = const_cast<char*>(e.address.data());
            a.number_length = static_cast<unsigned short>(number.size());
            a.number = const_cast<char*>(number.data());
            a.name_length = sizeof kName - 1;
            a.name = kName;
            a.data_length = RSS_COOKIE_LEN;
            a.data = reinterpret_cast<char*>(pRssDaemonData->cookie);
            ok = ok && XauWriteAuth(out, &a) == 1;
        }
    }
    for (Xauth* a : kept) ok = ok && XauWriteAuth(out, a) == 1;
    release();
    ok = std::fflush(out) == 0 && fsync(fileno(out)) == 0 && ok;
    ok = std::fclose(out) == 0 && ok;
    if (!ok || rename(temp.c_str(), file) == -1) {
        int e = errno;
        unlink(temp.c_str());
        errno = e;
        return fail("cannot write it");
    }
    XauUnlockAuth(file);
    return nullptr;
}

int RssRandom(uint8_t* p, size_t n) {
    if (getrandom(p, n, 0) == static_cast<ssize_t>(n)) return 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    ssize_t got = fd == -1 ? -1 : read(fd, p, n);
    if (fd != -1) close(fd);
    return got == static_cast<ssize_t>(n) ? 0 : -1;
}

}  // namespace

int RssAuthInit(int display) {
    RssDaemonData* d = pRssDaemonData;
    d->cookieAdded = 0;
    if (!d->checkAuthorization) return 0;
    const char* file = XauFileName();
    if (!file) {
        std::fprintf(stderr, "can't find the X authority file: neither XAUTHORITY nor HOME is set\n");
        return -1;
    }
    std::snprintf(d->authFile, sizeof d->authFile, "%s", file);
    if (RssRandom(d->cookie, RSS_COOKIE_LEN) == -1) {
        std::fprintf(stderr, "can't make the display's cookie: no random bytes\n");
        return -1;
    }
    d->cookieMade = 1;
    if (const char* why = RssAuthRewrite(d->authFile, true, display)) {
        std::fprintf(stderr, "can't add the display's cookie to %s: %s\n", d->authFile, why);
        return -1;
    }
    d->cookieDisplay = display;
    d->cookieAdded = 1;
    return 0;
}

void RssAuthRemove() {
    RssDaemonData* d = pRssDaemonData;
    if (!d || !d->cookieAdded) return;
    d->cookieAdded = 0;
    if (const char* why = RssAuthRewrite(d->authFile, false, d->cookieDisplay))
        std::fprintf(stderr, "can't remove the display's cookie from %s: %s\n", d->authFile, why);
}

const char* RssAuthCheck(const uint8_t* setup, size_t len) {
    if (len < 12) return "Authorization required, but no authorization protocol specified";
    const bool little = setup[0] != 'B';
    auto len16 = [&](int off) { return little ? setup[off] | setup[off + 1] << 8 : setup[off] << 8 | setup[off + 1]; };
    const int n = len16(6), dlen = len16(8);
    if (n == 0 && dlen == 0) return "Authorization required, but no authorization protocol specified";
    const size_t nameLen = std::strlen(RSS_COOKIE_NAME);
    if (n != static_cast<int>(nameLen) || len < 12 + nameLen || std::memcmp(setup + 12, RSS_COOKIE_NAME, nameLen) != 0)
        return "Authorization protocol not supported: this display takes MIT-MAGIC-COOKIE-1";
    const size_t at = 12 + ((nameLen + 3) & ~size_t(3));
    if (dlen != RSS_COOKIE_LEN || len < at + RSS_COOKIE_LEN || !pRssDaemonData->cookieMade)
        return "Invalid MIT-MAGIC-COOKIE-1 key";
    // Every byte is compared, so that the time taken tells nothing of where a guess went wrong.
    uint8_t diff = 0;
    for (int i = 0; i < RSS_COOKIE_LEN; i++) diff |= static_cast<uint8_t>(setup[at + i] ^ pRssDaemonData->cookie[i]);
    return diff ? "Invalid MIT-MAGIC-COOKIE-1 key" : nullptr;
}

size_t RssAuthFailedReply(uint8_t* buf, uint8_t byteOrder, const char* reason) {
    const size_t n = std::min<size_t>(std::strlen(reason), 255);
    const size_t padded = (n + 3) & ~size_t(3);
    const bool little = byteOrder != 'B';
    auto put16 = [&](int off, unsigned v) {
        buf[off] = static_cast<uint8_t>(little ? v : v >> 8);
        buf[off + 1] = static_cast<uint8_t>(little ? v >> 8 : v);
    };
    buf[0] = 0;  // Failed
    buf[1] = static_cast<uint8_t>(n);
    put16(2, 11);
    put16(4, 0);
    put16(6, static_cast<unsigned>(padded / 4));
    std::memset(buf + 8, 0, padded);
    std::memcpy(buf + 8, reason, n);
    return 8 + padded;
}
