// The programs and their manual pages installed by `cmake --install`, and the Debian package that
// scripts/package makes: its declared dependencies, and that dpkg installs and removes it cleanly.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

const char* const kPrograms[] = {"lqhostd", "lqterm", "xwd2hc", "hcview", "fontconv", "data_qz"};

struct Ran {
    int status;
    std::string out;
};
// A shell command's exit status and its standard output and error together.
Ran Sh(const std::string& cmd) {
    Ran r{-1, ""};
    FILE* p = popen(("(" + cmd + ") 2>&1 </dev/null").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

bool Executable(const std::string& p) { return access(p.c_str(), X_OK) == 0; }
bool Exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

std::string TempDir() {
    char tmpl[] = "/tmp/lqpkgXXXXXX";
    return mkdtemp(tmpl) ? tmpl : "";
}

// An unknown option gets lqhostd's usage text and status 1: the program runs where it was put.
void ExpectUsage(const std::string& lqhostd) {
    const Ran r = Sh(lqhostd + " -nosuch");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("unrecognized command line parameter: \"-nosuch\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Usage: lqhostd"), std::string::npos) << r.out;
}

TEST(Install, ProgramsUnderBinAndManualPagesUnderShareMan) {
    const std::string p = TempDir();
    ASSERT_FALSE(p.empty());
    const Ran r = Sh("cmake --install " LQ_BUILD_DIR " --prefix " + p);
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* prog : kPrograms) {
        EXPECT_TRUE(Executable(p + "/bin/" + prog)) << prog;
        EXPECT_TRUE(Exists(p + "/share/man/man1/" + prog + ".1")) << prog;
    }
    ExpectUsage(p + "/bin/lqhostd");
    const Ran man = Sh("man -P cat -l " + p + "/share/man/man1/lqterm.1");
    EXPECT_NE(man.out.find("terminal end of the Linquara link"), std::string::npos) << man.out;
    if (!HasFailure()) Sh("rm -rf " + p);
}

class DebianPackage : public ::testing::Test {
  protected:
    bool installed = false;  // by this test, so removed again whatever happens
    void TearDown() override {
        if (installed) Sh("dpkg -r linquara");
    }
    static bool Installed() {
        return Sh("dpkg-query -W -f='${Status}' linquara").out.find("install ok installed") != std::string::npos;
    }
};

TEST_F(DebianPackage, InstallsWithItsDependenciesAndRemovesCleanly) {
    if (geteuid() != 0) GTEST_SKIP() << "dpkg -i needs root; run as root (as CI does) to test the package";
    if (Installed()) GTEST_SKIP() << "a linquara package is installed on this machine already; the test leaves it alone";
    const std::string out = TempDir();
    ASSERT_FALSE(out.empty());
    const Ran made = Sh("LQ_PACKAGE_BUILD=" LQ_BUILD_DIR " scripts/package " + out);
    ASSERT_EQ(made.status, 0) << made.out;
    std::string deb = made.out;
    while (!deb.empty() && deb.back() == '\n') deb.pop_back();
    ASSERT_TRUE(Exists(deb)) << made.out;

    // What the programs link is found from the programs, not written down by hand.
    const std::string depends = Sh("dpkg-deb -f " + deb + " Depends").out;
    for (const char* lib : {"libc6", "libstdc++6", "libx11-6", "libxau6"})
        EXPECT_NE(depends.find(lib), std::string::npos) << lib << " missing from: " << depends;

    const Ran in = Sh("dpkg -i " + deb);
    installed = in.status == 0;
    ASSERT_TRUE(installed) << in.out;
    for (const char* prog : kPrograms) {
        EXPECT_TRUE(Executable(std::string("/usr/bin/") + prog)) << prog;
        EXPECT_EQ(Sh(std::string("man -w ") + prog).out, std::string("/usr/share/man/man1/") + prog + ".1\n") << prog;
    }
    ExpectUsage("/usr/bin/lqhostd");
    const Ran man = Sh("env -u MANPATH man -P cat lqterm");
    EXPECT_EQ(man.status, 0) << man.out;
    EXPECT_NE(man.out.find("terminal end of the Linquara link"), std::string::npos) << man.out;

    const Ran rm = Sh("dpkg -r linquara");
    EXPECT_EQ(rm.status, 0) << rm.out;
    installed = false;
    EXPECT_FALSE(Installed());
    for (const char* prog : kPrograms) {
        EXPECT_FALSE(Exists(std::string("/usr/bin/") + prog)) << prog;
        EXPECT_FALSE(Exists(std::string("/usr/share/man/man1/") + prog + ".1")) << prog;
    }
    if (!HasFailure()) Sh("rm -rf " + out);
}

}  // namespace
