#include "modifier/FaultSummary.h"

#include <cstdio>

namespace {

std::string Milliseconds(std::int64_t ns) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f ms", static_cast<double>(ns) / 1e6);
    return buffer;
}

std::string Times(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " time" : " times");
}

// "for 2 of 3, after median 0.120 ms, max 0.150 ms", or "none of 3" when nothing was seen.
std::string Figure(const FigureStats& stats, std::size_t followed, const std::string& details) {
    if (stats.samples == 0) {
        return "none of " + std::to_string(followed);
    }
    return std::to_string(stats.samples) + " of " + std::to_string(followed) + details +
           ", after median " + Milliseconds(stats.medianNs) + ", max " + Milliseconds(stats.maxNs);
}

std::string LossRecovery(const RuleRecovery& recovery) {
    if (recovery.followed == 0) {
        return "; no request among them, so no recovery to time";
    }
    const std::string causes = " (" + std::to_string(recovery.afterNak) + " after a NAK, " +
                               std::to_string(recovery.afterTimeout) + " after a timeout)";
    return "; NAK for " + Figure(recovery.nak, recovery.followed, "") + "; retransmitted " +
           Figure(recovery.retransmit, recovery.followed, causes);
}

std::string RecoveryText(FaultAction action, const RuleRecovery& recovery) {
    std::string text;
    if (action == FaultAction::Drop || action == FaultAction::Corrupt) {
        text = LossRecovery(recovery);
    } else if (action == FaultAction::Ecn) {
        text = "; CNP for " + Figure(recovery.cnp, recovery.followed, "");
    }
    if (recovery.unfollowed > 0) {
        text += "; " + std::to_string(recovery.unfollowed) + " more not timed (too many to keep)";
    }
    return text;
}

}  // namespace

std::vector<std::string> FaultSummaryLines(const std::vector<FaultRule>& rules,
                                           const std::vector<std::uint64_t>& fired,
                                           const std::vector<RuleRecovery>& recovery) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const std::uint64_t count = i < fired.size() ? fired[i] : 0;
        std::string line =
            "fault rule " + std::to_string(i + 1) + " (" + Describe(rules[i]) + "): ";
        if (count == 0) {
            line += "never fired";
        } else {
            line += "fired " + Times(count);
            if (i < recovery.size()) {
                line += RecoveryText(rules[i].action, recovery[i]);
            }
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

void WriteFaultSummary(std::ostream& out, const std::vector<FaultRule>& rules,
                       const std::vector<std::uint64_t>& fired,
                       const std::vector<RuleRecovery>& recovery) {
    for (const std::string& line : FaultSummaryLines(rules, fired, recovery)) {
        out << line << '\n';
    }
    out.flush();
}
