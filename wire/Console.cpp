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

void SetStopSignalAction(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

void HoldStopSignals() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void WaitForKeyOrEndOfInput(int fd) {
    SetStopSignalAction(OnStopSignal);
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
        char key = 0;
        static_cast<void>(read(fd, &key, 1));
    }
    SetStopSignalAction(SIG_DFL);
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

uint32_t ParseHexQp(const char* text) {
    return static_cast<uint32_t>(std::strtol(text, nullptr, 16));
}

}  // namespace wire
