#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// A child program, optionally inside a network namespace, with its stdin as a
// pipe we write and close and its stdout/stderr collected in the background.
// The destructor kills whatever is still running (its whole process group).
class Process {
public:
    // Starts `argv` (searched in PATH) in `netns` ("" = ours) with working
    // directory `cwd` ("" = ours). Check Started() before use.
    explicit Process(const std::vector<std::string>& argv, const std::string& netns = "",
                     const std::string& cwd = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    // False when the program no longer reads its input.
    bool WriteStdin(const std::string& text);
    void CloseStdin();
    void Signal(int signal);

    // The exit code (128 + signal when killed) once it ended within `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    // Like Wait, but kills the program when the time is up and reports -1.
    int WaitOrKill(std::chrono::milliseconds timeout);

    std::string Stdout() const;
    std::string Stderr() const;
    // True once `needle` has appeared on stdout or stderr within `timeout`.
    bool WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout) const;

private:
    void Drain(int outFd, int errFd);

    pid_t pid_ = -1;
    int stdin_ = -1;
    std::optional<int> status_;
    mutable std::mutex mutex_;
    std::string stdout_;
    std::string stderr_;
    std::thread reader_;
};

// Runs a program to its end (killed after `timeout`) and returns it, finished.
struct Finished {
    int status = -1;
    std::string out;
    std::string err;
};
Finished Run(const std::vector<std::string>& argv, const std::string& netns = "",
             std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace e2e
