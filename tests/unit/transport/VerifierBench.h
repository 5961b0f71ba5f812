#pragma once

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "transport/Connection.h"
#include "transport/Opcode.h"
#include "transport/Verifier.h"

// The connection the programs register: device 0 holds the server's queue pair, which sends
// to the client's; packets to kClientQp on device 0 come from the server's host.
namespace verifier_bench {

constexpr std::uint32_t kServerQp = 0x12;
constexpr std::uint32_t kClientQp = 0x34;

struct Packet {
    std::uint8_t opcode;
    std::uint32_t destQp;
    std::uint32_t psn;
    std::optional<std::uint32_t> dmaLength = std::nullopt;
    std::optional<std::uint8_t> syndrome = std::nullopt;
    bool truncated = false;
};

inline RoceHeaders HeadersOf(const Packet& packet) {
    RoceHeaders headers{
        Bth(static_cast<BthOpcode>(packet.opcode), packet.destQp, packet.psn, false),
        packet.dmaLength, std::nullopt, packet.truncated};
    if (packet.syndrome) {
        headers.aeth = Aeth(*packet.syndrome, 0);
    }
    return headers;
}

inline QpReport EntryOf(const VerificationReport& report, unsigned device, std::uint32_t qp) {
    for (const QpReport& entry : report.queuePairs) {
        if (entry.device == device && entry.qp == qp) {
            return entry;
        }
    }
    return QpReport{};
}

// What became of the one packet between two reports: "accepted", "duplicate" or the kind
// it was refused as.
inline std::string OutcomeBetween(const QpReport& before, const QpReport& after) {
    if (after.accepted != before.accepted) {
        return after.duplicates != before.duplicates ? "duplicate" : "accepted";
    }
    for (const auto& [kind, count] : after.refused) {
        const auto earlier = before.refused.find(kind);
        if (earlier == before.refused.end() || earlier->second != count) {
            return kind;
        }
    }
    return "nothing counted";
}

struct Bench {
    explicit Bench(RuleSet rules = RuleSet::Rc, std::uint32_t pathMtu = 1024) : verifier(log) {
        verifier.SetRules(rules, pathMtu);
        RegisterConnection(verifier, kClientQp, kServerQp);
    }

    std::string Outcome(const Packet& packet, unsigned device = 0) {
        const QpReport before = EntryOf(verifier.Report(), device, packet.destQp);
        static_cast<void>(verifier.Verify(device, HeadersOf(packet), PacketContext{}));
        return OutcomeBetween(before, EntryOf(verifier.Report(), device, packet.destQp));
    }

    // Runs the table and gives every step whose outcome differs, with its index.
    std::vector<std::pair<std::size_t, std::string>> Mismatches(
        const std::vector<std::pair<Packet, std::string>>& steps, unsigned device = 0) {
        std::vector<std::pair<std::size_t, std::string>> mismatches;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const std::string outcome = Outcome(steps[i].first, device);
            if (outcome != steps[i].second) {
                mismatches.emplace_back(i, outcome);
            }
        }
        return mismatches;
    }

    [[nodiscard]] Qp ServerQp() const { return verifier.FindQp(0, kServerQp).value_or(Qp(0, 0)); }

    std::ostringstream log;
    Verifier verifier;
};

using Steps = std::vector<std::pair<Packet, std::string>>;
using Mismatch = std::vector<std::pair<std::size_t, std::string>>;

}  // namespace verifier_bench
