#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <tuple>

#include "tests/unit/transport/CoutCapture.h"
#include "transport/Verifier.h"

// Builds a packet and verifies it; the acknowledge-request flag plays no part.
inline VerifierStatus Verify(Verifier& verifier, unsigned int devId, BthOpcode opcode,
                             unsigned int destQp, unsigned int psn) {
    Bth bth(opcode, destQp, psn, false);
    return verifier.VerifyPacket(devId, bth);
}

// Registers a queue pair without letting the registration line reach the console.
inline void RegisterQuietly(Verifier& verifier, unsigned int devId, unsigned int qpNum,
                            unsigned int peerQp) {
    Qp qp(qpNum, peerQp);
    CoutCapture silence;
    verifier.AddQpToDevice(devId, qp);
}

// Every field the verifier may change, for before/after comparisons.
using QpState =
    std::tuple<std::uint32_t, BthOpcode, bool, std::uint32_t, std::uint32_t, std::uint32_t>;

inline QpState StateOf(const Qp& qp) {
    return {qp.nextToSendPsn, qp.previousPacketOpCode, qp.sendSequenceStarted,
            qp.expectedPsn,   qp.firstNonAckedPsn,     qp.oldestNonAckedPsn};
}

inline Qp QpAt(const Verifier& verifier, unsigned int devId, unsigned int qpNum) {
    const std::optional<Qp> qp = verifier.FindQp(devId, qpNum);
    if (!qp) {
        ADD_FAILURE() << "queue pair " << qpNum << " missing on device " << devId;
        return Qp(qpNum, 0);
    }
    return *qp;
}

inline QpState StateAt(const Verifier& verifier, unsigned int devId, unsigned int qpNum) {
    return StateOf(QpAt(verifier, devId, qpNum));
}
