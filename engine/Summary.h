#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "modifier/FaultBuffer.h"
#include "transport/Verifier.h"

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

// Everything the end-of-run summary file holds.
struct RunSummary {
    std::string program;
    std::string serverPort;
    std::string clientPort;
    std::array<std::array<FrameCounts, 2>, 2> frames{};  // [Port][Direction]
    std::optional<VerificationReport> verification;
    std::array<std::optional<InjectorSummary>, 2> injectors;  // by the arriving Port
};

// The summary as one JSON document (pretty-printed, with a final line end).
[[nodiscard]] std::string SummaryJson(const RunSummary& summary);

}  // namespace engine
