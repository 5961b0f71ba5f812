#include "tests/e2e/harness/Testbed.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace e2e {
namespace {

// The prefix of the live rig, kept where a signal handler can read it. Tests hold one at a time.
char liveRig[32];
std::atomic<int> rigCounter{0};

std::vector<std::string> ScriptArgs(const std::string& prefix, const TestbedOptions& options) {
    std::vector<std::string> args = {kTestbedScript, "up", "--prefix", prefix};
    if (options.bridge) {
        args.push_back("--bridge");
    }
    if (options.dropPercent > 0) {
        args.insert(args.end(), {"--drop", std::to_string(options.dropPercent)});
    }
    return args;
}

// Async-signal-safe: only fork, execv, waitpid, signal and raise.
extern "C" void BringDownAndDie(int signal) {
    if (liveRig[0] != '\0') {
        const pid_t child = ::fork();
        if (child == 0) {
            const char* const args[] = {BENCH_TESTBED_SCRIPT, "down", "--prefix", liveRig, nullptr};
            ::execv(args[0], const_cast<char* const*>(args));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Rigs of test processes that were killed outright (a CTest timeout) are removed by the next.
void RemoveOrphanedRigs() {
    static const std::regex rigName(R"(^(e2e(\d+)x\d+)-(client|bench|server)\b)");
    std::istringstream lines(Run({"ip", "netns", "list"}).out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, rigName) &&
            ::kill(static_cast<pid_t>(std::stol(match[2])), 0) != 0 && errno == ESRCH) {
            Run({kTestbedScript, "down", "--prefix", match[1]});
        }
    }
}

}  // namespace

std::optional<std::string> WhyEndToEndCannotRun() {
    if (::geteuid() != 0) {
        return "needs root (network namespaces and raw sockets)";
    }
    const std::string probe = "e2eprobe" + std::to_string(::getpid());
    const Finished added = Run({"ip", "netns", "add", probe});
    Run({"ip", "netns", "del", probe});
    if (added.status != 0) {
        return "'ip netns add' does not work here: " + added.err;
    }
    return std::nullopt;
}

Testbed::Testbed(TestbedOptions options)
    : prefix_("e2e" + std::to_string(::getpid()) + "x" + std::to_string(rigCounter++)) {
    for (int signal : {SIGINT, SIGTERM, SIGALRM}) {
        ::signal(signal, BringDownAndDie);
    }
    RemoveOrphanedRigs();
    std::strncpy(liveRig, prefix_.c_str(), sizeof liveRig - 1);
    ::alarm(static_cast<unsigned>(kWatchdog.count()));
    Reconfigure(options);
}

Testbed::~Testbed() {
    Run({kTestbedScript, "down", "--prefix", prefix_});
    liveRig[0] = '\0';
    ::alarm(0);
}

bool Testbed::Reconfigure(TestbedOptions options) {
    const Finished result = Run(ScriptArgs(prefix_, options), "", seconds(60));
    up_ = result.status == 0;
    error_ =
        up_ ? "" : "testbed.sh up failed (" + std::to_string(result.status) + "): " + result.err;
    return up_;
}

BenchRun::BenchRun(const std::string& program, const std::vector<std::string>& args,
                   const std::string& netns, const std::string& dir)
    : ownsDir_(dir.empty()), dir_(dir) {
    char pattern[] = "/tmp/bench-e2e-XXXXXX";
    if (ownsDir_ && ::mkdtemp(pattern) != nullptr) {
        dir_ = pattern;
    }
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    process_.emplace(argv, netns, dir_);
}

BenchRun::~BenchRun() {
    process_.reset();
    if (ownsDir_ && !dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

std::string BenchRun::Read(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool BenchRun::Has(const std::string& name) const {
    return std::filesystem::exists(dir_ + "/" + name);
}

}  // namespace e2e
