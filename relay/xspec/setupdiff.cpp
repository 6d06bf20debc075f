#include "relay/xspec/setupdiff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/xspec/xbytes.h"

uint64_t SetupHash(const uint8_t* p, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

namespace {

// Lengths and hashes are written most significant byte first, whatever the clients' order.
void Put32(uint8_t* p, uint32_t v) { XspecStore32(p, v, false); }
uint32_t Get32(const uint8_t* p) { return XspecLoad32(p, false); }

// A patch costs at least two bytes of its own, so equal stretches shorter than this stay inside
// the patch around them.
constexpr size_t kJoin = 3;

}  // namespace

size_t SetupDiffMake(const uint8_t* base, size_t baseLen, const uint8_t* reply, size_t len, uint8_t* out) {
    if (baseLen == 0 || len == 0 || len > SETUP_REPLY_MAX) return 0;
    auto same = [&](size_t i) { return i < baseLen && base[i] == reply[i]; };
    size_t o = SETUP_DIFF_HDR;
    size_t pos = 0;  // first byte of the reply not yet covered
    size_t i = 0;
    while (i < len) {
        if (same(i)) {
            i++;
            continue;
        }
        // A patch starts at i and runs on over differing bytes and short equal stretches.
        size_t end = i;
        size_t j = i;
        while (j < len && j - i < 255) {
            if (!same(j)) {
                end = ++j;
                continue;
            }
            size_t k = j;
            while (k < len && same(k) && k - j < kJoin) k++;
            if (k - j >= kJoin || k == len) break;
            j = k;
        }
        size_t n = end - i;
        // Kept count as LEB128 (at most 3 bytes below SETUP_REPLY_MAX), n, the bytes.
        if (o + 4 + n > SETUP_DIFF_MAX) return 0;
        for (size_t kept = i - pos;; kept >>= 7) {
            uint8_t b = kept & 0x7f;
            if (kept >= 0x80) b |= 0x80;
            out[o++] = b;
            if (kept < 0x80) break;
        }
        out[o++] = static_cast<uint8_t>(n);
        std::memcpy(out + o, reply + i, n);
        o += n;
        pos = i = end;
    }
    if (o >= len / 2) return 0;
    out[0] = SETUP_DIFF_MARK;
    Put32(out + 1, static_cast<uint32_t>(len));
    Put32(out + 5, static_cast<uint32_t>(SetupHash(reply, len)));
    return o;
}

int SetupDiffApply(const uint8_t* base, size_t baseLen, const uint8_t* d, size_t n, std::vector<uint8_t>* out,
                   std::string* why) {
    if (n < SETUP_DIFF_HDR || d[0] != SETUP_DIFF_MARK) {
        *why = "not a set-up difference";
        return -1;
    }
    const uint32_t len = Get32(d + 1);
    if (len == 0 || len > SETUP_REPLY_MAX) {
        *why = "set-up difference of a bad length";
        return -1;
    }
    out->assign(len, 0);
    if (baseLen) std::memcpy(out->data(), base, baseLen < len ? baseLen : len);
    size_t pos = 0;
    size_t o = SETUP_DIFF_HDR;
    while (o < n) {
        uint64_t kept = 0;
        int shift = 0;
        uint8_t b;
        do {
            if (o >= n || shift > 21) {
                *why = "set-up difference cut short";
                return -1;
            }
            b = d[o++];
            kept |= uint64_t(b & 0x7f) << shift;
            shift += 7;
        } while (b & 0x80);
        if (o >= n) {
            *why = "set-up difference cut short";
            return -1;
        }
        const size_t cnt = d[o++];
        if (cnt == 0 || cnt > n - o || kept > len - pos || cnt > len - pos - kept) {
            *why = "set-up difference out of bounds";
            return -1;
        }
        pos += kept;
        std::memcpy(out->data() + pos, d + o, cnt);
        pos += cnt;
        o += cnt;
    }
    // Bytes past the base that no patch wrote would be guesses; the hash below refuses them.
    if (static_cast<uint32_t>(SetupHash(out->data(), len)) != Get32(d + 5)) {
        *why = "set-up difference does not match its reply";
        return -1;
    }
    return 0;
}

// ---- the cache on disk ----

namespace {

constexpr char kMagic[8] = {'L', 'Q', 'S', 'E', 'T', 'U', 'P', '1'};
constexpr size_t kFileHdr = 8 + 4 + 8;

bool MakeDirs(const std::string& dir) {
    for (size_t i = 1; i <= dir.size(); i++) {
        if (i < dir.size() && dir[i] != '/') continue;
        std::string part = dir.substr(0, i);
        if (mkdir(part.c_str(), 0700) == -1 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

std::string SetupCacheDir(const char* prog) {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/" + prog;
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.cache/" + prog;
    return "";
}

std::string SetupCachePath(const std::string& dir, uint64_t hash) {
    char name[32];
    std::snprintf(name, sizeof name, "/setup-%016" PRIx64, hash);
    return dir + name;
}

int SetupCacheLoad(const std::string& path, std::vector<uint8_t>* reply, std::string* why) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *why = std::string("cannot read ") + path + ": " + std::strerror(errno);
        return -1;
    }
    uint8_t hdr[kFileHdr];
    int r = -1;
    if (std::fread(hdr, 1, kFileHdr, f) != kFileHdr || std::memcmp(hdr, kMagic, 8) != 0) {
        *why = path + ": not a set-up cache file";
    } else {
        const uint32_t len = Get32(hdr + 8);
        const uint64_t hash = uint64_t(Get32(hdr + 12)) << 32 | Get32(hdr + 16);
        if (len == 0 || len > SETUP_REPLY_MAX) {
            *why = path + ": damaged (bad length)";
        } else {
            reply->resize(len);
            uint8_t extra;
            if (std::fread(reply->data(), 1, len, f) != len || std::fread(&extra, 1, 1, f) != 0)
                *why = path + ": damaged (wrong size)";
            else if (SetupHash(reply->data(), len) != hash)
                *why = path + ": damaged (contents do not match)";
            else
                r = 0;
        }
    }
    std::fclose(f);
    if (r != 0) reply->clear();
    return r;
}

int CacheFileReplace(const std::string& dir, const std::string& path, const uint8_t* p, size_t len,
                     std::string* why) {
    if (!MakeDirs(dir)) {
        *why = std::string("cannot make ") + dir + ": " + std::strerror(errno);
        return -1;
    }
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd == -1) {
        *why = std::string("cannot write ") + tmp + ": " + std::strerror(errno);
        return -1;
    }
    bool ok = true;
    for (size_t at = 0; ok && at < len;) {
        const ssize_t n = write(fd, p + at, len - at);
        ok = n > 0;
        if (ok) at += static_cast<size_t>(n);
    }
    int err = errno;
    if (close(fd) == -1 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok || rename(tmp.c_str(), path.c_str()) == -1) {
        if (ok) err = errno;
        unlink(tmp.c_str());
        *why = std::string("cannot write ") + path + ": " + std::strerror(err);
        return -1;
    }
    return 0;
}

int SetupCacheSave(const std::string& dir, const std::string& path, const uint8_t* reply, size_t len,
                   std::string* why) {
    if (len == 0 || len > SETUP_REPLY_MAX) {
        *why = "set-up reply too large to keep";
        return -1;
    }
    std::vector<uint8_t> file(kFileHdr + len);
    std::memcpy(file.data(), kMagic, 8);
    Put32(&file[8], static_cast<uint32_t>(len));
    const uint64_t hash = SetupHash(reply, len);
    Put32(&file[12], static_cast<uint32_t>(hash >> 32));
    Put32(&file[16], static_cast<uint32_t>(hash));
    std::memcpy(&file[kFileHdr], reply, len);
    return CacheFileReplace(dir, path, file.data(), file.size(), why);
}
