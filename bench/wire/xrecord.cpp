// A transparent recording proxy for new workloads of the X traffic corpus. It listens as display :N
// (Unix-domain socket only), forwards every connection unchanged to the X server named by $DISPLAY
// (a local display ":n" or "unix:n"), and writes what crossed in the corpus's form:
//   DIR/connKK.c2s   every byte the client sent      DIR/connKK.s2c   every byte the server sent
//   DIR/connKK.chunks  "ms c|s count" per read      DIR/index.json   names, counts, durations
// It ends on SIGINT or SIGTERM, or with -once after its first connection has closed.
//   usage: lq_xrecord :N DIR [-name CLIENT] [-once]
#include <errno.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t gStop = 0;

double NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::string SocketPath(int n) { return "/tmp/.X11-unix/X" + std::to_string(n); }

// The display number of a local display name (":n", ":n.s", "unix:n"), or -1.
int LocalDisplay(const char* name) {
    if (!name) return -1;
    const char* colon = std::strrchr(name, ':');
    if (!colon || (colon != name && std::strncmp(name, "unix:", 5) != 0)) return -1;
    char* end = nullptr;
    long n = std::strtol(colon + 1, &end, 10);
    if (end == colon + 1 || (*end && *end != '.') || n < 0 || n > 9999) return -1;
    return static_cast<int>(n);
}

struct Conn {
    int client = -1, server = -1;
    int index = 0;
    double opened = 0, last = 0;
    FILE *c2s = nullptr, *s2c = nullptr, *chunks = nullptr;
    unsigned long long bytes[2] = {0, 0}, reads[2] = {0, 0};
};

struct Done {
    int index;
    unsigned long long bytes[2], reads[2];
    double seconds;
    bool open;
};

void Close(Conn* c, std::vector<Done>* done, bool stillOpen) {
    done->push_back({c->index, {c->bytes[0], c->bytes[1]}, {c->reads[0], c->reads[1]}, (c->last - c->opened) / 1e3,
                     stillOpen});
    for (int fd : {c->client, c->server})
        if (fd >= 0) close(fd);
    for (FILE* f : {c->c2s, c->s2c, c->chunks})
        if (f) std::fclose(f);
    c->client = c->server = -1;
}

// Moves what one side has to the other and records it. false when the connection has ended.
bool Pass(Conn* c, bool fromClient) {
    char buf[65536];
    int from = fromClient ? c->client : c->server, to = fromClient ? c->server : c->client;
    ssize_t n = read(from, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    c->last = NowMs();
    std::fwrite(buf, 1, static_cast<size_t>(n), fromClient ? c->c2s : c->s2c);
    std::fprintf(c->chunks, "%.0f %c %zd\n", c->last - c->opened, fromClient ? 'c' : 's', n);
    c->bytes[fromClient ? 0 : 1] += static_cast<unsigned long long>(n);
    c->reads[fromClient ? 0 : 1]++;
    for (ssize_t off = 0; off < n;) {
        ssize_t w = write(to, buf + off, static_cast<size_t>(n - off));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += w;
    }
    return true;
}

int Connect(const std::string& path) {
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (s >= 0) close(s);
        return -1;
    }
    return s;
}

