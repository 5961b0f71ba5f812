#include "wire/Console.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace wire {

namespace {

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

volatile sig_atomic_t stopSignalled = 0;

void OnStopSignal(int) {
    stopSignalled = 1;
}

struct StopSignalActions {
    struct sigaction interrupt;
    struct sigaction terminate;
};

// Catches the stop signals, except one the parent chose to ignore (as a shell does for a
// background job, or nohup): that one stays ignored. Returns the actions it replaced.
StopSignalActions CatchStopSignals() {
    struct sigaction catcher {};
    catcher.sa_handler = OnStopSignal;
    sigemptyset(&catcher.sa_mask);
    StopSignalActions previous{};
    sigaction(SIGINT, nullptr, &previous.interrupt);
    sigaction(SIGTERM, nullptr, &previous.terminate);
    if (previous.interrupt.sa_handler != SIG_IGN) {
        sigaction(SIGINT, &catcher, nullptr);
    }
    if (previous.terminate.sa_handler != SIG_IGN) {
        sigaction(SIGTERM, &catcher, nullptr);
    }
    return previous;
}

void RestoreStopSignals(const StopSignalActions& previous) {
    sigaction(SIGINT, &previous.interrupt, nullptr);
    sigaction(SIGTERM, &previous.terminate, nullptr);
}

}  // namespace

void HoldStopSignals() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void WaitForKeyOrEndOfInput(int fd) {
    stopSignalled = 0;
    const StopSignalActions previous = CatchStopSignals();
    // The stop signals are let in only inside ppoll, atomically, so none can slip in between a
    // check and the wait.
    sigset_t waitMask;
    pthread_sigmask(SIG_SETMASK, nullptr, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    pollfd input{fd, POLLIN, 0};
    int ready = 0;
    do {
        ready = ppoll(&input, 1, nullptr, &waitMask);
    } while (ready < 0 && errno == EINTR && stopSignalled == 0);
    if (ready > 0 && (input.revents & POLLIN) != 0) {
        // As a buffered read of one character would: a terminal's whole line is taken, so none
        // of it is left for the shell.
        char line[4096];
        static_cast<void>(read(fd, line, sizeof line));
    }
    // A signal that came together with the key is still pending; it asked for the stop that is
    // now under way, and must not end the process once the signals are let in again.
    const sigset_t signals = StopSignals();
    const timespec noWait{0, 0};
    while (sigtimedwait(&signals, nullptr, &noWait) > 0) {
    }
    RestoreStopSignals(previous);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

}  // namespace wire
