// The relay over the paths users run it on, each started here: an ssh session to an OpenSSH server
// of the test's own on 127.0.0.1, and a pair of linked terminal devices with the relay's controlling
// terminal at one end and lqterm -line at the other.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>

#include "tests/e2e/e2e.h"

namespace {

const char kXlogo[] = "xlogo -geometry 100x100+300+0";

class Paths : public E2E {
  protected:
    int relayDisplay = -1;

    void SetUp() override {
        E2E::SetUp();
        if (HasFatalFailure()) return;
        relayDisplay = FreeDisplay(xdisp + 1, 50);
        ASSERT_GT(relayDisplay, 0);
    }

    // xlogo's window once it has stopped changing, and gone again before the relayed run.
    std::string XlogoDirect() {
        pid_t p = Spawn({"sh", "-c", std::string("exec ") + kXlogo}, {{"DISPLAY", XDisplay()}});
        std::string w;
        EXPECT_TRUE(WaitUntil([&] { return !(w = XlogoWindow()).empty(); }, 20));
        const std::string pnm = Settled(w);
        Kill(p);
        EXPECT_TRUE(WaitUntil([&] { return XlogoWindow().empty(); }, 10));
        return pnm;
    }
    std::string XlogoWindow() { return Sh("xdotool search --onlyvisible --name xlogo 2>/dev/null | head -1"); }

    // The window's dump once it equals want (or the last one taken when it never does).
    std::string Becomes(const std::string& wid, const std::string& want) {
        std::string got;
        WaitUntil([&] { return (got = Dump(wid)) == want; }, 20);
        return got;
    }

    // The session script notes the relay's pid (its parent) for the check that the relay has gone.
    void SessionNotingTheRelay(const std::string& body) { Session("echo $PPID > $HOME/relay.pid\n" + body); }
    pid_t RelayPid() { return std::atoi(Read(home + "/relay.pid").c_str()); }
    bool Gone(pid_t p) { return p > 0 && WaitUntil([&] { return kill(p, 0) != 0; }, 20); }

    // The relay in a session of its own whose controlling terminal is the device, as when started
    // from a login shell on that line. A process group of its own too, so TearDown ends it.
    pid_t StartRelayOn(const std::string& device, const std::vector<std::string>& args) {
        pid_t pid = fork();
        if (pid == 0) {
            setsid();
            if (chdir(dir.c_str()) != 0) _exit(126);
            setenv("HOME", home.c_str(), 1);
            setenv("XAUTHORITY", (home + "/.Xauthority").c_str(), 1);
            int tty = open(device.c_str(), O_RDWR);  // the first terminal a session leader opens is its own
            int err = open((dir + "/relay.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (tty < 0 || err < 0) _exit(126);
            dup2(tty, 0);
            dup2(tty, 1);
            dup2(err, 2);
            std::vector<std::string> argv = {Bin("lqhostd")};
            argv.insert(argv.end(), args.begin(), args.end());
            Exec(argv);
        }
        procs.push_back(pid);
        return pid;
    }

    // Two linked terminal devices, raw 8-bit: dir/host and dir/term. False when they did not appear.
    bool StartDevicePair() {
        Spawn({"socat", "-d", "-d", "pty,raw,echo=0,link=" + dir + "/host", "pty,raw,echo=0,link=" + dir + "/term"}, {},
              dir + "/socat.log");
        return WaitUntil([&] { return Exists(dir + "/host") && Exists(dir + "/term"); }, 10);
    }
};

// ---- ssh ---------------------------------------------------------------------------------------------

class OverSsh : public Paths {
  protected:
    int port = -1;
    std::string key, knownHosts;

    static int FreePort() {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        int port = -1;
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0)
            port = ntohs(a.sin_port);
        close(s);
        return port;
    }
    static bool Answers(int port) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        return ok;
    }

    // An OpenSSH server on 127.0.0.1 with a throwaway host key, taking only a throwaway user key,
    // with a configuration of its own (nothing of the machine's is read).
    void SetUp() override {
        if (!Exists("/usr/sbin/sshd")) GTEST_SKIP() << "no /usr/sbin/sshd (openssh-server; scripts/setup installs it)";
        Paths::SetUp();
        if (HasFatalFailure()) return;
        key = dir + "/user_key";
        knownHosts = dir + "/known_hosts";
        const std::string hostKey = dir + "/host_key";
        ASSERT_EQ(Sh("ssh-keygen -q -t ed25519 -N '' -f " + hostKey + " && ssh-keygen -q -t ed25519 -N '' -f " + key +
                     " && cp " + key + ".pub " + dir + "/authorized_keys && echo ok"),
                  "ok\n");
        // As root, sshd wants its privilege separation directory, which its service would make.
        if (geteuid() == 0) mkdir("/run/sshd", 0755);
        port = FreePort();
        ASSERT_GT(port, 0);
        Write(knownHosts, "[127.0.0.1]:" + std::to_string(port) + " " + Read(hostKey + ".pub"));
        const std::string config = dir + "/sshd_config";
        Write(config, "ListenAddress 127.0.0.1:" + std::to_string(port) + "\nHostKey " + hostKey + "\nPidFile " + dir +
                          "/sshd.pid\nAuthorizedKeysFile " + dir +
                          "/authorized_keys\nAuthenticationMethods publickey\nPasswordAuthentication no\n"
                          "KbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\nPermitRootLogin prohibit-password\n"
                          "PermitTTY yes\nX11Forwarding no\nAllowTcpForwarding no\nPrintMotd no\nLogLevel VERBOSE\n");
        Spawn({"/usr/sbin/sshd", "-D", "-e", "-f", config}, {}, dir + "/sshd.log");
        ASSERT_TRUE(WaitUntil([&] { return Answers(port); }, 10)) << Read(dir + "/sshd.log");
    }

