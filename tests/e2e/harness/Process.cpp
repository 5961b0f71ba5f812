#include "tests/e2e/harness/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>

namespace e2e {
namespace {

[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const std::string& cwd,
                            const int fds[3]) {
    // Own process group, so that the program and anything it started die together.
    ::setpgid(0, 0);
    // Programs start as an operator's would, whatever the test runner ignores (a background job
    // of a script ignores SIGINT).
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    for (int target = 0; target < 3; ++target) {
        ::dup2(fds[target], target);
    }
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
        ::_exit(126);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const std::string& netns,
                 const std::string& cwd) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        return;
    }
    // Built before fork: the child may only exec.
    std::vector<std::string> full;
    if (!netns.empty()) {
        full = {"ip", "netns", "exec", netns};
    }
    full.insert(full.end(), argv.begin(), argv.end());
    const int childFds[3] = {in[0], out[1], err[1]};
    pid_ = ::fork();
    if (pid_ == 0) {
        ExecChild(full, cwd, childFds);
    }
    for (int fd : childFds) {
        ::close(fd);
    }
    stdin_ = in[1];
    ::setpgid(pid_, pid_);
    readers_[0] = std::thread(&Process::Drain, this, out[0], &stdout_);
    readers_[1] = std::thread(&Process::Drain, this, err[0], &stderr_);
}

Process::~Process() {
    if (pid_ > 0 && !status_) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
    }
    Finish(seconds(10));
    for (std::thread& reader : readers_) {
        if (reader.joinable()) {
            reader.join();
        }
    }
}

void Process::Drain(int fd, std::string* into) {
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        std::lock_guard<std::mutex> lock(mutex_);
        into->append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
}

void Process::Signal(int signal) {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, signal);
    }
}

std::optional<int> Process::Wait(milliseconds timeout) {
    const auto ended = [this] {
        siginfo_t info{};
        // Look without reaping: while the zombie holds its id, the group id cannot be reused.
        return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid_;
    };
    if (pid_ <= 0 || status_ || !WaitUntil(ended, timeout)) {
        return status_;
    }
    // Children left behind in its group would hold the output pipes open.
    ::kill(-pid_, SIGKILL);
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    for (std::thread& reader : readers_) {
        reader.join();
    }
    return status_;
}

Finished Process::Finish(milliseconds timeout) {
    if (stdin_ >= 0) {
        ::close(stdin_);
        stdin_ = -1;
    }
    Finished finished;
    if (const auto status = Wait(timeout)) {
        finished.status = *status;
    } else if (pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        Wait(seconds(10));
    }
    finished.out = Stdout();
    finished.err = Stderr();
    return finished;
}

std::string Process::Stdout() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stdout_;
}

std::string Process::Stderr() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stderr_;
}

bool Process::WaitForOutput(const std::string& needle, milliseconds timeout) const {
    return WaitUntil([&] { return (Stdout() + Stderr()).find(needle) != std::string::npos; },
                     timeout);
}

Finished Run(const std::vector<std::string>& argv, const std::string& netns, milliseconds timeout) {
    return Process(argv, netns).Finish(timeout);
}

std::optional<std::string> FieldOf(const std::string& text, const std::string& key) {
    std::smatch match;
    if (std::regex_search(text, match, std::regex("(^|[ \n])" + key + "=([^ \n]*)"))) {
        return match[2];
    }
    return std::nullopt;
}

long long NumberOf(const std::string& text, const std::string& key) {
    const auto value = FieldOf(text, key);
    return value && std::regex_match(*value, std::regex("-?[0-9]+")) ? std::stoll(*value) : -1;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace e2e
