#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <vector>

#include "modifier/AimedFaults.h"
#include "modifier/FaultBuffer.h"
#include "modifier/RecoveryTracker.h"
#include "transport/Verifier.h"
#include "wire/PcapngWriter.h"

namespace engine {

// Frames of one port direction. Arriving: captured there, sent on out of the other port,
// dropped by the kernel before capture, and sends that failed. Leaving: seen leaving, and the
// port's sender's frames sent and failed.
struct FrameCounts {
    std::uint64_t captured = 0;
    std::uint64_t forwarded = 0;
    std::uint64_t kernelDrops = 0;
    std::uint64_t sendFailures = 0;
};

struct InjectorSummary {
    OperationCounters decisions{};
    std::uint64_t refused = 0;  // arrived while the injector was full
    std::uint64_t heldAtStop = 0;
};

// The aimed faults of a run: each rule with its firings and how the transport recovered.
struct FaultsSummary {
    std::vector<FaultRule> rules;
    std::vector<std::uint64_t> fired;    // per rule
    std::vector<RuleRecovery> recovery;  // per rule
    std::vector<Firing> firings;         // as recorded, in order
    std::vector<Recovery> recoveries;    // of the firings followed
};

// What became of the frames meant for the capture file.
struct CaptureFileSummary {
    std::string path;
    wire::PcapngCounts counts;
    bool limitReached = false;
};

// Everything the end-of-run summary file holds.
struct RunSummary {
    std::string program;
    std::string serverPort;
    std::string clientPort;
    std::array<std::array<FrameCounts, 2>, 2> frames{};  // [Port][Direction]
    std::optional<VerificationReport> verification;
    std::array<std::optional<InjectorSummary>, 2> injectors;  // by the arriving Port
    std::optional<FaultsSummary> faults;
    std::optional<CaptureFileSummary> captureFile;
};

// The summary as one JSON document (pretty-printed, with a final line end).
[[nodiscard]] std::string SummaryJson(const RunSummary& summary);

}  // namespace engine
