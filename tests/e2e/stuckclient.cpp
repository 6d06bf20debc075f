// A raw X client for the isolation tests, speaking the protocol itself so that it can misbehave:
//   lqstuck stuck N GO READY
//                        set up, send N GetInputFocus requests, create the file READY, then read
//                        nothing until the file GO exists (GO "stop": stop itself with SIGSTOP);
//                        then read every reply and check that all N came in order. "ok N" on success.
//   lqstuck setups K     K connections one after the other, each until its whole set-up reply;
//                        the milliseconds of each on a line. Fails when one gets no reply in 20 s.
// The display is $DISPLAY (":n" or "unix:n", a local socket).
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <X11/Xauth.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

double NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

int Dial() {
    const char* d = std::getenv("DISPLAY");
    const char* colon = d ? std::strrchr(d, ':') : nullptr;
    if (!colon) return -1;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "/tmp/.X11-unix/X%d", std::atoi(colon + 1));
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    return s;
}

// Reads exactly n bytes, waiting at most ms for each piece. False on end, error or time-out.
bool ReadFull(int s, uint8_t* p, size_t n, int ms) {
    while (n > 0) {
        pollfd f{s, POLLIN, 0};
        if (poll(&f, 1, ms) != 1) return false;
        ssize_t k = read(s, p, n);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool WriteFull(int s, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = write(s, p, n);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// Connection set-up in the most significant byte first order, with the display's cookie when the
// authority file holds one (as any client finds it), else without authorization.
bool SetUp(int s, int ms) {
    std::vector<uint8_t> hello = {'B', 0, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0};
    const char* d = std::getenv("DISPLAY");
    const char* colon = d ? std::strrchr(d, ':') : nullptr;
    char host[257] = {};
    gethostname(host, sizeof host - 1);
    std::string num = colon ? std::to_string(std::atoi(colon + 1)) : "";
    static char kName[] = "MIT-MAGIC-COOKIE-1";
    char* names[] = {kName};
    int lens[] = {static_cast<int>(sizeof kName - 1)};
    if (Xauth* a = XauGetBestAuthByAddr(FamilyLocal, static_cast<unsigned short>(std::strlen(host)), host,
                                        static_cast<unsigned short>(num.size()), num.c_str(), 1, names, lens)) {
        auto padded = [&](const char* p, size_t n) {
            hello.insert(hello.end(), p, p + n);
            while (hello.size() % 4) hello.push_back(0);
        };
        hello[6] = static_cast<uint8_t>(a->name_length >> 8);
        hello[7] = static_cast<uint8_t>(a->name_length);
        hello[8] = static_cast<uint8_t>(a->data_length >> 8);
        hello[9] = static_cast<uint8_t>(a->data_length);
        padded(a->name, a->name_length);
        padded(a->data, a->data_length);
        XauDisposeAuth(a);
    }
    uint8_t head[8];
    if (!WriteFull(s, hello.data(), hello.size()) || !ReadFull(s, head, 8, ms) || head[0] != 1) return false;
    std::vector<uint8_t> rest(4u * (head[6] << 8 | head[7]));
    return ReadFull(s, rest.data(), rest.size(), ms);
}

bool Exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

int Stuck(long n, const std::string& go, const std::string& ready) {
    int s = Dial();
    if (s < 0 || !SetUp(s, 60000)) {
        std::fprintf(stderr, "lqstuck: no set-up\n");
        return 1;
    }
    const uint8_t req[4] = {43, 0, 0, 1};  // GetInputFocus
    std::vector<uint8_t> all;
    for (long i = 0; i < n; i++) all.insert(all.end(), req, req + 4);
    if (!WriteFull(s, all.data(), all.size())) return 1;
    if (FILE* f = std::fopen(ready.c_str(), "w")) std::fclose(f);
    if (go == "stop")
        raise(SIGSTOP);
    else
        while (!Exists(go)) usleep(50000);
    for (long i = 1; i <= n; i++) {
        uint8_t r[32];
        if (!ReadFull(s, r, 32, 60000)) {
            std::printf("lost after %ld\n", i - 1);
            return 1;
        }
        if (r[0] != 1 || (r[2] << 8 | r[3]) != (i & 0xffff)) {
            std::printf("reply %ld out of order (type %d, code %d, sequence %d)\n", i, r[0], r[1], r[2] << 8 | r[3]);
            return 1;
        }
    }
    std::printf("ok %ld\n", n);
    return 0;
}

int Setups(long k) {
    for (long i = 0; i < k; i++) {
        const double t0 = NowMs();
        int s = Dial();
        if (s < 0 || !SetUp(s, 20000)) {
            std::printf("set-up %ld: no reply\n", i);
            return 1;
        }
        close(s);
        std::printf("%.1f\n", NowMs() - t0);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "stuck") == 0) return Stuck(std::atol(argv[2]), argv[3], argv[4]);
    if (argc == 3 && std::strcmp(argv[1], "setups") == 0) return Setups(std::atol(argv[2]));
    std::fprintf(stderr, "usage: lqstuck stuck N GO READY | lqstuck setups K\n");
    return 2;
}
