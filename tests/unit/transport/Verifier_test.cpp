#include "transport/Verifier.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <tuple>
#include <vector>

namespace {

constexpr unsigned int kOwnQp = 0x11;
constexpr unsigned int kPeerQp = 0x22;
constexpr VerifierStatus kOk = VerifierStatusOK;
constexpr VerifierStatus kBadPsn = VerifierBadPsn;
constexpr VerifierStatus kBadOrder = VerifierBadOpcodeSequence;

constexpr unsigned int kDevice = 16;

VerifierStatus Verify(Verifier& verifier, BthOpcode opcode, unsigned int destQp, unsigned int psn,
                      unsigned int devId = kDevice) {
    Bth bth(opcode, destQp, psn, false);
    return verifier.VerifyPacket(devId, bth);
}

// Every field the verifier may change.
using QpState = std::tuple<std::uint32_t, int, bool, std::uint32_t, std::uint32_t, std::uint32_t>;
QpState StateOf(const Verifier& verifier, unsigned int qpNum = kOwnQp) {
    const Qp qp = verifier.FindQp(kDevice, qpNum).value_or(Qp(0, 0));
    return {qp.nextToSendPsn, qp.previousPacketOpCode, qp.sendSequenceStarted,
            qp.expectedPsn,   qp.firstNonAckedPsn,     qp.oldestNonAckedPsn};
}

// A device holding the given queue pairs; registration lines go to `log`.
struct Bench {
    explicit Bench(std::vector<Qp> qps) : verifier(log) {
        verifier.AddDevice(Device{kDevice, 1024, {}});
        for (Qp& qp : qps) {
            verifier.AddQpToDevice(kDevice, qp);
        }
    }
    std::ostringstream log;
    Verifier verifier;
};

// 0xFFFFFF is lost, so 1 and 2 are ahead and refused before their opcode is looked at; repeats
// are ignored; 0 expected after the wrap is not "nothing sent yet"; half the PSN space separates
// ahead from behind. A refused packet changes nothing.
TEST(Verifier, ChecksTheSendSequenceOfItsOwnPacketsAcrossTheWrap) {
    const std::tuple<BthOpcode, unsigned int, VerifierStatus> steps[] = {
        {SEND_FIRST, 0xFFFFFE, kOk},  {SEND_MIDLLE, 1, kBadPsn},      {SEND_FIRST, 2, kBadPsn},
        {SEND_MIDLLE, 0xFFFFFF, kOk}, {SEND_LAST, 1, kBadPsn},        {SEND_FIRST, 0xFFFFFE, kOk},
        {SEND_LAST, 0, kOk},          {SEND_ONLY, 0x800000, kBadPsn}, {SEND_ONLY, 0x800001, kOk},
        {SEND_ONLY, 1, kOk},          {SEND_MIDLLE, 2, kBadOrder},    {SEND_FIRST, 2, kOk}};
    Bench bench({Qp(kOwnQp, kPeerQp)});
    for (const auto& [opcode, psn, expected] : steps) {
        const QpState before = StateOf(bench.verifier);
        EXPECT_EQ(Verify(bench.verifier, opcode, kPeerQp, psn), expected) << std::hex << psn;
        if (expected != kOk) {
            EXPECT_EQ(StateOf(bench.verifier), before) << std::hex << psn;
        }
    }
    EXPECT_EQ(StateOf(bench.verifier), QpState(3, SEND_FIRST, true, 0, 0, 0));
    // Registration leaves the stream in hexadecimal; the report sets no base for the device id.
    bench.verifier.IdleChecker(bench.log);
    EXPECT_EQ(bench.log.str(),
              "QP 11 was added to device 10. Peer QP: 22.\nDevice ID:10\n\t11 sent to 22\n"
              "\t\tNext To Send psn:3 First Non-Acked psn:0\n"
              "\t\tExpected psn:0 Oldest Non-Acked psn:0\n");
}

TEST(Verifier, ExactlyTheEightOpcodePairsMayFollowEachOther) {
    // Rows: fresh, after FIRST, MIDDLE, LAST, ONLY; columns: FIRST, MIDDLE, LAST, ONLY.
    const char* const mayFollow[] = {"1001", "0110", "0110", "1001", "1001"};
    const std::vector<BthOpcode> before[] = {
        {}, {SEND_FIRST}, {SEND_FIRST, SEND_MIDLLE}, {SEND_FIRST, SEND_LAST}, {SEND_ONLY}};
    const BthOpcode sends[] = {SEND_FIRST, SEND_MIDLLE, SEND_LAST, SEND_ONLY};
    for (int row = 0; row < 5; ++row) {
        for (int column = 0; column < 4; ++column) {
            Bench bench({Qp(kOwnQp, kPeerQp)});
            unsigned int psn = 7;
            for (BthOpcode opcode : before[row]) {
                ASSERT_EQ(Verify(bench.verifier, opcode, kPeerQp, psn++), kOk);
            }
            const bool legal = mayFollow[row][column] == '1';
            EXPECT_EQ(Verify(bench.verifier, sends[column], kPeerQp, psn), legal ? kOk : kBadOrder)
                << "row " << row << " column " << column;
        }
    }
}

// The first queue pair with a matching rule decides; acknowledgements and the peer's sends
// are recorded unchecked, also downwards.
TEST(Verifier, RecordsWhatTheQueuePairsReceiveAndRefusesWhatNoneTakes) {
    Bench bench({Qp(kOwnQp, kPeerQp), Qp(kPeerQp, kOwnQp), Qp(0x33, 0x33)});
    for (unsigned int psn : {20, 7}) {
        EXPECT_EQ(Verify(bench.verifier, ACKNOWLEDGE, kOwnQp, psn), kOk);
    }
    EXPECT_EQ(Verify(bench.verifier, ACKNOWLEDGE, kPeerQp, 9), kOk);
    EXPECT_EQ(Verify(bench.verifier, SEND_MIDLLE, kOwnQp, 30), kOk);
    EXPECT_EQ(Verify(bench.verifier, SEND_MIDLLE, kPeerQp, 5), kBadOrder) << "0x11's own send";
    EXPECT_EQ(StateOf(bench.verifier), QpState(0, SEND_LAST, false, 31, 8, 10));
    EXPECT_EQ(StateOf(bench.verifier, kPeerQp), QpState(0, SEND_LAST, false, 0, 0, 0));
    EXPECT_EQ(Verify(bench.verifier, SEND_MIDLLE, 0x33, 5), kOk);
    EXPECT_EQ(StateOf(bench.verifier, 0x33), QpState(0, SEND_LAST, false, 6, 0, 0));
    EXPECT_EQ(Verify(bench.verifier, SEND_FIRST, kPeerQp, 1, 5), VerifierStatusBad);
    for (int opcode : {3, 5, 16, 18, 0xFF}) {
        EXPECT_EQ(Verify(bench.verifier, static_cast<BthOpcode>(opcode), kOwnQp, 1), VerifierBadQp);
    }
    EXPECT_EQ(Verify(bench.verifier, SEND_FIRST, 0x44, 1), VerifierBadQp);
}

}  // namespace
