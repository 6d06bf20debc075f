// Long sessions of mixed X traffic through lqterm over a simulated line with damage, bursts and
// silences: every drawing the session makes must match the same client drawn directly, no client
// may see a protocol error, and the relay must log no panic. A silence past the time-out ends both
// sides. The soak cases run LQ_SOAK_SECONDS (default 300) each.
#include "tests/e2e/e2e.h"

namespace {

int SoakSeconds() {
    const char* s = std::getenv("LQ_SOAK_SECONDS");
    return s && std::atoi(s) > 0 ? std::atoi(s) : 300;
}

class Soak : public E2E {
  protected:
    Soak() { xResets = true; }  // the X server resets between rounds, as servers do by default
    std::string lock;
    void TearDown() override {
        E2E::TearDown();
        if (!lock.empty()) unlink(lock.c_str());
    }
    // The relay's display is claimed with an X server lock file for the length of the test, so
    // that an X server started meanwhile (by anyone) does not take its socket path over.
    int ClaimDisplay() {
        for (int m = xdisp + 1; m <= 50; m++) {
            if (FreeDisplay(m, m) != m) continue;
            std::string path = "/tmp/.X" + std::to_string(m) + "-lock";
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
            if (fd < 0) continue;
            char text[16];
            int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
            EXPECT_EQ(write(fd, text, static_cast<size_t>(n)), n);
            close(fd);
            lock = path;
            return m;
        }
        ADD_FAILURE() << "no free display for the relay";
        return -1;
    }
    // lqterm and the relay on a claimed display, each program optionally behind a wrapper.
    pid_t StartClaimed(const std::vector<std::string>& lqtermArgs, const std::vector<std::string>& relayArgs = {},
                       const std::vector<std::string>& wrapper = {}) {
        int m = ClaimDisplay();
        std::vector<std::string> argv = wrapper;
        for (const std::string& a : {Bin("lqterm"), std::string("-display"), XDisplay()}) argv.push_back(a);
        argv.insert(argv.end(), lqtermArgs.begin(), lqtermArgs.end());
        argv.push_back("--");
        argv.insert(argv.end(), wrapper.begin(), wrapper.end());
        argv.push_back(Bin("lqhostd"));
        argv.insert(argv.end(), relayArgs.begin(), relayArgs.end());
        argv.push_back(":" + std::to_string(m));
        return Spawn(argv, {{"LQDRAW", LQ_DRAW_PATH}}, dir + "/lqterm.out", dir + "/lqterm.err");
    }
    // The relay's log goes to the test directory (kept only when it holds something).
    void LogHere() { Write(home + "/.lqhostdrc", "HostServer.tmpDir: " + dir + "\n"); }
    std::string RelayLogs() {
        std::string all;
        for (const std::string& f : Lines(Sh("ls " + dir + "/lqx_log.* 2>/dev/null"))) all += Read(f);
        return all;
    }
    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> v;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);)
            if (!l.empty()) v.push_back(l);
        return v;
    }
};

struct SoakCase {
    const char* name;
    const char* rate;
    const char* errors;
};

class SoakLine : public Soak, public ::testing::WithParamInterface<SoakCase> {};

