#include "tests/e2e/harness/Testbed.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace e2e {
namespace {

// The live rig's prefix, where a signal handler can read it. Tests hold one rig at a time.
char liveRig[32];
std::atomic<int> rigCounter{0};
constexpr unsigned kWatchdogSeconds = 200;

// Async-signal-safe: only fork, execv, waitpid, signal and raise.
extern "C" void BringDownAndDie(int signal) {
    if (liveRig[0] != '\0') {
        if (const pid_t child = ::fork(); child == 0) {
            const char* const args[] = {BENCH_TESTBED_SCRIPT, "down", "--prefix", liveRig, nullptr};
            ::execv(args[0], const_cast<char* const*>(args));
            ::_exit(127);
        } else {
            ::waitpid(child, nullptr, 0);
        }
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Rigs of test processes killed outright (a CTest timeout) are removed by the next test.
void RemoveOrphanedRigs() {
    const std::regex rigName(R"(^(e2e(\d+)x\d+)-bench\b)");
    for (const std::string& line : Lines(Run({"ip", "netns", "list"}).out)) {
        std::smatch match;
        if (std::regex_search(line, match, rigName) && ::kill(std::stoi(match[2]), 0) != 0) {
            Run({kTestbedScript, "down", "--prefix", match[1]});
        }
    }
}

}  // namespace

std::optional<std::string> WhyEndToEndCannotRun() {
    if (::geteuid() != 0) {
        return "needs root (network namespaces and raw sockets)";
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
    ::alarm(kWatchdogSeconds);
    Reconfigure(options);
}

Testbed::~Testbed() {
    Run({kTestbedScript, "down", "--prefix", prefix_});
    liveRig[0] = '\0';
    ::alarm(0);
}

bool Testbed::Reconfigure(TestbedOptions options) {
    std::vector<std::string> args = {kTestbedScript, "up", "--prefix", prefix_};
    if (options.bridge) {
        args.push_back("--bridge");
    }
    if (options.dropPercent > 0) {
        args.insert(args.end(), {"--drop", std::to_string(options.dropPercent)});
    }
    const Finished result = Run(args, "", seconds(60));
    error_ = result.status == 0 ? ""
                                : "testbed.sh up failed (" + std::to_string(result.status) +
                                      "): " + result.err + result.out;
    return Up();
}

BenchRun::BenchRun(const std::string& program, const std::vector<std::string>& args,
                   const std::string& netns) {
    char pattern[] = "/tmp/bench-e2e-XXXXXX";
    dir_ = ::mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    process_.emplace(argv, netns, dir_);
}

BenchRun::~BenchRun() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string BenchRun::Read(const std::string& name) const {
    std::ostringstream text;
    text << std::ifstream(dir_ + "/" + name).rdbuf();
    return text.str();
}

bool BenchRun::Has(const std::string& name) const {
    return std::filesystem::exists(dir_ + "/" + name);
}

}  // namespace e2e
