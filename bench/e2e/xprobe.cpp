// Watches the terminal's X server directly (not through the relay) to time what a user sees of a
// client that runs through the relay.
//   lq_xprobe -display D startup CMD...   start CMD; milliseconds until its first window is mapped
//   lq_xprobe -display D bulk GO [-signal PID] [-relay PID] CMD...
//                                         start CMD; once its window is mapped and quiet, create the file
//                                         GO (CMD waits for it, then prints) and time until its drawing
//                                         ends; PID gets SIGUSR1 before and after; the relay's CPU ticks
//   lq_xprobe -display D type N MS [-signal PID] CMD...
//                                         start CMD (a terminal emulator); once it is mapped, type N
//                                         keys, one every MS milliseconds, through the X server's test
//                                         extension; for each, the milliseconds from the key event being
//                                         processed to the first and to the last drawing in the window
//                                         before the next key (the echo). A first key, timed apart, lets
//                                         the client load what it loads on first use. PID gets SIGUSR1
//                                         before the timed keys and after the last.
//   lq_xprobe -display :N setup           the size of the X server's set-up reply in bytes
//   lq_xprobe rtt N                       N round trips (GetInputFocus) to $DISPLAY: median and least ms
//   lq_xprobe conns N -pid PID            open N connections to $DISPLAY; the resident memory of PID
//                                         before and with them open
// CMD runs with the environment as it is (its DISPLAY is the relay's). Output: "name value" lines.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>
#include <X11/keysym.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

double NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

pid_t Start(char** argv) {
    pid_t p = fork();
    if (p == 0) {
        execvp(argv[0], argv);
        std::perror(argv[0]);
        _exit(127);
    }
    return p;
}

// Next event within ms milliseconds; false on time-out.
bool NextEvent(Display* d, XEvent* ev, double ms) {
    const double end = NowMs() + ms;
    for (;;) {
        if (XPending(d)) {
            XNextEvent(d, ev);
            return true;
        }
        double left = end - NowMs();
        if (left <= 0) return false;
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(ConnectionNumber(d), &fds);
        timeval tv{static_cast<time_t>(left / 1000), static_cast<suseconds_t>(std::fmod(left, 1000.0) * 1000)};
        select(ConnectionNumber(d) + 1, &fds, nullptr, nullptr, &tv);
    }
}

// The first top-level window mapped from now on, or 0 after the time-out.
Window WaitMapped(Display* d, double ms) {
    XEvent ev;
    const double end = NowMs() + ms;
    while (NextEvent(d, &ev, end - NowMs()))
        if (ev.type == MapNotify && ev.xmap.event == DefaultRootWindow(d)) return ev.xmap.window;
    return 0;
}

void WatchDamage(Display* d, Window w) {
    XDamageCreate(d, w, XDamageReportRawRectangles);
    Window root, parent, *kids = nullptr;
    unsigned n = 0;
    if (XQueryTree(d, w, &root, &parent, &kids, &n)) {
        for (unsigned i = 0; i < n; i++) WatchDamage(d, kids[i]);
        if (kids) XFree(kids);
    }
}

long Vm(pid_t pid, const char* key) {
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return -1;
    char line[256];
    long v = -1;
    const size_t k = std::strlen(key);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, k) == 0 && line[k] == ':') v = std::atol(line + k + 1);
    std::fclose(f);
    return v;
}

// User and system clock ticks of a process so far.
long CpuTicks(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return 0;
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char* p = std::strrchr(buf, ')');  // the command name may hold blanks
    long v[13] = {};
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &v[0], &v[1]) != 2) return 0;
    return v[0] + v[1];
}

