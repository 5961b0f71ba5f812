#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/harness/Process.h"

namespace e2e {

// The programs built in this tree.
inline const std::string kRocepeer = BENCH_ROCEPEER;
inline const std::string kWirewatch = BENCH_WIREWATCH;
inline const std::string kWirebend = BENCH_WIREBEND;
inline const std::string kMidwire = BENCH_MIDWIRE;
inline const std::string kTestbedScript = BENCH_TESTBED_SCRIPT;

// Why end-to-end tests cannot run here (not root); nothing when they can.
std::optional<std::string> WhyEndToEndCannotRun();

#define E2E_SKIP_UNLESS_POSSIBLE()                           \
    if (const auto why = ::e2e::WhyEndToEndCannotRun()) {    \
        GTEST_SKIP() << "end-to-end test skipped: " << *why; \
    }

struct TestbedOptions {
    bool bridge = false;  // join the bench ports with a kernel bridge
    int dropPercent = 0;  // with bridge: share of RoCE frames dropped at random
};

// The rig of scripts/testbed.sh under a prefix unique to this process. Brought down in the
// destructor, on SIGINT or SIGTERM, and by a watchdog that then ends the whole test process.
class Testbed {
public:
    static constexpr const char* kHostInterface = "eth0";
    static constexpr const char* kClientIp = "10.47.0.1";
    static constexpr const char* kServerIp = "10.47.0.2";
    static constexpr const char* kClientMac = "02:47:00:00:00:01";
    static constexpr const char* kServerMac = "02:47:00:00:00:02";
    static constexpr const char* kBenchClientPort = "enp1s0f1";
    static constexpr const char* kBenchServerPort = "enp1s0f0";

    explicit Testbed(TestbedOptions options = {});
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    bool Up() const { return error_.empty(); }
    // Why the script failed when Up() is false.
    const std::string& Error() const { return error_; }
    // Re-runs `up` with other options (for example to add or remove the bridge).
    bool Reconfigure(TestbedOptions options);

    const std::string& Prefix() const { return prefix_; }
    std::string ClientNs() const { return prefix_ + "-client"; }
    std::string BenchNs() const { return prefix_ + "-bench"; }
    std::string ServerNs() const { return prefix_ + "-server"; }

private:
    std::string prefix_;
    std::string error_;
};

// A run of a bench program in a working directory of its own, removed at the end; the run
// ends when its input is closed, as an operator's key press would end it.
class BenchRun {
public:
    BenchRun(const std::string& program, const std::vector<std::string>& args,
             const std::string& netns);
    ~BenchRun();

    Process& process() { return *process_; }
    Finished Stop() { return process_->Finish(); }
    const std::string& Dir() const { return dir_; }
    // A file the program wrote in its working directory; empty when there is none.
    std::string Read(const std::string& name) const;
    bool Has(const std::string& name) const;

private:
    std::string dir_;
    std::optional<Process> process_;
};

}  // namespace e2e
