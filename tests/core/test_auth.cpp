// Who may use the relay's display: the cookie check at set-up, the authority file, the address TCP
// listens on, and the extension offer that tells the terminal the relay vouches for its clients.
#include <X11/Xauth.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <functional>

#include "relay/link/linkext.h"
#include "tests/core/relayharness.h"

namespace {

std::string Shell(const std::string& cmd) {
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(two, sizeof two, "%02x", p[i]);
        s += two;
    }
    return s;
}

std::string HostName() {
    char host[257] = {};
    gethostname(host, sizeof host - 1);
    return host;
}

std::vector<uint8_t> Padded(std::vector<uint8_t> v, const std::string& text) {
    v.insert(v.end(), text.begin(), text.end());
    while (v.size() % 4) v.push_back(0);
    return v;
}

}  // namespace

class Auth : public Relay {
  protected:
    void SetUp() override { checkAuth = true; }

    // Everything a client receives until the relay closes its connection (empty if it never does).
    std::vector<uint8_t> UntilClosed(int s) {
        std::vector<uint8_t> r;
        bool closed = PumpUntil([&] {
            uint8_t buf[4096];
            ssize_t n = read(s, buf, sizeof buf);
            if (n > 0) r.insert(r.end(), buf, buf + n);
            return n == 0;
        });
        EXPECT_TRUE(closed);
        return r;
    }

    // The reason of a Failed set-up reply, checked for its form in the client's byte order.
    static std::string Reason(const std::vector<uint8_t>& r, uint8_t order) {
        if (r.size() < 8 || r[0] != 0) return "(not a Failed reply)";
        auto get16 = [&](int off) { return order == 'B' ? r[off] << 8 | r[off + 1] : r[off + 1] << 8 | r[off]; };
        EXPECT_EQ(get16(2), 11);
        EXPECT_EQ(r.size(), 8u + 4u * get16(6));
        return std::string(r.begin() + 8, r.begin() + 8 + std::min<size_t>(r[1], r.size() - 8));
    }
};

TEST_F(Auth, SetUpsWithoutTheCookieAreRefusedAndNothingOfThemCrossesTheLine) {
    Start();
    const std::string none = "Authorization required, but no authorization protocol specified";
    const std::string invalid = "Invalid MIT-MAGIC-COOKIE-1 key";
    const std::string other = "Authorization protocol not supported: this display takes MIT-MAGIC-COOKIE-1";
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        uint8_t order;
        std::string reason;
    } cases[] = {
        {"no authorization", SetupHeader(0, 0), 'B', none},
        {"no authorization, least significant byte first", SetupHeader(0, 0, 'l'), 'l', none},
        {"a wrong cookie of the right size", SetupWithCookie('B', true), 'B', invalid},
        {"a wrong cookie, least significant byte first", SetupWithCookie('l', true), 'l', invalid},
        {"the cookie cut to 8 bytes",
         [] {
             auto v = Padded(SetupHeader(18, 8), "MIT-MAGIC-COOKIE-1");
             v.insert(v.end(), pRssDaemonData->cookie, pRssDaemonData->cookie + 8);
             return v;
         }(),
         'B', invalid},
        {"the name alone", Padded(SetupHeader(18, 0), "MIT-MAGIC-COOKIE-1"), 'B', invalid},
        {"another protocol",
         [] {
             auto v = Padded(SetupHeader(19, 8), "XDM-AUTHORIZATION-1");
             v.resize(v.size() + 8, 7);
             return v;
         }(),
         'B', other},
        {"long authorization, all of it sent",
         [] {
             auto v = SetupHeader(1000, 1000);
             v.resize(v.size() + 2000, 'x');
             return v;
         }(),
         'B', other},
    };
    for (const auto& c : cases) {
        int s = Connect();
        Send(s, c.bytes);
        EXPECT_EQ(Reason(UntilClosed(s), c.order), c.reason) << c.what;
        Pump(5);
        EXPECT_TRUE(got.empty()) << c.what << ": " << got.size() << " messages reached the terminal";
        got.clear();
        EXPECT_EQ(lstCount(&pRssDispData->clientRecList), 0) << c.what;
    }
    EXPECT_EQ(pRssGlobalData->running, 1);
    int id = 0;
    Accepted(&id);  // and a client with the cookie is served as before
}

