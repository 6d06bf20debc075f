// The relay program's whole life on a pseudo-terminal, with this process as the terminal end:
// start, readiness, the session's end, the shutdown handshake, and the orderly exit.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "relay/link/linkpair.h"

namespace {

std::string BinDir() {
    if (const char* b = std::getenv("LQ_BIN_DIR")) return b;
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string p(exe, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(0, p.rfind('/')) + "/../bin";
}

// The terminal's side of the line; every byte read is also kept, to see the text the relay shows
// on its terminal once the link is over.
struct Line {
    int fd;
    std::string seen;
};
int LineRead(void* ctx, uint8_t* p, int n) {
    Line* l = static_cast<Line*>(ctx);
    int k = static_cast<int>(read(l->fd, p, static_cast<size_t>(n)));
    if (k > 0) l->seen.append(reinterpret_cast<char*>(p), static_cast<size_t>(k));
    return k;
}
int LineWrite(void* ctx, const uint8_t* p, int n) {
    return static_cast<int>(write(static_cast<Line*>(ctx)->fd, p, static_cast<size_t>(n)));
}
int LinePending(void* ctx) {
    int n = 0;
    return ioctl(static_cast<Line*>(ctx)->fd, FIONREAD, &n) == 0 ? n : -1;
}

TEST(Life, SessionEndShutsTheRelayDownInOrder) {
    char tmpl[] = "/tmp/lqlifeXXXXXX";
    std::string home = mkdtemp(tmpl);
    std::ofstream(home + "/.xsession") << "#!/bin/sh\necho session on $DISPLAY\nsleep 1\n";
    chmod((home + "/.xsession").c_str(), 0755);
    std::ofstream(home + "/rc") << "HostServer.tmpDir: " << home << "\nHostServer.xTransportProtocols: tcpip\n"
                                << "HostServer.listenPort: " << 20000 + getpid() % 20000 << "\n";
    std::string bin = BinDir() + "/lqhostd";

    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        setenv("HOME", home.c_str(), 1);
        setenv("XAUTHORITY", (home + "/.Xauthority").c_str(), 1);
        execl(bin.c_str(), "lqhostd", "-config", (home + "/rc").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    Line line{master, {}};
    BufData bufs{};
    ASSERT_EQ(BufInit(&bufs), 0);
    LinkEnd term{};
    LinkSetDefaults(&term, LINK_TERMINAL, &bufs, Clock{});
    term.io = LinkIo{LineRead, LineWrite, LinePending, &line};
    ASSERT_EQ(TransInit(&term), 0);
    ASSERT_EQ(TransStart(&term), 0);
    Lst in, out;
    lstInit(&in);
    lstInit(&out);

    std::vector<int> shutdownPhases;
    int status = -1;
    for (int i = 0; i < 3000 && status == -1; i++) {
        pollfd p{master, POLLIN, 0};
        poll(&p, 1, 10);
        TransRead(&term, &in);
        while (Buf* b = lstGetT<Buf>(&in)) {
            if (b->type == MSG_START) {
                DlgAnswerStart(&term, b, &out, 1, 3, 0);
            } else if (b->type == MSG_SHUTDOWN && b->Len() == 1) {
                shutdownPhases.push_back(b->start[0]);
                if (b->start[0] == 0) {
                    b->start[0] = 1;  // agree to the relay's request
                    b->linkFlags = 0;
                    lstAdd(&out, b);
                } else {
                    BufFree(&bufs, b);
                }
            } else {
                BufFree(&bufs, b);
            }
        }
        TransWrite(&term, &out);
        int st;
        if (waitpid(pid, &st, WNOHANG) == pid) status = st;
    }
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    uint8_t rest[4096];
    for (int i = 0; i < 50; i++) {
        ssize_t n = read(master, rest, sizeof rest);
        if (n > 0) line.seen.append(reinterpret_cast<char*>(rest), static_cast<size_t>(n));
        else if (n == 0 || errno != EAGAIN) break;
        else usleep(10000);
    }
    close(master);

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(shutdownPhases, (std::vector<int>{0, 2}));
    std::string log = home + "/lqx_log.";
    EXPECT_NE(line.seen.find("messages have been placed in log file " + log), std::string::npos);
    EXPECT_NE(line.seen.find("Linquara done\r\n"), std::string::npos);
    std::string shown = line.seen.substr(line.seen.find("messages have been placed"));
    std::string name = shown.substr(38, shown.find('\r') - 38);
    std::ifstream f(name);
    std::stringstream s;
    s << f.rdbuf();
    EXPECT_EQ(s.str().rfind("session on ", 0), 0u) << s.str();

    BufListFree(&bufs, &in);
    BufListFree(&bufs, &out);
    LinkDestroy(&term);
    BufDestroy(&bufs);
    std::system(("rm -rf " + home).c_str());
}

// The terminal's side of the line goes away for good: the relay ends in order at once, session
// stopped, without waiting for its read time-out (set far beyond the test's patience here).
TEST(Life, HungUpLineEndsTheRelay) {
    char tmpl[] = "/tmp/lqlifeXXXXXX";
    std::string home = mkdtemp(tmpl);
    std::ofstream(home + "/.xsession") << "#!/bin/sh\necho $$ > $HOME/session.pid\nexec sleep 300\n";
    chmod((home + "/.xsession").c_str(), 0755);
    std::ofstream(home + "/rc") << "HostServer.tmpDir: " << home << "\nHostServer.xTransportProtocols: tcpip\n"
                                << "HostServer.timeout: 600\nHostServer.listenPort: " << 20000 + getpid() % 20000
                                << "\n";
    std::string bin = BinDir() + "/lqhostd";
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        setenv("HOME", home.c_str(), 1);
        setenv("XAUTHORITY", (home + "/.Xauthority").c_str(), 1);
        execl(bin.c_str(), "lqhostd", "-config", (home + "/rc").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait for the start of the link and of the session, then hang up.
    std::string seen;
    struct stat st;
    for (int i = 0; i < 500 && (seen.find('\x90') == std::string::npos || stat((home + "/session.pid").c_str(), &st));
         i++) {
        char buf[256];
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10) == 1) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) seen.append(buf, static_cast<size_t>(n));
        }
    }
    close(master);
    int status = -1;
    for (int i = 0; i < 600 && status == -1; i++) {
        int st;
        if (waitpid(pid, &st, WNOHANG) == pid) status = st;
        else usleep(100000);
    }
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream pidFile(home + "/session.pid");
    pid_t session = 0;
    pidFile >> session;
    ASSERT_GT(session, 0);
    EXPECT_NE(kill(session, 0), 0) << "the session outlived the relay";
    if (kill(session, 0) == 0) kill(session, SIGKILL);
    std::system(("rm -rf " + home).c_str());
}

