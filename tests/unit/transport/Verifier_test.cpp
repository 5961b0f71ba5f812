#include "transport/Verifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/unit/transport/CoutCapture.h"

namespace {

constexpr unsigned int kOwnQp = 0x11;
constexpr unsigned int kPeerQp = 0x22;

VerifierStatus Verify(Verifier& verifier, unsigned int devId, BthOpcode opcode, unsigned int destQp,
                      unsigned int psn) {
    Bth bth(opcode, destQp, psn, false);
    return verifier.VerifyPacket(devId, bth);
}

void Register(Verifier& verifier, unsigned int devId, Qp qp) {
    CoutCapture silence;
    verifier.AddQpToDevice(devId, qp);
}

// Every field the verifier may change, for before/after comparisons.
using QpState = std::tuple<std::uint32_t, int, bool, std::uint32_t, std::uint32_t, std::uint32_t>;

QpState StateOf(const Qp& qp) {
    return {qp.nextToSendPsn, qp.previousPacketOpCode, qp.sendSequenceStarted,
            qp.expectedPsn,   qp.firstNonAckedPsn,     qp.oldestNonAckedPsn};
}

Qp QpAt(const Verifier& verifier, unsigned int devId, unsigned int qpNum) {
    const std::optional<Qp> qp = verifier.FindQp(devId, qpNum);
    EXPECT_TRUE(qp.has_value()) << "queue pair " << qpNum << " missing on device " << devId;
    return qp.value_or(Qp(qpNum, 0));
}

constexpr VerifierStatus kOk = VerifierStatusOK;
constexpr VerifierStatus kBadPsn = VerifierBadPsn;

// Device 0 holding Qp(0x11, 0x22): sends to 0x22 are this queue pair's own.
class SingleQp : public ::testing::Test {
protected:
    struct Step {
        BthOpcode opcode;
        unsigned int psn;
        VerifierStatus expected;
    };

    void SetUp() override {
        verifier.AddDevice(Device{0, 1024, {}});
        Register(verifier, 0, Qp(kOwnQp, kPeerQp));
    }

    // Sends each step as the queue pair's own; a refused one must leave it untouched.
    template <std::size_t N>
    void SendAll(const Step (&steps)[N]) {
        for (const Step& step : steps) {
            const QpState before = StateOf(Own());
            EXPECT_EQ(Verify(verifier, 0, step.opcode, kPeerQp, step.psn), step.expected)
                << "opcode " << int{step.opcode} << " psn " << std::hex << step.psn;
            if (step.expected != kOk) {
                EXPECT_EQ(StateOf(Own()), before) << "psn " << std::hex << step.psn;
            }
        }
    }
    void Record(unsigned int ownAck, unsigned int peerAck, unsigned int ownSend) {
        EXPECT_EQ(Verify(verifier, 0, ACKNOWLEDGE, kOwnQp, ownAck), kOk);
        EXPECT_EQ(Verify(verifier, 0, ACKNOWLEDGE, kPeerQp, peerAck), kOk);
        EXPECT_EQ(Verify(verifier, 0, SEND_MIDLLE, kOwnQp, ownSend), kOk);
    }
    Qp Own() const { return QpAt(verifier, 0, kOwnQp); }

