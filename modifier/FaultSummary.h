#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "modifier/FaultRule.h"
#include "modifier/RecoveryTracker.h"

// One line per rule for stderr at the end of a run: how often it fired and, for drops and
// corruptions of requests and for ecn marks, how the transport recovered, e.g.
//   fault rule 1 (dir=c2s,psn=0x10,count=1,action=drop): fired 1 time; NAK for 1 of 1, after
//   median 0.120 ms, max 0.120 ms; retransmitted 1 of 1 (1 after a NAK, 0 after a timeout),
//   after median 0.310 ms, max 0.310 ms
// (one line). `fired` comes from AimedFaults::FiredCounts, `recovery` from
// RecoveryTracker::PerRule; an empty `recovery` (nothing tracked) leaves the figures out.
[[nodiscard]] std::vector<std::string> FaultSummaryLines(const std::vector<FaultRule>& rules,
                                                         const std::vector<std::uint64_t>& fired,
                                                         const std::vector<RuleRecovery>& recovery);

void WriteFaultSummary(std::ostream& out, const std::vector<FaultRule>& rules,
                       const std::vector<std::uint64_t>& fired,
                       const std::vector<RuleRecovery>& recovery);
