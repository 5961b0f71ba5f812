#include "modifier/RecoveryTracker.h"

#include <algorithm>
#include <utility>

#include "transport/Opcode.h"
#include "transport/RoceFrame.h"

namespace {

// A NAK's syndrome: the NAK class in the top three bits, code 0 "PSN sequence error", the one
// that asks for a resend.
constexpr std::uint8_t kNakSequenceError = 0x60;
// PSNs within half the 24-bit space behind a PSN count as before it.
constexpr std::uint32_t kPsnHalfSpace = 1u << 23;

bool IsRequest(std::uint8_t value) {
    const opcode::Info* info = opcode::Find(value);
    return info != nullptr && info->IsRequest();
}

bool AtOrBefore(std::uint32_t psn, std::uint32_t reference) {
    return ((reference - psn) & kPsnMask) < kPsnHalfSpace;
}

// The AETH follows the headers listed before it; no opcode carries those together with it, but
// the offset does not rely on that.
std::optional<std::uint8_t> ReadSyndrome(const FrameView& frame, const opcode::Info& info) {
    if (!info.Has(opcode::kAeth)) {
        return std::nullopt;
    }
    opcode::Info before = info;
    before.headers &= opcode::kAeth - 1;
    const std::size_t at = frame.bthOffset + kBthSize + opcode::ExtendedHeadersSize(before);
    if (at >= frame.payloadEnd || frame.payloadEnd > frame.size) {
        return std::nullopt;
    }
    return frame.data[at];
}

FigureStats Stats(std::vector<std::int64_t> samples) {
    FigureStats stats;
    stats.samples = samples.size();
    if (samples.empty()) {
        return stats;
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t middle = samples.size() / 2;
    stats.medianNs = samples.size() % 2 != 0
                         ? samples[middle]
                         : samples[middle - 1] + (samples[middle] - samples[middle - 1]) / 2;
    stats.maxNs = samples.back();
    return stats;
}

void Remove(std::unordered_map<std::uint64_t, std::vector<std::size_t>>& waiting, std::uint64_t key,
            std::size_t index) {
    const auto found = waiting.find(key);
    if (found == waiting.end()) {
        return;
    }
    auto& indexes = found->second;
    indexes.erase(std::remove(indexes.begin(), indexes.end(), index), indexes.end());
    if (indexes.empty()) {
        waiting.erase(found);
    }
}

}  // namespace

std::optional<Sighting> SightingOf(const FrameView& frame, FaultDirection direction, bool arriving,
                                   std::int64_t timeNs) {
    if (!frame.HasBth()) {
        return std::nullopt;
    }
    Sighting sighting{timeNs,
                      direction,
                      arriving,
                      frame.bth->GetDestinationQp() & kPsnMask,
                      frame.bth->GetPsn() & kPsnMask,
                      static_cast<std::uint8_t>(frame.bth->GetBthOpcode()),
                      std::nullopt};
    if (const opcode::Info* info = opcode::Find(sighting.opcode)) {
        sighting.aethSyndrome = ReadSyndrome(frame, *info);
    }
    return sighting;
}

RecoveryTracker::RecoveryTracker(PeerLookup peerOf, std::size_t keptRecoveries)
    : peerOf_(std::move(peerOf)), keptRecoveries_(keptRecoveries) {}

void RecoveryTracker::Fired(const Firing& firing) {
    const bool lost =
        (firing.action == FaultAction::Drop || firing.action == FaultAction::Corrupt) &&
        IsRequest(firing.opcode);
    const bool marked = firing.action == FaultAction::Ecn;
    if ((!lost && !marked) || firing.rule == 0) {
        return;
    }
    // Looked up before locking: the lookup is the caller's and must not run under this lock.
    std::optional<std::uint32_t> peer;
    if (peerOf_) {
        peer = peerOf_(firing.qp);
    }
    const FaultDirection back = Opposite(firing.direction);
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() >= keptRecoveries_) {
        if (unfollowed_.size() < firing.rule) {
            unfollowed_.resize(firing.rule);
        }
        ++unfollowed_[firing.rule - 1];
        return;
    }
    const std::size_t index = entries_.size();
    Entry entry{Recovery{firing, {}, {}, Retransmission::NotSeen, {}}, 0, false, false};
    if (lost) {
        retransmissions_[PacketNumberKey(firing.direction, firing.qp, firing.psn)].push_back(index);
        if (peer) {
            entry.nakKey = QueuePairKey(back, *peer);
            entry.waitsForNak = true;
            naks_[entry.nakKey].push_back(index);
        }
    } else if (peer) {
        congestionNotices_[QueuePairKey(back, *peer)].push_back(index);
    }
    entries_.push_back(entry);
}

