#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/harness/Process.h"

namespace e2e {

// Why end-to-end tests cannot run here (not root, no `ip netns`); nothing
// when they can. Use E2E_SKIP_UNLESS_POSSIBLE() at the top of a test.
std::optional<std::string> WhyEndToEndCannotRun();

#define E2E_SKIP_UNLESS_POSSIBLE()                           \
    if (const auto why = ::e2e::WhyEndToEndCannotRun()) {    \
        GTEST_SKIP() << "end-to-end test skipped: " << *why; \
    }

struct TestbedOptions {
    bool bridge = false;  // join the bench ports with a kernel bridge
    int dropPercent = 0;  // with bridge: share of RoCE frames dropped at random
};

// The rig of scripts/testbed.sh under a prefix unique to this process. Brought
// down in the destructor, and on SIGINT, SIGTERM or the watchdog's SIGALRM.
class Testbed {
public:
    static constexpr const char* kHostInterface = "eth0";
    static constexpr const char* kClientIp = "10.47.0.1";
    static constexpr const char* kServerIp = "10.47.0.2";
    static constexpr const char* kClientMac = "02:47:00:00:00:01";
    static constexpr const char* kServerMac = "02:47:00:00:00:02";
    static constexpr const char* kBenchClientPort = "enp1s0f1";
    static constexpr const char* kBenchServerPort = "enp1s0f0";
    // The whole process is ended (after bringing the rig down) past this.
    static constexpr std::chrono::seconds kWatchdog{200};

    explicit Testbed(TestbedOptions options = {});
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    bool Up() const { return up_; }
    // The script's output when Up() is false.
    const std::string& Error() const { return error_; }

    const std::string& Prefix() const { return prefix_; }
    std::string ClientNs() const { return prefix_ + "-client"; }
    std::string BenchNs() const { return prefix_ + "-bench"; }
    std::string ServerNs() const { return prefix_ + "-server"; }

    // Re-runs `up` with other options (for example to add or remove the bridge).
    bool Reconfigure(TestbedOptions options);

private:
    std::string prefix_;
    bool up_ = false;
    std::string error_;
};

// Absolute path of scripts/testbed.sh in the source tree.
std::string TestbedScript();
// Path of a program built in this tree ("rocepeer", "wirewatch", "wirebend",
// "midwire"); nothing when the build has no such target.
std::optional<std::string> ProgramPath(const std::string& name);

}  // namespace e2e
