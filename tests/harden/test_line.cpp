// The host end of the link on a real terminal line in the relay's raw mode (no minimum count, no
// time limit, non-blocking), where a read with nothing waiting returns 0 bytes: that is a quiet
// line, not a hung-up one.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include "relay/core/tty.h"
#include "relay/link/link.h"

TEST(TerminalLine, QuietRawTerminalIsNotHungUp) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(TtyConfigForRss(slave), 0);
    BufData bufs{};
    ASSERT_EQ(BufInit(&bufs), 0);
    LinkEnd link{};
    LinkSetDefaults(&link, LINK_HOST, &bufs, Clock{});
    LinkUseFd(&link, slave);
    ASSERT_EQ(TransInit(&link), 0);
    Lst in;
    lstInit(&in);
    for (int i = 0; i < 5; i++) {
        TransRead(&link, &in);
        EXPECT_EQ(link.lineDown, 0) << "pass " << i;
    }
    ASSERT_EQ(write(master, "~~noise~~", 9), 9);  // bytes that make no frame
    usleep(20000);
    TransRead(&link, &in);
    TransRead(&link, &in);
    EXPECT_EQ(link.lineDown, 0);
    EXPECT_EQ(lstCount(&in), 0);
    BufListFree(&bufs, &in);
    LinkDestroy(&link);
    BufDestroy(&bufs);
    close(master);
    close(slave);
}