    Verifier verifier;
};

TEST_F(SingleQp, AGapIsRefusedUntilTheLostPacketComesAgain) {
    // 12 is lost; an ahead PSN is refused before its opcode is looked at; a repeat is ignored.
    const Step steps[] = {{SEND_FIRST, 10, kOk},      {SEND_MIDLLE, 11, kOk},
                          {SEND_MIDLLE, 13, kBadPsn}, {SEND_FIRST, 14, kBadPsn},
                          {SEND_MIDLLE, 12, kOk},     {SEND_FIRST, 11, kOk},
                          {SEND_MIDLLE, 13, kOk},     {SEND_LAST, 14, kOk}};
    SendAll(steps);
    EXPECT_EQ(Own().nextToSendPsn, 15u);
    EXPECT_EQ(Own().previousPacketOpCode, SEND_LAST);
}

// Expecting 0 after the wrap is not "nothing sent yet"; 0xFFFFFF is then behind, not ahead;
// half the PSN space separates ahead from behind.
TEST_F(SingleQp, TheSendSequenceStaysCheckedAcrossThe24BitWrap) {
    const Step toTheWrap[] = {{SEND_FIRST, 0xFFFFFE, kOk}, {SEND_MIDLLE, 0xFFFFFF, kOk}};
    SendAll(toTheWrap);
    EXPECT_EQ(Own().nextToSendPsn, 0u);
    const Step afterIt[] = {
        {SEND_MIDLLE, 5, kBadPsn},      {SEND_ONLY, 0, VerifierBadOpcodeSequence},
        {SEND_MIDLLE, 0, kOk},          {SEND_LAST, 2, kBadPsn},
        {SEND_LAST, 0xFFFFFF, kOk},     {SEND_FIRST, 0xFFFFF0, kOk},
        {SEND_LAST, 0x800000, kBadPsn}, {SEND_LAST, 0x800001, kOk}};
    SendAll(afterIt);
    EXPECT_EQ(Own().nextToSendPsn, 1u);
    EXPECT_EQ(Own().previousPacketOpCode, SEND_MIDLLE);
}

TEST_F(SingleQp, AcknowledgementsAndPeerSendsAreRecordedUnchecked) {
    const QpState fresh = StateOf(Own());
    Record(7, 9, 30);
    EXPECT_EQ(std::make_tuple(Own().firstNonAckedPsn, Own().oldestNonAckedPsn, Own().expectedPsn),
              std::make_tuple(8u, 10u, 31u));
    Record(0xFFFFFF, 0xFFFFFF, 0xFFFFFF);  // down again, and wrapping
    EXPECT_EQ(StateOf(Own()), fresh);
}

TEST_F(SingleQp, RefusesWhatNoQueuePairTakes) {
    const QpState before = StateOf(Own());
    EXPECT_EQ(Verify(verifier, 5, SEND_FIRST, kPeerQp, 1), VerifierStatusBad);
    EXPECT_EQ(Verify(verifier, 0, SEND_FIRST, 0x33, 1), VerifierBadQp);
    for (int opcode : {3, 5, 16, 18, 0xFF}) {
        EXPECT_EQ(Verify(verifier, 0, static_cast<BthOpcode>(opcode), kOwnQp, 1), VerifierBadQp);
        EXPECT_EQ(Verify(verifier, 0, static_cast<BthOpcode>(opcode), kPeerQp, 1), VerifierBadQp);
    }
    EXPECT_EQ(StateOf(Own()), before);
    verifier.AddDevice(Device{9, 1024, {}});
    EXPECT_EQ(Verify(verifier, 9, SEND_FIRST, kPeerQp, 1), VerifierBadQp);
}

// Each send opcode after each possible last send; other opcodes are no one's (see above).
TEST(OpcodeOrder, ExactlyTheEightPairsMayFollowEachOther) {
    // Rows: fresh, after FIRST, MIDDLE, LAST, ONLY; columns: FIRST, MIDDLE, LAST, ONLY.
    const char* const mayFollow[] = {"1001", "0110", "0110", "1001", "1001"};
    const BthOpcode sends[] = {SEND_FIRST, SEND_MIDLLE, SEND_LAST, SEND_ONLY};
    for (int row = 0; row < 5; ++row) {
        Qp start(kOwnQp, kPeerQp);
        if (row > 0) {
            start.previousPacketOpCode = sends[row - 1];
            start.sendSequenceStarted = true;
            start.nextToSendPsn = 40;
        }
        for (int column = 0; column < 4; ++column) {
            Verifier verifier;
            verifier.AddDevice(Device{0, 1024, {}});
            Register(verifier, 0, start);
            const bool legal = mayFollow[row][column] == '1';
            Qp expected = start;
            if (legal) {
                expected.previousPacketOpCode = sends[column];
                expected.nextToSendPsn = start.nextToSendPsn + 1;
                expected.sendSequenceStarted = true;
            }
            EXPECT_EQ(Verify(verifier, 0, sends[column], kPeerQp, start.nextToSendPsn),
                      legal ? kOk : VerifierBadOpcodeSequence)
                << "row " << row << " column " << column;
            EXPECT_EQ(StateOf(QpAt(verifier, 0, kOwnQp)), StateOf(expected));
        }
    }
}

TEST(TwoQps, TheFirstMatchingRuleOfTheFirstQueuePairDecides) {
    Verifier verifier;
    // An id given twice: both registration and lookup use the first.
    verifier.AddDevice(Device{0, 1024, {}});
    verifier.AddDevice(Device{0, 1024, {}});
    Register(verifier, 0, Qp(0x11, 0x22));
    Register(verifier, 0, Qp(0x22, 0x11));
    EXPECT_EQ(Verify(verifier, 0, SEND_MIDLLE, 0x22, 5), VerifierBadOpcodeSequence);
    EXPECT_EQ(QpAt(verifier, 0, 0x22).expectedPsn, 0u);

    Register(verifier, 0, Qp(0x33, 0x33));
    EXPECT_EQ(Verify(verifier, 0, SEND_MIDLLE, 0x33, 5), VerifierStatusOK);
    EXPECT_EQ(QpAt(verifier, 0, 0x33).expectedPsn, 6u);
    EXPECT_FALSE(QpAt(verifier, 0, 0x33).sendSequenceStarted);
}

TEST(VerifierOutput, RegistrationWritesItsLineOnlyForAKnownDeviceAndLeavesCoutInHex) {
    Verifier verifier;
    verifier.AddDevice(Device{1, 1024, {}});
    verifier.AddDevice(Device{26, 1024, {}});
    CoutCapture capture;
    std::cout << std::dec;
    Qp first(0x1a2, 0x3c4);
    verifier.AddQpToDevice(7, first);
    EXPECT_FALSE(verifier.FindQp(7, 0x1a2) || verifier.FindQp(1, 0x1a2));
    std::cout << 255 << ";";
    verifier.AddQpToDevice(1, first);
    Qp second(0xabcdef, 0x10);
    verifier.AddQpToDevice(26, second);
    std::cout << 255;
    EXPECT_EQ(capture.Text(),
              "255;QP 1a2 was added to device 1. Peer QP: 3c4.\n"
              "QP abcdef was added to device 1a. Peer QP: 10.\n"
              "ff");
}

// The report sets no base for the device id but leaves hex behind, so the id of device 16 reads
// "10" the second time.
TEST(VerifierOutput, IdleReportShowsEveryQueuePairInHexAndChangesNothing) {
    Verifier verifier;
    CoutCapture capture;
    EXPECT_EQ(verifier.IdleChecker(), VerifierStatusOK);
    for (unsigned int dev : {16, 0, 1}) {
        verifier.AddDevice(Device{dev, 1024, {}});
    }
    Register(verifier, 0, Qp(0x1a2, 0x3b4));
    Register(verifier, 1, Qp(0x3b4, 0x1a2));
    Register(verifier, 16, Qp(0xffffff, 0x1));
    ASSERT_EQ(Verify(verifier, 0, SEND_ONLY, 0x3b4, 0x64), kOk);
    ASSERT_EQ(Verify(verifier, 0, ACKNOWLEDGE, 0x1a2, 0x63), kOk);
    ASSERT_EQ(Verify(verifier, 0, SEND_ONLY, 0x1a2, 0x11), kOk);
    ASSERT_EQ(Verify(verifier, 0, ACKNOWLEDGE, 0x3b4, 0x11), kOk);
    ASSERT_EQ(Verify(verifier, 16, SEND_ONLY, 0xffffff, 0xfffffe), kOk);
    std::cout << std::dec;
    EXPECT_EQ(verifier.IdleChecker(), VerifierStatusOK);
    EXPECT_EQ(verifier.IdleChecker(), VerifierStatusOK);
    const std::string example =
        "Device ID:0\n"
        "\t1a2 sent to 3b4\n"
        "\t\tNext To Send psn:65 First Non-Acked psn:64\n"
        "\t\tExpected psn:12 Oldest Non-Acked psn:12\n"
        "Device ID:1\n"
        "\t3b4 sent to 1a2\n"
        "\t\tNext To Send psn:0 First Non-Acked psn:0\n"
        "\t\tExpected psn:0 Oldest Non-Acked psn:0\n";
    const std::string highest =
        "\tffffff sent to 1\n"
        "\t\tNext To Send psn:0 First Non-Acked psn:0\n"
        "\t\tExpected psn:ffffff Oldest Non-Acked psn:0\n";
    EXPECT_EQ(capture.Text(),
              "Device ID:16\n" + highest + example + "Device ID:10\n" + highest + example);
}

// Each thread sends its own message stream and the shared one, whose PSNs every thread sends in
// order: however they interleave, none is ever ahead, so nothing may be refused.
TEST(VerifierThreads, ConcurrentPacketsAndReportsLeaveExactlyTheImpliedState) {
    constexpr unsigned int kThreads = 4;
    constexpr unsigned int kRounds = 20000;
    constexpr std::uint32_t kStart = 0xFFFFF0;  // both streams wrap
    const BthOpcode cycle[] = {SEND_FIRST, SEND_MIDLLE, SEND_LAST};
    Verifier verifier;
    verifier.AddDevice(Device{0, 1024, {}});
    Register(verifier, 0, Qp(0x100, 0x200));
    for (unsigned int t = 0; t < kThreads; ++t) {
        Register(verifier, 0, Qp(0x110 + t, 0x210 + t));
    }
    std::atomic<unsigned int> refusals{0};
    std::atomic<unsigned int> finished{0};
    std::vector<std::thread> workers;
    for (unsigned int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (unsigned int round = 0; round < kRounds; ++round) {
                const std::uint32_t psn = (kStart + round) & 0xFFFFFF;
                refusals += Verify(verifier, 0, SEND_ONLY, 0x200, psn) != VerifierStatusOK;
                refusals += Verify(verifier, 0, cycle[round % 3], 0x210 + t, psn) != kOk;
                refusals += Verify(verifier, 0, ACKNOWLEDGE, 0x110 + t, round) != kOk;
            }
            ++finished;
        });
    }
    {
        CoutCapture capture;
        for (unsigned int reports = 0; finished.load() < kThreads || reports == 0; ++reports) {
            capture.Clear();
            EXPECT_EQ(verifier.IdleChecker(), VerifierStatusOK);
            const std::string text = capture.Text();
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 3 * int{kThreads + 1});
        }
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(refusals.load(), 0u);
    const std::uint32_t last = (kStart + kRounds) & 0xFFFFFF;
    EXPECT_EQ(QpAt(verifier, 0, 0x100).nextToSendPsn, last);
    for (unsigned int t = 0; t < kThreads; ++t) {
        const Qp own = QpAt(verifier, 0, 0x110 + t);
        EXPECT_EQ(StateOf(own), QpState(last, cycle[(kRounds - 1) % 3], true, 0, kRounds, 0));
    }
}

}  // namespace
