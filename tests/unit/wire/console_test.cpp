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
    void SetUp() override {
        // As an operator's program starts, whatever the test runner ignores.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        ASSERT_EQ(pipe(fds_), 0);
    }
    void TearDown() override {
        close(fds_[0]);
        if (fds_[1] >= 0) {
            close(fds_[1]);
        }
    }
    // Sends `signal` to this thread from another one, as the operator's shell would.
    static void SignalFromElsewhere(int signal) {
        const pthread_t waiter = pthread_self();
        std::thread([waiter, signal] { pthread_kill(waiter, signal); }).join();
    }
    static void (*ActionOf(int signal))(int) {
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        return action.sa_handler;
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

// The operator's Ctrl-C ends the wait like a key, also when it came before the wait began;
// without the hold it would have ended the test process.
TEST_F(ConsoleTest, AHeldStopSignalEndsTheWaitWithInputStillOpen) {
    for (int signal : {SIGINT, SIGTERM}) {
        wire::HoldStopSignals();
        SignalFromElsewhere(signal);
        wire::WaitForKeyOrEndOfInput(fds_[0]);
        EXPECT_EQ(ActionOf(signal), SIG_DFL) << "a second signal ends the process again";
    }
}

// A key and a signal together: the input wins the wait and the signal stays pending. It asked
// for the same stop, so it must not end the process once the signals are let in again.
TEST_F(ConsoleTest, ASignalThatCameWithTheKeyDoesNotEndTheProcessAfterwards) {
    wire::HoldStopSignals();
    ASSERT_EQ(write(fds_[1], "k", 1), 1);
    SignalFromElsewhere(SIGTERM);
    wire::WaitForKeyOrEndOfInput(fds_[0]);
    SUCCEED() << "still running";
}

TEST_F(ConsoleTest, ASignalTheParentIgnoredStaysIgnored) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, nullptr);
    wire::HoldStopSignals();
    ASSERT_EQ(write(fds_[1], "k", 1), 1);
    wire::WaitForKeyOrEndOfInput(fds_[0]);
    EXPECT_EQ(ActionOf(SIGINT), SIG_IGN);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigaction(SIGINT, &defaults, nullptr);
}

}  // namespace