// The bytes of the set-up reply of the X server on local display ":N": a connection without
// authorisation (as the benchmark's Xvfb takes) and the reply's own length field.
long SetupBytes(const char* disp) {
    if (!disp || disp[0] != ':') return -1;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "/tmp/.X11-unix/X%d", std::atoi(disp + 1));
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (s >= 0) close(s);
        return -1;
    }
    const uint8_t req[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // little-endian, protocol 11.0
    uint8_t h[8];
    size_t got = 0;
    if (write(s, req, sizeof req) == static_cast<ssize_t>(sizeof req))
        while (got < sizeof h) {
            ssize_t n = read(s, h + got, sizeof h - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
    close(s);
    if (got < sizeof h || h[0] != 1) return -1;
    return 8 + 4L * (h[6] | h[7] << 8);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: lq_xprobe -display D startup CMD...\n"
                 "       lq_xprobe -display D bulk GO [-signal PID] [-relay PID] CMD...\n"
                 "       lq_xprobe -display D type N MS [-signal PID] CMD...\n"
                 "       lq_xprobe -display :N setup\n"
                 "       lq_xprobe rtt N\n"
                 "       lq_xprobe conns N -pid PID\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int i = 1;
    const char* disp = nullptr;
    if (i + 1 < argc && std::strcmp(argv[i], "-display") == 0) {
        disp = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return Usage();
    const std::string mode = argv[i++];

    if (mode == "conns") {
        if (i + 2 >= argc + 0 || std::strcmp(argv[i + 1], "-pid") != 0) return Usage();
        const int n = std::atoi(argv[i]);
        const pid_t pid = static_cast<pid_t>(std::atoi(argv[i + 2]));
        std::printf("rss_idle_kb %ld\n", Vm(pid, "VmRSS"));
        std::vector<Display*> open;
        for (int k = 0; k < n; k++) {
            Display* d = XOpenDisplay(nullptr);
            if (!d) break;
            XSync(d, False);
            open.push_back(d);
        }
        std::printf("connections %zu\n", open.size());
        std::printf("rss_clients_kb %ld\n", Vm(pid, "VmRSS"));
        std::printf("hwm_kb %ld\n", Vm(pid, "VmHWM"));
        for (Display* d : open) XCloseDisplay(d);
        return open.size() == static_cast<size_t>(n) ? 0 : 1;
    }

    if (mode == "setup") {
        const long n = SetupBytes(disp);
        if (n < 0) return 1;
        std::printf("setup_bytes %ld\n", n);
        return 0;
    }

    if (mode == "rtt") {  // round trips through $DISPLAY (the relay)
        if (i >= argc) return Usage();
        const int n = std::atoi(argv[i]);
        Display* r = XOpenDisplay(nullptr);
        if (!r) return 1;
        XSync(r, False);
        std::vector<double> ms;
        for (int k = 0; k < n; k++) {
            const double t0 = NowMs();
            XSync(r, False);  // GetInputFocus and its reply
            ms.push_back(NowMs() - t0);
            usleep(50000);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("rtt_median_ms %.1f\nrtt_min_ms %.1f\n", ms[ms.size() / 2], ms[0]);
        XCloseDisplay(r);
        return 0;
    }

    Display* d = XOpenDisplay(disp);
    if (!d) {
        std::fprintf(stderr, "lq_xprobe: cannot open display %s\n", disp ? disp : "");
        return 1;
    }
    XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
    XSync(d, False);

    if (mode == "startup") {
        if (i >= argc) return Usage();
        const double t0 = NowMs();
        pid_t child = Start(argv + i);
        Window w = WaitMapped(d, 600000);
        if (!w) return 1;
        std::printf("mapped_ms %.1f\n", NowMs() - t0);
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        return 0;
    }

    if (mode == "bulk") {
        if (i + 1 >= argc) return Usage();
        const char* go = argv[i++];
        pid_t sig = 0, relay = 0;
        while (i + 1 < argc && (std::strcmp(argv[i], "-signal") == 0 || std::strcmp(argv[i], "-relay") == 0)) {
            (argv[i][1] == 's' ? sig : relay) = static_cast<pid_t>(std::atoi(argv[i + 1]));
            i += 2;
        }
        if (i >= argc) return Usage();
        int evBase = 0, errBase = 0;
        if (!XDamageQueryExtension(d, &evBase, &errBase)) return 1;
        const double t0 = NowMs();
        pid_t child = Start(argv + i);
        Window w = WaitMapped(d, 600000);
        if (!w) return 1;
        std::printf("mapped_ms %.1f\n", NowMs() - t0);
        XEvent ev;
        WatchDamage(d, w);
        for (const double end = NowMs() + 180000; NowMs() < end && NextEvent(d, &ev, 3000);) {
        }
        if (sig) kill(sig, SIGUSR1);
        const long cpu0 = relay ? CpuTicks(relay) : 0;
        // The client waits for this file before it prints; done when its window has had no drawing
        // for 3 s.
        if (FILE* f = std::fopen(go, "w")) std::fclose(f);
        const double g = NowMs();
        double last = g;
        for (const double end = g + 1800000; NowMs() < end && NextEvent(d, &ev, 3000);)
            if (ev.type == evBase + XDamageNotify) last = NowMs();
        std::printf("done_ms %.1f\n", last - g);
        if (relay) std::printf("cpu_ticks %ld\n", CpuTicks(relay) - cpu0);
        std::fflush(stdout);
        if (sig) kill(sig, SIGUSR1);
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        return 0;
    }

    if (mode == "type") {
        if (i + 2 >= argc) return Usage();
        const int n = std::atoi(argv[i]);
        const double gap = std::atof(argv[i + 1]);
        i += 2;
        pid_t sig = 0;
        if (i + 1 < argc && std::strcmp(argv[i], "-signal") == 0) {
            sig = static_cast<pid_t>(std::atoi(argv[i + 1]));
            i += 2;
        }
        if (i >= argc) return Usage();
        int evBase = 0, errBase = 0, a, b, c;
        if (!XDamageQueryExtension(d, &evBase, &errBase) || !XTestQueryExtension(d, &a, &b, &c, &c)) {
            std::fprintf(stderr, "lq_xprobe: the X server lacks DAMAGE or XTEST\n");
            return 1;
        }
        pid_t child = Start(argv + i);
        Window w = WaitMapped(d, 600000);
        if (!w) return 1;
        XEvent ev;
        // Let it finish starting: until its windows have seen no drawing for 3 s (at most 3 min).
        WatchDamage(d, w);
        for (const double end = NowMs() + 180000; NowMs() < end && NextEvent(d, &ev, 3000);) {
        }
        XSetInputFocus(d, w, RevertToPointerRoot, CurrentTime);
        XWarpPointer(d, None, w, 0, 0, 0, 0, 10, 10);
        XSync(d, False);
        while (NextEvent(d, &ev, 1500)) {
        }
        const KeySym keys[] = {XK_a, XK_s, XK_d, XK_f, XK_j, XK_k, XK_l, XK_e, XK_r, XK_u, XK_i, XK_o};
        auto press = [&](int k) {
            KeyCode kc = XKeysymToKeycode(d, keys[k % 12]);
            XTestFakeKeyEvent(d, kc, True, CurrentTime);
            XTestFakeKeyEvent(d, kc, False, CurrentTime);
            XSync(d, False);  // the key events have reached the server
            return NowMs();
        };
        // The first key makes a terminal emulator load what it had left for later (fonts): timed on
        // its own, until its window has been quiet for 3 s.
        {
            const double t0 = press(0);
            double last = 0;
            for (const double end = t0 + 180000; NowMs() < end;) {
                if (!NextEvent(d, &ev, last ? 3000 : end - NowMs())) break;
                if (ev.type == evBase + XDamageNotify) last = NowMs();
            }
            std::printf("first_key_ms %.1f\n", last ? last - t0 : -1.0);
        }
        if (sig) kill(sig, SIGUSR1);
        int missed = 0;
        for (int k = 1; k <= n; k++) {
            const double t0 = press(k);
            double first = 0, last = 0;
            // The echo's drawing until the next key is due (or 5 s while none has come).
            while (NextEvent(d, &ev, first ? std::max(1.0, t0 + gap - NowMs()) : 5000)) {
                if (ev.type != evBase + XDamageNotify) continue;
                last = NowMs() - t0;
                if (!first) first = last;
            }
            if (!first) {
                missed++;
                continue;
            }
            std::printf("key_ms %.1f %.1f\n", first, last);
        }
        std::fflush(stdout);
        if (sig) {
            usleep(500000);  // the last echo's acknowledgements
            kill(sig, SIGUSR1);
        }
        std::printf("missed %d\n", missed);
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        return 0;
    }
    return Usage();
}
