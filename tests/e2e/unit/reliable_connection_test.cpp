// rocepeer's reliable-connection rules without sockets: what a READ does to the PSNs of both
// ends, go-back-N over READs across the 24-bit wrap, and the pace of congestion notifications.
#include <gtest/gtest.h>

#include "tools/rocepeer/ReliableConnection.h"
#include "tools/rocepeer/RoceFrames.h"
#include "transport/Opcode.h"

namespace {

using namespace roceframes;
using Kind = Reply::Kind;

// A READ takes a PSN per MTU of its response, at least one; a repeated one is answered again,
// one the responder will not answer is refused without moving on.
TEST(Responder, AnswersAReadOnAPsnPerMtuAndAgainWhenItComesAgain) {
    ResponderQp qp(0xFFFFFE, 1024);
    const auto read = qp.OnPacket(opcode::kRdmaReadRequest, 0xFFFFFE, false, 2049);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->kind, Kind::ReadResponse);
    EXPECT_EQ(read->psn, 0xFFFFFEu);
    EXPECT_EQ(read->msn, 1u);
    EXPECT_EQ(qp.ExpectedPsn(), 1u);
    EXPECT_EQ(qp.OnPacket(opcode::kRdmaReadRequest, 1, false, 0)->psn, 1u);
    EXPECT_EQ(qp.ExpectedPsn(), 2u);

    const auto again = qp.OnPacket(opcode::kRdmaReadRequest, 0xFFFFFE, false, 2049);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->kind, Kind::ReadResponse);
    EXPECT_EQ(again->psn, 0xFFFFFEu);
    // A send behind is acknowledged with the newest PSN, as before.
    const auto old = qp.OnPacket(opcode::kSendOnly, 0, true);
    EXPECT_EQ(old->kind, Kind::Acknowledge);
    EXPECT_EQ(old->psn, 1u);
    EXPECT_EQ(qp.Duplicates(), 2u);

    for (const auto length : {std::optional<std::uint32_t>{}, {kMaxReadLength + 1}}) {
        const auto refused = qp.OnPacket(opcode::kRdmaReadRequest, 2, false, length);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->syndrome, kSyndromeInvalidRequest);
    }
    EXPECT_EQ(qp.ExpectedPsn(), 2u);
    EXPECT_EQ(qp.Messages(), 2u);
}

TEST(Responder, CountsWritesAsMessagesAtTheirEnd) {
    ResponderQp qp(0);
    const std::uint8_t packets[] = {opcode::kRdmaWriteFirst, opcode::kRdmaWriteLastWithImmediate,
                                    opcode::kRdmaWriteOnly, opcode::kRdmaWriteMiddle};
    for (std::uint32_t psn = 0; psn < 4; ++psn) {
        EXPECT_FALSE(qp.OnPacket(packets[psn], psn, false));
    }
    EXPECT_EQ(qp.Messages(), 2u);
    EXPECT_EQ(qp.Accepted(), 4u);
}

TEST(Plan, GivesEachOperationItsOpcodesAndAReadItsResponsePsns) {
    const auto plan = PlanMessages(4, {2500, 100, 2500, 0}, 1024,
                                   {Operation::Write, Operation::WriteImmediate, Operation::Read});
    std::vector<std::uint8_t> opcodes;
    std::vector<std::uint64_t> psnOffsets;
    for (const PlannedPacket& packet : plan) {
        opcodes.push_back(packet.opcode);
        psnOffsets.push_back(packet.psnOffset);
    }
    using namespace opcode;
    EXPECT_EQ(opcodes, (std::vector<std::uint8_t>{kRdmaWriteFirst, kRdmaWriteMiddle, kRdmaWriteLast,
                                                  kRdmaWriteOnlyWithImmediate, kRdmaReadRequest,
                                                  kRdmaWriteOnly}));
    EXPECT_EQ(psnOffsets, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 7}));
    EXPECT_EQ(plan[4].length, 0u) << "a READ request carries no data";
    EXPECT_EQ(plan[4].messageLength, 2500u);
    EXPECT_EQ(plan[5].length, 0u);
}