void RecoveryTracker::Observe(const Sighting& sighting) {
    if (!sighting.arriving) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (sighting.opcode == opcode::kCnp) {
        ResolveCongestionNotice(sighting);
    } else if (sighting.opcode == opcode::kAcknowledge &&
               sighting.aethSyndrome == kNakSequenceError) {
        NoteNak(sighting);
    } else {
        ResolveRetransmission(sighting);
    }
}

void RecoveryTracker::ResolveRetransmission(const Sighting& sighting) {
    const auto found =
        retransmissions_.find(PacketNumberKey(sighting.direction, sighting.qp, sighting.psn));
    if (found == retransmissions_.end()) {
        return;
    }
    for (std::size_t index : found->second) {
        Entry& entry = entries_[index];
        entry.recovery.retransmitNs = sighting.timeNs - entry.recovery.firing.timeNs;
        entry.recovery.retransmission =
            entry.nakSeen ? Retransmission::AfterNak : Retransmission::AfterTimeout;
        // A NAK naming this PSN from now on answers the retransmission, not the fault.
        if (entry.waitsForNak) {
            Remove(naks_, entry.nakKey, index);
            entry.waitsForNak = false;
        }
    }
    retransmissions_.erase(found);
}

void RecoveryTracker::NoteNak(const Sighting& sighting) {
    const auto found = naks_.find(QueuePairKey(sighting.direction, sighting.qp));
    if (found == naks_.end()) {
        return;
    }
    for (std::size_t index : found->second) {
        Entry& entry = entries_[index];
        const Firing& firing = entry.recovery.firing;
        if (!AtOrBefore(sighting.psn, firing.psn)) {
            continue;
        }
        entry.nakSeen = true;
        if (sighting.psn == firing.psn && !entry.recovery.nakNs) {
            entry.recovery.nakNs = sighting.timeNs - firing.timeNs;
        }
    }
}

void RecoveryTracker::ResolveCongestionNotice(const Sighting& sighting) {
    const auto found = congestionNotices_.find(QueuePairKey(sighting.direction, sighting.qp));
    if (found == congestionNotices_.end()) {
        return;
    }
    for (std::size_t index : found->second) {
        Recovery& recovery = entries_[index].recovery;
        recovery.cnpNs = sighting.timeNs - recovery.firing.timeNs;
    }
    congestionNotices_.erase(found);
}

std::vector<Recovery> RecoveryTracker::Recoveries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Recovery> recoveries;
    recoveries.reserve(entries_.size());
    for (const Entry& entry : entries_) {
        recoveries.push_back(entry.recovery);
    }
    return recoveries;
}

std::vector<RuleRecovery> RecoveryTracker::PerRule(std::size_t ruleCount) const {
    struct Samples {
        std::vector<std::int64_t> nak, retransmit, cnp;
    };
    std::vector<RuleRecovery> rules(ruleCount);
    std::vector<Samples> samples(ruleCount);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& entry : entries_) {
        const Recovery& recovery = entry.recovery;
        const std::size_t rule = recovery.firing.rule - 1;
        if (rule >= ruleCount) {
            continue;
        }
        ++rules[rule].followed;
        rules[rule].afterNak += recovery.retransmission == Retransmission::AfterNak ? 1 : 0;
        rules[rule].afterTimeout += recovery.retransmission == Retransmission::AfterTimeout ? 1 : 0;
        const std::pair<const std::optional<std::int64_t>&, std::vector<std::int64_t>&> figures[] =
            {{recovery.nakNs, samples[rule].nak},
             {recovery.retransmitNs, samples[rule].retransmit},
             {recovery.cnpNs, samples[rule].cnp}};
        for (const auto& [figure, into] : figures) {
            if (figure) {
                into.push_back(*figure);
            }
        }
    }
    for (std::size_t rule = 0; rule < ruleCount; ++rule) {
        rules[rule].nak = Stats(std::move(samples[rule].nak));
        rules[rule].retransmit = Stats(std::move(samples[rule].retransmit));
        rules[rule].cnp = Stats(std::move(samples[rule].cnp));
        rules[rule].unfollowed = rule < unfollowed_.size() ? unfollowed_[rule] : 0;
    }
    return rules;
}
