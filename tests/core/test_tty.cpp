#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>

#include "relay/core/tty.h"

namespace {

class Pty : public ::testing::Test {
  protected:
    int master = -1, slave = -1;
    void SetUp() override { ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
    void TearDown() override {
        TtyForgetAll();
        close(master);
        close(slave);
    }
    termios Get() {
        termios t;
        EXPECT_EQ(tcgetattr(slave, &t), 0);
        return t;
    }
};

TEST_F(Pty, RawModeBitsAndImmediateRead) {
    termios t = Get();
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;  // 7E1 (two stop bits too)
    t.c_iflag |= ISTRIP | IXON | ICRNL | INPCK;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);

    ASSERT_EQ(TtyConfigForRss(slave), 0);
    termios r = Get();
    EXPECT_EQ(r.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(r.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_TRUE(r.c_cflag & CREAD);
    EXPECT_EQ(r.c_iflag & (ISTRIP | IXON | INPCK | BRKINT | IXOFF), 0u);
    EXPECT_TRUE(r.c_iflag & ICRNL);  // carriage return translation is left as it was
    EXPECT_EQ(r.c_oflag & (OPOST | ONLCR), 0u);
    EXPECT_EQ(r.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(r.c_cc[VMIN], 0);
    EXPECT_EQ(r.c_cc[VTIME], 0);
    EXPECT_TRUE(fcntl(slave, F_GETFL) & O_NONBLOCK);

    // With nothing waiting a read comes back at once with no data: EAGAIN, or (on this system's
    // terminals, where VMIN and VTIME are 0) a count of 0 that is not an end of file.
    char c;
    errno = 0;
    ssize_t r0 = read(slave, &c, 1);
    EXPECT_LE(r0, 0);
    if (r0 == -1) {
        EXPECT_EQ(errno, EAGAIN);
    }

    // Every byte value passes untouched, except that the kept carriage-return translation still
    // turns 0x0d into 0x0a (which is why both are on the default escape list).
    unsigned char all[256];
    for (int i = 0; i < 256; i++) all[i] = static_cast<unsigned char>(i);
    ASSERT_EQ(write(master, all, sizeof all), 256);
    unsigned char got[256];
    size_t n = 0;
    for (int tries = 0; n < sizeof got && tries < 1000; tries++) {
        ssize_t k = read(slave, got + n, sizeof got - n);
        if (k > 0) n += static_cast<size_t>(k);
        else usleep(1000);
    }
    ASSERT_EQ(n, sizeof got);
    all[0x0d] = 0x0a;
    EXPECT_EQ(0, memcmp(all, got, sizeof all));
}

TEST_F(Pty, SaveTwiceRestoreOnce) {
    termios t = Get();
    t.c_lflag |= ECHO;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
    ASSERT_EQ(TtySave(slave), 0);  // older: echo on
    t.c_lflag &= ~ECHO;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
    ASSERT_EQ(TtySave(slave), 0);  // newer: echo off
    ASSERT_EQ(TtyConfigForRss(slave), 0);

    ASSERT_EQ(TtyRestore(slave), 0);
    EXPECT_EQ(Get().c_lflag & ECHO, 0u);  // the newer record was applied
    EXPECT_TRUE(Get().c_lflag & ICANON);
    ASSERT_EQ(TtyRestore(slave), 0);  // the older one was still kept
    EXPECT_TRUE(Get().c_lflag & ECHO);
    EXPECT_EQ(TtyRestore(slave), -1);  // nothing left
    EXPECT_EQ(TtyRestore(master + 100), -1);
}

TEST_F(Pty, CloneAppliesSavedSettingsElsewhere) {
    ASSERT_EQ(TtySave(slave), 0);
    int m2, s2;
    ASSERT_EQ(openpty(&m2, &s2, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(TtyConfigForRss(s2), 0);
    EXPECT_EQ(TtyClone(slave, s2), 0);
    termios t;
    ASSERT_EQ(tcgetattr(s2, &t), 0);
    EXPECT_TRUE(t.c_lflag & ICANON);
    EXPECT_EQ(TtyClone(slave, s2), -1);
    close(m2);
    close(s2);
}

TEST_F(Pty, BaudRates) {
    const struct {
        int rate;
        speed_t code;
    } cases[] = {{300, B300}, {38400, B38400}, {2000, B2400}, {115200, B9600}, {9600, B9600}};
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(TtyBaudRate(slave, c.rate), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, c.rate == 2000 ? "baudrate 2000 unsupported on this host, using 2400\n" : "");
        EXPECT_EQ(cfgetospeed(&(const termios&)Get()), c.code) << c.rate;
    }
    EXPECT_EQ(TtyPurge(slave), 0);
    EXPECT_EQ(TtyDrainOutput(slave), 0);
}

}  // namespace
