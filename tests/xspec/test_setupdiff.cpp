#include "relay/xspec/setupdiff.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

// A set-up reply of an X server with many visuals: 10 KB, the resource-id base at bytes 12-15.
std::vector<uint8_t> Reply(uint32_t idBase, size_t len = 10240, unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> r(len);
    for (auto& b : r) b = static_cast<uint8_t>(rng() % 6);  // mostly small numbers, as in visuals
    r[0] = 1;
    for (int i = 0; i < 4; i++) r[12 + i] = static_cast<uint8_t>(idBase >> (24 - 8 * i));
    return r;
}

std::vector<uint8_t> RoundTrip(const std::vector<uint8_t>& base, const std::vector<uint8_t>& reply, size_t* dlen) {
    uint8_t d[SETUP_DIFF_MAX];
    *dlen = SetupDiffMake(base.data(), base.size(), reply.data(), reply.size(), d);
    std::vector<uint8_t> out;
    std::string why;
    if (*dlen) {
        EXPECT_EQ(SetupDiffApply(base.data(), base.size(), d, *dlen, &out, &why), 0) << why;
    }
    return out;
}

TEST(SetupDiff, LaterRepliesCrossAsTheirDifferences) {
    const auto base = Reply(0x00400000);
    struct Case {
        const char* what;
        std::vector<uint8_t> reply;
        size_t most;  // longest acceptable difference; 0: must not be made
    } cases[] = {
        {"only the resource-id base", Reply(0x00600000), 20},
        {"the same reply", base, 12},
        {"a byte changed at each end", [&] {
             auto r = base;
             r[1] ^= 1;
             r[r.size() - 1] ^= 1;
             return r;
         }(), 20},
        {"longer by a visual list", [&] { auto r = base; r.insert(r.end(), 120, 9); return r; }(), 140},
        {"shorter", std::vector<uint8_t>(base.begin(), base.begin() + 5000), 12},
        {"another server", Reply(0x00400000, 10240, 99), 0},
        {"much longer than the base", Reply(0x00400000, 20480), 0},
    };
    for (const auto& c : cases) {
        size_t dlen = 0;
        auto out = RoundTrip(base, c.reply, &dlen);
        if (c.most == 0) {
            EXPECT_EQ(dlen, 0u) << c.what;
            continue;
        }
        EXPECT_GT(dlen, 0u) << c.what;
        EXPECT_LE(dlen, c.most) << c.what;
        EXPECT_EQ(out, c.reply) << c.what;
    }
    uint8_t d[SETUP_DIFF_MAX];
    EXPECT_EQ(SetupDiffMake(nullptr, 0, base.data(), base.size(), d), 0u) << "no base";
}

TEST(SetupDiff, ScatteredChangesRebuildExactly) {
    const auto base = Reply(0x00400000, 2048);
    for (unsigned seed = 1; seed <= 200; seed++) {
        std::mt19937 rng(seed);
        auto reply = base;
        for (int k = 0, n = 1 + rng() % 12; k < n; k++) {
            size_t at = rng() % reply.size(), run = 1 + rng() % 300;
            for (size_t i = at; i < at + run && i < reply.size(); i++) reply[i] = static_cast<uint8_t>(rng());
        }
        reply.resize(reply.size() - rng() % 64 + rng() % 64);
        size_t dlen = 0;
        auto out = RoundTrip(base, reply, &dlen);
        if (dlen) {
            EXPECT_EQ(out, reply) << "seed " << seed;
        }
    }
}

TEST(SetupDiff, BadDifferencesAreRefused) {
    const auto base = Reply(0x00400000);
    const auto reply = Reply(0x00600000);
    uint8_t d[SETUP_DIFF_MAX];
    const size_t n = SetupDiffMake(base.data(), base.size(), reply.data(), reply.size(), d);
    ASSERT_GT(n, 0u);
    const std::vector<uint8_t> good(d, d + n);
    auto with = [&](size_t at, uint8_t v) { auto x = good; x[at] = v; return x; };
    struct Case {
        const char* what;
        std::vector<uint8_t> diff;
        std::vector<uint8_t> base;
    } cases[] = {
        {"a plain reply", reply, base},
        {"too short", std::vector<uint8_t>(good.begin(), good.begin() + 5), base},
        {"length 0", [&] { auto x = good; x[1] = x[2] = x[3] = x[4] = 0; return x; }(), base},
        {"wrong hash", with(8, good[8] ^ 1), base},
        {"patch bytes changed", with(n - 1, good[n - 1] ^ 0x40), base},
        {"patch cut short", std::vector<uint8_t>(good.begin(), good.end() - 1), base},
        {"patch count 0", with(SETUP_DIFF_HDR + 1, 0), base},
        {"patch past the end", with(SETUP_DIFF_HDR, 0xff), base},
        {"endless kept count", [&] { auto x = good; x.resize(SETUP_DIFF_HDR); x.insert(x.end(), 6, 0xff); return x; }(), base},
        {"another base", good, Reply(0x00400000, 10240, 3)},
        {"no base", good, {}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out;
        std::string why;
        EXPECT_EQ(SetupDiffApply(c.base.data(), c.base.size(), c.diff.data(), c.diff.size(), &out, &why), -1) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
    }
}

class SetupCache : public ::testing::Test {
  protected:
    void SetUp() override {
        char t[] = "/tmp/lqsetupXXXXXX";
        dir = mkdtemp(t);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
};

TEST_F(SetupCache, KeepsARepliesAndRefusesDamagedFiles) {
    const auto reply = Reply(0x00400000);
    const std::string sub = dir + "/a/b";
    const std::string path = SetupCachePath(sub, SetupHash(reply.data(), reply.size()));
    std::string why;
    ASSERT_EQ(SetupCacheSave(sub, path, reply.data(), reply.size(), &why), 0) << why;
    std::vector<uint8_t> got;
    ASSERT_EQ(SetupCacheLoad(path, &got, &why), 0) << why;
    EXPECT_EQ(got, reply);
    EXPECT_EQ(std::filesystem::directory_iterator(sub)->path().string(), path) << "no temporary file left";

    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), {});
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"cut short", file.substr(0, file.size() - 1)},
        {"a byte more", file + "x"},
        {"a reply byte flipped", [&] { auto x = file; x[100] ^= 1; return x; }()},
        {"another magic", [&] { auto x = file; x[0] = 'X'; return x; }()},
        {"length too large", [&] { auto x = file; x[8] = 0x7f; return x; }()},
    };
    for (const auto& c : cases) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.bytes;
        why.clear();
        EXPECT_EQ(SetupCacheLoad(path, &got, &why), -1) << c.what;
        EXPECT_NE(why.find(path), std::string::npos) << c.what << ": " << why;
        EXPECT_TRUE(got.empty()) << c.what;
    }
    EXPECT_EQ(SetupCacheLoad(dir + "/missing", &got, &why), -1);
    EXPECT_EQ(SetupCacheSave(path + "/x", path + "/x/y", reply.data(), reply.size(), &why), -1) << "a file in the way";
}

TEST_F(SetupCache, DirectoryFollowsTheEnvironment) {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const std::string saved = xdg ? xdg : "";
    setenv("XDG_CACHE_HOME", dir.c_str(), 1);
    EXPECT_EQ(SetupCacheDir("lqterm"), dir + "/lqterm");
    setenv("XDG_CACHE_HOME", "", 1);
    EXPECT_EQ(SetupCacheDir("lqhostd"), std::string(std::getenv("HOME")) + "/.cache/lqhostd");
    if (xdg)
        setenv("XDG_CACHE_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CACHE_HOME");
}

}  // namespace
