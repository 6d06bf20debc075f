// End-to-end fixture: a private Xvfb on a free display, a test HOME holding the session script, and
// the relay run under lqterm on a pseudo-terminal. Every process started here runs in a process
// group of its own, which TearDown ends.
#pragma once
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef LQ_DRAW_PATH
#define LQ_DRAW_PATH "lqdraw"
#endif

class E2E : public ::testing::Test {
  protected:
    std::string dir, home;
    int xdisp = -1;
    pid_t xvfb = -1;
    // An X server that resets when its last client leaves drops connections opened meanwhile, before
    // it answers them; lqterm dials those again. Most tests run a server that never resets, so
    // that they do not depend on that; the long line sessions run one that does.
    bool xResets = false;
    // A server that takes only clients with its cookie, kept in the test user's authority file
    // (where lqterm finds it, and where the relay writes its own).
    bool xAuth = false;
    // The X server's screen and extensions.
    std::vector<std::string> xServerArgs = {"-screen", "0", "640x480x24"};
    std::vector<pid_t> procs;

    // Absolute, since the programs are started in the test's own directory.
    static std::string Bin(const std::string& name) {
        const char* b = std::getenv("LQ_BIN_DIR");
        std::string dir = b ? b : "build/bin";
        if (dir[0] != '/') {
            char cwd[4096];
            if (getcwd(cwd, sizeof cwd)) dir = std::string(cwd) + "/" + dir;
        }
        return dir + "/" + name;
    }
    std::string XDisplay() const { return ":" + std::to_string(xdisp); }

