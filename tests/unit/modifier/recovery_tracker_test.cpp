#include "modifier/RecoveryTracker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "modifier/FaultSummary.h"
#include "tests/unit/modifier/ModifierTest.h"
#include "transport/Opcode.h"

namespace {

constexpr auto kC2s = FaultDirection::ClientToServer;
constexpr auto kS2c = FaultDirection::ServerToClient;
constexpr std::uint32_t kClientQp = 0x11;
constexpr std::uint32_t kServerQp = 0x12;
constexpr std::uint8_t kAck = 0x1F;
constexpr std::uint8_t kNak = 0x60;

std::optional<std::uint32_t> PeerOf(std::uint32_t qp) {
    if (qp == kClientQp || qp == kServerQp) {
        return qp ^ kClientQp ^ kServerQp;
    }
    return std::nullopt;
}

// The client's request to the server's queue pair, arriving at the bench `us` microseconds in.
Sighting Request(std::int64_t us, std::uint32_t psn, std::uint32_t qp = kServerQp) {
    return Sighting{us * 1000, kC2s, true, qp, psn, opcode::kSendOnly, std::nullopt};
}
Sighting Acknowledge(std::int64_t us, std::uint32_t psn, std::uint8_t syndrome) {
    return Sighting{us * 1000, kS2c, true, kClientQp, psn, opcode::kAcknowledge, syndrome};
}
Sighting Cnp(std::int64_t us, std::uint32_t qp = kClientQp) {
    return Sighting{us * 1000, kS2c, true, qp, 0, opcode::kCnp, std::nullopt};
}

Firing Fire(std::size_t rule, std::int64_t us, std::uint32_t psn, FaultAction action,
            std::uint32_t qp = kServerQp, FaultDirection direction = kC2s,
            std::uint8_t opcode = opcode::kSendOnly) {
    return Firing{rule, direction, qp, psn, opcode, us * 1000, action, 0};
}

// A packet arriving, and then, as the frame path has it, its firing.
void Arrive(RecoveryTracker& tracker, const Sighting& sighting, std::size_t rule = 0,
            FaultAction action = FaultAction::Drop) {
    tracker.Observe(sighting);
    if (rule != 0) {
        tracker.Fired(Fire(rule, sighting.timeNs / 1000, sighting.psn, action, sighting.qp,
                           sighting.direction, sighting.opcode));
    }
}

TEST(RecoveryTracker, TimesTheNakAndTheRetransmissionThatFollowsIt) {
    RecoveryTracker tracker(PeerOf);
    Arrive(tracker, Request(0, 5), 1);
    Sighting leaving = Request(50, 5);
    leaving.arriving = false;
    for (const Sighting& sighting :
         {leaving, Request(100, 6), Acknowledge(120, 4, kAck), Acknowledge(150, 5, kNak),
          Request(300, 5), Acknowledge(310, 5, kNak)}) {
        tracker.Observe(sighting);
    }
    const std::vector<Recovery> recoveries = tracker.Recoveries();
    ASSERT_EQ(recoveries.size(), 1u);
    EXPECT_EQ(recoveries[0].firing.psn, 5u);
    EXPECT_EQ(recoveries[0].nakNs, 150000);
    EXPECT_EQ(recoveries[0].retransmitNs, 300000);
    EXPECT_EQ(recoveries[0].retransmission, Retransmission::AfterNak);
    EXPECT_FALSE(recoveries[0].cnpNs);
}

// A NAK for a later PSN is no cause; one for an earlier PSN is, as go-back-N resends from it.
TEST(RecoveryTracker, TellsATimeoutFromAGoBackNResend) {
    RecoveryTracker tracker(PeerOf);
    Arrive(tracker, Request(1000, 7), 1, FaultAction::Corrupt);
    tracker.Observe(Acknowledge(2000, 8, kNak));
    tracker.Observe(Request(5000, 7));
    tracker.Observe(Acknowledge(5500, 7, kNak));  // answers the retransmission
    Arrive(tracker, Request(6000, 9), 2);
    Arrive(tracker, Request(6020, 11), 2);
    for (const Sighting& sighting : {Request(6030, 12), Acknowledge(6050, 9, kNak),
                                     Request(6100, 9), Request(6101, 10), Request(6102, 11)}) {
        tracker.Observe(sighting);
    }
    const std::vector<Recovery> recoveries = tracker.Recoveries();
    ASSERT_EQ(recoveries.size(), 3u);
    EXPECT_FALSE(recoveries[0].nakNs);
    EXPECT_EQ(recoveries[0].retransmitNs, 4000000);
    EXPECT_EQ(recoveries[0].retransmission, Retransmission::AfterTimeout);
    EXPECT_EQ(recoveries[1].nakNs, 50000);
    EXPECT_EQ(recoveries[2].nakNs, std::nullopt) << "the NAK named PSN 9";
    EXPECT_EQ(recoveries[2].retransmitNs, 82000);
    EXPECT_EQ(recoveries[2].retransmission, Retransmission::AfterNak);
}

TEST(RecoveryTracker, TimesEachMarkToTheNextCnpToTheMarkedPacketsSender) {
    RecoveryTracker tracker(PeerOf);
    Arrive(tracker, Request(0, 1), 1, FaultAction::Ecn);
    Arrive(tracker, Request(10, 2), 1, FaultAction::Ecn);
    tracker.Observe(Cnp(20, 0x99));
    tracker.Observe(Cnp(40));
    Arrive(tracker, Request(50, 3), 1, FaultAction::Ecn);
    tracker.Observe(Cnp(90));
    tracker.Observe(Cnp(95));
    std::vector<std::optional<std::int64_t>> cnps;
    for (const Recovery& recovery : tracker.Recoveries()) {
        cnps.push_back(recovery.cnpNs);
    }
    EXPECT_EQ(cnps, (std::vector<std::optional<std::int64_t>>{40000, 30000, 40000}));
}

// Firings without a recovery of their own are not followed; an unknown peer leaves the NAK
// untimed but not the retransmission.
TEST(RecoveryTracker, FollowsOnlyLostRequestsAndMarks) {
    RecoveryTracker tracker(PeerOf);
    tracker.Fired(Fire(1, 0, 3, FaultAction::Drop, kClientQp, kS2c, opcode::kAcknowledge));
    tracker.Fired(Fire(1, 0, 3, FaultAction::Delay));
    tracker.Fired(Fire(1, 0, 3, FaultAction::Duplicate));
    EXPECT_TRUE(tracker.Recoveries().empty());
    Arrive(tracker, Request(0, 3, 0x30), 1);
    tracker.Observe(Request(70, 3, 0x30));
    const std::vector<Recovery> recoveries = tracker.Recoveries();
    ASSERT_EQ(recoveries.size(), 1u);
    EXPECT_EQ(recoveries[0].retransmitNs, 70000);
    EXPECT_FALSE(recoveries[0].nakNs);
}

TEST(RecoveryTracker, SumsUpEachRuleWithMedianAndLargest) {
    RecoveryTracker tracker(PeerOf, 5);
    for (std::uint32_t psn : {1, 2, 3}) {
        Arrive(tracker, Request(100 * psn, psn), 1);
    }
    const std::pair<int, std::uint32_t> retransmissions[] = {{109, 1}, {202, 2}, {301, 3}};
    for (const auto& [us, psn] : retransmissions) {
        tracker.Observe(Request(us, psn));
    }
    Arrive(tracker, Request(1000, 4), 2, FaultAction::Ecn);
    tracker.Observe(Cnp(1004));
    Arrive(tracker, Request(1010, 5), 2, FaultAction::Ecn);
    tracker.Observe(Cnp(1016));
    Arrive(tracker, Request(1100, 6), 3, FaultAction::Ecn);  // beyond the five kept
    const std::vector<RuleRecovery> rules = tracker.PerRule(4);
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[0].followed, 3u);
    EXPECT_EQ(rules[0].retransmit.samples, 3u);
    EXPECT_EQ(rules[0].retransmit.medianNs, 2000);
    EXPECT_EQ(rules[0].retransmit.maxNs, 9000);
    EXPECT_EQ(std::make_pair(rules[0].afterTimeout, rules[0].afterNak), std::make_pair(3ul, 0ul));
    EXPECT_EQ(rules[0].nak.samples, 0u);
    EXPECT_EQ(rules[1].cnp.medianNs, 5000) << "the mean of the middle two";
    EXPECT_EQ(rules[1].cnp.maxNs, 6000);
    EXPECT_EQ(std::make_pair(rules[2].followed, rules[2].unfollowed), std::make_pair(0ul, 1ul));
    EXPECT_EQ(rules[3].followed, 0u);
}

