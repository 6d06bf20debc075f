// lqterm's live status line.
#include "terminal/status.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "terminal/lqterm.h"

namespace {

constexpr uint64_t kPeriodUs = 1000000;

std::string Bytes(double n) {
    char b[32];
    if (n < 1000)
        std::snprintf(b, sizeof b, "%.0f B", n);
    else if (n < 1e6)
        std::snprintf(b, sizeof b, "%.1f kB", n / 1e3);
    else
        std::snprintf(b, sizeof b, "%.1f MB", n / 1e6);
    return b;
}

std::string Rate(uint64_t bytes, double secs, uint32_t rate) {
    const double perSec = secs > 0 ? static_cast<double>(bytes) / secs : 0;
    std::string s = Bytes(perSec) + "/s";
    if (rate > 0) {
        char b[24];
        std::snprintf(b, sizeof b, " (%.0f %%)", 100.0 * perSec * 10 / rate);
        s += b;
    }
    return s;
}

void Put(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = write(fd, s.data() + off, s.size() - off);
        if (n <= 0) return;  // a status line is not worth blocking or failing for
        off += static_cast<size_t>(n);
    }
}

}  // namespace

TermStatusSample TermStatusTake(const TermData* t, uint64_t nowUs) {
    TermStatusSample s;
    s.usec = nowUs;
    s.lineIn = t->stats.lineBytesIn;
    s.lineOut = t->stats.lineBytesOut;
    s.xBytes = t->stats.xBytesToServer + t->stats.xBytesFromServer;
    s.resends = t->link.stats.resends + t->link.stats.timedResends;
    s.queued = BufGetListByteLen(&t->outList) + t->toFd.size();
    s.queued += static_cast<uint64_t>(LinkOutputWaiting(&t->link));
    for (const TermClient* c : t->clients) {
        if (!c) continue;
        s.clients++;
        s.queued += c->xin.size();
        if (c->rec.encList) s.queued += BufGetListByteLen(c->rec.encList);
    }
    return s;
}

std::string TermStatusText(const TermStatusSample& before, const TermStatusSample& now, uint32_t rate) {
    const double secs = now.usec > before.usec ? static_cast<double>(now.usec - before.usec) / 1e6 : 0;
    const uint64_t line = now.lineIn + now.lineOut;
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.2f", line ? static_cast<double>(now.xBytes) / static_cast<double>(line) : 0.0);
    return "lqterm: in " + Rate(now.lineIn - before.lineIn, secs, rate) + ", out " +
           Rate(now.lineOut - before.lineOut, secs, rate) + "; ratio " + ratio + "; queued " +
           Bytes(static_cast<double>(now.queued)) + "; resends " + std::to_string(now.resends) + "; clients " +
           std::to_string(now.clients);
}

uint64_t TermStatusTick(TermData* t, uint64_t nowUs) {
    TermStatus& s = t->status;
    if (!s.decided) {
        s.decided = true;
        s.tty = isatty(s.fd) == 1;
        s.on = t->opt.status > 0 || (t->opt.status < 0 && s.tty);
        if (t->opt.simulate && t->opt.sim.rate > 0)
            s.rate = t->opt.sim.rate;
        else if (!t->opt.line.empty())
            s.rate = static_cast<uint32_t>(t->opt.speed);
        s.prev = TermStatusTake(t, nowUs);
        s.due = nowUs + kPeriodUs;
    }
    if (!s.on) return UINT64_MAX;
    if (nowUs < s.due) return s.due;
    const TermStatusSample cur = TermStatusTake(t, nowUs);
    std::string text = TermStatusText(s.prev, cur, s.rate);
    if (s.tty) {
        // One line only: cut to the terminal's width so that it never wraps.
        winsize ws{};
        if (ioctl(s.fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 && text.size() >= ws.ws_col) text.resize(ws.ws_col - 1u);
        Put(s.fd, "\r" + text + "\033[K");
        s.drawn = true;
    } else {
        Put(s.fd, text + "\n");
    }
    s.prev = cur;
    s.due = nowUs + kPeriodUs;
    return s.due;
}

void TermStatusWipe(TermData* t) {
    TermStatus& s = t->status;
    if (!s.drawn) return;
    Put(s.fd, "\r\033[K");
    s.drawn = false;
}
