#include "modifier/AimedFaults.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "modifier/FrameMutators.h"

namespace {

bool AnyUsesSeen(const std::vector<FaultRule>& rules) {
    return std::any_of(rules.begin(), rules.end(),
                       [](const FaultRule& rule) { return rule.seen.has_value(); });
}

// An ecn rule does not fire on a packet that is not ECN-capable (Not-ECT, or CE already): the
// mark would change nothing the receiver acts on, so the packet is left to later rules.
bool PassesFilters(const FaultRule& rule, const PacketKey& key, std::uint32_t sightings) {
    return rule.direction == key.direction && (!rule.qp || *rule.qp == key.qp) &&
           (!rule.opcode || *rule.opcode == key.opcode) &&
           (!rule.psn || rule.psn->Contains(key.psn)) && (!rule.seen || *rule.seen == sightings) &&
           (rule.action != FaultAction::Ecn || key.ecnCapable);
}

Firing FiringOf(std::size_t rule, const FaultRule& taking, const PacketKey& key,
                std::int64_t timeNs) {
    Firing firing;
    firing.rule = rule;
    firing.direction = key.direction;
    firing.qp = key.qp;
    firing.psn = key.psn;
    firing.opcode = key.opcode;
    firing.timeNs = timeNs;
    firing.action = taking.action;
    firing.delayMs = taking.delayMs;
    return firing;
}

}  // namespace

std::optional<PacketKey> KeyOf(const FrameView& frame, FaultDirection direction) {
    if (!frame.HasBth()) {
        return std::nullopt;
    }
    return PacketKey{direction, frame.bth->GetDestinationQp() & kPsnMask,
                     frame.bth->GetPsn() & kPsnMask,
                     static_cast<std::uint8_t>(frame.bth->GetBthOpcode()), IsEcnCapable(frame)};
}

AimedFaults::AimedFaults(std::vector<FaultRule> rules, RandomSource random, Limits limits)
    : rules_(std::move(rules)),
      limits_(limits),
      countsSightings_(AnyUsesSeen(rules_)),
      random_(std::move(random)),
      states_(rules_.size()) {}

std::optional<Firing> AimedFaults::Match(const PacketKey& key, std::int64_t timeNs) {
    if (rules_.empty()) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint32_t sightings = countsSightings_ ? CountSighting(key) : 0;
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        if (!Takes(i, key, sightings)) {
            continue;
        }
        const Firing firing = FiringOf(i + 1, rules_[i], key, timeNs);
        if (firings_.size() < limits_.keptFirings) {
            firings_.push_back(firing);
        }
        return firing;
    }
    return std::nullopt;
}

std::uint32_t AimedFaults::CountSighting(const PacketKey& key) {
    const std::uint64_t packet = PacketNumberKey(key.direction, key.qp, key.psn);
    const auto [entry, isNew] = sightings_.try_emplace(packet, 0);
    if (entry->second < UINT32_MAX) {
        ++entry->second;
    }
    const std::uint32_t count = entry->second;
    if (isNew) {
        sightingOrder_.push_back(packet);
        if (sightingOrder_.size() > limits_.seenEntries) {
            sightings_.erase(sightingOrder_.front());
            sightingOrder_.pop_front();
        }
    }
    return count;
}

bool AimedFaults::Takes(std::size_t index, const PacketKey& key, std::uint32_t sightings) {
    const FaultRule& rule = rules_[index];
    RuleState& state = states_[index];
    if (!PassesFilters(rule, key, sightings) || (rule.count && state.fired >= *rule.count)) {
        return false;
    }
    ++state.matched;
    if (!IsCandidate(rule, state.matched) || (rule.prob && !DrawFires(*rule.prob))) {
        return false;
    }
    ++state.fired;
    return true;
}

bool AimedFaults::IsCandidate(const FaultRule& rule, std::uint64_t matched) const {
    const std::uint64_t first = rule.nth.value_or(1);
    if (matched < first) {
        return false;
    }
    // With nth the stride counts from it; without, every=K takes the K-th, 2K-th...
    const std::uint64_t since = rule.nth ? matched - first : matched;
    return !rule.every || since % *rule.every == 0;
}

bool AimedFaults::DrawFires(double prob) {
    const double draw = static_cast<double>(random_());
    return draw < prob * (static_cast<double>(RAND_MAX) + 1.0);
}

std::vector<Firing> AimedFaults::Firings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return firings_;
}

std::vector<std::uint64_t> AimedFaults::FiredCounts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::uint64_t> counts;
    counts.reserve(states_.size());
    for (const RuleState& state : states_) {
        counts.push_back(state.fired);
    }
    return counts;
}