TEST(RecoveryTracker, SightingsAndFiringsFromSeveralThreads) {
    constexpr std::uint32_t kPackets = 2000;
    RecoveryTracker tracker(PeerOf);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            (void)tracker.Recoveries();
            (void)tracker.PerRule(1);
        }
    });
    std::thread server([&] {
        for (std::uint32_t psn = 0; psn < kPackets; psn += 2) {
            tracker.Observe(Acknowledge(psn, psn, kNak));
        }
    });
    for (std::uint32_t psn = 0; psn < kPackets; ++psn) {
        Arrive(tracker, Request(psn, psn), psn % 2 == 0 ? 1 : 0);
    }
    for (std::uint32_t psn = 0; psn < kPackets; psn += 2) {
        tracker.Observe(Request(kPackets + psn, psn));
    }
    server.join();
    done = true;
    reader.join();
    const RuleRecovery rule = tracker.PerRule(1)[0];
    EXPECT_EQ(rule.followed, kPackets / 2);
    EXPECT_EQ(rule.retransmit.samples, kPackets / 2);
    EXPECT_EQ(rule.afterNak + rule.afterTimeout, kPackets / 2);
}

TEST(SightingOf, ReadsTheAethSyndromeWhereTheOpcodeCarriesOne) {
    modifiertest::FrameShape ack{4, 0b10, opcode::kAcknowledge, kClientQp, 0x42, {kNak, 0, 0, 1}};
    modifiertest::FrameShape middle{4,         0b10, opcode::kRdmaReadResponseMiddle,
                                    kClientQp, 0x43, {kNak}};
    const modifiertest::Bytes ackFrame = modifiertest::Build(ack);
    const modifiertest::Bytes middleFrame = modifiertest::Build(middle);
    const auto nak = SightingOf(ReadFrame(ackFrame.data(), ackFrame.size()), kS2c, true, 77);
    const auto data =
        SightingOf(ReadFrame(middleFrame.data(), middleFrame.size()), kS2c, false, 78);
    ASSERT_TRUE(nak && data);
    EXPECT_EQ(nak->aethSyndrome, kNak);
    EXPECT_EQ(std::make_tuple(nak->timeNs, nak->qp, nak->psn, nak->opcode, nak->arriving),
              std::make_tuple(std::int64_t{77}, kClientQp, 0x42u, opcode::kAcknowledge, true));
    EXPECT_FALSE(data->aethSyndrome);
    EXPECT_FALSE(data->arriving);
}