TEST_F(Auth, TheCookieGetsTheClientThroughWithoutItsAuthorization) {
    Start();
    for (uint8_t order : {'B', 'l'}) {
        int s = Connect();
        std::vector<uint8_t> setup = SetupWithCookie(order);
        // in three pieces: inside the header, inside the name, the rest
        Send(s, {setup.begin(), setup.begin() + 5});
        Pump(3);
        Send(s, {setup.begin() + 5, setup.begin() + 20});
        Pump(3);
        EXPECT_TRUE(Take(MSG_CONNECT).empty()) << "nothing before the cookie has been seen";
        Send(s, {setup.begin() + 20, setup.end()});
        std::vector<TermMsg> sent;
        PumpUntil([&] {
            for (auto& m : Take(MSG_CONNECT)) sent.push_back(m);
            return !sent.empty();
        });
        Pump(5);
        for (auto& m : Take(MSG_CONNECT)) sent.push_back(m);
        ASSERT_EQ(sent.size(), 1u);
        std::vector<uint8_t> want(setup.begin(), setup.begin() + 12);
        for (int i = 6; i < 10; i++) want[i] = 0;
        EXPECT_EQ(sent[0].bytes, want);
    }
}

TEST_F(Auth, AClientThatLeavesDuringItsSetUpIsForgottenHere) {
    Start();
    int s = Connect();
    std::vector<uint8_t> setup = SetupWithCookie();
    Send(s, {setup.begin(), setup.begin() + 30});
    Pump(5);
    ASSERT_EQ(lstCount(&pRssDispData->clientRecList), 1);
    close(s);
    clients.clear();
    EXPECT_TRUE(PumpUntil([&] { return lstCount(&pRssDispData->clientRecList) == 0; }));
    Pump(5);
    EXPECT_TRUE(got.empty());
}

TEST_F(Auth, TheUnixSocketIsCheckedToo) {
    Start({"-xtports", "local"});  // the first free display
    auto dial = [&] {
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, pRssDaemonData->unixPath, strnlen(pRssDaemonData->unixPath, sizeof a.sun_path - 1));
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
        clients.push_back(s);
        return s;
    };
    int bad = dial();
    Send(bad, SetupHeader(0, 0));
    EXPECT_EQ(Reason(UntilClosed(bad), 'B'), "Authorization required, but no authorization protocol specified");
    EXPECT_TRUE(Take(MSG_CONNECT).empty());
    int good = dial();
    Send(good, SetupWithCookie());
    EXPECT_TRUE(PumpUntil([&] { return Take(MSG_CONNECT).size() == 1; }));
}

// The entries for the display are added beside the user's others and removed at the end, leaving
// the others as they were; a file that cannot be changed safely stops the start with a reason.
TEST_F(Auth, TheAuthorityFile) {
    Start();
    const std::string file = home + "/.Xauthority";
    const std::string n = std::to_string(pRssDaemonData->display);
    auto ours = [&] { return HostName() + "/unix:" + n + "  MIT-MAGIC-COOKIE-1  " + Hex(pRssDaemonData->cookie, 16); };
    EXPECT_NE(Shell("xauth -f " + file + " list").find(ours()), std::string::npos);

    RssAuthRemove();
    EXPECT_EQ(Shell("xauth -f " + file + " list"), "");
    const std::string others = "otherhost/unix:3  MIT-MAGIC-COOKIE-1  00112233445566778899aabbccddeeff\n" +
                               HostName() + "/unix:" + std::to_string(pRssDaemonData->display + 1) +
                               "  MIT-MAGIC-COOKIE-1  ffeeddccbbaa99887766554433221100\n";
    std::system(("xauth -q -f " + file + " add otherhost/unix:3 . 00112233445566778899aabbccddeeff && xauth -q -f " +
                 file + " add " + HostName() + "/unix:" + std::to_string(pRssDaemonData->display + 1) +
                 " . ffeeddccbbaa99887766554433221100")
                    .c_str());
    // A stale entry for the display itself, as a relay that was killed leaves it, is replaced.
    std::system(("xauth -q -f " + file + " add " + HostName() + "/unix:" + n + " . 0123456789abcdef0123456789abcdef").c_str());
    ASSERT_EQ(RssAuthInit(pRssDaemonData->display), 0);
    std::string list = Shell("xauth -f " + file + " list");
    EXPECT_NE(list.find(ours()), std::string::npos) << list;
    EXPECT_EQ(list.find("0123456789abcdef0123"), std::string::npos) << list;
    EXPECT_NE(list.find("otherhost/unix:3"), std::string::npos) << list;
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    RssAuthRemove();
    EXPECT_EQ(Shell("xauth -f " + file + " list | sort"), Shell("printf '" + others + "' | sort"));

    const struct {
        const char* what;
        std::function<std::string()> prepare;  // sets XAUTHORITY up; returns what to undo
        std::string message;
    } failures[] = {
        {"locked by another program",
         [&] {
             EXPECT_EQ(XauLockAuth(file.c_str(), 1, 1, 0), LOCK_SUCCESS);
             return file;
         },
         "it is locked"},
        {"in a directory that does not exist",
         [&] {
             setenv("XAUTHORITY", (home + "/missing/auth").c_str(), 1);
             return std::string();
         },
         "cannot lock it"},
        {"damaged",
         [&] {
             WriteFile(home + "/damaged", std::string("\x01\x00\x00\x05host", 9));
             setenv("XAUTHORITY", (home + "/damaged").c_str(), 1);
             return std::string();
         },
         "it is damaged"},
    };
    for (const auto& f : failures) {
        std::string undo = f.prepare();
        testing::internal::CaptureStderr();
        EXPECT_EQ(RssAuthInit(pRssDaemonData->display), -1) << f.what;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("can't add the display's cookie to "), std::string::npos) << err;
        EXPECT_NE(err.find(f.message), std::string::npos) << f.what << ": " << err;
        if (!undo.empty()) XauUnlockAuth(undo.c_str());
        setenv("XAUTHORITY", file.c_str(), 1);
    }
    struct stat damaged;
    EXPECT_EQ(stat((home + "/damaged").c_str(), &damaged), 0);
    EXPECT_EQ(damaged.st_size, 9) << "a damaged file is left as it was";
}