// WRITE (2 packets), READ of 3 PSNs, SEND, starting two before the wrap.
class Window : public ::testing::Test {
protected:
    Window()
        : plan_(PlanMessages(3, {2048, 3000, 10}, 1024,
                             {Operation::Write, Operation::Read, Operation::Send})),
          window_(plan_, 0xFFFFFE, 8) {
        while (window_.CanSend()) {
            window_.MarkSent();
        }
    }
    std::vector<PlannedPacket> plan_;
    GoBackN window_;
};

TEST_F(Window, NumbersPacketsAcrossTheWrapAndCompletesAReadByItsWholeResponseInOrder) {
    EXPECT_EQ(window_.PsnOf(2), 0u);
    EXPECT_EQ(window_.PsnOf(3), 3u);
    EXPECT_EQ(window_.Outstanding(1), 2u);
    // An acknowledgement up to the READ leaves it waiting for its response.
    EXPECT_TRUE(window_.OnAck(0xFFFFFF));
    EXPECT_EQ(window_.Acked(), 2u);
    EXPECT_FALSE(window_.OnReadResponse(0, opcode::kRdmaReadResponseMiddle)) << "not first";
    EXPECT_TRUE(window_.OnReadResponse(0, opcode::kRdmaReadResponseFirst));
    EXPECT_FALSE(window_.OnReadResponse(0, opcode::kRdmaReadResponseFirst)) << "again";
    EXPECT_TRUE(window_.OnReadResponse(1, opcode::kRdmaReadResponseMiddle));
    EXPECT_TRUE(window_.OnReadResponse(2, opcode::kRdmaReadResponseLast));
    EXPECT_EQ(window_.Acked(), 3u);
    EXPECT_TRUE(window_.OnAck(3));
    EXPECT_TRUE(window_.Done());
}

TEST_F(Window, AResponseAcknowledgesTheRequestsBeforeItsRead) {
    EXPECT_TRUE(window_.OnReadResponse(0, opcode::kRdmaReadResponseFirst));
    EXPECT_EQ(window_.Acked(), 2u);
    EXPECT_EQ(window_.Next(), 4u);
}

// An acknowledgement beyond a READ whose response has not come, or a gap in its response, sends
// from the READ again, once until something changes.
TEST_F(Window, AnAnswerBeyondAnUnansweredReadSendsItAgainOnce) {
    EXPECT_TRUE(window_.OnAck(3));
    EXPECT_EQ(window_.Acked(), 2u);
    EXPECT_EQ(window_.Next(), 2u);
    window_.MarkSent();
    window_.MarkSent();
    EXPECT_FALSE(window_.OnAck(3));
    EXPECT_EQ(window_.Next(), 4u) << "rewound once only";

    EXPECT_FALSE(window_.OnReadResponse(1, opcode::kRdmaReadResponseMiddle));
    EXPECT_EQ(window_.Next(), 4u);
    window_.OnTimeout();
    EXPECT_EQ(window_.Next(), 2u);
    // A NAK names the READ: everything before it is done.
    EXPECT_TRUE(window_.OnNak(0));
    EXPECT_EQ(window_.Acked(), 2u);
}

TEST_F(Window, IgnoresAnswersOutsideWhatWasSent) {
    EXPECT_FALSE(window_.OnAck(4));
    EXPECT_FALSE(window_.OnAck(0xFFFFFD));
    EXPECT_FALSE(window_.OnReadResponse(3, opcode::kRdmaReadResponseOnly)) << "a SEND's PSN";
    // The next unsent, but the READ before it has had no response.
    EXPECT_TRUE(window_.OnNak(4));
    EXPECT_EQ(window_.Acked(), 2u);
    EXPECT_EQ(window_.Next(), 2u);
}

TEST(CnpPacer, AllowsOnePerQueuePairPerIntervalOrEveryOneWithoutInterval) {
    using std::chrono::microseconds;
    const CnpPacer::Clock::time_point start;
    CnpPacer paced(microseconds(50));
    EXPECT_TRUE(paced.Allow(0x11, start));
    EXPECT_FALSE(paced.Allow(0x11, start + microseconds(49)));
    EXPECT_TRUE(paced.Allow(0x22, start + microseconds(49)));
    EXPECT_TRUE(paced.Allow(0x11, start + microseconds(50)));
    EXPECT_FALSE(paced.Allow(0x11, start + microseconds(99)));
    CnpPacer every(microseconds(0));
    EXPECT_TRUE(every.Allow(0x11, start));
    EXPECT_TRUE(every.Allow(0x11, start));
}

}  // namespace
