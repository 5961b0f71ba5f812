#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "modifier/FaultBuffer.h"
#include "modifier/FaultRule.h"
#include "transport/FrameView.h"

// What the rules look at in a packet.
struct PacketKey {
    FaultDirection direction = FaultDirection::ClientToServer;
    std::uint32_t qp = 0;  // destination queue pair
    std::uint32_t psn = 0;
    std::uint8_t opcode = 0;
    bool ecnCapable = false;  // only such packets can take an ecn rule
};

// The key of a frame with a BTH travelling `direction`; nothing for a frame without one.
[[nodiscard]] std::optional<PacketKey> KeyOf(const FrameView& frame, FaultDirection direction);

// One rule taking one packet.
struct Firing {
    std::size_t rule = 0;  // 1-based, in the order the rules were given
    FaultDirection direction = FaultDirection::ClientToServer;
    std::uint32_t qp = 0;
    std::uint32_t psn = 0;
    std::uint8_t opcode = 0;
    std::int64_t timeNs = 0;
    FaultAction action = FaultAction::Drop;
    int delayMs = 0;
};

// How much AimedFaults remembers (see there).
struct AimedFaultLimits {
    std::size_t seenEntries = std::size_t{1} << 16;
    std::size_t keptFirings = std::size_t{1} << 16;
};

// The --fault rules of a run, for both directions: each packet is tried against the rules in
// order and the first that takes it decides; a packet none takes is left to the weighted
// injector. Every member may be called from any thread (one capture thread per direction
// matching, report readers taking snapshots).
//
// Memory stays bounded in a long run: seen-counts are kept (only when a rule asks for seen)
// for the `seenEntries` queue pairs and PSNs sighted most recently for the first time, the
// oldest forgotten first, so a packet resent after that many newer PSNs counts as first seen
// again; the first `keptFirings` firings are kept for Firings(), while the per-rule counts
// stay exact.
class AimedFaults {
public:
    using Limits = AimedFaultLimits;

    // Draws for prob come from `random`, one per candidate packet of a rule with prob, and
    // from nowhere else: rules without prob leave the sequence to the weighted injector.
    explicit AimedFaults(std::vector<FaultRule> rules, RandomSource random = CLibraryRandom,
                         Limits limits = Limits{});
    AimedFaults(const AimedFaults&) = delete;
    AimedFaults& operator=(const AimedFaults&) = delete;

    // The firing of the first rule that takes the packet, now recorded; nothing when no rule
    // does. Every call counts as one sighting of the packet's queue pair and PSN.
    [[nodiscard]] std::optional<Firing> Match(const PacketKey& key, std::int64_t timeNs);

    [[nodiscard]] const std::vector<FaultRule>& Rules() const { return rules_; }
    [[nodiscard]] bool Empty() const { return rules_.empty(); }
    // Recorded firings in the order they happened (at most Limits::keptFirings).
    [[nodiscard]] std::vector<Firing> Firings() const;
    // Firings of each rule, index 0 for rule 1.
    [[nodiscard]] std::vector<std::uint64_t> FiredCounts() const;

private:
    struct RuleState {
        std::uint64_t matched = 0;
        std::uint64_t fired = 0;
    };

    std::uint32_t CountSighting(const PacketKey& key);
    bool Takes(std::size_t index, const PacketKey& key, std::uint32_t sightings);
    bool IsCandidate(const FaultRule& rule, std::uint64_t matched) const;
    bool DrawFires(double prob);

    const std::vector<FaultRule> rules_;
    const Limits limits_;
    const bool countsSightings_;
    mutable std::mutex mutex_;
    RandomSource random_;
    std::vector<RuleState> states_;
    std::unordered_map<std::uint64_t, std::uint32_t> sightings_;
    std::deque<std::uint64_t> sightingOrder_;  // keys by first sighting, oldest first
    std::vector<Firing> firings_;
};
