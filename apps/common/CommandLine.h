#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>

#include <optional>
#include <variant>
#include <vector>
#include "modifier/FaultRule.h"

namespace cli {

// midwire's injected delays last 0 to this many milliseconds.
constexpr int kMidwireDelayMaxMs = 30;

struct Ports {
    std::string server = "enp1s0f0";
    std::string client = "enp1s0f1";
    std::vector<int> cpus;  // --cpu: where the ports' threads run; empty: not placed
};

// The rules the verifier checks: the send rules, or every reliable-connection opcode.
enum class Rules { Send, Rc };

// A connection under test beyond the positional one.
struct QpPair {
    std::uint32_t clientQp = 0;
    std::uint32_t serverQp = 0;
};

struct VerifyArgs {
    Rules rules = Rules::Send;
    std::uint32_t pathMtu = 1024;
    std::vector<QpPair> moreQps;
};

// Aimed faults and the draws of the fault injectors.
struct FaultArgs {
    std::vector<FaultRule> rules;
    std::optional<std::uint64_t> seed;  // none: the C library's unseeded sequence
};

// Files the run writes at its end, beside the log; empty: none.
struct OutputArgs {
    std::string summaryPath;
    std::string capturePath;
    std::uint64_t captureLimitMb = 0;  // 0: no limit
};

// --pcap-limit's largest value: a million terabytes is past any disk.
constexpr std::uint64_t kMaxCaptureLimitMb = 1'000'000'000'000;

using Weights = std::array<int, 4>;  // percentages: pass unchanged, drop, delay, reorder

struct MidwireArgs {
    std::uint32_t clientQp = 0;
    std::uint32_t serverQp = 0;
    Weights client{};
    Weights server{};
    Ports ports;
    VerifyArgs verify;
    FaultArgs faults;
    OutputArgs outputs;
};

struct WirewatchArgs {
    std::uint32_t clientQp = 0;
    std::uint32_t serverQp = 0;
    Ports ports;
    VerifyArgs verify;
    OutputArgs outputs;
};

struct WirebendArgs {
    Weights weights{};
    int minDelayMs = 0;
    int maxDelayMs = 0;
    Ports ports;
    FaultArgs faults;
    OutputArgs outputs;
};

// Either the parsed command line or the exit status the program ends with at once:
// 0 after --help (usage on `out`) or --version ("<program> <version>" on `out`),
// 2 after a usage error (exactly one line "<program>: <what is wrong>; see --help" on `err`).
// Weights that do not add up to 100 are accepted with one line on `err` per direction.
template <class Args>
using Parsed = std::variant<Args, int>;

Parsed<MidwireArgs> ParseMidwire(int argc, const char* const* argv, std::ostream& out,
                                 std::ostream& err);
Parsed<WirewatchArgs> ParseWirewatch(int argc, const char* const* argv, std::ostream& out,
                                     std::ostream& err);
Parsed<WirebendArgs> ParseWirebend(int argc, const char* const* argv, std::ostream& out,
                                   std::ostream& err);

}  // namespace cli
