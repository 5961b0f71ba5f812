#include <gtest/gtest.h>

#include "tools/rocepeer/ReliableConnection.h"
#include "tools/rocepeer/RoceFrames.h"
#include "transport/Bth.h"

namespace {

using roceframes::GoBackN;
using roceframes::kSyndromeAck;
using roceframes::kSyndromePsnSequenceError;
using roceframes::ResponderQp;

std::vector<std::uint8_t> Opcodes(const std::vector<roceframes::PlannedPacket>& plan) {
    std::vector<std::uint8_t> opcodes;
    for (const auto& packet : plan) {
        opcodes.push_back(packet.opcode);
    }
    return opcodes;
}

TEST(PlanMessages, SegmentsByMtuIntoOnlyOrFirstMiddleLast) {
    const auto plan = roceframes::PlanMessages(4, {0, 1024, 1025, 3000}, 1024);
    EXPECT_EQ(Opcodes(plan), (std::vector<std::uint8_t>{SEND_ONLY, SEND_ONLY, SEND_FIRST, SEND_LAST,
                                                        SEND_FIRST, SEND_MIDLLE, SEND_LAST}));
    EXPECT_EQ(plan[3].length, 1u);
    EXPECT_EQ(plan[3].offset, 1024u);
    EXPECT_EQ(plan[6].length, 3000u - 2048u);
    EXPECT_TRUE(plan[6].lastOfMessage);
    EXPECT_FALSE(plan[5].lastOfMessage);
    EXPECT_EQ(plan[6].message, 3u);
}

TEST(ResponderQp, AcknowledgesInOrderPacketsOnlyWhenAsked) {
    ResponderQp qp(0xFFFFFE);
    EXPECT_FALSE(qp.OnPacket(SEND_FIRST, 0xFFFFFE, false));
    const auto ack = qp.OnPacket(SEND_LAST, 0xFFFFFF, true);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->syndrome, kSyndromeAck);
    EXPECT_EQ(ack->psn, 0xFFFFFFu);
    EXPECT_EQ(ack->msn, 1u);
    EXPECT_EQ(qp.ExpectedPsn(), 0u) << "PSNs wrap at 24 bits";
    EXPECT_TRUE(qp.OnPacket(SEND_ONLY, 0, true));
    EXPECT_EQ(qp.Messages(), 2u);
}

TEST(ResponderQp, ReacknowledgesDuplicatesWithTheNewestPsn) {
    ResponderQp qp(0);
    qp.OnPacket(SEND_ONLY, 0, true);
    qp.OnPacket(SEND_ONLY, 1, true);
    const auto again = qp.OnPacket(SEND_ONLY, 0, false);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->syndrome, kSyndromeAck);
    EXPECT_EQ(again->psn, 1u);
    EXPECT_EQ(qp.Duplicates(), 1u);
    EXPECT_EQ(qp.ExpectedPsn(), 2u);
}

TEST(ResponderQp, NaksTheFirstGapOnceAndDropsLaterPacketsUntilTheMissingOneComes) {
    ResponderQp qp(0xFFFFFF);
    qp.OnPacket(SEND_ONLY, 0xFFFFFF, true);
    const auto nak = qp.OnPacket(SEND_ONLY, 1, true);
    ASSERT_TRUE(nak);
    EXPECT_EQ(nak->syndrome, kSyndromePsnSequenceError);
    EXPECT_EQ(nak->psn, 0u);
    EXPECT_FALSE(qp.OnPacket(SEND_ONLY, 2, true));
    EXPECT_EQ(qp.ExpectedPsn(), 0u);
    EXPECT_TRUE(qp.OnPacket(SEND_ONLY, 0, true));
    EXPECT_TRUE(qp.OnPacket(SEND_ONLY, 1, true));
    EXPECT_EQ(qp.OnPacket(SEND_ONLY, 3, true)->syndrome, kSyndromePsnSequenceError)
        << "a new gap after recovery is NAKed again";
    EXPECT_EQ(qp.Naks(), 2u);
    EXPECT_EQ(qp.OutOfOrder(), 3u);
}

TEST(ResponderQp, TakesTheFirstPsnWhenNoneWasAgreed) {
    ResponderQp qp;
    EXPECT_TRUE(qp.OnPacket(SEND_ONLY, 0x777777, true));
    EXPECT_EQ(qp.ExpectedPsn(), 0x777778u);
}

void SendAll(GoBackN& window) {
    while (window.CanSend()) {
        window.MarkSent();
    }
}

TEST(GoBackN, KeepsAtMostAWindowOutstandingAndSlidesOnCumulativeAcks) {
    GoBackN window(10, 0xFFFFFD, 4);
    SendAll(window);
    EXPECT_EQ(window.Next(), 4u);
    EXPECT_TRUE(window.WindowFull());
    EXPECT_EQ(window.PsnOf(3), 0u);
    EXPECT_TRUE(window.OnAck(0xFFFFFF));
    EXPECT_EQ(window.Acked(), 3u);
    EXPECT_FALSE(window.OnAck(0xFFFFFE)) << "an old acknowledgement changes nothing";
    EXPECT_FALSE(window.OnAck(5)) << "a PSN never sent is not acknowledged";
    SendAll(window);
    EXPECT_EQ(window.Next(), 7u);
}

TEST(GoBackN, NakAndTimeoutResendFromTheFirstMissingPacket) {
    GoBackN window(6, 100, 6);
    SendAll(window);
    EXPECT_TRUE(window.OnNak(102));
    EXPECT_EQ(window.Acked(), 2u);
    EXPECT_EQ(window.Next(), 2u);
    EXPECT_TRUE(window.MarkSent()) << "resending counts as a retransmission";
    window.OnTimeout();
    EXPECT_EQ(window.Next(), 2u);
    SendAll(window);
    EXPECT_FALSE(window.OnNak(200));
    EXPECT_TRUE(window.OnAck(105));
    EXPECT_TRUE(window.Done());
}

}  // namespace