    // lqterm -- ssh -e none -tt -p PORT 127.0.0.1 lqhostd, the relay's session in the test's HOME.
    pid_t StartRelayOverSsh(const std::vector<std::string>& lqtermArgs) {
        std::vector<std::string> argv = {Bin("lqterm"), "-display", XDisplay()};
        argv.insert(argv.end(), lqtermArgs.begin(), lqtermArgs.end());
        const std::vector<std::string> ssh = {
            "--", "ssh", "-e", "none", "-tt", "-p", std::to_string(port), "-F", "/dev/null", "-i", key,
            "-o", "IdentitiesOnly=yes", "-o", "BatchMode=yes", "-o", "UserKnownHostsFile=" + knownHosts,
            "-o", "StrictHostKeyChecking=yes", "-o", "LogLevel=ERROR", "127.0.0.1",
            "cd " + home + " && HOME=" + home + " XAUTHORITY=" + home + "/.Xauthority exec " + Bin("lqhostd") + " :" + std::to_string(relayDisplay)};
        argv.insert(argv.end(), ssh.begin(), ssh.end());
        return Spawn(argv, {}, dir + "/lqterm.out", dir + "/lqterm.err");
    }
};

// The drawing client and xlogo through a relay run over ssh, with lqterm's status line written to
// its log; when the session ends, the relay on the far side and lqterm (with ssh) both end.
TEST_F(OverSsh, XlogoAndDrawingArePixelExactAndTheSessionsEndEndsBothEnds) {
    const std::string draw = DrawDirect();
    ASSERT_GT(draw.size(), 200u * 150u * 3u);
    const std::string logo = XlogoDirect();
    ASSERT_FALSE(logo.empty());
    SessionNotingTheRelay(std::string(LQ_DRAW_PATH) + " draw $HOME/wid $HOME/done &\n" + kXlogo +
                          " &\nwhile [ ! -f $HOME/done ]; do sleep 0.1; done\nkill $!\nwait");
    pid_t t = StartRelayOverSsh({"-status"});
    ASSERT_TRUE(WaitUntil([&] { return Exists(home + "/wid"); }, 40)) << TermLog() << Read(dir + "/sshd.log");
    EXPECT_TRUE(Becomes(Read(home + "/wid"), draw) == draw) << "drawing differs";
    std::string w;
    ASSERT_TRUE(WaitUntil([&] { return !(w = XlogoWindow()).empty(); }, 20));
    EXPECT_TRUE(Becomes(w, logo) == logo) << "xlogo differs";
    // An update of the status line while both clients run (a line of its own: standard error is a file).
    EXPECT_TRUE(WaitUntil([&] { return TermLog().find("; clients 2\n") != std::string::npos; }, 20)) << TermLog();
    const pid_t relay = RelayPid();
    Write(home + "/done", "");
    EXPECT_EQ(Wait(t, 30), 0) << TermLog();
    EXPECT_TRUE(Gone(relay)) << "the relay at the far end of ssh still runs";
}

// ---- a terminal device ----------------------------------------------------------------------------

class OverADevice : public Paths {
  protected:
    void SetUp() override {
        Paths::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(StartDevicePair()) << Read(dir + "/socat.log");
    }
};

TEST_F(OverADevice, DrawingIsPixelExact) {
    const std::string draw = DrawDirect();
    ASSERT_GT(draw.size(), 200u * 150u * 3u);
    SessionNotingTheRelay(std::string(LQ_DRAW_PATH) + " draw $HOME/wid $HOME/done");
    pid_t t = Spawn({Bin("lqterm"), "-display", XDisplay(), "-line", dir + "/term", "-speed", "115200"}, {},
                    dir + "/lqterm.out", dir + "/lqterm.err");
    pid_t r = StartRelayOn(dir + "/host", {":" + std::to_string(relayDisplay)});
    ASSERT_TRUE(WaitUntil([&] { return Exists(home + "/wid"); }, 40)) << TermLog() << Read(dir + "/relay.err");
    EXPECT_TRUE(Becomes(Read(home + "/wid"), draw) == draw) << "drawing differs";
    Write(home + "/done", "");
    EXPECT_EQ(Wait(r, 30), 0) << Read(dir + "/relay.err");
    EXPECT_EQ(Wait(t, 30), 0) << TermLog();
}

// The line test against lqterm's echo: a raw pair of devices passes every byte, so nothing needs
// escaping beyond what the relay always escapes.
TEST_F(OverADevice, LoopbackAgainstTheEcho) {
    pid_t t = Spawn({Bin("lqterm"), "-echo", "-line", dir + "/term"}, {}, dir + "/lqterm.out", dir + "/lqterm.err");
    pid_t r = StartRelayOn(dir + "/host", {"-loopback"});
    EXPECT_EQ(Wait(r, 120), 0) << Read(dir + "/relay.err");
    const std::string result = Read(dir + "/lqx_log.result");
    EXPECT_NE(result.find("*escapeChars:\t\t0x13 0x1b 0x93 \n"), std::string::npos) << result;
    EXPECT_EQ(result.find("could not be escaped"), std::string::npos) << result;
    kill(t, SIGTERM);
    EXPECT_EQ(Wait(t, 10), 0) << TermLog();
}

}  // namespace
