#include "transport/Verifier.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "tests/unit/transport/VerifierTestSupport.h"

namespace {

constexpr unsigned int kDev = 0;
constexpr unsigned int kOwnQp = 0x11;
constexpr unsigned int kPeerQp = 0x22;

// Device 0 holding Qp(0x11, 0x22): sends to 0x22 are this queue pair's own.
class SingleQp : public ::testing::Test {
protected:
    void SetUp() override {
        verifier.AddDevice(Device{kDev, 1024, {}});
        RegisterQuietly(verifier, kDev, kOwnQp, kPeerQp);
    }

    VerifierStatus Send(BthOpcode opcode, unsigned int psn) {
        return Verify(verifier, kDev, opcode, kPeerQp, psn);
    }
    Qp Own() const { return QpAt(verifier, kDev, kOwnQp); }
    QpState State() const { return StateAt(verifier, kDev, kOwnQp); }

    Verifier verifier;
};

TEST_F(SingleQp, FollowsTheExampleSequenceRuleByRule) {
    EXPECT_EQ(Send(SEND_FIRST, 100), VerifierStatusOK);
    EXPECT_EQ(Own().nextToSendPsn, 101u);
    EXPECT_EQ(Own().previousPacketOpCode, SEND_FIRST);

    QpState before = State();
    EXPECT_EQ(Send(SEND_MIDLLE, 102), VerifierBadPsn);
    EXPECT_EQ(State(), before);
    EXPECT_EQ(Send(SEND_FIRST, 101), VerifierBadOpcodeSequence);
    EXPECT_EQ(State(), before);

    EXPECT_EQ(Send(SEND_LAST, 101), VerifierStatusOK);
    EXPECT_EQ(Own().nextToSendPsn, 102u);
    EXPECT_EQ(Own().previousPacketOpCode, SEND_LAST);

    before = State();
    EXPECT_EQ(Send(SEND_MIDLLE, 50), VerifierStatusOK);
    EXPECT_EQ(State(), before);
}

TEST_F(SingleQp, FirstSendMustOpenAMessage) {
    EXPECT_EQ(Send(SEND_MIDLLE, 7), VerifierBadOpcodeSequence);
    EXPECT_EQ(Send(SEND_LAST, 7), VerifierBadOpcodeSequence);
    EXPECT_EQ(State(), StateOf(Qp(kOwnQp, kPeerQp)));

    EXPECT_EQ(Send(SEND_ONLY, 0x500), VerifierStatusOK);
    EXPECT_EQ(Own().nextToSendPsn, 0x501u);
    EXPECT_TRUE(Own().sendSequenceStarted);
}

TEST_F(SingleQp, FirstSendMayStartAtPsnZero) {
    EXPECT_EQ(Send(SEND_FIRST, 0), VerifierStatusOK);
    EXPECT_EQ(Send(SEND_MIDLLE, 2), VerifierBadPsn);
    EXPECT_EQ(Send(SEND_LAST, 1), VerifierStatusOK);
    EXPECT_EQ(Own().nextToSendPsn, 2u);
}

TEST_F(SingleQp, RecoversAfterALostPacketByGoingBackToIt) {
    ASSERT_EQ(Send(SEND_FIRST, 10), VerifierStatusOK);
    ASSERT_EQ(Send(SEND_MIDLLE, 11), VerifierStatusOK);
    // 12 is lost: everything after it is refused until it comes again.
    const QpState beforeGap = State();
    EXPECT_EQ(Send(SEND_MIDLLE, 13), VerifierBadPsn);
    EXPECT_EQ(Send(SEND_LAST, 14), VerifierBadPsn);
    EXPECT_EQ(State(), beforeGap);

    EXPECT_EQ(Send(SEND_MIDLLE, 12), VerifierStatusOK);
    EXPECT_EQ(Send(SEND_MIDLLE, 13), VerifierStatusOK);
    EXPECT_EQ(Send(SEND_LAST, 14), VerifierStatusOK);
    EXPECT_EQ(Own().nextToSendPsn, 15u);
    EXPECT_EQ(Own().previousPacketOpCode, SEND_LAST);
}

TEST_F(SingleQp, RecordsAcknowledgementsAndPeerSendsWithoutChecking) {
    EXPECT_EQ(Verify(verifier, kDev, ACKNOWLEDGE, kOwnQp, 7), VerifierStatusOK);
    EXPECT_EQ(Own().firstNonAckedPsn, 8u);
    EXPECT_EQ(Verify(verifier, kDev, ACKNOWLEDGE, kPeerQp, 9), VerifierStatusOK);
    EXPECT_EQ(Own().oldestNonAckedPsn, 10u);
    EXPECT_EQ(Verify(verifier, kDev, SEND_LAST, kOwnQp, 30), VerifierStatusOK);
    EXPECT_EQ(Own().expectedPsn, 31u);

    // Values may go down again, and a peer's send never touches the own sequence.
    EXPECT_EQ(Verify(verifier, kDev, ACKNOWLEDGE, kOwnQp, 2), VerifierStatusOK);
    EXPECT_EQ(Verify(verifier, kDev, ACKNOWLEDGE, kPeerQp, 3), VerifierStatusOK);
    EXPECT_EQ(Verify(verifier, kDev, SEND_MIDLLE, kOwnQp, 4), VerifierStatusOK);
    EXPECT_EQ(Own().firstNonAckedPsn, 3u);
    EXPECT_EQ(Own().oldestNonAckedPsn, 4u);
    EXPECT_EQ(Own().expectedPsn, 5u);
    EXPECT_FALSE(Own().sendSequenceStarted);
    EXPECT_EQ(Own().previousPacketOpCode, SEND_LAST);
}

TEST_F(SingleQp, RefusesWhatNoQueuePairTakes) {
    const QpState before = State();
    EXPECT_EQ(Verify(verifier, 5, SEND_FIRST, kPeerQp, 1), VerifierStatusBad);
    EXPECT_EQ(Verify(verifier, kDev, SEND_FIRST, 0x33, 1), VerifierBadQp);
    for (unsigned int destQp : {kOwnQp, kPeerQp}) {
        EXPECT_EQ(Verify(verifier, kDev, static_cast<BthOpcode>(3), destQp, 1), VerifierBadQp);
        EXPECT_EQ(Verify(verifier, kDev, static_cast<BthOpcode>(6), destQp, 1), VerifierBadQp);
    }
    EXPECT_EQ(State(), before);

    verifier.AddDevice(Device{9, 1024, {}});
    EXPECT_EQ(Verify(verifier, 9, SEND_FIRST, kPeerQp, 1), VerifierBadQp);
}

// PSNs are 24-bit: one past 0xFFFFFF is 0, and "ahead" means less than half the
// space forward of the expected PSN.
TEST_F(SingleQp, RecordedPsnsWrapToZero) {
    EXPECT_EQ(Verify(verifier, kDev, ACKNOWLEDGE, kOwnQp, 0xFFFFFF), VerifierStatusOK);
    EXPECT_EQ(Verify(verifier, kDev, ACKNOWLEDGE, kPeerQp, 0xFFFFFF), VerifierStatusOK);
    EXPECT_EQ(Verify(verifier, kDev, SEND_ONLY, kOwnQp, 0xFFFFFF), VerifierStatusOK);
    EXPECT_EQ(Own().firstNonAckedPsn, 0u);
    EXPECT_EQ(Own().oldestNonAckedPsn, 0u);
    EXPECT_EQ(Own().expectedPsn, 0u);
}

TEST_F(SingleQp, SendSequenceStaysCheckedAcrossTheWrap) {
    ASSERT_EQ(Send(SEND_FIRST, 0xFFFFFE), VerifierStatusOK);
    ASSERT_EQ(Send(SEND_MIDLLE, 0xFFFFFF), VerifierStatusOK);
    EXPECT_EQ(Own().nextToSendPsn, 0u);
    EXPECT_TRUE(Own().sendSequenceStarted);

    // Expecting 0 is not "nothing sent yet": a gap or a bad opcode is still refused.
    QpState before = State();
    EXPECT_EQ(Send(SEND_MIDLLE, 5), VerifierBadPsn);
    EXPECT_EQ(Send(SEND_ONLY, 0), VerifierBadOpcodeSequence);
    EXPECT_EQ(State(), before);

    EXPECT_EQ(Send(SEND_MIDLLE, 0), VerifierStatusOK);
    EXPECT_EQ(Own().nextToSendPsn, 1u);
    before = State();
    EXPECT_EQ(Send(SEND_LAST, 2), VerifierBadPsn);
    EXPECT_EQ(Send(SEND_LAST, 0xFFFFFF), VerifierStatusOK);
    EXPECT_EQ(Send(SEND_FIRST, 0xFFFFF0), VerifierStatusOK);
    EXPECT_EQ(State(), before);
}

TEST_F(SingleQp, HalfTheSpaceSeparatesAheadFromBehind) {
    ASSERT_EQ(Send(SEND_ONLY, 0xFFFFF), VerifierStatusOK);  // expects 0x100000
    const QpState before = State();
    EXPECT_EQ(Send(SEND_ONLY, 0x100000 + 0x7FFFFF), VerifierBadPsn);
    EXPECT_EQ(Send(SEND_ONLY, 0x100000 + 0x800000), VerifierStatusOK);
    EXPECT_EQ(Send(SEND_ONLY, 0x100000 - 0x800000 + 0x1000000), VerifierStatusOK);
    EXPECT_EQ(Send(SEND_ONLY, 0x100000 - 0x800001 + 0x1000000), VerifierBadPsn);
    EXPECT_EQ(State(), before);
}

// Brings a fresh queue pair to the point where `previous` is its last accepted
// send, and returns the PSN it expects next.
unsigned int DriveTo(Verifier& verifier, BthOpcode previous) {
    std::vector<BthOpcode> path;
    if (previous == SEND_FIRST || previous == SEND_MIDLLE || previous == SEND_LAST) {
        path.push_back(SEND_FIRST);
    }
    if (previous != SEND_FIRST) {
        path.push_back(previous);
    }
    unsigned int psn = 40;
    for (BthOpcode opcode : path) {
        EXPECT_EQ(Verify(verifier, kDev, opcode, kPeerQp, psn++), VerifierStatusOK);
    }
    return psn;
}

VerifierStatus ExpectedAfter(BthOpcode previous, int current) {
    static const std::set<std::pair<int, int>> kLegalPairs = {{0, 1}, {0, 2}, {1, 1}, {1, 2},
                                                              {2, 0}, {2, 4}, {4, 0}, {4, 4}};
    if (kLegalPairs.count({previous, current}) != 0) {
        return VerifierStatusOK;
    }
    if (current == SEND_FIRST || current == SEND_MIDLLE || current == SEND_LAST ||
        current == SEND_ONLY) {
        return VerifierBadOpcodeSequence;
    }
    // An acknowledgement to the peer is recorded; every other opcode is no one's.
    return current == ACKNOWLEDGE ? VerifierStatusOK : VerifierBadQp;
}

TEST(OpcodeOrder, ExactlyTheEightPairsMayFollowEachOther) {
    for (BthOpcode previous : {SEND_FIRST, SEND_MIDLLE, SEND_LAST, SEND_ONLY}) {
        for (int current = 0; current <= 0xFF; ++current) {
            Verifier verifier;
            verifier.AddDevice(Device{kDev, 1024, {}});
            RegisterQuietly(verifier, kDev, kOwnQp, kPeerQp);
            const unsigned int psn = DriveTo(verifier, previous);
            ASSERT_EQ(QpAt(verifier, kDev, kOwnQp).previousPacketOpCode, previous);

            const VerifierStatus status =
                Verify(verifier, kDev, static_cast<BthOpcode>(current), kPeerQp, psn);
            EXPECT_EQ(status, ExpectedAfter(previous, current))
                << "after " << int{previous} << " came " << current;
            const bool sequenceMoved = QpAt(verifier, kDev, kOwnQp).nextToSendPsn != psn;
            EXPECT_EQ(sequenceMoved, status == VerifierStatusOK && current != ACKNOWLEDGE);
        }
    }
}

TEST(TwoQps, EachSideChecksItsOwnSendsAndRecordsThePeers) {
    Verifier verifier;
    verifier.AddDevice(Device{0, 1024, {}});
    verifier.AddDevice(Device{1, 1024, {}});
    RegisterQuietly(verifier, 0, 0x22, 0x11);  // server side
    RegisterQuietly(verifier, 1, 0x11, 0x22);  // client side

    // A client send to the server, seen on both ports.
    EXPECT_EQ(Verify(verifier, 1, SEND_FIRST, 0x22, 100), VerifierStatusOK);
    EXPECT_EQ(Verify(verifier, 0, SEND_FIRST, 0x22, 100), VerifierStatusOK);
    // The server acknowledges it.
    EXPECT_EQ(Verify(verifier, 0, ACKNOWLEDGE, 0x11, 100), VerifierStatusOK);
    EXPECT_EQ(Verify(verifier, 1, ACKNOWLEDGE, 0x11, 100), VerifierStatusOK);
    // A client send that skips a PSN is refused by the client side only.
    EXPECT_EQ(Verify(verifier, 1, SEND_LAST, 0x22, 102), VerifierBadPsn);
    EXPECT_EQ(Verify(verifier, 0, SEND_LAST, 0x22, 102), VerifierStatusOK);

    const Qp client = QpAt(verifier, 1, 0x11);
    EXPECT_EQ(client.nextToSendPsn, 101u);
    EXPECT_EQ(client.previousPacketOpCode, SEND_FIRST);
    EXPECT_EQ(client.firstNonAckedPsn, 101u);
    const Qp server = QpAt(verifier, 0, 0x22);
    EXPECT_EQ(server.expectedPsn, 103u);
    EXPECT_EQ(server.oldestNonAckedPsn, 101u);
    EXPECT_FALSE(server.sendSequenceStarted);
}

TEST(TwoQps, TheFirstMatchingRuleOfTheFirstQueuePairDecides) {
    Verifier verifier;
    verifier.AddDevice(Device{0, 1024, {}});
    RegisterQuietly(verifier, 0, 0x11, 0x22);
    RegisterQuietly(verifier, 0, 0x22, 0x11);
    EXPECT_EQ(Verify(verifier, 0, SEND_MIDLLE, 0x22, 5), VerifierBadOpcodeSequence);
    EXPECT_EQ(QpAt(verifier, 0, 0x22).expectedPsn, 0u);

    RegisterQuietly(verifier, 0, 0x33, 0x33);
    EXPECT_EQ(Verify(verifier, 0, SEND_MIDLLE, 0x33, 5), VerifierStatusOK);
    EXPECT_EQ(QpAt(verifier, 0, 0x33).expectedPsn, 6u);
    EXPECT_FALSE(QpAt(verifier, 0, 0x33).sendSequenceStarted);
}

TEST(TwoQps, ADeviceIdRegisteredTwiceIsFoundOnce) {
    Verifier verifier;
    verifier.AddDevice(Device{0, 1024, {}});
    verifier.AddDevice(Device{0, 1024, {}});
    RegisterQuietly(verifier, 0, 0x11, 0x22);
    EXPECT_EQ(Verify(verifier, 0, SEND_ONLY, 0x22, 1), VerifierStatusOK);
    EXPECT_EQ(QpAt(verifier, 0, 0x11).nextToSendPsn, 2u);
}

}  // namespace
