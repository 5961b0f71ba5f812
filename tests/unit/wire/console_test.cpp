#include "wire/Console.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

// A pipe standing in for standard input.
class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(pipe(fds_), 0); }
    void TearDown() override {
        close(fds_[0]);
        if (fds_[1] >= 0) {
            close(fds_[1]);
        }
    }
    int fds_[2] = {-1, -1};
};

TEST_F(ConsoleTest, AKeyTakesOneCharacterAndEndOfInputEndsTheWaitToo) {
    ASSERT_EQ(write(fds_[1], "xy", 2), 2);
    wire::WaitForKeyOrEndOfInput(fds_[0]);
    char rest = 0;
    ASSERT_EQ(read(fds_[0], &rest, 1), 1);
    EXPECT_EQ(rest, 'y') << "only the key itself is consumed";

    close(fds_[1]);
    fds_[1] = -1;
    wire::WaitForKeyOrEndOfInput(fds_[0]);
}

// The operator's Ctrl-C ends the wait like a key, also when it came before the wait began;
// without the hold it would have ended the test process.
TEST_F(ConsoleTest, AHeldStopSignalEndsTheWaitWithInputStillOpen) {
    wire::HoldStopSignals();
    const pthread_t waiter = pthread_self();
    std::thread([waiter] { pthread_kill(waiter, SIGINT); }).join();
    wire::WaitForKeyOrEndOfInput(fds_[0]);

    wire::HoldStopSignals();
    std::thread([waiter] { pthread_kill(waiter, SIGTERM); }).join();
    wire::WaitForKeyOrEndOfInput(fds_[0]);
}

}  // namespace
