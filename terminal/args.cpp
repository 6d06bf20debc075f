// lqterm's command line.
#include <cstdlib>
#include <cstring>

#include "terminal/lqterm.h"

static const char kUsage[] =
    "usage: lqterm [options] -- command [args...]   (the relay runs on a pseudo-terminal)\n"
    "       lqterm [options] -line DEVICE [-speed BPS]   (the relay is at the other end of a serial line)\n"
    "options:\n"
    "  -display D         X server for the relay's clients (default $DISPLAY)\n"
    "  -level N           protocol level to announce (0..3, default 3; below 3 offers no extensions)\n"
    "  -noext             offer the relay no extensions (as a terminal of the base protocol)\n"
    "  -norecover         offer the others, but not the faster loss recovery\n"
    "  -rate BPS          simulate a line of BPS bit/s between the line and the link\n"
    "  -latency MS        simulated latency in milliseconds\n"
    "  -errors RATE[:SEED]  simulated damage: probability per byte, and a seed\n"
    "  -outage START:LEN  simulated silence from START for LEN seconds (may be repeated)\n"
    "  -stats             print the link statistics on exit (always on SIGUSR1)\n"
    "  -statsfile FILE    also write the statistics record (JSON) to FILE\n"
    "  -status, -nostatus  a live status line on standard error (default: when it is a terminal)\n"
    "  -fetch REMOTE LOCAL  read the host file REMOTE into LOCAL, then end the session\n"
    "  -echo              echo the line test instead of running the link\n"
    "  -swallow C         with -echo: lose byte C (e.g. 0x11); may be repeated\n"
    "  -strip8            with -echo: clear bit 7 of every byte\n";

static int Bad(const char* what, const char* arg) {
    std::fprintf(stderr, "lqterm: bad %s \"%s\"\n%s", what, arg ? arg : "", kUsage);
    return -1;
}

static bool Number(const char* s, double lo, double hi, double* out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (*end || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

int TermParseArgs(TermOptions* o, int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        double d = 0;
        auto is = [&](const char* name) { return std::strcmp(a, name) == 0; };
        if (is("--")) {
            for (int k = i + 1; k < argc; k++) o->command.push_back(argv[k]);
            break;
        } else if (is("-display") && v) {
            o->display = v;
            i++;
        } else if (is("-line") && v) {
            o->line = v;
            i++;
        } else if (is("-speed")) {
            if (!Number(v, 50, 4000000, &d)) return Bad("speed", v);
            o->speed = static_cast<int>(d);
            i++;
        } else if (is("-level")) {
            if (!Number(v, 0, 3, &d) || d != static_cast<int>(d)) return Bad("level", v);
            o->level = static_cast<int>(d);
            i++;
        } else if (is("-noext")) {
            o->noext = true;
        } else if (is("-norecover")) {
            o->norecover = true;
        } else if (is("-rate")) {
            if (!Number(v, 0, 100000000, &d)) return Bad("rate", v);
            o->sim.rate = static_cast<uint32_t>(d);
            o->simulate = true;
            i++;
        } else if (is("-latency")) {
            if (!Number(v, 0, 60000, &d)) return Bad("latency", v);
            o->sim.latency = static_cast<uint32_t>(d * 1000);
            o->simulate = true;
            i++;
        } else if (is("-errors")) {
            if (!v || SimLineParseErrors(&o->sim, v) != 0) return Bad("error rate", v);
            o->simulate = true;
            i++;
        } else if (is("-outage") && v) {
            o->outages.push_back(v);
            o->simulate = true;
            i++;
        } else if (is("-stats")) {
            o->stats = true;
        } else if (is("-status") || is("-nostatus")) {
            o->status = is("-status");
        } else if (is("-statsfile") && v) {
            o->statsFile = v;
            i++;
        } else if (is("-fetch") && v && i + 2 < argc) {
            o->fetchRemote = v;
            o->fetchLocal = argv[i + 2];
            i += 2;
        } else if (is("-echo")) {
            o->echo = true;
        } else if (is("-swallow")) {
            char* end = nullptr;
            long c = v ? std::strtol(v, &end, 0) : -1;
            if (!v || *end || c < 0 || c > 255) return Bad("byte", v);
            o->echoCfg.swallow[c] = 1;
            i++;
        } else if (is("-strip8")) {
            o->echoCfg.strip8 = true;
        } else {
            return Bad("option", a);
        }
    }
    if (o->line.empty() == o->command.empty()) {
        std::fprintf(stderr, "lqterm: give either -line DEVICE or -- command\n%s", kUsage);
        return -1;
    }
    if (o->fetchRemote.size() > 200) return Bad("remote path (too long)", o->fetchRemote.c_str());
    return 0;
}
