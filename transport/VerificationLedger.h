#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>

#include "transport/RocePacketInfo.h"
#include "transport/Rules.h"
#include "transport/VerificationReport.h"

// How many unregistered queue pairs a device keeps an entry for; garbage traffic to ever new
// numbers must not grow memory without bound.
constexpr std::size_t kMaxUnregisteredQpsPerDevice = 1024;

// The count of every verification outcome, per device and destination queue pair. Not
// thread-safe: its owner locks.
class VerificationLedger {
public:
    void Record(unsigned device, const RoceHeaders& headers, const PacketContext& where,
                const rules::Outcome& outcome, bool registered);

    // Peers and registration are left for the owner, which knows the pairs.
    [[nodiscard]] VerificationReport Snapshot(RuleSet rules) const;

private:
    // Null when the device holds its fill of unregistered entries.
    QpReport* EntryFor(unsigned device, std::uint32_t qp, bool registered);

    std::map<std::pair<unsigned, std::uint32_t>, QpReport> entries_;
    std::map<unsigned, std::size_t> unregisteredEntries_;
    std::uint64_t packets_ = 0;
    std::uint64_t refused_ = 0;
    std::uint64_t outsideRules_ = 0;
    std::uint64_t untrackedPackets_ = 0;
};