FaultRule Rule(const char* text) {
    return ParseFaultRule(text, true).rule.value();
}

TEST(FaultSummary, OneLinePerRuleWithTheFiguresItsActionHas) {
    const std::vector<FaultRule> rules{Rule("psn=0x10,action=drop"), Rule("action=ecn"),
                                       Rule("dir=s2c,action=drop"),  Rule("every=5,action=corrupt"),
                                       Rule("action=delay,ms=3"),    Rule("qp=1,action=drop")};
    std::vector<RuleRecovery> recovery(rules.size());
    recovery[0].followed = 1;
    recovery[0].nak = {1, 120000, 120000};
    recovery[0].retransmit = {1, 310000, 310000};
    recovery[0].afterNak = 1;
    recovery[1].followed = 3;
    recovery[1].unfollowed = 1;
    recovery[1].cnp = {2, 40000, 52000};
    recovery[3].followed = 2;
    const std::vector<std::uint64_t> fired{1, 4, 2, 2, 5, 0};
    EXPECT_EQ(FaultSummaryLines(rules, fired, recovery),
              (std::vector<std::string>{
                  "fault rule 1 (dir=c2s,psn=0x10,count=1,action=drop): fired 1 time; NAK for 1 "
                  "of 1, after median 0.120 ms, max 0.120 ms; retransmitted 1 of 1 (1 after a "
                  "NAK, 0 after a timeout), after median 0.310 ms, max 0.310 ms",
                  "fault rule 2 (dir=c2s,action=ecn): fired 4 times; CNP for 2 of 3, after "
                  "median 0.040 ms, max 0.052 ms; 1 more not timed (too many to keep)",
                  "fault rule 3 (dir=s2c,action=drop): fired 2 times; no request among them, so "
                  "no recovery to time",
                  "fault rule 4 (dir=c2s,every=5,action=corrupt): fired 2 times; NAK for none "
                  "of 2; retransmitted none of 2",
                  "fault rule 5 (dir=c2s,action=delay,ms=3): fired 5 times",
                  "fault rule 6 (dir=c2s,qp=0x1,action=drop): never fired",
              }));
    std::ostringstream out;
    WriteFaultSummary(out, {rules[0]}, {1}, {});
    EXPECT_EQ(out.str(), "fault rule 1 (dir=c2s,psn=0x10,count=1,action=drop): fired 1 time\n");
}

}  // namespace
