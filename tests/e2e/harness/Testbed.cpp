#include "tests/e2e/harness/Testbed.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

namespace e2e {
namespace {

// Prefixes of live rigs, kept where a signal handler can read them.
constexpr int kMaxRigs = 8;
constexpr std::size_t kPrefixSize = 32;
char liveRigs[kMaxRigs][kPrefixSize];
std::atomic<int> rigCounter{0};

std::vector<std::string> ScriptArgs(const std::string& action, const std::string& prefix,
                                    const TestbedOptions& options) {
    std::vector<std::string> args = {TestbedScript(), action, "--prefix", prefix};
    if (options.bridge) {
        args.push_back("--bridge");
    }
    if (options.dropPercent > 0) {
        args.push_back("--drop");
        args.push_back(std::to_string(options.dropPercent));
    }
    return args;
}

// Async-signal-safe: only fork, execv and waitpid.
void BringDownFromSignal(const char* prefix) {
    const pid_t child = ::fork();
    if (child == 0) {
        const char* script = BENCH_TESTBED_SCRIPT;
        char* const args[] = {const_cast<char*>(script), const_cast<char*>("down"),
                              const_cast<char*>("--prefix"), const_cast<char*>(prefix), nullptr};
        ::execv(script, args);
        ::_exit(127);
    }
    if (child > 0) {
        int status = 0;
        ::waitpid(child, &status, 0);
    }
}

extern "C" void CleanUpAndDie(int signal) {
    for (auto& rig : liveRigs) {
        if (rig[0] != '\0') {
            BringDownFromSignal(rig);
        }
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void InstallHandlers() {
    static const bool installed = [] {
        for (int signal : {SIGINT, SIGTERM, SIGALRM}) {
            ::signal(signal, CleanUpAndDie);
        }
        return true;
    }();
    (void)installed;
}

void Register(const std::string& prefix, bool live) {
    for (auto& rig : liveRigs) {
        if (live && rig[0] == '\0') {
            std::strncpy(rig, prefix.c_str(), kPrefixSize - 1);
            return;
        }
        if (!live && prefix == rig) {
            rig[0] = '\0';
            return;
        }
    }
}

// Rigs of test processes that were killed outright (a CTest timeout sends
// SIGKILL) are removed by the next test that runs.
void RemoveOrphanedRigs() {
    const Finished list = Run({"ip", "netns", "list"});
    static const std::regex rigName(R"(^(e2e(\d+)x\d+)-(client|bench|server)\b)");
    std::istringstream lines(list.out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, rigName) &&
            ::kill(static_cast<pid_t>(std::stol(match[2])), 0) != 0 && errno == ESRCH) {
            Run({TestbedScript(), "down", "--prefix", match[1]});
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

std::string TestbedScript() {
    return BENCH_TESTBED_SCRIPT;
}

Testbed::Testbed(TestbedOptions options)
    : prefix_("e2e" + std::to_string(::getpid()) + "x" + std::to_string(rigCounter++)) {
    InstallHandlers();
    RemoveOrphanedRigs();
    Register(prefix_, true);
    ::alarm(static_cast<unsigned>(kWatchdog.count()));
    Reconfigure(options);
}

Testbed::~Testbed() {
    Run({TestbedScript(), "down", "--prefix", prefix_});
    Register(prefix_, false);
    ::alarm(0);
}

bool Testbed::Reconfigure(TestbedOptions options) {
    const Finished result = Run(ScriptArgs("up", prefix_, options), "", std::chrono::seconds(60));
    up_ = result.status == 0;
    error_ =
        up_ ? "" : "testbed.sh up failed (" + std::to_string(result.status) + "): " + result.err;
    return up_;
}

std::optional<std::string> ProgramPath(const std::string& name) {
    const std::pair<const char*, const char*> programs[] = {
        {"rocepeer", BENCH_ROCEPEER},
#ifdef BENCH_WIREWATCH
        {"wirewatch", BENCH_WIREWATCH},
#endif
#ifdef BENCH_WIREBEND
        {"wirebend", BENCH_WIREBEND},
#endif
#ifdef BENCH_MIDWIRE
        {"midwire", BENCH_MIDWIRE},
#endif
    };
    for (const auto& [program, path] : programs) {
        if (name == program) {
            return std::string(path);
        }
    }
    return std::nullopt;
}

}  // namespace e2e
