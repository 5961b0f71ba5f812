#include "transport/VerificationLedger.h"

#include "transport/Opcode.h"

namespace {

void CountNak(NakCounts& naks, const Aeth& aeth) {
    if (aeth.GetType() == Aeth::Type::ReceiverNotReady) {
        ++naks.rnr;
        return;
    }
    if (aeth.GetType() != Aeth::Type::Nak) {
        return;
    }
    switch (aeth.GetCode()) {
        case Aeth::kPsnSequenceError:
            ++naks.psnSequenceError;
            break;
        case Aeth::kInvalidRequest:
            ++naks.invalidRequest;
            break;
        case Aeth::kRemoteAccessError:
            ++naks.remoteAccessError;
            break;
        case Aeth::kRemoteOperationalError:
            ++naks.remoteOperationalError;
            break;
        default:
            break;
    }
}

// NAKs and CNPs are counted whatever the rules decided about the packet.
void CountSignals(QpReport& entry, const RoceHeaders& headers) {
    const std::uint8_t value = headers.bth.GetBthOpcode();
    if (value == opcode::kCnp) {
        ++entry.cnps;
    }
    if (value == opcode::kAcknowledge && headers.aeth) {
        CountNak(entry.naks, *headers.aeth);
    }
}

void CountOutcome(QpReport& entry, const RoceHeaders& headers, const PacketContext& where,
                  const rules::Outcome& outcome) {
    if (outcome.refusal.empty()) {
        ++entry.accepted;
        entry.duplicates += outcome.duplicate ? 1 : 0;
        return;
    }
    const std::string kind(outcome.refusal);
    if (++entry.refused[kind] <= kKeptRefusalsPerKind) {
        entry.firstRefused.push_back(RefusedPacket{kind, where.timeNs, where.port, where.direction,
                                                   headers.bth.GetPsn(), headers.bth.GetBthOpcode(),
                                                   outcome.expectedPsn});
    }
}

}  // namespace

QpReport* VerificationLedger::EntryFor(unsigned device, std::uint32_t qp, bool registered) {
    const auto key = std::make_pair(device, qp);
    if (const auto found = entries_.find(key); found != entries_.end()) {
        return &found->second;
    }
    if (!registered) {
        std::size_t& count = unregisteredEntries_[device];
        if (count >= kMaxUnregisteredQpsPerDevice) {
            return nullptr;
        }
        ++count;
    }
    QpReport& entry = entries_[key];
    entry.device = device;
    entry.qp = qp;
    return &entry;
}

void VerificationLedger::Record(unsigned device, const RoceHeaders& headers,
                                const PacketContext& where, const rules::Outcome& outcome,
                                bool registered) {
    ++packets_;
    if (outcome.refusal == rules::kOutsideRules) {
        ++outsideRules_;
    } else if (!outcome.refusal.empty()) {
        ++refused_;
    }
    QpReport* entry = EntryFor(device, headers.bth.GetDestinationQp(), registered);
    if (entry == nullptr) {
        ++untrackedPackets_;
        return;
    }
    ++entry->packets;
    CountSignals(*entry, headers);
    CountOutcome(*entry, headers, where, outcome);
}

VerificationReport VerificationLedger::Snapshot(RuleSet rules) const {
    VerificationReport report;
    report.rules = rules;
    report.packets = packets_;
    report.refused = refused_;
    report.outsideRules = outsideRules_;
    report.untrackedPackets = untrackedPackets_;
    report.queuePairs.reserve(entries_.size());
    for (const auto& [key, entry] : entries_) {
        report.queuePairs.push_back(entry);
    }
    return report;
}