void WriteIndex(const std::string& dir, const std::string& name, const std::vector<Done>& done) {
    FILE* f = std::fopen((dir + "/index.json").c_str(), "w");
    if (!f) return;
    std::fprintf(f, "{\n \"connections\": [");
    for (size_t i = 0; i < done.size(); i++) {
        const Done& d = done[i];
        char conn[16];
        std::snprintf(conn, sizeof conn, "conn%02d", d.index);
        std::fprintf(f,
                     "%s\n  {\n   \"c2s_bytes\": %llu,\n   \"c2s_file\": \"%s.c2s\",\n   \"c2s_reads\": %llu,\n"
                     "   \"client\": \"%s\",\n   \"conn\": \"%s\",\n   \"open\": %s,\n   \"s2c_bytes\": %llu,\n"
                     "   \"s2c_file\": \"%s.s2c\",\n   \"s2c_reads\": %llu,\n   \"seconds\": %.3f\n  }",
                     i ? "," : "", d.bytes[0], conn, d.reads[0], name.c_str(), conn, d.open ? "true" : "false",
                     d.bytes[1], conn, d.reads[1], d.seconds);
    }
    std::fprintf(f, "\n ]\n}\n");
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: lq_xrecord :N DIR [-name CLIENT] [-once]\n");
        return 2;
    }
    const int n = LocalDisplay(argv[1]);
    const std::string dir = argv[2];
    std::string name = "client";
    bool once = false;
    for (int i = 3; i < argc; i++) {
        if (std::strcmp(argv[i], "-name") == 0 && i + 1 < argc) {
            name = argv[++i];
        } else if (std::strcmp(argv[i], "-once") == 0) {
            once = true;
        } else {
            std::fprintf(stderr, "lq_xrecord: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    for (char ch : name)
        if (ch == '"' || ch == '\\' || static_cast<unsigned char>(ch) < 0x20) {
            std::fprintf(stderr, "lq_xrecord: bad client name\n");
            return 2;
        }
    const int target = LocalDisplay(std::getenv("DISPLAY"));
    if (n < 0 || target < 0 || n == target) {
        std::fprintf(stderr, "lq_xrecord: give a free local display :N and a local $DISPLAY to forward to\n");
        return 2;
    }
    mkdir(dir.c_str(), 0755);
    const std::string path = SocketPath(n);
    int ls = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (ls < 0 || bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, 8) != 0) {
        std::perror(("lq_xrecord: " + path).c_str());
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = [](int) { gStop = 1; };
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<Conn> conns;
    std::vector<Done> done;
    int next = 0;
    while (!gStop && !(once && !done.empty() && conns.empty())) {
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(ls, &fds);
        int top = ls;
        for (const Conn& c : conns)
            for (int fd : {c.client, c.server}) {
                FD_SET(fd, &fds);
                top = fd > top ? fd : top;
            }
        if (select(top + 1, &fds, nullptr, nullptr, nullptr) < 0) continue;
        if (FD_ISSET(ls, &fds)) {
            int cs = accept(ls, nullptr, nullptr);
            int ss = cs >= 0 ? Connect(SocketPath(target)) : -1;
            if (cs >= 0 && ss < 0) {
                std::fprintf(stderr, "lq_xrecord: cannot reach display :%d\n", target);
                close(cs);
            } else if (cs >= 0) {
                Conn c;
                c.client = cs;
                c.server = ss;
                c.index = next++;
                c.opened = c.last = NowMs();
                char base[32];
                std::snprintf(base, sizeof base, "/conn%02d", c.index);
                c.c2s = std::fopen((dir + base + ".c2s").c_str(), "wb");
                c.s2c = std::fopen((dir + base + ".s2c").c_str(), "wb");
                c.chunks = std::fopen((dir + base + ".chunks").c_str(), "w");
                if (!c.c2s || !c.s2c || !c.chunks) {
                    std::perror(("lq_xrecord: " + dir).c_str());
                    Close(&c, &done, false);
                    done.pop_back();
                } else {
                    conns.push_back(c);
                }
            }
        }
        for (size_t i = 0; i < conns.size();) {
            Conn& c = conns[i];
            bool ok = true;
            if (FD_ISSET(c.client, &fds)) ok = Pass(&c, true);
            if (ok && FD_ISSET(c.server, &fds)) ok = Pass(&c, false);
            if (!ok) {
                Close(&c, &done, false);
                conns.erase(conns.begin() + static_cast<long>(i));
            } else {
                i++;
            }
        }
    }
    for (Conn& c : conns) Close(&c, &done, true);
    close(ls);
    unlink(path.c_str());
    WriteIndex(dir, name, done);
    return 0;
}
