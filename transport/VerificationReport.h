#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Which rules the verifier holds packets to: the fixed send rules, or the full rules of a
// reliable connection.
enum class RuleSet { Send, Rc };

// Where and when a packet was seen, kept with a refusal.
struct PacketContext {
    std::int64_t timeNs = 0;     // since the Unix epoch
    std::uint8_t port = 0;       // 0 the server's side, 1 the client's
    std::uint8_t direction = 0;  // 0 arriving, 1 leaving
};

// NAKs seen, by code; RNR counts the receiver-not-ready kind.
struct NakCounts {
    std::uint64_t psnSequenceError = 0;
    std::uint64_t invalidRequest = 0;
    std::uint64_t remoteAccessError = 0;
    std::uint64_t remoteOperationalError = 0;
    std::uint64_t rnr = 0;
};

struct RefusedPacket {
    std::string kind;
    std::int64_t timeNs = 0;
    std::uint8_t port = 0;
    std::uint8_t direction = 0;
    std::uint32_t psn = 0;
    std::uint8_t opcode = 0;
    std::optional<std::uint32_t> expectedPsn;
};

// The packets one device saw addressed to one queue pair.
struct QpReport {
    unsigned device = 0;
    std::uint32_t qp = 0;               // the packets' destination
    std::optional<std::uint32_t> peer;  // the other number of its registered pair
    bool registered = false;
    std::uint64_t packets = 0;
    std::uint64_t accepted = 0;
    std::uint64_t duplicates = 0;  // accepted requests behind the expected PSN
    std::uint64_t cnps = 0;
    // Kind -> count; "outside_rules" is listed here but is no refusal.
    std::map<std::string, std::uint64_t> refused;
    NakCounts naks;
    // The first few of each kind, in the order they came.
    std::vector<RefusedPacket> firstRefused;
};

struct VerificationReport {
    RuleSet rules = RuleSet::Send;
    std::uint64_t packets = 0;
    std::uint64_t refused = 0;
    // Packets the send rules have nothing to say about; neither accepted nor refused.
    std::uint64_t outsideRules = 0;
    std::vector<QpReport> queuePairs;  // by device, then queue pair
    // Packets to unregistered queue pairs beyond the entries a device may hold; counted in
    // `packets` and `refused` but in no entry.
    std::uint64_t untrackedPackets = 0;
};

// How many refusals of each kind a queue pair keeps in full.
constexpr std::size_t kKeptRefusalsPerKind = 5;

// One line when nothing was refused; otherwise that line and a table for every queue pair
// with refusals. Ports are named by `portNames` (0 the server's side, 1 the client's).
void WriteVerificationSummary(std::ostream& err, const VerificationReport& report,
                              const std::array<std::string, 2>& portNames);
