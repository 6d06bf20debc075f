#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "relay/core/rss.h"

namespace {

std::string TempDir() {
    char tmpl[] = "/tmp/lqrssXXXXXX";
    return mkdtemp(tmpl);
}

class Resources : public ::testing::Test {
  protected:
    std::string home = TempDir();
    void SetUp() override {
        setenv("HOME", home.c_str(), 1);
        RssInitData();
    }
    void TearDown() override {
        RssFreeData();
        std::system(("rm -rf " + home).c_str());
    }
    void Load(std::vector<std::string> args) {
        args.insert(args.begin(), "lqhostd");
        store = args;
        ptrs.clear();
        for (auto& a : store) ptrs.push_back(a.data());
        ptrs.push_back(nullptr);
        InitResources(static_cast<int>(store.size()), ptrs.data());
        LoadRssResources();
    }
    void WriteRc(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    std::vector<std::string> store;
    std::vector<char*> ptrs;
};

TEST_F(Resources, DefaultsWithoutFileOrArguments) {
    testing::internal::CaptureStderr();
    Load({});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    RssDaemonData* d = pRssDaemonData;
    EXPECT_EQ(d->rssLink.config.flags, 0);
    EXPECT_EQ(d->rssLink.config.timeout, 30);
    EXPECT_EQ(d->loopback, 0);
    EXPECT_STREQ(d->escapeChars, "0x0a 0x0d 0x11 0x13 0x1d 0x7f 0x93 0x9d 0xff");
    EXPECT_STREQ(d->xTransportProtocols, "tcpip local");
    EXPECT_EQ(std::string(d->configFile), home + "/.lqhostdrc");
    EXPECT_STREQ(d->tmpDir, "/tmp");
    EXPECT_EQ(d->listenPort, 6000);
    EXPECT_EQ(d->display, 1);
    EXPECT_STREQ(d->defaultSession, "xterm -geometry +1+1 -n login");
    EXPECT_STREQ(d->sessionScriptName, ".xsession");
    EXPECT_EQ(d->checkAuthorization, 1);
    EXPECT_EQ(d->tcpAllInterfaces, 0);
    EXPECT_EQ(d->extensions, 1);
}

// The switches that guard the display keep their defaults unless a value says plainly otherwise.
TEST_F(Resources, SecuritySwitches) {
    const struct {
        const char* rc;
        std::vector<std::string> args;
        int check, all, ext;
    } cases[] = {
        {"HostServer.checkAuthorization: off\nHostServer.tcpAllInterfaces: Yes\n", {}, 0, 1, 1},
        {"HostServer.checkAuthorization: of\nHostServer.tcpAllInterfaces: sure\n", {}, 1, 0, 1},
        {"HostServer.extensions: off\n", {}, 1, 0, 0},
        {nullptr, {"-noext"}, 1, 0, 0},
    };
    for (const auto& c : cases) {
        std::remove((home + "/.lqhostdrc").c_str());
        if (c.rc) WriteRc(home + "/.lqhostdrc", c.rc);
        RssInitData();
        Load(c.args);
        const std::string what = c.rc ? c.rc : c.args[0];
        EXPECT_EQ(pRssDaemonData->checkAuthorization, c.check) << what;
        EXPECT_EQ(pRssDaemonData->tcpAllInterfaces, c.all) << what;
        EXPECT_EQ(pRssDaemonData->extensions, c.ext) << what;
    }
}

struct PrecedenceCase {
    const char* rc;  // contents of ~/.lqhostdrc, or null for none
    std::vector<std::string> args;
    int timeout, listenPort, display, loopback;
    const char* session;
};

TEST_F(Resources, FileThenCommandLine) {
    const PrecedenceCase cases[] = {
        {nullptr, {"-udpport", "7000", ":2"}, 30, 7000, 2, 0, ".xsession"},
        {"HostServer.timeout: 60\n", {}, 60, 6000, 1, 0, ".xsession"},
        {"HostServer.timeout: 60\n", {"-timeout", "90"}, 90, 6000, 1, 0, ".xsession"},
        {"*sessionScriptName: .xinitrc   \n*display: 4\n", {":5", "-loopback"}, 30, 6000, 5, 1, ".xinitrc"},
        // An argument of another option is never taken for "-config".
        {nullptr, {"-session", "-config", "-flags", "3"}, 30, 6000, 1, 0, "-config"},
        // Xrm accepts an unambiguous abbreviation.
        {nullptr, {"-udp", "6100"}, 30, 6100, 1, 0, ".xsession"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? std::string(c.rc) : c.args[0]);
        std::remove((home + "/.lqhostdrc").c_str());
        if (c.rc) WriteRc(home + "/.lqhostdrc", c.rc);
        RssInitData();
        testing::internal::CaptureStderr();
        Load(c.args);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(pRssDaemonData->rssLink.config.timeout, c.timeout);
        EXPECT_EQ(pRssDaemonData->listenPort, c.listenPort);
        EXPECT_EQ(pRssDaemonData->display, c.display);
        EXPECT_EQ(pRssDaemonData->loopback, c.loopback);
        EXPECT_STREQ(pRssDaemonData->sessionScriptName, c.session);
    }
}

TEST_F(Resources, ConfigOptionNamesTheFile) {
    WriteRc(home + "/.lqhostdrc", "HostServer.display: 7\n");
    WriteRc(home + "/other", "HostServer.display: 8\nHostServer.flags: 5\n");
    testing::internal::CaptureStderr();
    Load({"-config", home + "/other", "-flags", "6"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(pRssDaemonData->display, 8);
    EXPECT_EQ(pRssDaemonData->rssLink.config.flags, 6);
    EXPECT_EQ(std::string(pRssDaemonData->configFile), home + "/other");
}

TEST_F(Resources, UnreadableConfigFileIsReportedAndIgnored) {
    WriteRc(home + "/.lqhostdrc", "HostServer.display: 7\n");
    testing::internal::CaptureStderr();
    Load({"-config", home + "/missing", ":3"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Can't open configuration file " + home + "/missing\n");
    EXPECT_EQ(pRssDaemonData->display, 3);
    EXPECT_EQ(pRssDaemonData->rssLink.config.timeout, 30);
}

TEST_F(Resources, BooleanValues) {
    WriteRc(home + "/.lqhostdrc", "HostServer.a: On \t\nHostServer.b: FALSE\nHostServer.c: maybe\n");
    Load({});
    const struct {
        const char* name;
        int start, want;
    } cases[] = {{"HostServer.a", 0, 1}, {"HostServer.b", 1, 0}, {"HostServer.c", 7, 7}, {"HostServer.d", 7, 1}};
    for (const auto& c : cases) {
        int v = c.start;
        GetRssResource(c.name, c.name, RSS_RES_BOOL, &v, "yes");
        EXPECT_EQ(v, c.want) << c.name;
    }
}

// Where the programs are: LQ_BIN_DIR, or bin/ next to the tests' own directory.
std::string BinDir() {
    if (const char* b = std::getenv("LQ_BIN_DIR")) return b;
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string p(exe, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(0, p.rfind('/')) + "/../bin";
}

std::string RunShell(const std::string& cmd, int* status) {
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    *status = pclose(p);
    return out;
}

TEST(Usage, UnrecognisedArgumentPrintsUsageAndExitsOne) {
    std::string bin = BinDir();
    int status = 0;
    std::string out = RunShell(bin + "/lqhostd -nosuch ':2' 2>&1 >/dev/null", &status);
    EXPECT_EQ(out,
              "unrecognized command line parameter: \"-nosuch\"\n"
              "\nUsage: lqhostd [-options...]\n\n"
              "Where options include:\n"
              " -config <filename>     sets configuration file name\n"
              " -loopback              perform serial line test\n"
              " -echars \"0xdd ...\"     set characters to be escaped\n"
              " -session <filename>    sets session script name\n"
              " -timeout <seconds>     sets protocol timeout value\n"
              " :n                     sets display number\n"
              "\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(Usage, UnreachableTmpDirEndsStartUp) {
    std::string bin = BinDir();
    int status = 0;
    std::string out = RunShell("printf 'HostServer.tmpDir: /nonexistent/dir\\n' >/tmp/lqrss_tmpdir.rc; " +
                              bin + "/lqhostd -config /tmp/lqrss_tmpdir.rc 2>&1; s=$?; rm -f /tmp/lqrss_tmpdir.rc; exit $s",
                          &status);
    EXPECT_EQ(out, "can't access temp directory /nonexistent/dir\n");
    EXPECT_EQ(WEXITSTATUS(status), 255);
}

TEST(Usage, BadTransportWordEndsStartUp) {
    int status = 0;
    std::string out = RunShell("HOME=/nonexistent " + BinDir() + "/lqhostd -xtports decnet 2>&1", &status);
    EXPECT_EQ(out, "Invalid transport protocol \"decnet\"\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

class Words : public ::testing::Test {
  protected:
    void SetUp() override { RssInitData(); }
    void TearDown() override { RssFreeData(); }
};

TEST_F(Words, NextWordQuotesAndBlanks) {
    char text[] = "  xterm 'ls -l' sh";
    char* cursor = text;
    std::vector<std::string> words;
    while (char* w = NextWord(&cursor)) words.push_back(w);
    EXPECT_EQ(words, (std::vector<std::string>{"xterm", "ls -l", "sh"}));
    EXPECT_EQ(*cursor, '\0');
    EXPECT_EQ(NextWord(&cursor), nullptr);

    char open[] = "\"a b\tc";  // an unclosed quote runs to the end
    cursor = open;
    EXPECT_STREQ(NextWord(&cursor), "a b\tc");
    EXPECT_EQ(NextWord(&cursor), nullptr);

    char empty[] = " \t ";
    cursor = empty;
    EXPECT_EQ(NextWord(&cursor), nullptr);
}

TEST_F(Words, BaseAtoiForms) {
    const std::string syntax = "syntax error: expecting \"\\ddd\" (octal) or \"0xdd\" (hex) format\n";
    const struct {
        const char* word;
        int rc;
        uint8_t value;
        bool syntaxMsg;
    } cases[] = {
        {"0x1d", 0, 0x1d, false}, {"0XfF", 0, 0xff, false}, {"0x1ff", -1, 0, false},
        {"\\777", 0, 0xff, false}, {"\\023", 0, 0x13, false}, {"\\8", -1, 0, false},
        {"17", -1, 0, true},       {"0x", 0, 0, false},       {"0x1 ", 0, 1, false},
        {"0x1 2", -1, 0, false},   {"0xg", -1, 0, false},     {"\xb0x11", 0, 0x11, false},
    };
    for (const auto& c : cases) {
        uint8_t v = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(base_atoi(c.word, &v), c.rc) << c.word;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.syntaxMsg ? syntax : "") << c.word;
        if (c.rc == 0) {
            EXPECT_EQ(v, c.value) << c.word;
        }
    }
}

TEST_F(Words, EscapeListParsing) {
    const std::string syntax = "syntax error: expecting \"\\ddd\" (octal) or \"0xdd\" (hex) format\n";
    std::string many;
    for (int i = 0; i < 78; i++) many += "0x01 ";
    const struct {
        std::string text;
        std::vector<uint8_t> chars;
        std::string messages;
    } cases[] = {
        {"0x11 \\023 abc 0x1d", {0x11, 0x13, 0x1d}, syntax + "cannot parse escape character abc\n"},
        {"0x0a 0x0d 0x11 0x13 0x1d 0x7f 0x93 0x9d 0xff", {0x0a, 0x0d, 0x11, 0x13, 0x1d, 0x7f, 0x93, 0x9d, 0xff}, ""},
        {"0x123 0x12", {0x12}, "cannot parse escape character 0x123\n"},
        {"", {}, ""},
        {many, std::vector<uint8_t>(76, 1), "too many escape characters (max=76)\n"},
    };
    for (const auto& c : cases) {
        free(pRssDaemonData->escapeChars);
        pRssDaemonData->escapeChars = strdup(c.text.c_str());
        testing::internal::CaptureStderr();
        ParseEscChars();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.messages) << c.text;
        const LinkConfig& cfg = pRssDaemonData->rssLink.config;
        EXPECT_EQ(std::vector<uint8_t>(cfg.escChars, cfg.escChars + cfg.escCount), c.chars)
            << c.text;
        EXPECT_STREQ(pRssDaemonData->escapeChars, c.text.c_str());  // the resource itself is untouched
    }
}

TEST_F(Words, TransportWords) {
    const struct {
        const char* text;
        int local, tcpip, host;
    } cases[] = {{"tcpip local", 1, 1, 2}, {"local tcpip", 1, 1, 1}, {"  tcpip", 0, 1, 1}, {"local", 1, 0, 2}};
    for (const auto& c : cases) {
        free(pRssDaemonData->xTransportProtocols);
        pRssDaemonData->xTransportProtocols = strdup(c.text);
        EXPECT_EQ(ParseXports(), 0) << c.text;
        EXPECT_EQ(pRssDaemonData->useLocal, c.local) << c.text;
        EXPECT_EQ(pRssDaemonData->useTcpip, c.tcpip) << c.text;
        EXPECT_EQ(pRssDaemonData->displayHost, c.host) << c.text;
    }
    // Refusals are the caller's to act on (the relay ends with status 1: Usage.BadTransportWordEndsStartUp).
    const struct {
        const char* text;
        const char* says;
    } bad[] = {{"tcpip decnet", "Invalid transport protocol \"decnet\"\n"},
               {" ", "please specify at least one of the following\ntransport protocols: \"local tcpip or decnet\"\n"}};
    for (const auto& b : bad) {
        free(pRssDaemonData->xTransportProtocols);
        pRssDaemonData->xTransportProtocols = strdup(b.text);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ParseXports(), -1) << b.text;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), b.says);
    }
}

TEST_F(Words, VersionComparison) {
    EXPECT_TRUE(RssEarlierVersion(1, 1));  // nothing heard from the terminal yet
    LinkNoteRemoteVersion(&pRssDaemonData->rssLink, 'B', 0x101, 0x102);  // only the low 8 bits count
    EXPECT_EQ(pRssDaemonData->rssLink.peer.version, 1);
    EXPECT_EQ(pRssDaemonData->rssLink.peer.level, 2);
    EXPECT_FALSE(RssEarlierVersion(1, 1));
    EXPECT_FALSE(RssEarlierVersion(1, 2));
    EXPECT_TRUE(RssEarlierVersion(1, 3));
    EXPECT_TRUE(RssEarlierVersion(2, 0));
    EXPECT_FALSE(RssEarlierVersion(0, 9));
    EXPECT_EQ(RssGetOurEndianness(), 'B');
}

}  // namespace