// A relay that cannot start says why and ends with status 1, never 0: scripts that start it must
// be able to tell. Each case runs the program without a controlling terminal unless it needs one.
TEST(Life, StartUpFailuresEndWithStatusOne) {
    char tmpl[] = "/tmp/lqfailXXXXXX";
    const std::string home = mkdtemp(tmpl);
    std::ofstream(home + "/.xsession") << "#!/bin/sh\nsleep 30\n";
    chmod((home + "/.xsession").c_str(), 0755);
    std::ofstream(home + "/afile") << "not a directory\n";
    std::ofstream(home + "/rc.badtmp") << "HostServer.tmpDir: " << home << "/afile\n";
    std::ofstream(home + "/rc.tmp") << "HostServer.tmpDir: " << home << "\n";
    const int base = 20000 + static_cast<int>(getpid() % 20000);
    // The last display the relay may take, its port held here, so that no display is free.
    int held = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(base + 50));
    int on = 1;
    setsockopt(held, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(held, 1), 0);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* says;
        std::string xauthority = "";  // empty: the test's own file
    };
    const std::string port = std::to_string(base);
    const std::vector<Case> cases = {
        {"no display free", {"-udpport", port, "-xtports", "tcpip", ":50"}, "can't establish X connection socket(s)"},
        {"log file", {"-udpport", port, "-xtports", "tcpip", "-config", home + "/rc.badtmp"},
         "cannot open log file"},
        {"no line", {"-udpport", port, "-xtports", "tcpip", "-config", home + "/rc.tmp"}, "tty open"},
        {"authority file", {"-udpport", port, "-xtports", "tcpip", "-config", home + "/rc.tmp"},
         "can't add the display's cookie to", home + "/missing/auth"},
    };
    const std::string bin = BinDir() + "/lqhostd";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string err = home + "/err";
        pid_t pid = fork();
        if (pid == 0) {
            setsid();  // no controlling terminal
            setenv("HOME", home.c_str(), 1);
            setenv("XAUTHORITY", (c.xauthority.empty() ? home + "/.Xauthority" : c.xauthority).c_str(), 1);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(e, 1);
            dup2(e, 2);
            std::vector<char*> argv = {const_cast<char*>("lqhostd")};
            for (const auto& w : c.args) argv.push_back(const_cast<char*>(w.c_str()));
            argv.push_back(nullptr);
            execv(bin.c_str(), argv.data());
            _exit(127);
        }
        int status = -1;
        for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; i++) usleep(50000);
        if (!WIFEXITED(status)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        // Until the log file is open the messages go to standard error, then into the log.
        std::system(("cat " + home + "/lqx_log.* >> " + err + " 2>/dev/null").c_str());
        std::ifstream in(err);
        const std::string said(std::istreambuf_iterator<char>(in), {});
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_NE(said.find("Linquara done"), std::string::npos) << said;
        std::system(("rm -f " + home + "/lqx_log.*").c_str());
    }
    close(held);
    std::system(("rm -rf " + home).c_str());
}

}  // namespace
