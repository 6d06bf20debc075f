// lqterm's line, main loop and dialogues.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "terminal/lqterm.h"
#include "terminal/setupterm.h"
#include "terminal/storeterm.h"
#include "relay/link/dialog.h"
#include "relay/link/linkext.h"
#include "relay/link/simline.h"
#include "terminal/xside.h"

TermData* pTermData = nullptr;

namespace {

int sigPipe[2] = {-1, -1};  // the signal handlers' only way into the main loop

void OnSignal(int sig) {
    const int saved = errno;
    const uint8_t c = static_cast<uint8_t>(sig);
    if (write(sigPipe[1], &c, 1) < 0) {
    }
    errno = saved;
}

uint64_t NowUs() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

void SetNonBlock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

speed_t SpeedCode(int bps) {
    static const struct { int bps; speed_t code; } kSpeeds[] = {
        {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
        {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (auto& s : kSpeeds)
        if (s.bps == bps) return s.code;
    return B0;
}

// ---- the line -------------------------------------------------------------------------------------

int OpenSerial(TermData* t) {
    speed_t sp = SpeedCode(t->opt.speed);
    if (sp == B0) {
        std::fprintf(stderr, "lqterm: unsupported speed %d\n", t->opt.speed);
        return -1;
    }
    int fd = open(t->opt.line.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        perror(("lqterm: " + t->opt.line).c_str());
        return -1;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        perror("lqterm: not a terminal line");
        close(fd);
        return -1;
    }
    cfmakeraw(&tio);  // raw 8-bit: no parity, no translation, no flow control
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CRTSCTS | CSTOPB);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, sp);
    cfsetospeed(&tio, sp);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        perror("lqterm: line settings");
        close(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

// The command runs in a session of its own whose controlling terminal is the pseudo-terminal's
// slave, so the relay's "/dev/tty" is our line.
int StartCommand(TermData* t) {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) {
        perror("lqterm: pseudo-terminal");
        return -1;
    }
    const char* slave = ptsname(m);
    termios tio{};
    tcgetattr(m, &tio);
    cfmakeraw(&tio);
    tcsetattr(m, TCSANOW, &tio);
    std::string slaveName = slave ? slave : "";
    // We hold the slave open too until the command has gone: a master whose slave is not open
    // reads as hung up, which it is not while the command starts.
    t->slaveFd = open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    pid_t pid = fork();
    if (pid < 0) {
        perror("lqterm: fork");
        close(m);
        return -1;
    }
    if (pid == 0) {
        setsid();
        int s = open(slaveName.c_str(), O_RDWR);
        if (s < 0) _exit(127);
        ioctl(s, TIOCSCTTY, 0);
        tcgetattr(s, &tio);
        cfmakeraw(&tio);
        tcsetattr(s, TCSANOW, &tio);
        dup2(s, 0);
        dup2(s, 1);
        if (s > 2) close(s);
        close(m);
        signal(SIGPIPE, SIG_DFL);
        // exec wants the argument vector ended by a null pointer, which the options' list is not.
        std::vector<char*> argv = t->opt.command;
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "lqterm: cannot run %s: %s\n", t->opt.command[0], std::strerror(errno));
        _exit(127);
    }
    t->child = pid;
    return m;
}

int IoRead(void* ctx, uint8_t* p, int n) {
    TermData* t = static_cast<TermData*>(ctx);
    int k = static_cast<int>(read(t->lineFd, p, static_cast<size_t>(n)));
    if (k > 0) t->stats.lineBytesIn += static_cast<uint64_t>(k);
    return k;
}
int IoWrite(void* ctx, const uint8_t* p, int n) {
    TermData* t = static_cast<TermData*>(ctx);
    int k = static_cast<int>(write(t->lineFd, p, static_cast<size_t>(n)));
    if (k > 0) t->stats.lineBytesOut += static_cast<uint64_t>(k);
    return k;
}
int IoPending(void* ctx) {
    int n = 0;
    if (ioctl(static_cast<TermData*>(ctx)->lineFd, FIONREAD, &n) < 0) return -1;
    return n;
}

// With a simulated line, the descriptor's bytes pass through the simulator: end 0 is the relay's
// side, end 1 our link's.
bool PumpSim(TermData* t, bool readable) {
    LinkIo far = SimLineIo(&t->sim, 0);
    bool eof = false;
    if (readable && t->fromFd.size() < 4096) {
        uint8_t tmp[4096];
        ssize_t n = read(t->lineFd, tmp, sizeof tmp - t->fromFd.size());
        if (n > 0) {
            t->fromFd.insert(t->fromFd.end(), tmp, tmp + n);
            t->stats.lineBytesIn += static_cast<uint64_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            eof = true;
        }
    }
    if (!t->fromFd.empty()) {
        int k = far.write(far.ctx, t->fromFd.data(), static_cast<int>(t->fromFd.size()));
        if (k > 0) t->fromFd.erase(t->fromFd.begin(), t->fromFd.begin() + k);
    }
    uint8_t tmp[4096];
    int k;
    while ((k = far.read(far.ctx, tmp, sizeof tmp)) > 0) t->toFd.insert(t->toFd.end(), tmp, tmp + k);
    if (!t->toFd.empty()) {
        ssize_t n = write(t->lineFd, t->toFd.data(), t->toFd.size());
        if (n > 0) {
            t->toFd.erase(t->toFd.begin(), t->toFd.begin() + n);
            t->stats.lineBytesOut += static_cast<uint64_t>(n);
        }
    }
    return !eof;
}

// ---- messages from the host -------------------------------------------------------------------------

void Send(TermData* t, Buf* b, uint8_t type, std::initializer_list<uint8_t> bytes) {
    if (type == MSG_SHUTDOWN) TermStoreFreeze(t);
    DlgMake(b, type, bytes.begin(), static_cast<int>(bytes.size()));
    lstAdd(&t->outList, b);
}

void CloseAllClients(TermData* t) {
    for (TermClient*& c : t->clients)
        if (c) TermFreeClient(t, c);
}

void StartShutdown(TermData* t) {
    if (t->shutdownPhase != -1 || !t->ready) return;
    if (Buf* b = BufGet(&t->bufData)) {
        Send(t, b, MSG_SHUTDOWN, {DLG_REQUEST});
        t->shutdownPhase = 0;
    }
}

void FetchBegin(TermData* t) {
    // File 1, open ('O') in the current form; then the path with its terminating 0, which fits a
    // buffer: the command line takes none longer than 200 bytes.
    std::string m;
    if (t->opt.level >= 1) m = {'\1', 'O'};
    m.append(t->opt.fetchRemote.c_str(), t->opt.fetchRemote.size() + 1);
    Buf* b = XspecNewBuf(&t->bufData, MSG_FILEOPEN, 0, m.data(), m.size());
    if (!b) return;
    lstAdd(&t->outList, b);
    t->fetchState = 1;
}

void FetchEnd(TermData* t, bool ok) {
    if (t->fetchOut && std::fclose(t->fetchOut) != 0) ok = false;
    t->fetchOut = nullptr;
    t->fetchState = ok ? 3 : -1;
    if (!ok) t->exitCode = 1;
    std::fprintf(stderr, "lqterm: fetch %s: %s (%llu bytes)\n", t->opt.fetchRemote.c_str(),
                 ok ? "done" : "failed", static_cast<unsigned long long>(t->fetchBytes));
    StartShutdown(t);
}

bool FetchWrite(TermData* t, const uint8_t* p, size_t n) {
    if (!t->fetchOut) t->fetchOut = std::fopen(t->opt.fetchLocal.c_str(), "wb");
    if (!t->fetchOut || std::fwrite(p, 1, n, t->fetchOut) != n) {
        perror(("lqterm: " + t->opt.fetchLocal).c_str());
        return false;
    }
    t->fetchBytes += n;
    return true;
}

void FetchMessage(TermData* t, Buf* b) {
    const size_t n = b->Len();
    const uint8_t* p = b->start;
    if (t->fetchState != 1 && t->fetchState != 2) {
        BufFree(&t->bufData, b);
        return;
    }
    if (t->opt.level >= 1) {  // id, kind, data
        if (n < 2 || p[0] != 1) {
            BufFree(&t->bufData, b);
            return;
        }
        if (b->type == MSG_FILECLOSE) {
            BufFree(&t->bufData, b);
            FetchEnd(t, t->fetchState == 2);
            return;
        }
        if (p[1] == 'N' || (p[1] != 'F' && p[1] != 'D') || !FetchWrite(t, p + 2, n - 2)) {
            if (p[1] == 'N') std::fprintf(stderr, "lqterm: the host cannot open %s\n", t->opt.fetchRemote.c_str());
            Send(t, b, MSG_FILECLOSE, {1, 'C'});
            FetchEnd(t, false);
            return;
        }
        t->fetchState = 2;
        Send(t, b, MSG_FILEDATA, {1, 'D'});
        return;
    }
    // The older single-file form: the first answer carries the open status.
    if (b->type == MSG_FILECLOSE) {
        BufFree(&t->bufData, b);
        FetchEnd(t, t->fetchState == 2);
        return;
    }
    size_t skip = 0;
    if (t->fetchState == 1) {
        uint32_t status = 0;
        if (n >= 4) status = XspecLoad32(p, t->littleEndian);
        if (n < 4 || status != 0) {
            std::fprintf(stderr, "lqterm: the host cannot open %s: %s\n", t->opt.fetchRemote.c_str(),
                         std::strerror(static_cast<int>(status)));
            BufFree(&t->bufData, b);
            t->fetchState = 2;  // what follows is the empty close
            FetchEnd(t, false);
            return;
        }
        skip = 4;
        t->fetchState = 2;
    }
    if (!FetchWrite(t, p + skip, n - skip)) {
        Send(t, b, MSG_FILECLOSE, {});
        FetchEnd(t, false);
        return;
    }
    Send(t, b, MSG_FILEDATA, {'D'});
}

void DeadClientMessage(TermData* t, Buf* b) {
    int id = 0;
    uint8_t phase = 0;
    if (DlgReadDeadClient(b, &id, &phase) == -1) {
        BufFree(&t->bufData, b);
        return;
    }
    TermClient* c = id < 64 ? t->clients[id] : nullptr;
    if (!c) {
        BufFree(&t->bufData, b);
        return;
    }
    if (phase == DLG_REQUEST) {  // the host's client went away: its last requests still reach the server
        TermDecodeRequests(t, c);
        if (c->xfd >= 0) {
            fcntl(c->xfd, F_SETFL, fcntl(c->xfd, F_GETFL) & ~O_NONBLOCK);
            TermXWrite(t, c);
        }
        c->deadPhase = 1;
        TermXGone(t, c);
        Send(t, b, MSG_DEADCLIENT, {static_cast<uint8_t>(id), DLG_ACK});
    } else if (phase == DLG_ACK) {
        Send(t, b, MSG_DEADCLIENT, {static_cast<uint8_t>(id), DLG_FINAL});
        TermFreeClient(t, c);
    } else {
        BufFree(&t->bufData, b);
        TermFreeClient(t, c);
    }
}

}  // namespace

void TermDispatch(TermData* t) {
    while (Buf* b = lstGetT<Buf>(&t->inList)) {
        switch (b->type) {
            case MSG_START:
                // Both ends then work at the lower of the two levels (the link agreed on it when the
                // start message came; our level is its configured one).
                DlgAnswerStart(&t->link, b, &t->outList, 1, t->opt.level,
                               !t->opt.noext && t->opt.level >= 3 ? LINKEXT_KNOWN & ~(t->opt.norecover ? LINKEXT_RECOVER : 0u) : 0,
                               &t->setupOffer);
                t->effVersion = t->link.peer.version;
                t->effLevel = LinkAgreedLevel(&t->link);
                if (!t->ready && !t->opt.fetchRemote.empty()) {
                    t->ready = true;
                    FetchBegin(t);
                }
                t->ready = true;
                break;
            case MSG_XMERGED:
            case MSG_CONNECT:
            case MSG_XCACHED:
            case MSG_XDATA:
                TermClientMessage(t, b);
                break;
            case MSG_FILEDATA:
            case MSG_FILECLOSE:
                FetchMessage(t, b);
                break;
            case MSG_DEADCLIENT:
                DeadClientMessage(t, b);
                break;
            case MSG_XSTORE:
                TermStoreMessage(t, b);
                break;
            case MSG_EXTENSIONS: {
                uint32_t bits = 0;
                LinkExtParams answer{};
                if (LinkExtRead(b->start, b->Len(), &bits, &answer) == 0) {
                    t->extAccepted = bits;
                    TermSetupAgreed(t, bits, answer);
                    TermStoreAgreed(t, bits, answer);
                }
                BufFree(&t->bufData, b);
                break;
            }
            case MSG_SHUTDOWN: {
                const uint8_t phase = DlgShutdownPhase(b);
                if (phase == DLG_REQUEST) {
                    Send(t, b, MSG_SHUTDOWN, {DLG_ACK});
                    t->shutdownPhase = 1;
                } else if (phase == DLG_ACK) {
                    CloseAllClients(t);
                    Send(t, b, MSG_SHUTDOWN, {DLG_FINAL});
                    t->done = true;
                } else {
                    BufFree(&t->bufData, b);
                    t->done = true;
                }
                break;
            }
            default:
                BufFree(&t->bufData, b);
        }
    }
}

namespace {

uint32_t LinkPass(TermData* t) {
    TransRead(&t->link, &t->inList);
    TermDispatch(t);
    // Each pass starts with the next client, so that one busy client cannot keep the link's queue
    // full for itself.
    const int n = static_cast<int>(std::size(t->clients));
    for (int k = 0; k < n; k++) {
        TermClient* c = t->clients[(t->codeFrom + k) % n];
        if (c && c->xfd >= 0 && !c->xin.empty()) TermCodeServerBytes(t, c);
    }
    t->codeFrom = (t->codeFrom + 1) % n;
    TermStorePump(t);
    return TransWrite(&t->link, &t->outList);
}

void ReapChild(TermData* t) {
    if (t->child <= 0 || t->childDone) return;
    int st = 0;
    if (waitpid(t->child, &st, WNOHANG) == t->child) {
        t->childDone = true;
        t->childStatus = st;
        if (t->slaveFd >= 0) close(t->slaveFd);  // the line hangs up once the command's heirs let go
        t->slaveFd = -1;
    }
}

void WriteStatsFile(const TermData* t) {
    if (!t->opt.statsFile.empty()) {
        if (FILE* f = std::fopen(t->opt.statsFile.c_str(), "w")) {
            std::fprintf(f, "%s\n", TermStatsJson(t).c_str());
            std::fclose(f);
        }
    }
}

void Report(TermData* t) {
    TermStatusWipe(t);
    std::fprintf(stderr, "%s\n%s\n", TermStatsLine(t).c_str(), TermStatsJson(t).c_str());
    WriteStatsFile(t);
}

bool LineIdle(TermData* t) {
    if (t->opt.simulate) {
        uint64_t when;
        return t->toFd.empty() && !SimLineNextWake(&t->sim, 0, &when) && LinkOutputWaiting(&t->link) == 0;
    }
    return LinkOutputWaiting(&t->link) == 0;
}

int RunEcho(TermData* t) {
    SetNonBlock(t->lineFd);
    std::vector<uint8_t> out;
    for (;;) {
        ReapChild(t);
        fd_set rd, wr;
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        FD_SET(t->lineFd, &rd);
        FD_SET(sigPipe[0], &rd);
        if (!out.empty()) FD_SET(t->lineFd, &wr);
        timeval tv{0, 200000};
        if (select(std::max(t->lineFd, sigPipe[0]) + 1, &rd, &wr, nullptr, &tv) < 0 && errno != EINTR) break;
        if (FD_ISSET(sigPipe[0], &rd)) {
            uint8_t s[16];
            ssize_t n = read(sigPipe[0], s, sizeof s);
            for (ssize_t i = 0; i < n; i++)
                if (s[i] == SIGINT || s[i] == SIGTERM) return 0;
        }
        if (FD_ISSET(t->lineFd, &rd)) {
            uint8_t buf[4096];
            ssize_t n = read(t->lineFd, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
            if (n > 0) {
                t->stats.lineBytesIn += static_cast<uint64_t>(n);
                TermEchoFeed(&t->opt.echoCfg, buf, static_cast<size_t>(n), &out);
            }
        }
        if (!out.empty()) {
            ssize_t n = write(t->lineFd, out.data(), out.size());
            if (n > 0) {
                out.erase(out.begin(), out.begin() + n);
                t->stats.lineBytesOut += static_cast<uint64_t>(n);
            }
        }
        if (t->childDone) break;
    }
    return 0;
}

int RunLink(TermData* t) {
    if (BufInit(&t->bufData) != 0) {
        std::fprintf(stderr, "lqterm: out of memory\n");
        return 1;
    }
    lstInit(&t->inList);
    lstInit(&t->outList);
    LinkSetDefaults(&t->link, LINK_TERMINAL, &t->bufData, Clock{});
    // A message the coder cannot shrink (already dense data) is normal traffic, sent as it is: it is
    // counted for the statistics, not reported on the user's terminal each time.
    t->link.lzw.panic = [](const char*) { pTermData->stats.uncompressed++; };
    t->link.config.ourByteOrder = t->littleEndian ? 'l' : 'B';
    t->link.config.ourLevel = static_cast<uint8_t>(t->opt.level);
    t->link.config.timeout = 0;  // the host's timeout applies once its start message has come
    if (!t->opt.noext && t->opt.level >= 3) {
        t->setupOffer = TermSetupLoad(t);
        t->setupOffer.store = TermStoreLoad(t);
    }
    SetNonBlock(t->lineFd);
    if (t->opt.simulate) {
        SimLineInit(&t->sim, &t->opt.sim, Clock{});
        for (const std::string& o : t->opt.outages)
            if (SimLineParseOutage(&t->sim, o.c_str()) != 0) std::fprintf(stderr, "lqterm: bad outage \"%s\"\n", o.c_str());
        t->link.io = SimLineIo(&t->sim, 1);
    } else {
        t->link.ttyFd = t->lineFd;
        t->link.io = LinkIo{IoRead, IoWrite, IoPending, t};
    }
    t->xspecEnv.pBufData = &t->bufData;
    t->xspecEnv.xspecCache = &t->xspecCache;
    t->xspecEnv.clock = &t->link.clock;
    t->xspecEnv.hostByteOrder = t->link.config.ourByteOrder;
    t->xspecEnv.pRemoteVersion = &t->effVersion;
    t->xspecEnv.pRemoteLevel = &t->effLevel;
    if (TransInit(&t->link) != 0 || TransStart(&t->link) != 0) {
        std::fprintf(stderr, "lqterm: cannot start the link\n");
        return 1;
    }
    uint64_t nextPass = NowUs();
    uint64_t stopBy = 0;  // after a signal or the end: the latest time to leave
    bool shutdownWanted = false;  // a signal came before the relay's start: shut down once it comes
    uint64_t doneAt = 0;
    bool lineEof = false;
    while (!lineEof) {
        ReapChild(t);
        const uint64_t now = NowUs();
        // A pseudo-terminal loses what its far side has not read when we close it, so with a
        // command we stay until it has gone.
        if (t->done && (t->child > 0 ? t->childDone : LineIdle(t))) break;
        if (stopBy && now >= stopBy) break;
        if (!t->link.running) {
            std::fprintf(stderr, "lqterm: the line has been silent too long\n");
            t->exitCode = 1;
            break;
        }
        if (t->link.lineDown) break;
        if (LinkCodingFailed(&t->link)) {  // reported by the link; nothing coded can be trusted now
            t->exitCode = 1;
            break;
        }
        if (t->childDone && !t->ready) break;
        if (t->childDone && !stopBy) stopBy = now + 2000000;  // the relay has gone: finish up
        fd_set rd, wr;
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        int maxFd = std::max(t->lineFd, sigPipe[0]);
        FD_SET(sigPipe[0], &rd);
        if (!t->opt.simulate || t->fromFd.size() < 4096) FD_SET(t->lineFd, &rd);
        if (t->opt.simulate ? !t->toFd.empty() : LinkOutputWaiting(&t->link) > 0) FD_SET(t->lineFd, &wr);
        for (TermClient* c : t->clients) {
            if (!c || c->xfd < 0) continue;
            if (TermXWantsRead(t, c)) FD_SET(c->xfd, &rd);
            if (c->parsed) FD_SET(c->xfd, &wr);
            maxFd = std::max(maxFd, c->xfd);
        }
        uint64_t wake = nextPass;
        if (t->opt.simulate) {
            uint64_t when;
            const uint64_t simNow = SimLineNow(&t->sim);
            for (int e = 0; e < 2; e++)
                if (SimLineNextWake(&t->sim, e, &when)) wake = std::min(wake, now + (when > simNow ? when - simNow : 0));
            if (!t->fromFd.empty()) wake = std::min(wake, now + 2000);
        }
        if (t->done) wake = std::min(wake, now + 10000);
        const uint64_t wait = wake > now ? wake - now : 0;
        timeval tv{static_cast<time_t>(wait / 1000000), static_cast<suseconds_t>(wait % 1000000)};
        if (select(maxFd + 1, &rd, &wr, nullptr, &tv) < 0 && errno != EINTR) {
            perror("lqterm: select");
            break;
        }
        if (FD_ISSET(sigPipe[0], &rd)) {
            uint8_t s[16];
            ssize_t n = read(sigPipe[0], s, sizeof s);
            for (ssize_t i = 0; i < n; i++) {
                if (s[i] == SIGUSR1) Report(t);
                if (s[i] == SIGINT || s[i] == SIGTERM) {
                    if (t->shutdownPhase == -1 && !shutdownWanted && !t->done) {
                        // Before the relay has started the protocol there is no one to tell yet;
                        // its start comes soon, and the session must still be ended in order.
                        shutdownWanted = true;
                        stopBy = NowUs() + 10000000;
                    } else {
                        stopBy = NowUs();  // a second signal, or nothing to wind down
                    }
                }
            }
        }
        if (t->opt.simulate && !PumpSim(t, FD_ISSET(t->lineFd, &rd))) lineEof = true;
        for (TermClient* c : t->clients) {
            if (c && c->xfd >= 0 && FD_ISSET(c->xfd, &wr)) TermXWrite(t, c);
            if (c && c->xfd >= 0 && FD_ISSET(c->xfd, &rd)) TermXRead(t, c);
        }
        uint32_t interval = LinkPass(t);
        if (shutdownWanted && t->ready && t->shutdownPhase == -1 && !t->done) {
            StartShutdown(t);
            interval = std::min(interval, TransWrite(&t->link, &t->outList));
        }
        if (t->opt.simulate) PumpSim(t, false);
        for (TermClient* c : t->clients)
            if (c && c->xfd >= 0 && c->parsed) TermXWrite(t, c);
        nextPass = NowUs() + interval;
        nextPass = std::min(nextPass, TermStatusTick(t, NowUs()));
        if (t->done && !doneAt) {  // the relay ends its side now; a loaded host may take a while
            doneAt = NowUs();
            stopBy = doneAt + 15000000;
        }
    }
    CloseAllClients(t);
    TermStoreSave(t);
    return t->exitCode;
}

}  // namespace

// Resends by cause and the time lost to repairs (LINKEXT_RECOVER), as a clause of the line and as
// keys of the record.
// The line rate each end has measured on what it receives (0 until measured), in bit/s at ten bits
// a byte.
static unsigned long RateOf(uint32_t byteNs) { return byteNs ? static_cast<unsigned long>(1e10 / byteNs + 0.5) : 0; }

static std::string TermRecoveryLine(const LinkEnd& L) {
    const LinkStats& s = L.stats;
    char buf[240];
    std::snprintf(buf, sizeof buf,
                  "; recovery: %llu requested, %llu probed, %llu timed resends; %.1f s repairing; "
                  "line measured %lu bit/s in, %lu out",
                  static_cast<unsigned long long>(s.recRequested), static_cast<unsigned long long>(s.recProbed),
                  static_cast<unsigned long long>(s.recTimed), static_cast<double>(s.recStallUsec) / 1e6,
                  RateOf(L.trans.transRecByteNs), RateOf(L.trans.transRecPeerByteNs));
    return buf;
}

static std::string TermRecoveryJson(const LinkEnd& L) {
    const LinkStats& s = L.stats;
    char buf[300];
    std::snprintf(buf, sizeof buf,
                  ", \"recRequested\": %llu, \"recProbed\": %llu, \"recTimed\": %llu, \"recStates\": %llu, "
                  "\"recProbes\": %llu, \"recSeconds\": %.3f, \"lineRateIn\": %lu, \"lineRateOut\": %lu",
                  static_cast<unsigned long long>(s.recRequested), static_cast<unsigned long long>(s.recProbed),
                  static_cast<unsigned long long>(s.recTimed), static_cast<unsigned long long>(s.recStatesOut),
                  static_cast<unsigned long long>(s.recProbesOut), static_cast<double>(s.recStallUsec) / 1e6,
                  RateOf(L.trans.transRecByteNs), RateOf(L.trans.transRecPeerByteNs));
    return buf;
}

std::string TermStatsLine(const TermData* t) {
    const LinkStats& s = t->link.stats;
    const double secs = static_cast<double>(NowUs() - t->stats.startUsec) / 1e6;
    const double x = static_cast<double>(t->stats.xBytesToServer + t->stats.xBytesFromServer);
    const double line = static_cast<double>(t->stats.lineBytesIn + t->stats.lineBytesOut);
    char buf[640];
    std::snprintf(buf, sizeof buf,
                  "lqterm: X %llu bytes to server, %llu from server; line %llu in, %llu out; ratio %.2f; "
                  "packets %llu out, %llu in; resends %llu; bad frames %llu; extensions 0x%x; "
                  "set-up replies as differences %llu (%llu bytes saved); "
                  "coder %llu bytes sent as %llu, %llu received as %llu; %.1f s",
                  static_cast<unsigned long long>(t->stats.xBytesToServer),
                  static_cast<unsigned long long>(t->stats.xBytesFromServer),
                  static_cast<unsigned long long>(t->stats.lineBytesIn),
                  static_cast<unsigned long long>(t->stats.lineBytesOut), line > 0 ? x / line : 0.0,
                  static_cast<unsigned long long>(s.packetsOut), static_cast<unsigned long long>(s.framesIn),
                  static_cast<unsigned long long>(s.resends + s.timedResends),
                  static_cast<unsigned long long>(s.badFrames), static_cast<unsigned>(t->extAccepted),
                  static_cast<unsigned long long>(t->stats.setupDiffs),
                  static_cast<unsigned long long>(t->stats.setupBytesSaved),
                  static_cast<unsigned long long>(s.zMsgBytesOut), static_cast<unsigned long long>(s.zCodedOut),
                  static_cast<unsigned long long>(s.zMsgBytesIn), static_cast<unsigned long long>(s.zCodedIn), secs);
    const XStoreStats& st = t->store.stats;
    char more[512];
    std::snprintf(more, sizeof more,
                  "; stored replies as references %llu (%llu bytes saved), misses %llu, %zu held; "
                  "replies answered at the relay kept here %llu",
                  static_cast<unsigned long long>(st.hits), static_cast<unsigned long long>(st.bytesSaved),
                  static_cast<unsigned long long>(st.misses), t->store.entries.size(),
                  static_cast<unsigned long long>(t->stats.answersKept));
    return buf + TermRecoveryLine(t->link) + std::string(more);
}

std::string TermStatsJson(const TermData* t) {
    const LinkStats& s = t->link.stats;
    const double secs = static_cast<double>(NowUs() - t->stats.startUsec) / 1e6;
    const double x = static_cast<double>(t->stats.xBytesToServer + t->stats.xBytesFromServer);
    const double line = static_cast<double>(t->stats.lineBytesIn + t->stats.lineBytesOut);
    char buf[1024];
    std::snprintf(buf, sizeof buf,
                  "{\"xBytesToServer\": %llu, \"xBytesFromServer\": %llu, \"lineBytesIn\": %llu, "
                  "\"lineBytesOut\": %llu, \"compressionRatio\": %.3f, \"packetsOut\": %llu, \"framesIn\": %llu, "
                  "\"resends\": %llu, \"timedResends\": %llu, \"badFrames\": %llu, \"uncompressed\": %llu, "
                  "\"extensions\": %u, \"setupDiffs\": %llu, \"setupBytesSaved\": %llu, \"coderBytesOut\": %llu, "
                  "\"coderCodedOut\": %llu, \"coderBytesIn\": %llu, \"coderCodedIn\": %llu, \"seconds\": %.3f}",
                  static_cast<unsigned long long>(t->stats.xBytesToServer),
                  static_cast<unsigned long long>(t->stats.xBytesFromServer),
                  static_cast<unsigned long long>(t->stats.lineBytesIn),
                  static_cast<unsigned long long>(t->stats.lineBytesOut), line > 0 ? x / line : 0.0,
                  static_cast<unsigned long long>(s.packetsOut), static_cast<unsigned long long>(s.framesIn),
                  static_cast<unsigned long long>(s.resends), static_cast<unsigned long long>(s.timedResends),
                  static_cast<unsigned long long>(s.badFrames),
                  static_cast<unsigned long long>(t->stats.uncompressed), static_cast<unsigned>(t->extAccepted),
                  static_cast<unsigned long long>(t->stats.setupDiffs),
                  static_cast<unsigned long long>(t->stats.setupBytesSaved),
                  static_cast<unsigned long long>(s.zMsgBytesOut), static_cast<unsigned long long>(s.zCodedOut),
                  static_cast<unsigned long long>(s.zMsgBytesIn), static_cast<unsigned long long>(s.zCodedIn), secs);
    // The message store's figures, by the major opcode of the request each reply answered.
    const XStoreStats& st = t->store.stats;
    std::string json = buf;
    json.insert(json.size() - 1, TermRecoveryJson(t->link));
    json.pop_back();
    char more[512];
    std::snprintf(more, sizeof more,
                  ", \"answersKept\": %llu"
                  ", \"storeHits\": %llu, \"storeMisses\": %llu, \"storeBytesSaved\": %llu, \"storeAdded\": %llu, "
                  "\"storeEntries\": %zu, \"storeBytes\": %zu, \"storeByOpcode\": {",
                  static_cast<unsigned long long>(t->stats.answersKept),
                  static_cast<unsigned long long>(st.hits), static_cast<unsigned long long>(st.misses),
                  static_cast<unsigned long long>(st.bytesSaved), static_cast<unsigned long long>(st.added),
                  t->store.entries.size(), t->store.bytes);
    json += more;
    const char* sep = "";
    for (int op = 0; op < 256; op++) {
        if (!st.hitsBy[op]) continue;
        std::snprintf(more, sizeof more, "%s\"%d\": {\"hits\": %llu, \"bytesSaved\": %llu}", sep, op,
                      static_cast<unsigned long long>(st.hitsBy[op]), static_cast<unsigned long long>(st.bytesSavedBy[op]));
        json += more;
        sep = ", ";
    }
    return json + "}}";
}

int TermMain(int argc, char** argv) {
    TermData* t = new TermData;
    pTermData = t;
    const uint16_t one = 1;
    t->littleEndian = *reinterpret_cast<const uint8_t*>(&one) == 1;
    t->stats.startUsec = NowUs();
    if (TermParseArgs(&t->opt, argc, argv) != 0) return 2;
    if (t->opt.display.empty()) {
        const char* d = std::getenv("DISPLAY");
        t->opt.display = d ? d : "";
    }
    if (t->opt.display.empty() && !t->opt.echo && t->opt.fetchRemote.empty()) {
        std::fprintf(stderr, "lqterm: no X server: give -display or set DISPLAY\n");
        return 2;
    }
    if (pipe(sigPipe) != 0) return 1;
    SetNonBlock(sigPipe[0]);
    SetNonBlock(sigPipe[1]);
    fcntl(sigPipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(sigPipe[1], F_SETFD, FD_CLOEXEC);
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD}) sigaction(s, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    t->lineFd = t->opt.line.empty() ? StartCommand(t) : OpenSerial(t);
    if (t->lineFd < 0) return 1;
    fcntl(t->lineFd, F_SETFD, FD_CLOEXEC);
    int rc = t->opt.echo ? RunEcho(t) : RunLink(t);
    TermStatusWipe(t);
    if (t->fetchState == 1 || t->fetchState == 2) {
        std::fprintf(stderr, "lqterm: fetch %s: the session ended first\n", t->opt.fetchRemote.c_str());
        rc = 1;
    }
    if (t->opt.stats)
        Report(t);
    else
        WriteStatsFile(t);  // the record alone was asked for
    close(t->lineFd);  // the relay's line hangs up
    if (t->child > 0) {
        for (int i = 0; i < 50 && !t->childDone; i++) {
            ReapChild(t);
            if (!t->childDone) usleep(100000);
        }
        if (!t->childDone) {
            kill(-t->child, SIGTERM);
            kill(t->child, SIGTERM);
            for (int i = 0; i < 20 && !t->childDone; i++) {
                ReapChild(t);
                if (!t->childDone) usleep(100000);
            }
            if (!t->childDone) {
                kill(-t->child, SIGKILL);
                waitpid(t->child, nullptr, 0);
            }
        }
        if (rc == 0 && t->childDone && WIFEXITED(t->childStatus)) rc = WEXITSTATUS(t->childStatus);
    }
    return rc;
}
