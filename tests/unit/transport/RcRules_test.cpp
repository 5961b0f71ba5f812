#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "tests/unit/transport/VerifierBench.h"

namespace {

using namespace opcode;
using namespace verifier_bench;

// Packets to kClientQp come from the server's host, those to kServerQp from the client's.
constexpr std::uint32_t S = kClientQp;
constexpr std::uint32_t C = kServerQp;
constexpr std::uint8_t kAck = 0x00;
constexpr std::uint8_t kSequenceNak = 0x60;
const std::string ok = "accepted";
const std::string dup = "duplicate";

using Psns = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>;
// nextToSendPsn, firstNonAckedPsn, expectedPsn, oldestNonAckedPsn: what the idle report shows.
Psns PsnsOf(const Qp& qp) {
    return {qp.nextToSendPsn, qp.firstNonAckedPsn, qp.expectedPsn, qp.oldestNonAckedPsn};
}

// Both hosts send and read across the PSN wrap; unreliable, datagram and congestion packets in
// between disturb no sequence.
TEST(RcRules, AMixedExchangeAcrossThePsnWrapIsAcceptedWhole) {
    const Steps steps = {
        {{kSendFirst, S, 0xFFFFFD}, ok},
        {{kUcSendFirst, C, 7}, ok},
        {{kSendMiddle, S, 0xFFFFFE}, ok},
        {{kSendLastWithImmediate, S, 0xFFFFFF}, ok},
        {{kRdmaWriteFirst, S, 0, 3000}, ok},
        {{kRdmaWriteMiddle, S, 1}, ok},
        {{kRdmaWriteLastWithImmediate, S, 2}, ok},
        {{kRdmaReadRequest, S, 3, 2500}, ok},
        {{kCompareSwap, S, 6}, ok},
        {{kRdmaWriteOnly, S, 7, 8}, ok},
        {{kSendOnlyWithInvalidate, S, 8}, ok},
        {{kRdmaReadResponseFirst, C, 3, {}, 0x1F}, ok},
        {{kRdmaReadResponseMiddle, C, 4}, ok},
        {{kCnp, S, 0}, ok},
        {{kRdmaReadResponseLast, C, 5, {}, kAck}, ok},
        {{kAtomicAcknowledge, C, 6, {}, kAck}, ok},
        {{kAcknowledge, C, 8, {}, kAck}, ok},
        {{kRdmaReadRequest, C, 0xFFFFFE, 0}, ok},
        {{kRdmaReadRequest, C, 0xFFFFFF, 1500}, ok},
        {{kSendOnly, C, 1}, ok},
        {{kFetchAdd, C, 2}, ok},
        {{kUdSendOnly, C, 0}, ok},
        {{kRdmaReadResponseOnly, S, 0xFFFFFE, {}, kAck}, ok},
        {{kRdmaReadResponseFirst, S, 0xFFFFFF, {}, kAck}, ok},
        {{kRdmaReadResponseLast, S, 0, {}, kAck}, ok},
        {{kAcknowledge, S, 1, {}, kAck}, ok},
        {{kAtomicAcknowledge, S, 2, {}, kAck}, ok},
    };
    Bench bench;
    EXPECT_EQ(bench.Mismatches(steps), Mismatch{});
    const VerificationReport report = bench.verifier.Report();
    EXPECT_EQ(std::make_tuple(report.packets, report.refused, report.queuePairs.size()),
              std::make_tuple(std::uint64_t{27}, std::uint64_t{0}, std::size_t{2}));
    EXPECT_EQ(EntryOf(report, 0, S).cnps, 1u);
    EXPECT_EQ(EntryOf(report, 0, S).peer, kServerQp);
    EXPECT_EQ(PsnsOf(bench.ServerQp()), Psns(9, 9, 3, 3));
}

// The server's 12 is lost before the bench: 13 and 14 are ahead, as is all up to half the PSN
// space on, until the client's NAK sends the server back to 10. The client's requests to the
// server's responder run the same way, and the server's NAK must name the PSN its responder
// waits for.
TEST(RcRules, ALostRequestIsRefusedAheadThenRepeatedRequestsAreDuplicates) {
    const Steps steps = {
        {{kSendOnly, S, 10}, ok},
        {{kSendOnly, S, 11}, ok},
        {{kSendOnly, S, 0x80000B}, "bad_psn"},  // the last ahead
        {{kSendOnly, S, 0x80000C}, dup},        // the first behind
        {{kSendOnly, S, 13}, "bad_psn"},
        {{kSendOnly, S, 14}, "bad_psn"},
        {{kAcknowledge, C, 12, {}, kSequenceNak}, ok},
        {{kSendOnly, S, 10}, dup},
        {{kSendOnly, S, 11}, dup},
        {{kSendOnly, S, 12}, ok},
        {{kSendOnly, S, 13}, ok},
        {{kSendOnly, S, 14}, ok},
        {{kSendFirst, C, 20}, ok},
        {{kSendLast, C, 22}, "bad_psn"},
        {{kAcknowledge, S, 22, {}, kSequenceNak}, "bad_nak_psn"},
        // Sent before request 20 crossed it on the wire.
        {{kAcknowledge, S, 20, {}, kSequenceNak}, ok},
        {{kAcknowledge, S, 21, {}, kSequenceNak}, ok},
        {{kSendFirst, C, 20}, dup},
        {{kSendLast, C, 21}, ok},
        {{kSendOnly, C, 22}, ok},
    };
    Bench bench;
    EXPECT_EQ(bench.Mismatches(steps), Mismatch{});
    const VerificationReport report = bench.verifier.Report();
    EXPECT_EQ(report.refused, 5u);
    const QpReport server = EntryOf(report, 0, S);
    EXPECT_EQ(std::make_tuple(server.packets, server.accepted, server.duplicates),
              std::make_tuple(std::uint64_t{14}, std::uint64_t{10}, std::uint64_t{3}));
    ASSERT_EQ(server.firstRefused.size(), 4u);
    EXPECT_EQ(server.firstRefused[0].expectedPsn, 12u);
    EXPECT_EQ(server.firstRefused[3].kind, "bad_nak_psn");
    EXPECT_EQ(server.firstRefused[3].expectedPsn, 21u);
    EXPECT_EQ(EntryOf(report, 0, C).naks.psnSequenceError, 1u);
    EXPECT_EQ(EntryOf(report, 0, C).duplicates, 1u);
    EXPECT_EQ(PsnsOf(bench.ServerQp()), Psns(15, 12, 23, 21));
}

// Each row starts a fresh connection; a refused packet leaves the message as it was, so the
// row's next packet continues from before it. Both hosts' requests are held to the same order.
TEST(RcRules, OpcodesFollowEachOtherOnlyWithinAMessageOfTheirKind) {
    const std::vector<std::vector<std::pair<std::uint8_t, bool>>> rows = {
        {{kSendFirst, true}, {kRdmaWriteMiddle, false}, {kSendLast, true}},
        {{kRdmaWriteFirst, true}, {kSendLast, false}, {kRdmaWriteLastWithImmediate, true}},
        {{kSendFirst, true}, {kSendOnly, false}, {kRdmaReadRequest, false}, {kSendMiddle, true}},
        {{kRdmaWriteFirst, true}, {kFetchAdd, false}, {kRdmaWriteOnly, false}},
        {{kSendMiddle, false}, {kRdmaWriteLast, false}, {kSendLastWithInvalidate, false}},
        {{kSendOnly, true},
         {kSendLast, false},
         {kRdmaReadRequest, true},
         {kRdmaWriteMiddle, false}},
        {{kRdmaWriteFirst, true},
         {kRdmaWriteMiddle, true},
         {kRdmaWriteLast, true},
         {kSendFirst, true},
         {kSendLastWithInvalidate, true},
         {kCompareSwap, true},
         {kSendOnlyWithImmediate, true}},
    };
    for (const std::uint32_t dest : {S, C}) {
        for (std::size_t row = 0; row < rows.size(); ++row) {
            Bench bench;
            Steps steps;
            std::uint32_t psn = 0;
            for (const auto& [value, legal] : rows[row]) {
                steps.push_back({Packet{value, dest, psn}, legal ? ok : "bad_opcode_sequence"});
                psn += legal ? 1 : 0;
            }
            EXPECT_EQ(bench.Mismatches(steps), Mismatch{}) << "row " << row << " to " << dest;
        }
    }
}

// A read of 4096 bytes at 1024 per packet spans 100..103. A response fits only where its
// position says; a later response retires the read, a repeated READ request opens it again
// with the length it now asks for.
TEST(RcRules, ReadResponsesMustFillAnOutstandingReadInTheirPlace) {
    const Steps steps = {
        {{kRdmaReadRequest, S, 100, 4096}, ok},
        {{kRdmaReadRequest, S, 104, 1}, ok},
        {{kRdmaReadResponseMiddle, C, 100}, "bad_read_response"},
        {{kRdmaReadResponseFirst, C, 100, {}, kAck}, ok},
        {{kRdmaReadResponseLast, C, 102, {}, kAck}, "bad_read_response"},
        {{kRdmaReadResponseMiddle, C, 101}, ok},
        {{kRdmaReadResponseMiddle, C, 101}, ok},
        {{kRdmaReadResponseMiddle, C, 102}, ok},
        {{kRdmaReadResponseOnly, C, 103, {}, kAck}, "bad_read_response"},
        {{kRdmaReadResponseLast, C, 103, {}, kAck}, ok},
        {{kRdmaReadResponseLast, C, 103, {}, kAck}, ok},
        {{kRdmaReadResponseFirst, C, 104, {}, kAck}, "bad_read_response"},
        {{kRdmaReadResponseOnly, C, 104, {}, kAck}, ok},
        {{kRdmaReadResponseMiddle, C, 102}, "bad_read_response"},
        {{kRdmaReadResponseOnly, C, 105, {}, kAck}, "bad_read_response"},
        {{kRdmaReadRequest, S, 102, 2048}, dup},
        {{kRdmaReadResponseFirst, C, 102, {}, kAck}, ok},
        {{kRdmaReadResponseLast, C, 103, {}, kAck}, ok},
        {{kRdmaReadRequest, S, 102, 1024}, dup},
        {{kRdmaReadResponseLast, C, 103, {}, kAck}, "bad_read_response"},
        {{kRdmaReadResponseOnly, C, 102, {}, kAck}, ok},
        {{kRdmaReadResponseOnly, S, 7, {}, kAck}, ok},
    };
    Bench bench;
    EXPECT_EQ(bench.Mismatches(steps), Mismatch{});
    EXPECT_EQ(bench.ServerQp().nextToSendPsn, 105u);

    // 4096-byte packets make one response of a 4096-byte read; an MTU no link has counts as
    // 1024. The spans run across the wrap.
    for (const auto& [mtu, firstLength, secondAt, next] :
         {std::make_tuple(4096u, 4096u, 0xFFFFFFu, 1u), std::make_tuple(1000u, 2048u, 0u, 5u)}) {
        Bench sized(RuleSet::Rc, mtu);
        EXPECT_EQ(sized.Mismatches({{{kRdmaReadRequest, S, 0xFFFFFE, firstLength}, ok},
                                    {{kRdmaReadRequest, S, secondAt, 4097}, ok}}),
                  Mismatch{})
            << mtu;
        EXPECT_EQ(sized.ServerQp().nextToSendPsn, next) << mtu;
    }
}

// The same acknowledgements under both rule sets: NAKs are counted by code either way; the rc
// rules refuse syndromes a reliable connection never sends, and take a NAK's PSN as the first
// not acknowledged, where the send rules take any acknowledgement's as the last acknowledged.
TEST(RcRules, NaksAreCountedByCodeUnderBothRuleSets) {
    const std::vector<std::tuple<std::uint8_t, std::uint8_t, std::string, std::string>> rows = {
        {kAcknowledge, 0x00, ok, ok},
        {kAcknowledge, 0x1F, ok, ok},
        {kAcknowledge, 0x61, ok, ok},
        {kAcknowledge, 0x62, ok, ok},
        {kAcknowledge, 0x63, ok, ok},
        {kAcknowledge, 0x63, ok, ok},
        {kAcknowledge, 0x2E, ok, ok},
        {kAcknowledge, 0x20, ok, ok},
        {kAcknowledge, 0x64, "bad_aeth", ok},
        {kAcknowledge, 0x40, "bad_aeth", ok},
        {kRdmaReadResponseOnly, kSequenceNak, "bad_aeth", "outside_rules"},
        {kAcknowledge, kSequenceNak, ok, ok},
    };
    for (const RuleSet rules : {RuleSet::Rc, RuleSet::Send}) {
        Bench bench(rules);
        Steps steps;
        for (const auto& [value, syndrome, underRc, underSend] : rows) {
            steps.push_back(
                {Packet{value, C, 50, {}, syndrome}, rules == RuleSet::Rc ? underRc : underSend});
        }
        EXPECT_EQ(bench.Mismatches(steps), Mismatch{}) << (rules == RuleSet::Rc ? "rc" : "send");
        const NakCounts naks = EntryOf(bench.verifier.Report(), 0, C).naks;
        EXPECT_EQ(std::make_tuple(naks.psnSequenceError, naks.invalidRequest,
                                  naks.remoteAccessError, naks.remoteOperationalError, naks.rnr),
                  std::make_tuple(1, 1, 1, 2, 2));
        EXPECT_EQ(bench.ServerQp().firstNonAckedPsn, rules == RuleSet::Rc ? 50u : 51u);
    }
}

// Traffic the send rules have no rule for is set apart from refusals; what no rule set can
// take is refused under both.
TEST(RcRules, TheSendRulesCountWhatTheyDoNotHandleAsOutsideThem) {
    const std::vector<std::pair<Packet, std::string>> traffic = {
        {{kRdmaWriteFirst, S, 0, 2048}, "outside_rules"},
        {{kRdmaWriteMiddle, S, 1}, "outside_rules"},
        {{kRdmaWriteLast, S, 2}, "outside_rules"},
        {{kRdmaReadRequest, S, 3, 10}, "outside_rules"},
        {{kRdmaReadResponseOnly, C, 3, {}, kAck}, "outside_rules"},
        {{kFetchAdd, S, 4}, "outside_rules"},
        {{kAtomicAcknowledge, C, 4, {}, kAck}, "outside_rules"},
        {{kUcRdmaWriteOnlyWithImmediate, S, 9, 4}, "outside_rules"},
        {{kCnp, C, 0}, "outside_rules"},
        {{0xFF, S, 5}, "unknown_opcode"},
        {{kSendOnly, 0x99, 5}, "unregistered_qp"},
    };
    for (const RuleSet rules : {RuleSet::Rc, RuleSet::Send}) {
        Bench bench(rules);
        Steps steps = traffic;
        if (rules == RuleSet::Rc) {
            for (auto& [packet, outcome] : steps) {
                outcome = outcome == "outside_rules" ? ok : outcome;
            }
        }
        EXPECT_EQ(bench.Mismatches(steps), Mismatch{});
        // Cut inside its RETH: the rc rules cannot tell how far the read reaches.
        EXPECT_EQ(bench.Outcome({kRdmaReadRequest, S, 3, {}, {}, true}),
                  rules == RuleSet::Rc ? "short_packet" : "outside_rules");
        const VerificationReport report = bench.verifier.Report();
        EXPECT_EQ(report.refused, rules == RuleSet::Rc ? 3u : 2u);
        EXPECT_EQ(report.outsideRules, rules == RuleSet::Send ? 10u : 0u);
    }
}

}  // namespace
