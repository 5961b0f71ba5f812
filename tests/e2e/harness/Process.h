#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Polls `condition` until it holds or `timeout` passes; returns its last value.
template <typename Condition>
bool WaitUntil(Condition condition, milliseconds timeout, milliseconds poll = milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// How a program ended (-1: killed when its time was up) and what it printed.
struct Finished {
    int status = -1;
    std::string out;
    std::string err;
};

// A child program, optionally in a network namespace, with its output collected as it comes.
// The destructor kills its whole process group.
class Process {
public:
    // Starts `argv` (searched in PATH) in `netns` ("" = ours), in directory `cwd` ("" = ours).
    explicit Process(const std::vector<std::string>& argv, const std::string& netns = "",
                     const std::string& cwd = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Started() const { return pid_ > 0; }
    void Signal(int signal);
    // Closes its input and waits for its end, killing it after `timeout`.
    Finished Finish(milliseconds timeout = seconds(30));
    std::string Stdout() const;
    std::string Stderr() const;
    // True once `needle` has appeared on stdout or stderr within `timeout`.
    bool WaitForOutput(const std::string& needle, milliseconds timeout = seconds(20)) const;

private:
    void Drain(int fd, std::string* into);
    std::optional<int> Wait(milliseconds timeout);

    pid_t pid_ = -1;
    int stdin_ = -1;
    std::optional<int> status_;
    mutable std::mutex mutex_;
    std::string stdout_;
    std::string stderr_;
    std::thread readers_[2];
};

// Runs a program with no input to its end, killed after `timeout`.
Finished Run(const std::vector<std::string>& argv, const std::string& netns = "",
             milliseconds timeout = seconds(30));

// The value of "key=value" in a program's summary line; nothing when absent.
std::optional<std::string> FieldOf(const std::string& text, const std::string& key);
// A numeric summary field, or -1 when absent or not a number.
long long NumberOf(const std::string& text, const std::string& key);
std::vector<std::string> Lines(const std::string& text);

}  // namespace e2e
