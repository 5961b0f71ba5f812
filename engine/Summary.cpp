#include "engine/Summary.h"

#include <map>
#include <nlohmann/json.hpp>
#include <tuple>

#include "engine/BenchConfig.h"
#include "transport/Opcode.h"

namespace engine {
namespace {

using json = nlohmann::ordered_json;

json Frames(const FrameCounts& counts) {
    return {{"captured", counts.captured},
            {"forwarded", counts.forwarded},
            {"dropped_by_kernel", counts.kernelDrops},
            {"failed_to_send", counts.sendFailures}};
}

json PortFrames(const std::array<FrameCounts, 2>& byDirection) {
    return {{"in", Frames(byDirection[Index(Direction::In)])},
            {"out", Frames(byDirection[Index(Direction::Out)])}};
}

json Naks(const NakCounts& naks) {
    return {{"psn_sequence_error", naks.psnSequenceError},
            {"invalid_request", naks.invalidRequest},
            {"remote_access_error", naks.remoteAccessError},
            {"remote_operational_error", naks.remoteOperationalError},
            {"rnr", naks.rnr}};
}

json RefusedPacketJson(const RefusedPacket& packet, const RunSummary& summary) {
    const opcode::Info* info = opcode::Find(packet.opcode);
    return {{"kind", packet.kind},
            {"time_ns", packet.timeNs},
            {"port", packet.port == Index(Port::Server) ? summary.serverPort : summary.clientPort},
            {"direction", packet.direction == Index(Direction::In) ? "in" : "out"},
            {"psn", packet.psn},
            {"opcode", packet.opcode},
            {"opcode_name", info != nullptr ? json(info->name) : json(nullptr)},
            {"expected_psn", packet.expectedPsn ? json(*packet.expectedPsn) : json(nullptr)}};
}

json QueuePair(const QpReport& qp, const RunSummary& summary) {
    // Packets the send rules do not speak of are no refusal: they are counted apart.
    constexpr const char* kOutsideRules = "outside_rules";
    json refused = json::object();
    std::uint64_t outsideRules = 0;
    for (const auto& [kind, count] : qp.refused) {
        if (kind == kOutsideRules) {
            outsideRules = count;
        } else {
            refused[kind] = count;
        }
    }
    json first = json::array();
    for (const RefusedPacket& packet : qp.firstRefused) {
        first.push_back(RefusedPacketJson(packet, summary));
    }
    return {{"device", qp.device},
            {"qp", qp.qp},
            {"peer", qp.peer ? json(*qp.peer) : json(nullptr)},
            {"registered", qp.registered},
            {"packets", qp.packets},
            {"accepted", qp.accepted},
            {"refused", refused},
            {kOutsideRules, outsideRules},
            {"duplicates", qp.duplicates},
            {"naks", Naks(qp.naks)},
            {"cnps", qp.cnps},
            {"first_refused", first}};
}

json VerificationJson(const VerificationReport& report, const RunSummary& summary) {
    json queuePairs = json::array();
    for (const QpReport& qp : report.queuePairs) {
        queuePairs.push_back(QueuePair(qp, summary));
    }
    return {{"rules", report.rules == RuleSet::Rc ? "rc" : "send"},
            {"packets", report.packets},
            {"refused", report.refused},
            {"outside_rules", report.outsideRules},
            {"untracked_packets", report.untrackedPackets},
            {"queue_pairs", queuePairs}};
}

json Injector(const InjectorSummary& injector) {
    const OperationCounters& decisions = injector.decisions;
    return {{"decisions",
             {{"none", decisions[OPERATION_NONE]},
              {"drop", decisions[OPERATION_DROP]},
              {"delay", decisions[OPERATION_DELAY]},
              {"reorder", decisions[OPERATION_REORDER]}}},
            {"refused_when_full", injector.refused},
            {"held_at_stop", injector.heldAtStop}};
}

json OrNull(const std::optional<std::int64_t>& value) {
    return value ? json(*value) : json(nullptr);
}

json Figure(const FigureStats& stats) {
    if (stats.samples == 0) {
        return nullptr;
    }
    return {{"samples", stats.samples}, {"median_ns", stats.medianNs}, {"max_ns", stats.maxNs}};
}

json RuleJson(const FaultRule& rule, std::uint64_t fired, const RuleRecovery& recovery) {
    return {{"rule", Describe(rule)},
            {"given", rule.text},
            {"fired", fired},
            {"nak", Figure(recovery.nak)},
            {"retransmit", Figure(recovery.retransmit)},
            {"retransmitted_after_nak", recovery.afterNak},
            {"retransmitted_after_timeout", recovery.afterTimeout},
            {"cnp", Figure(recovery.cnp)}};
}

// A firing is known by its rule, time, direction, queue pair and PSN.
using FiringKey = std::tuple<std::size_t, std::int64_t, int, std::uint32_t, std::uint32_t>;

FiringKey KeyOf(const Firing& firing) {
    return {firing.rule, firing.timeNs, static_cast<int>(firing.direction), firing.qp, firing.psn};
}

json FiringJson(const Firing& firing, const std::map<FiringKey, const Recovery*>& recoveries) {
    const opcode::Info* info = opcode::Find(firing.opcode);
    json entry = {{"rule", firing.rule},
                  {"direction", Name(firing.direction)},
                  {"qp", firing.qp},
                  {"psn", firing.psn},
                  {"opcode", firing.opcode},
                  {"opcode_name", info != nullptr ? json(info->name) : json(nullptr)},
                  {"time_ns", firing.timeNs},
                  {"action", Name(firing.action)}};
    const auto found = recoveries.find(KeyOf(firing));
    if (found != recoveries.end()) {
        const Recovery& recovery = *found->second;
        const char* const kinds[] = {nullptr, "nak", "timeout"};
        const char* kind = kinds[static_cast<int>(recovery.retransmission)];
        entry["nak_ns"] = OrNull(recovery.nakNs);
        entry["retransmit_ns"] = OrNull(recovery.retransmitNs);
        entry["retransmitted_after"] = kind != nullptr ? json(kind) : json(nullptr);
        entry["cnp_ns"] = OrNull(recovery.cnpNs);
    }
    return entry;
}

json FaultsJson(const FaultsSummary& faults) {
    json rules = json::array();
    for (std::size_t i = 0; i < faults.rules.size(); ++i) {
        rules.push_back(RuleJson(faults.rules[i], faults.fired.at(i), faults.recovery.at(i)));
    }
    std::map<FiringKey, const Recovery*> recoveries;
    for (const Recovery& recovery : faults.recoveries) {
        recoveries.emplace(KeyOf(recovery.firing), &recovery);
    }
    json firings = json::array();
    for (const Firing& firing : faults.firings) {
        firings.push_back(FiringJson(firing, recoveries));
    }
    return {{"rules", rules}, {"firings", firings}};
}

json CaptureFileJson(const CaptureFileSummary& file) {
    return {{"path", file.path},
            {"written", file.counts.written},
            {"queue_full", file.counts.queueFull},
            {"over_limit", file.counts.overLimit},
            {"write_errors", file.counts.writeErrors},
            {"limit_reached", file.limitReached}};
}

}  // namespace

std::string SummaryJson(const RunSummary& summary) {
    json document;
    document["program"] = summary.program;
    document["ports"] = {{"server", summary.serverPort}, {"client", summary.clientPort}};
    document["frames"] = {{"server", PortFrames(summary.frames[Index(Port::Server)])},
                          {"client", PortFrames(summary.frames[Index(Port::Client)])}};
    if (summary.verification) {
        const json verification = VerificationJson(*summary.verification, summary);
        document["verification"] = verification;
        document["queue_pairs"] = verification["queue_pairs"];
        document["verification"].erase("queue_pairs");
    }
    json injectors = json::object();
    // Named by the direction of the packets each one takes, as the fault rules name it.
    if (summary.injectors[Index(Port::Client)]) {
        injectors["c2s"] = Injector(*summary.injectors[Index(Port::Client)]);
    }
    if (summary.injectors[Index(Port::Server)]) {
        injectors["s2c"] = Injector(*summary.injectors[Index(Port::Server)]);
    }
    if (!injectors.empty()) {
        document["injectors"] = injectors;
    }
    if (summary.faults) {
        document["faults"] = FaultsJson(*summary.faults);
    }
    if (summary.captureFile) {
        document["capture_file"] = CaptureFileJson(*summary.captureFile);
    }
    return document.dump(2) + "\n";
}

}  // namespace engine