    static bool PortFree(int port) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        return ok;
    }
    static bool Exists(const std::string& p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0;
    }
    // A display number with no lock file, no socket and a free TCP port.
    static int FreeDisplay(int from, int to) {
        for (int n = from; n <= to; n++)
            if (!Exists("/tmp/.X" + std::to_string(n) + "-lock") && !Exists("/tmp/.X11-unix/X" + std::to_string(n)) &&
                PortFree(6000 + n))
                return n;
        return -1;
    }

    void SetUp() override {
        char tmpl[] = "/tmp/lqe2eXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        home = dir + "/home";
        mkdir(home.c_str(), 0755);
        // Xvfb from 20 upward, leaving room above it for the relay's own display (at most 50).
        for (int tries = 0; tries < 5 && xvfb < 0; tries++) {
            // Stores are kept per X server (host and display), so the warm run of the suite takes
            // the displays the first run had: the lowest free, in the same order.
            const int from = std::getenv("LQ_E2E_CACHE") ? 20 : 20 + 2 * static_cast<int>(getpid() % 8);
            xdisp = FreeDisplay(from, 45);
            ASSERT_GT(xdisp, 0);
            std::vector<std::string> argv = {"Xvfb", XDisplay(), "-nolisten", "tcp"};
            argv.insert(argv.end(), xServerArgs.begin(), xServerArgs.end());
            if (!xResets) argv.push_back("-noreset");
            if (xAuth) {
                const std::string file = home + "/.Xauthority";
                ASSERT_EQ(std::system(("xauth -q -f " + file + " add " + XDisplay() +
                                       " . $(od -An -N16 -tx1 /dev/urandom | tr -d ' \\n')").c_str()),
                          0);
                argv.insert(argv.end(), {"-auth", file});
            }
            xvfb = Spawn(argv, {}, dir + "/xvfb.log");
            // Another test may have taken the display meanwhile: then the socket is not ours.
            const bool up = WaitUntil([&] { return Exists("/tmp/.X11-unix/X" + std::to_string(xdisp)); }, 10);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (!up || waitpid(xvfb, nullptr, WNOHANG) != 0) {
                Kill(xvfb);
                xvfb = -1;
            }
        }
        ASSERT_GT(xvfb, 0) << "Xvfb did not start";
    }

    void TearDown() override {
        for (pid_t p : procs) Kill(p);
        NoteStoreHits();
        if (xvfb > 0) {
            Kill(xvfb);
            unlink(("/tmp/.X11-unix/X" + std::to_string(xdisp)).c_str());
            unlink(("/tmp/.X" + std::to_string(xdisp) + "-lock").c_str());
        }
        if (!dir.empty() && !HasFailure()) std::system(("rm -rf " + dir).c_str());
    }

    // In the warm run (LQ_E2E_WARM), the references the test's sessions were sent, as a line
    // "Suite.Test hits" in $LQ_E2E_CACHE/hits: the run checks that the stores were used.
    int sessions = 0;
    void NoteStoreHits() {
        const char* cache = std::getenv("LQ_E2E_CACHE");
        if (!cache || !std::getenv("LQ_E2E_WARM")) return;
        long hits = 0;
        for (int n = 0; n < sessions; n++) {
            const std::string rec = Read(dir + "/warm-stats-" + std::to_string(n) + ".json");
            const size_t at = rec.find("\"storeHits\": ");
            if (at != std::string::npos) hits += std::atol(rec.c_str() + at + 13);
        }
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::ofstream(std::string(cache) + "/hits", std::ios::app) << info->test_suite_name() << "." << info->name() << " " << hits << "\n";
    }

    static void Kill(pid_t p) {
        if (p <= 0) return;
        kill(-p, SIGKILL);
        waitpid(p, nullptr, 0);
    }

    // Starts argv in a process group of its own, in dir, with HOME set and the environment changes.
    pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                const std::string& out = "/dev/null", const std::string& err = "") {
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            if (chdir(dir.c_str()) != 0) _exit(126);
            setenv("HOME", home.c_str(), 1);
            setenv("XAUTHORITY", (home + "/.Xauthority").c_str(), 1);
            for (auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = err.empty() ? o : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int nul = open("/dev/null", O_RDONLY);
            dup2(nul, 0);
            dup2(o, 1);
            dup2(e, 2);
            Exec(argv);
        }
        procs.push_back(pid);
        return pid;
    }
    // In a child: runs argv (looked up on PATH), or ends the child.
    [[noreturn]] static void Exec(const std::vector<std::string>& argv) {
        std::vector<char*> a;
        for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        execvp(a[0], a.data());
        _exit(127);
    }

    // Exit status of pid, or -1 when it has not ended within the time.
    static int Wait(pid_t pid, double seconds) {
        int st = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (std::chrono::steady_clock::now() < end) {
            if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    static bool WaitUntil(const std::function<bool()>& f, double seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (std::chrono::steady_clock::now() < end) {
            if (f()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return f();
    }
    static std::string Read(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    static void Write(const std::string& path, const std::string& text, int mode = 0644) {
        std::ofstream(path, std::ios::binary) << text;
        chmod(path.c_str(), static_cast<mode_t>(mode));
    }
    // Output of a shell command run against the test's Xvfb.
    std::string Sh(const std::string& cmd) {
        std::string full = "cd " + dir + " && export DISPLAY=" + XDisplay() + " HOME=" + home +
                           " XAUTHORITY=" + home + "/.Xauthority && " + cmd;
        FILE* p = popen(full.c_str(), "r");
        std::string out;
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
        return out;
    }
    // The window's pixels as a PNM image (the dump's header, with names and positions, is left out).
    std::string Dump(std::string wid) {
        while (!wid.empty() && (wid.back() == '\n' || wid.back() == ' ')) wid.pop_back();
        if (wid.empty()) return "";
        return Sh("xwd -silent -id " + wid + " | xwdtopnm 2>/dev/null");
    }

    // A dump taken once the window has stopped changing.
    std::string Settled(const std::string& wid) {
        std::string prev, cur;
        WaitUntil([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            prev = cur;
            cur = Dump(wid);
            return !cur.empty() && cur == prev;
        }, 15);
        return cur;
    }

    // The drawing client directly on the server: its window's pixels, to compare a relayed run with.
    std::string DrawDirect() {
        // (Xlib keeps some memory to the end, which is no fault of the test client)
        pid_t c = Spawn({LQ_DRAW_PATH, "draw", dir + "/wid0", dir + "/done0"},
                        {{"DISPLAY", XDisplay()}, {"ASAN_OPTIONS", "detect_leaks=0"}});
        EXPECT_TRUE(WaitUntil([&] { return Exists(dir + "/wid0"); }, 20));
        std::string pnm = Dump(Read(dir + "/wid0"));
        Write(dir + "/done0", "");
        EXPECT_EQ(Wait(c, 10), 0);
        return pnm;
    }

    void Session(const std::string& body) { Write(home + "/.xsession", "#!/bin/sh\n" + body + "\n", 0755); }

    // lqterm with the relay on a pseudo-terminal; the relay gets a free display above Xvfb's.
    pid_t StartRelay(const std::vector<std::string>& lqtermArgs = {}, const std::vector<std::string>& relayArgs = {}) {
        int m = FreeDisplay(xdisp + 1, 50);
        EXPECT_GT(m, 0);
        std::vector<std::string> argv = {Bin("lqterm"), "-display", XDisplay()};
        // The suite runs again with these words for lqterm (e.g. -noext, the base protocol alone).
        if (const char* more = std::getenv("LQ_E2E_LQTERM_ARGS")) {
            std::istringstream words(more);
            for (std::string w; words >> w;) argv.push_back(w);
        }
        // The suite runs twice with one cache folder for every session (LQ_E2E_CACHE): the second
        // time each session starts warm, with the stores and set-up replies the first left.
        std::map<std::string, std::string> env = {{"LQDRAW", LQ_DRAW_PATH}};
        if (const char* cache = std::getenv("LQ_E2E_CACHE")) {
            env["XDG_CACHE_HOME"] = cache;
            argv.insert(argv.end(), {"-statsfile", dir + "/warm-stats-" + std::to_string(sessions++) + ".json"});
        }
        argv.insert(argv.end(), lqtermArgs.begin(), lqtermArgs.end());
        argv.push_back("--");
        argv.push_back(Bin("lqhostd"));
        argv.insert(argv.end(), relayArgs.begin(), relayArgs.end());
        argv.push_back(":" + std::to_string(m));
        return Spawn(argv, env, dir + "/lqterm.out", dir + "/lqterm.err");
    }
    std::string TermLog() { return Read(dir + "/lqterm.err"); }
};
