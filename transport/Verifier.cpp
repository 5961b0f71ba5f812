#include "transport/Verifier.h"

#include <cstdint>
#include <iostream>
#include <utility>

namespace {

// Half the PSN space: a distance below it counts as ahead, from it on as behind.
constexpr std::uint32_t kPsnHalfSpace = 0x800000;

std::uint32_t NextPsn(std::uint32_t psn) {
    return (psn + 1) & kPsnMask;
}

std::uint32_t PsnDistance(std::uint32_t from, std::uint32_t to) {
    return (to - from) & kPsnMask;
}

bool IsSendOpcode(BthOpcode opcode) {
    return opcode == SEND_FIRST || opcode == SEND_MIDLLE || opcode == SEND_LAST ||
           opcode == SEND_ONLY;
}

bool IsAckOpcode(BthOpcode opcode) {
    return opcode == ACKNOWLEDGE;
}

bool IsLegalOpcode(BthOpcode prevOpcode, BthOpcode currOpcode) {
    switch (prevOpcode) {
        case SEND_FIRST:
        case SEND_MIDLLE:
            return currOpcode == SEND_MIDLLE || currOpcode == SEND_LAST;
        case SEND_LAST:
        case SEND_ONLY:
            return currOpcode == SEND_FIRST || currOpcode == SEND_ONLY;
        default:
            return false;
    }
}

// Accepts an in-order send whose opcode may follow the previous one.
VerifierStatus AcceptInOrderSend(Qp& qp, const Bth& packetBth) {
    if (!IsLegalOpcode(qp.previousPacketOpCode, packetBth.GetBthOpcode())) {
        return VerifierBadOpcodeSequence;
    }
    qp.previousPacketOpCode = packetBth.GetBthOpcode();
    qp.nextToSendPsn = NextPsn(packetBth.GetPsn());
    qp.sendSequenceStarted = true;
    return VerifierStatusOK;
}

// The queue pair's own send: in order, ahead (a gap) or behind (a repeat).
VerifierStatus CheckSendSequence(Qp& qp, const Bth& packetBth) {
    if (!qp.sendSequenceStarted) {
        return AcceptInOrderSend(qp, packetBth);
    }
    const std::uint32_t distance = PsnDistance(qp.nextToSendPsn, packetBth.GetPsn());
    if (distance == 0) {
        return AcceptInOrderSend(qp, packetBth);
    }
    return distance < kPsnHalfSpace ? VerifierBadPsn : VerifierStatusOK;
}

std::optional<VerifierStatus> ApplyRules(Qp& qp, const Bth& packetBth) {
    const BthOpcode opcode = packetBth.GetBthOpcode();
    const std::uint32_t destQp = packetBth.GetDestinationQp();
    if (qp.qpNum == destQp && IsAckOpcode(opcode)) {
        qp.firstNonAckedPsn = NextPsn(packetBth.GetPsn());
        return VerifierStatusOK;
    }
    if (qp.qpNum == destQp && IsSendOpcode(opcode)) {
        qp.expectedPsn = NextPsn(packetBth.GetPsn());
        return VerifierStatusOK;
    }
    if (qp.peerQp == destQp && IsSendOpcode(opcode)) {
        return CheckSendSequence(qp, packetBth);
    }
    if (qp.peerQp == destQp && IsAckOpcode(opcode)) {
        qp.oldestNonAckedPsn = NextPsn(packetBth.GetPsn());
        return VerifierStatusOK;
    }
    return std::nullopt;
}

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

VerifierStatus Verifier::VerifyPacket(unsigned int devId, const Bth& packetBth) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device* device = FindDevice(devId);
    if (device == nullptr) {
        return VerifierStatusBad;
    }
    for (Qp& qp : device->QpList) {
        if (const std::optional<VerifierStatus> status = ApplyRules(qp, packetBth)) {
            return *status;
        }
    }
    return VerifierBadQp;
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
