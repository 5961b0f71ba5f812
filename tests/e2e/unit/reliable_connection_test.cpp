#include <gtest/gtest.h>

#include "tools/rocepeer/ReliableConnection.h"
#include "tools/rocepeer/RoceFrames.h"
#include "transport/Bth.h"

namespace {

using namespace roceframes;

TEST(PlanMessages, SegmentsByMtuIntoOnlyOrFirstMiddleLast) {
    const auto plan = PlanMessages(4, {0, 1024, 1025, 3000}, 1024);
    std::vector<std::uint8_t> opcodes;
    for (const PlannedPacket& packet : plan) {
        opcodes.push_back(packet.opcode);
    }
    EXPECT_EQ(opcodes, (std::vector<std::uint8_t>{SEND_ONLY, SEND_ONLY, SEND_FIRST, SEND_LAST,
                                                  SEND_FIRST, SEND_MIDLLE, SEND_LAST}));
    EXPECT_EQ(std::make_pair(plan[3].offset, plan[3].length), std::make_pair(1024u, 1u));
    EXPECT_EQ(std::make_pair(plan[6].offset, plan[6].length), std::make_pair(2048u, 952u));
    EXPECT_EQ(plan[6].message, 3u);
    EXPECT_TRUE(plan[6].lastOfMessage);
    EXPECT_FALSE(plan[5].lastOfMessage);
}

TEST(ResponderQp, AcknowledgesInOrderPacketsWhenAskedAcrossThePsnWrap) {
    ResponderQp qp(0xFFFFFE);
    EXPECT_FALSE(qp.OnPacket(SEND_FIRST, 0xFFFFFE, false));
    const auto ack = qp.OnPacket(SEND_LAST, 0xFFFFFF, true);
    ASSERT_TRUE(ack);
    EXPECT_EQ(std::make_tuple(ack->syndrome, ack->psn, ack->msn),
              std::make_tuple(kSyndromeAck, 0xFFFFFFu, 1u));
    EXPECT_EQ(qp.ExpectedPsn(), 0u);
    EXPECT_TRUE(qp.OnPacket(SEND_ONLY, 0, true));
    EXPECT_EQ(qp.Messages(), 2u);

    ResponderQp unagreed;
    EXPECT_TRUE(unagreed.OnPacket(SEND_ONLY, 0x777777, true));
    EXPECT_EQ(unagreed.ExpectedPsn(), 0x777778u) << "takes the first PSN when none was agreed";
}

TEST(ResponderQp, ReacknowledgesDuplicatesWithTheNewestPsnAndNaksEachGapOnce) {
    ResponderQp qp(0xFFFFFF);
    qp.OnPacket(SEND_ONLY, 0xFFFFFF, true);
    qp.OnPacket(SEND_ONLY, 0, true);
    const auto again = qp.OnPacket(SEND_ONLY, 0xFFFFFF, false);
    ASSERT_TRUE(again);
    EXPECT_EQ(std::make_pair(again->syndrome, again->psn), std::make_pair(kSyndromeAck, 0u));
    const auto nak = qp.OnPacket(SEND_ONLY, 2, true);
    ASSERT_TRUE(nak);
    EXPECT_EQ(std::make_pair(nak->syndrome, nak->psn),
              std::make_pair(kSyndromePsnSequenceError, 1u));
    EXPECT_FALSE(qp.OnPacket(SEND_ONLY, 3, true)) << "later packets are dropped silently";
    EXPECT_TRUE(qp.OnPacket(SEND_ONLY, 1, true));
    EXPECT_TRUE(qp.OnPacket(SEND_ONLY, 2, true));
    EXPECT_EQ(qp.OnPacket(SEND_ONLY, 4, true)->syndrome, kSyndromePsnSequenceError)
        << "a new gap after recovery is NAKed again";
    EXPECT_EQ(std::make_tuple(qp.Duplicates(), qp.Naks(), qp.OutOfOrder(), qp.ExpectedPsn()),
              std::make_tuple(1u, 2u, 3u, 3u));
}

void SendAll(GoBackN& window) {
    while (window.CanSend()) {
        window.MarkSent();
    }
}

TEST(GoBackN, KeepsAWindowOutstandingSlidesOnAcksAndResendsFromTheFirstMissing) {
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

    EXPECT_TRUE(window.OnNak(1));
    EXPECT_EQ(window.Acked(), 4u);
    EXPECT_EQ(window.Next(), 4u);
    EXPECT_TRUE(window.MarkSent()) << "resending counts as a retransmission";
    window.OnTimeout();
    EXPECT_EQ(window.Next(), 4u);
    EXPECT_FALSE(window.OnNak(200));
    SendAll(window);
    EXPECT_TRUE(window.OnAck(window.PsnOf(6)));
    SendAll(window);
    EXPECT_TRUE(window.OnAck(window.PsnOf(9)));
    EXPECT_TRUE(window.Done());
}

}  // namespace
