#include "transport/VerificationReport.h"

#include <algorithm>
#include <cctype>
#include <iomanip>
#include <sstream>

#include "transport/Opcode.h"
#include "transport/Rules.h"
#include "transport/VerificationLedger.h"

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t kSecondsPerDay = 86'400;
constexpr const char* kOutsideRules = "outside_rules";

std::string Hex(std::uint32_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

// UTC time of day: a run is read against the programs' log lines, not across days.
std::string TimeOfDay(std::int64_t timeNs) {
    const std::int64_t ns = ((timeNs % kNsPerSecond) + kNsPerSecond) % kNsPerSecond;
    const std::int64_t seconds = (timeNs - ns) / kNsPerSecond;
    const std::int64_t ofDay = ((seconds % kSecondsPerDay) + kSecondsPerDay) % kSecondsPerDay;
    std::ostringstream text;
    text << std::setfill('0') << std::setw(2) << ofDay / 3600 << ':' << std::setw(2)
         << ofDay / 60 % 60 << ':' << std::setw(2) << ofDay % 60 << '.' << std::setw(9) << ns;
    return text.str();
}

std::string Count(std::uint64_t count, const char* noun) {
    return std::to_string(count) + ' ' + noun + (count == 1 ? "" : "s");
}

std::string PortName(const std::array<std::string, 2>& portNames, unsigned port) {
    return port < portNames.size() ? portNames[port] : "port " + std::to_string(port);
}

std::string OpcodeName(std::uint8_t value) {
    const opcode::Info* info = opcode::Find(value);
    if (info != nullptr) {
        return info->name;
    }
    std::ostringstream text;
    text << "0x" << std::hex << std::setw(2) << std::setfill('0') << unsigned{value};
    return text.str();
}

bool HasRefusals(const QpReport& entry) {
    for (const auto& [kind, count] : entry.refused) {
        if (kind != kOutsideRules && count > 0) {
            return true;
        }
    }
    return false;
}

void WriteHeadline(std::ostream& out, const VerificationReport& report) {
    out << "verification: " << Count(report.packets, "packet") << ", ";
    if (report.refused == 0) {
        out << "none refused";
    } else {
        out << report.refused << " refused under the "
            << (report.rules == RuleSet::Rc ? "rc" : "send") << " rules";
    }
    if (report.rules == RuleSet::Send && report.outsideRules > 0) {
        out << "; " << Count(report.outsideRules, "packet")
            << (report.outsideRules == 1 ? " lies" : " lie")
            << " outside the send rules, --rules rc checks them";
    }
    out << '\n';
}

void WriteNaks(std::ostream& out, const NakCounts& naks) {
    const std::pair<const char*, std::uint64_t> counts[] = {
        {"psn_sequence_error", naks.psnSequenceError},
        {"invalid_request", naks.invalidRequest},
        {"remote_access_error", naks.remoteAccessError},
        {"remote_operational_error", naks.remoteOperationalError},
        {"rnr", naks.rnr},
    };
    const char* separator = "  naks: ";
    for (const auto& [name, count] : counts) {
        if (count > 0) {
            out << separator << name << ' ' << count;
            separator = ", ";
        }
    }
    if (separator[0] == ',') {
        out << '\n';
    }
}

void WriteRefusal(std::ostream& out, const RefusedPacket& refusal,
                  const std::array<std::string, 2>& portNames) {
    out << "    " << std::left << std::setw(20) << refusal.kind << "  " << TimeOfDay(refusal.timeNs)
        << "  " << std::setw(10) << PortName(portNames, refusal.port) << std::setw(5)
        << (refusal.direction == 0 ? "in" : "out") << std::setw(10) << Hex(refusal.psn)
        << std::setw(32) << OpcodeName(refusal.opcode)
        << (refusal.expectedPsn ? Hex(*refusal.expectedPsn) : "-") << '\n';
}

void WriteQueuePair(std::ostream& out, const QpReport& entry,
                    const std::array<std::string, 2>& portNames) {
    out << "queue pair " << Hex(entry.qp) << " on device " << entry.device << " ("
        << PortName(portNames, entry.device) << "), "
        << (entry.peer ? "peer " + Hex(*entry.peer) : std::string("not registered")) << ": "
        << Count(entry.packets, "packet") << ", " << entry.accepted << " accepted, "
        << Count(entry.duplicates, "duplicate") << ", " << Count(entry.cnps, "CNP") << '\n';
    WriteNaks(out, entry.naks);
    for (const auto& [kind, count] : entry.refused) {
        out << "  " << std::left << std::setw(22) << kind << count << '\n';
    }
    out << "  first refused:\n    " << std::left << std::setw(22) << "kind" << std::setw(20)
        << "time (UTC)" << std::setw(10) << "port" << std::setw(5) << "dir" << std::setw(10)
        << "psn" << std::setw(32) << "opcode"
        << "expected psn\n";
    for (const RefusedPacket& refusal : entry.firstRefused) {
        WriteRefusal(out, refusal, portNames);
    }
}

}  // namespace

void WriteVerificationSummary(std::ostream& err, const VerificationReport& report,
                              const std::array<std::string, 2>& portNames) {
    std::ostringstream out;
    WriteHeadline(out, report);
    for (const QpReport& entry : report.queuePairs) {
        if (HasRefusals(entry)) {
            WriteQueuePair(out, entry, portNames);
        }
    }
    if (report.untrackedPackets > 0) {
        out << Count(report.untrackedPackets, "packet")
            << " went to unregistered queue pairs beyond the " << kMaxUnregisteredQpsPerDevice
            << " per device counted one by one\n";
    }
    // One write, so that the summary is not interleaved with other output mid-line.
    err << out.str() << std::flush;
}

namespace rules {

namespace {

// The kinds as words, their abbreviations in capitals as the transport's own terms have them.
std::string KindInWords(std::string_view kind) {
    static constexpr std::string_view kAbbreviations[] = {"psn", "qp", "nak", "aeth", "read"};
    std::string words;
    std::size_t start = 0;
    while (start <= kind.size()) {
        const std::size_t end = std::min(kind.find('_', start), kind.size());
        std::string word(kind.substr(start, end - start));
        for (std::string_view abbreviation : kAbbreviations) {
            if (word == abbreviation) {
                for (char& c : word) {
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                }
            }
        }
        words += (words.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return words;
}

}  // namespace

std::string Note(const Outcome& outcome) {
    if (outcome.refusal.empty() || outcome.refusal == kOutsideRules) {
        return {};
    }
    std::string note = KindInWords(outcome.refusal);
    if (outcome.expectedPsn) {
        note += ", expected " + Hex(*outcome.expectedPsn);
    }
    return note;
}

}  // namespace rules
