#include "transport/Verifier.h"

#include <cstdint>
#include <iostream>
#include <utility>

#include "transport/Opcode.h"

namespace {

void WriteQpState(std::ostream& out, const Qp& qp) {
    out << "\t" << std::hex << qp.qpNum << " sent to " << std::hex << qp.peerQp << std::endl;
    out << "\t\tNext To Send psn:" << std::hex << qp.nextToSendPsn
        << " First Non-Acked psn:" << std::hex << qp.firstNonAckedPsn << std::endl;
    out << "\t\tExpected psn:" << std::hex << qp.expectedPsn << " Oldest Non-Acked psn:" << std::hex
        << qp.oldestNonAckedPsn << std::endl;
}

}  // namespace

Verifier::Verifier() : out_(std::cout) {}

const Device* Verifier::FindDevice(unsigned int devId) const {
    for (const Device& device : devices_) {
        if (device.deviceId == devId) {
            return &device;
        }
    }
    return nullptr;
}

Device* Verifier::FindDevice(unsigned int devId) {
    return const_cast<Device*>(std::as_const(*this).FindDevice(devId));
}

void Verifier::AddQpToDevice(unsigned int devId, Qp& qp) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device* device = FindDevice(devId);
    if (device == nullptr) {
        return;
    }
    device->QpList.push_back(qp);
    // The base is left in hexadecimal on purpose: later output relies on it.
    out_ << "QP " << std::hex << qp.qpNum << " was added to device " << devId << ". "
         << "Peer QP: " << std::hex << qp.peerQp << "." << std::endl;
}

const Qp* Verifier::FindPair(const Device& device, std::uint32_t qpNum) {
    for (const Qp& qp : device.QpList) {
        if (qp.qpNum == qpNum || qp.peerQp == qpNum) {
            return &qp;
        }
    }
    return nullptr;
}

Qp* Verifier::FindPair(Device& device, std::uint32_t qpNum) {
    return const_cast<Qp*>(FindPair(std::as_const(device), qpNum));
}

void Verifier::SetRules(RuleSet rules, std::uint32_t pathMtu) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_ = rules;
    pathMtu_ = IsPathMtu(pathMtu) ? pathMtu : 1024;
}

VerifierStatus Verifier::VerifyPacket(unsigned int devId, const Bth& packetBth) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device* device = FindDevice(devId);
    if (device == nullptr) {
        return VerifierStatusBad;
    }
    for (Qp& qp : device->QpList) {
        if (const std::optional<rules::Outcome> outcome = rules::ApplySendRules(qp, packetBth)) {
            return outcome->status;
        }
    }
    return VerifierBadQp;
}

rules::Outcome Verifier::DecideBySendRules(Device& device, const Qp* pair, const Bth& packetBth) {
    for (Qp& qp : device.QpList) {
        if (const std::optional<rules::Outcome> outcome = rules::ApplySendRules(qp, packetBth)) {
            return *outcome;
        }
    }
    // VerifyPacket's one status for all three; the report tells them apart.
    if (pair == nullptr) {
        return rules::Refused(VerifierBadQp, rules::kUnregisteredQp);
    }
    if (opcode::Find(packetBth.GetBthOpcode()) == nullptr) {
        return rules::Refused(VerifierBadQp, rules::kUnknownOpcode);
    }
    return rules::Refused(VerifierBadQp, rules::kOutsideRules);
}

rules::Outcome Verifier::Decide(Device* device, Qp* pair, const RoceHeaders& headers) {
    if (device == nullptr) {
        return rules::Refused(VerifierStatusBad, rules::kUnknownDevice);
    }
    if (rules_ == RuleSet::Send) {
        return DecideBySendRules(*device, pair, headers.bth);
    }
    if (pair == nullptr) {
        return rules::Refused(VerifierBadQp, rules::kUnregisteredQp);
    }
    return rules::ApplyRcRules(*pair, headers, pathMtu_);
}

rules::Outcome Verifier::Verify(unsigned devId, const RoceHeaders& headers,
                                const PacketContext& where) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device* device = FindDevice(devId);
    Qp* pair = device != nullptr ? FindPair(*device, headers.bth.GetDestinationQp()) : nullptr;
    const rules::Outcome outcome = Decide(device, pair, headers);
    ledger_.Record(devId, headers, where, outcome, pair != nullptr);
    if (!outcome.refusal.empty() && outcome.refusal != rules::kOutsideRules) {
        refused_.fetch_add(1, std::memory_order_relaxed);
    }
    return outcome;
}

VerificationReport Verifier::Report() const {
    std::lock_guard<std::mutex> lock(mutex_);
    VerificationReport report = ledger_.Snapshot(rules_);
    for (QpReport& entry : report.queuePairs) {
        const Device* device = FindDevice(entry.device);
        const Qp* pair = device != nullptr ? FindPair(*device, entry.qp) : nullptr;
        entry.registered = pair != nullptr;
        if (pair != nullptr) {
            entry.peer = pair->qpNum == entry.qp ? pair->peerQp : pair->qpNum;
        }
    }
    return report;
}

VerifierStatus Verifier::IdleChecker() {
    return IdleChecker(std::cout);
}

VerifierStatus Verifier::IdleChecker(std::ostream& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Device& device : devices_) {
        // No base is chosen for the id: it follows whatever the stream has.
        out << "Device ID:" << device.deviceId << std::endl;
        for (const Qp& qp : device.QpList) {
            WriteQpState(out, qp);
        }
    }
    return VerifierStatusOK;
}

std::optional<Qp> Verifier::FindQp(unsigned int devId, unsigned int qpNum) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Device* device = FindDevice(devId);
    if (device == nullptr) {
        return std::nullopt;
    }
    for (const Qp& qp : device->QpList) {
        if (qp.qpNum == qpNum) {
            return qp;
        }
    }
    return std::nullopt;
}

bool IsPathMtu(std::uint32_t bytes) {
    return bytes == 256 || bytes == 512 || bytes == 1024 || bytes == 2048 || bytes == 4096;
}