TEST_P(SoakLine, MixedTrafficThroughDamageAndSilences) {
    const SoakCase& c = GetParam();
    const int seconds = SoakSeconds();
    const std::string direct = DrawDirect();
    ASSERT_GT(direct.size(), 200u * 150u * 3u);
    LogHere();
    // Rounds of the drawing client and xdpyinfo (hundreds of round trips) until the time is up.
    Session("end=$(( $(date +%s) + " + std::to_string(seconds) +
            " )); i=0\n"
            "while [ $(date +%s) -lt $end ]; do\n"
            "  i=$((i+1))\n"
            "  \"$LQDRAW\" draw $HOME/wid.$i $HOME/done.$i; echo \"draw $i $?\" >> $HOME/status\n"
            "  xdpyinfo -ext all > $HOME/xdpy.$i 2>&1; echo \"xdpyinfo $i $?\" >> $HOME/status\n"
            "done\n"
            "echo end >> $HOME/status");
    const std::string stats = dir + "/stats.json";
    // Silences of 5 and 20 seconds, below the 30-second time-out, a minute apart.
    pid_t t = StartClaimed({"-rate", c.rate, "-errors", c.errors, "-outage", "40:5", "-outage", "100:20", "-stats",
                            "-statsfile", stats});
    int rounds = 0, same = 0;
    for (int i = 1;; i++) {
        const std::string wid = home + "/wid." + std::to_string(i);
        const std::string failed = "draw " + std::to_string(i) + " ";  // the round ended without a window
        bool ended = false, gone = false;
        WaitUntil([&] {
            const std::string status = Read(home + "/status");
            ended = status.find("end") != std::string::npos;
            gone = status.find(failed) != std::string::npos;
            return Exists(wid) || ended || gone;
        }, seconds + 300);
        if (Exists(wid)) {
            rounds++;
            same += Dump(Read(wid)) == direct;
            Write(home + "/done." + std::to_string(i), "");
        } else if (gone) {
            rounds++;  // counted, and its status fails the test below
        } else {
            EXPECT_TRUE(ended) << "round " << i << " never drew\n" << TermLog();
            break;
        }
    }
    EXPECT_EQ(Wait(t, 300), 0) << TermLog();
    const std::string status = Read(home + "/status");
    const std::string termLog = TermLog();
    int redials = 0;  // connections the resetting X server dropped unanswered, dialled again
    for (size_t at = 0; (at = termLog.find("connected again", at)) != std::string::npos; at++) redials++;
    std::printf("%s: %d rounds in %d s, %d pixel-exact, %d dropped set-ups dialled again\nstatus:\n%s\n"
                "link statistics: %s\n",
                c.name, rounds, seconds, same, redials, status.c_str(), Read(stats).c_str());
    EXPECT_GT(rounds, 0);
    EXPECT_EQ(same, rounds) << RelayLogs();
    for (const std::string& l : Lines(status)) {
        if (l == "end") continue;
        const std::string round = l.substr(l.find(' ') + 1, l.rfind(' ') - l.find(' ') - 1);
        EXPECT_EQ(l.substr(l.size() - 2), " 0") << l << "\n" << Read(home + "/xdpy." + round);
    }
    const std::string log = RelayLogs() + TermLog();
    EXPECT_EQ(log.find("panic"), std::string::npos) << log;
    EXPECT_EQ(log.find("timeout"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Lines, SoakLine,
                         ::testing::Values(SoakCase{"slow_rare", "9600", "0.0001:11"},
                                           SoakCase{"slow_noisy", "9600", "0.001:12"},
                                           SoakCase{"fast_rare", "115200", "0.0001:13"},
                                           SoakCase{"fast_noisy", "115200", "0.001:14"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A silence longer than the time-out: both ends give up, say why, and exit; nothing is left
// running.
TEST_F(Soak, SilencePastTheTimeoutEndsBothSides) {
    LogHere();
    Session("sleep 600");
    pid_t t = StartClaimed({"-rate", "115200", "-outage", "3:60"}, {"-timeout", "10"});
    int rc = Wait(t, 90);
    EXPECT_NE(rc, -1) << "lqterm still running\n" << TermLog();
    const std::string log = RelayLogs() + TermLog();
    std::printf("exit status %d\nlogs:\n%s\n", rc, log.c_str());
    EXPECT_NE(log.find("serial connection timeout"), std::string::npos) << log;
    EXPECT_EQ(log.find("panic"), std::string::npos) << log;
    EXPECT_EQ(Sh("pgrep -f '^sleep 600' | wc -l"), "0\n");
}

// Both programs under memcheck for a whole session of drawing and round trips: no error, no leak.
TEST_F(Soak, RelayAndTerminalUnderMemcheck) {
    const std::string direct = DrawDirect();
    LogHere();
    Session("\"$LQDRAW\" draw $HOME/wid $HOME/done; echo \"draw $?\" >> $HOME/status\n"
            "xdpyinfo -ext all > /dev/null 2>&1; echo \"xdpyinfo $?\" >> $HOME/status");
    const std::vector<std::string> vg = {"valgrind", "--leak-check=full", "--show-leak-kinds=definite,indirect",
                                         "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=9",
                                         "--log-file=" + dir + "/memcheck.%p"};
    pid_t t = StartClaimed({}, {}, vg);
    ASSERT_TRUE(WaitUntil([&] { return Exists(home + "/wid"); }, 240)) << TermLog();
    EXPECT_TRUE(Dump(Read(home + "/wid")) == direct);
    Write(home + "/done", "");
    EXPECT_EQ(Wait(t, 240), 0) << TermLog();
    EXPECT_EQ(Read(home + "/status"), "draw 0\nxdpyinfo 0\n");
    std::string reports;
    int programs = 0;
    for (const std::string& f : Lines(Sh("ls " + dir + "/memcheck.*"))) {
        std::string r = Read(f);
        // A forked child that goes on to run another program leaves no summary.
        if (r.find("ERROR SUMMARY") == std::string::npos) continue;
        programs++;
        reports += r;
        EXPECT_NE(r.find("ERROR SUMMARY: 0 errors"), std::string::npos) << r;
        EXPECT_EQ(r.find("definitely lost: "), r.find("definitely lost: 0 bytes")) << r;
        EXPECT_EQ(r.find("indirectly lost: "), r.find("indirectly lost: 0 bytes")) << r;
    }
    EXPECT_GE(programs, 2);
    std::printf("%s\n", reports.c_str());
}

}  // namespace
