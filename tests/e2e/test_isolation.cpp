// Clients that stop reading their replies, through lqterm and a real X server: each holds only its
// own data. New clients set up, a drawing client stays pixel-exact, and the stuck ones, once they
// read again (or are continued after SIGSTOP), get every reply in order.
#include <algorithm>

#include "tests/e2e/e2e.h"

#ifndef LQ_STUCK_PATH
#define LQ_STUCK_PATH "lqstuck"
#endif

namespace {

// 12800 GetInputFocus requests: about 51 KB, whose 409 KB of replies the clients leave unread.
constexpr int kRequests = 12800;

class Isolation : public E2E {
  protected:
    // The session: `waiting` clients wait for a file before they read, and one stops itself; then
    // set-ups one after the other and the drawing client, while those hold their replies.
    void Run(const std::vector<std::string>& lqtermArgs, int waiting, int setups, double seconds) {
        const std::string direct = DrawDirect();
        ASSERT_GT(direct.size(), 200u * 150u * 3u);
        std::string s = "S=" LQ_STUCK_PATH "\n";
        const std::string n = std::to_string(kRequests);
        for (int i = 0; i < waiting; i++) {
            const std::string k = std::to_string(i);
            s += "$S stuck " + n + " $HOME/go $HOME/ready" + k + " > $HOME/stuck" + k + " &\n";
        }
        s += "$S stuck " + n + " stop $HOME/ready" + std::to_string(waiting) + " > $HOME/stopped &\n";
        s += "while [ $(ls $HOME | grep -c '^ready') -lt " + std::to_string(waiting + 1) + " ]; do sleep 0.1; done\n";
        s += "$S setups " + std::to_string(setups) + " > $HOME/setups; echo $? > $HOME/setups.rc\n";
        s += "\"$LQDRAW\" draw $HOME/wid $HOME/done\n";
        s += "touch $HOME/go; pkill -CONT -f 'lqstuck stuck' ; wait\n";
        Session(s);
        pid_t t = StartRelay(lqtermArgs);
        ASSERT_TRUE(WaitUntil([&] { return Exists(home + "/wid"); }, seconds)) << TermLog();
        const std::string took = Read(home + "/setups");  // one line a set-up, its milliseconds
        EXPECT_EQ(Read(home + "/setups.rc"), "0\n") << took;
        EXPECT_EQ(std::count(took.begin(), took.end(), '\n'), setups) << took;
        EXPECT_TRUE(Dump(Read(home + "/wid")) == direct);
        Write(home + "/done", "");
        EXPECT_EQ(Wait(t, seconds), 0) << TermLog();
        const std::string ok = "ok " + std::to_string(kRequests) + "\n";
        for (int i = 0; i < waiting; i++) EXPECT_EQ(Read(home + "/stuck" + std::to_string(i)), ok) << "client " << i;
        EXPECT_EQ(Read(home + "/stopped"), ok) << "the client stopped with SIGSTOP";
    }
};

TEST_F(Isolation, StuckClientsOnAnUnconstrainedLine) { Run({}, 9, 40, 90); }

// A set-up reply of this X server takes about 11 s at 9600 bit/s, so only a few here.
TEST_F(Isolation, StuckClientOnASlowLine) { Run({"-rate", "9600"}, 0, 3, 400); }

}  // namespace
