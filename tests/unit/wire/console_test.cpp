#include "wire/Console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

namespace {

// A pipe stands in for standard input; the signals start at their defaults, as an operator's
// program does, whatever the test runner ignores, and come as the shell sends them.
class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        ASSERT_EQ(pipe(fds_), 0);
    }
    void TearDown() override {
        close(fds_[0]);
        close(fds_[1]);
    }
    int fds_[2] = {-1, -1};
};

TEST_F(ConsoleTest, AKeyTakesTheLineHandedOverAndEndOfInputEndsTheWaitToo) {
    ASSERT_EQ(write(fds_[1], "stop\n", 5), 5);
    wire::WaitForKeyOrEndOfInput(fds_[0]);
    ASSERT_EQ(write(fds_[1], "z", 1), 1);
    char next = 0;
    ASSERT_EQ(read(fds_[0], &next, 1), 1);
    EXPECT_EQ(next, 'z') << "nothing of the line is left for the next reader";
    close(fds_[1]);
    fds_[1] = -1;
    wire::WaitForKeyOrEndOfInput(fds_[0]);
}

// Ctrl-C ends the wait like a key, also when it came before the wait began; without the hold
// it would have ended the test process.
TEST_F(ConsoleTest, AHeldStopSignalEndsTheWaitWithInputStillOpen) {
    for (int signal : {SIGINT, SIGTERM}) {
        wire::HoldStopSignals();
        kill(getpid(), signal);
        wire::WaitForKeyOrEndOfInput(fds_[0]);
        EXPECT_EQ(std::signal(signal, SIG_DFL), SIG_DFL) << "a second one ends the process again";
    }
}

// A signal that came with the key asked for the same stop: it must not end the process once
// the signals are let in again. One the parent ignored stays ignored.
TEST_F(ConsoleTest, ASignalWithTheKeyIsSpentAndAnIgnoredOneStaysIgnored) {
    std::signal(SIGINT, SIG_IGN);
    wire::HoldStopSignals();
    ASSERT_EQ(write(fds_[1], "k", 1), 1);
    kill(getpid(), SIGTERM);
    wire::WaitForKeyOrEndOfInput(fds_[0]);
    EXPECT_EQ(std::signal(SIGINT, SIG_DFL), SIG_IGN);
}

}  // namespace
