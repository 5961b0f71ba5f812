#include "tests/e2e/harness/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

namespace e2e {
namespace {

[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const std::string& cwd, int in,
                            int out, int err) {
    // Own process group, so that the program and anything it started die together.
    ::setpgid(0, 0);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
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
    pid_ = ::fork();
    if (pid_ == 0) {
        ExecChild(full, cwd, in[0], out[1], err[1]);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    if (pid_ < 0) {
        ::close(out[0]);
        ::close(err[0]);
        return;
    }
    ::setpgid(pid_, pid_);
    reader_ = std::thread(&Process::Drain, this, out[0], err[0]);
}

Process::~Process() {
    if (pid_ > 0 && !status_) {
        Kill();
    }
    if (stdin_ >= 0) {
        ::close(stdin_);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

void Process::Drain(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    char buffer[4096];
    for (int open = 2; open > 0;) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            (i == 0 ? stdout_ : stderr_).append(buffer, static_cast<std::size_t>(got));
        }
    }
}

void Process::Signal(int signal) {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, signal);
    }
}

std::optional<int> Process::Wait(milliseconds timeout) {
    if (pid_ <= 0 || status_) {
        return status_;
    }
    const bool ended = WaitUntil(
        [this] {
            siginfo_t info{};
            // Look without reaping: while the zombie holds its id, the group id cannot be reused.
            return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) ==
                       0 &&
                   info.si_pid == pid_;
        },
        timeout);
    if (!ended) {
        return std::nullopt;
    }
    // Children left behind in its group would hold the output pipes open.
    ::kill(-pid_, SIGKILL);
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    if (reader_.joinable()) {
        reader_.join();
    }
    return status_;
}

void Process::Kill() {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    Wait(seconds(10));
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
        Kill();
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
    return WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return stdout_.find(needle) != std::string::npos ||
                   stderr_.find(needle) != std::string::npos;
        },
        timeout);
}

Finished Run(const std::vector<std::string>& argv, const std::string& netns, milliseconds timeout) {
    return Process(argv, netns).Finish(timeout);
}

std::optional<std::string> FieldOf(const std::string& text, const std::string& key) {
    const std::string needle = key + "=";
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        if (at == 0 || text[at - 1] == ' ' || text[at - 1] == '\n') {
            const std::size_t start = at + needle.size();
            return text.substr(start, text.find_first_of(" \n", start) - start);
        }
    }
    return std::nullopt;
}

long long NumberOf(const std::string& text, const std::string& key) {
    const auto value = FieldOf(text, key);
    try {
        return value ? std::stoll(*value) : -1;
    } catch (const std::exception&) {
        return -1;
    }
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