TEST_F(Auth, TcpListensOnTheLoopbackAddressUnlessAskedOtherwise) {
    char tmpl[] = "/tmp/lqauthrcXXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_NE(fd, -1);
    close(fd);
    const std::string rc = tmpl;
    for (bool all : {false, true}) {
        WriteFile(rc, std::string("HostServer.tcpAllInterfaces: ") + (all ? "on" : "off") + "\n");
        Start({"-config", rc});
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ASSERT_EQ(getsockname(pRssDaemonData->tcpSock, reinterpret_cast<sockaddr*>(&a), &len), 0);
        EXPECT_EQ(a.sin_addr.s_addr, htonl(all ? INADDR_ANY : INADDR_LOOPBACK));
        const std::string n = std::to_string(pRssDaemonData->display);
        EXPECT_EQ(std::string(getenv("DISPLAY")), (all ? HostName() : std::string("localhost")) + ":" + n + ".0");
        int id = 0;
        Accepted(&id);
        StopRelay();
    }
    unlink(rc.c_str());
}

// The terminal's offer is answered before any client, with vouching only while the relay checks;
// a terminal that offers nothing, or a relay told -noext, leaves the line as the base protocol has it.
TEST_F(Auth, ExtensionOfferAndAnswer) {
    std::vector<uint8_t> offer(LINKEXT_LEN);
    LinkExtWrite(offer.data(), LINKEXT_VOUCH | 0x80000000u);
    std::vector<uint8_t> foreign = offer;
    foreign[0] = 'X';
    const struct {
        const char* what;
        bool check;
        std::vector<std::string> args;
        std::vector<uint8_t> extra;
        int answer;  // bits answered, -1 for no answer
    } cases[] = {
        {"checking relay", true, {}, offer, static_cast<int>(LINKEXT_VOUCH)},
        {"relay that does not check", false, {}, offer, 0},
        {"-noext", true, {"-noext"}, offer, -1},
        {"no offer", true, {}, {}, -1},
        {"another tag", true, {}, foreign, -1},
        {"an offer cut short", true, {}, {offer.begin(), offer.begin() + 6}, -1},
    };
    for (const auto& c : cases) {
        checkAuth = c.check;
        readyExtra = c.extra;
        Start(c.args);
        Pump(10);
        std::vector<TermMsg> answers = Take(MSG_EXTENSIONS);
        if (c.answer < 0) {
            EXPECT_TRUE(answers.empty()) << c.what;
        } else {
            ASSERT_EQ(answers.size(), 1u) << c.what;
            uint32_t bits = 99;
            EXPECT_EQ(LinkExtRead(answers[0].bytes.data(), answers[0].bytes.size(), &bits), 0) << c.what;
            EXPECT_EQ(bits, static_cast<uint32_t>(c.answer)) << c.what;
            EXPECT_EQ(pRssDaemonData->extAccepted, static_cast<uint32_t>(c.answer)) << c.what;
        }
        EXPECT_TRUE(got.empty()) << c.what << ": nothing else is sent";
        StopRelay();
    }
}
