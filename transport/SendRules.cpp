#include "transport/Rules.h"

namespace rules {
namespace {

std::uint32_t NextPsn(std::uint32_t psn) {
    return AddPsn(psn, 1);
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
Outcome AcceptInOrderSend(Qp& qp, const Bth& packetBth) {
    if (!IsLegalOpcode(qp.previousPacketOpCode, packetBth.GetBthOpcode())) {
        return Refused(VerifierBadOpcodeSequence, kBadOpcodeSequence);
    }
    qp.previousPacketOpCode = packetBth.GetBthOpcode();
    qp.nextToSendPsn = NextPsn(packetBth.GetPsn());
    qp.sendSequenceStarted = true;
    return Outcome{};
}

// The queue pair's own send: in order, ahead (a gap) or behind (a repeat).
Outcome CheckSendSequence(Qp& qp, const Bth& packetBth) {
    if (!qp.sendSequenceStarted) {
        return AcceptInOrderSend(qp, packetBth);
    }
    const std::uint32_t distance = PsnDistance(qp.nextToSendPsn, packetBth.GetPsn());
    if (distance == 0) {
        return AcceptInOrderSend(qp, packetBth);
    }
    if (distance < kPsnHalfSpace) {
        return Refused(VerifierBadPsn, kBadPsn, qp.nextToSendPsn);
    }
    return Outcome{VerifierStatusOK, {}, true, std::nullopt};
}

}  // namespace

std::optional<Outcome> ApplySendRules(Qp& qp, const Bth& packetBth) {
    const BthOpcode opcode = packetBth.GetBthOpcode();
    const std::uint32_t destQp = packetBth.GetDestinationQp();
    if (qp.qpNum == destQp && IsAckOpcode(opcode)) {
        qp.firstNonAckedPsn = NextPsn(packetBth.GetPsn());
        return Outcome{};
    }
    if (qp.qpNum == destQp && IsSendOpcode(opcode)) {
        qp.expectedPsn = NextPsn(packetBth.GetPsn());
        return Outcome{};
    }
    if (qp.peerQp == destQp && IsSendOpcode(opcode)) {
        return CheckSendSequence(qp, packetBth);
    }
    if (qp.peerQp == destQp && IsAckOpcode(opcode)) {
        qp.oldestNonAckedPsn = NextPsn(packetBth.GetPsn());
        return Outcome{};
    }
    return std::nullopt;
}

}  // namespace rules
