#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/unit/transport/VerifierBench.h"

namespace {

using namespace opcode;
using namespace verifier_bench;

const std::array<std::string, 2> kPortNames = {"enp1s0f0", "enp1s0f1"};

std::string Summary(const Verifier& verifier) {
    std::ostringstream err;
    WriteVerificationSummary(err, verifier.Report(), kPortNames);
    return err.str();
}

// A deterministic walk over both devices, an unknown one, registered and unregistered queue
// pairs, the send rules' opcodes and others, PSNs around the wrap, ahead and behind.
std::vector<std::pair<unsigned, Packet>> MixedSendTraffic() {
    const std::uint8_t opcodes[] = {kSendFirst,   kSendMiddle,    kSendLast, kSendOnly,
                                    kAcknowledge, kRdmaWriteOnly, 0xFF};
    const std::uint32_t queuePairs[] = {kClientQp, kServerQp, 0x99};
    const unsigned devices[] = {0, 1, 5};
    std::vector<std::pair<unsigned, Packet>> traffic;
    std::uint32_t state = 12345;
    std::uint32_t psn = 0xFFFFF0;
    for (int i = 0; i < 3000; ++i) {
        state = state * 1103515245 + 12345;
        const std::uint32_t draw = state >> 8;
        psn = (psn + (draw % 5 == 0 ? 0x800000 : draw % 3)) & kPsnMask;
        traffic.push_back(
            {devices[draw / 21 % 3], {opcodes[draw % 7], queuePairs[draw / 7 % 3], psn}});
    }
    return traffic;
}

TEST(VerificationReport, UnderTheSendRulesVerifyDecidesAndChangesWhatVerifyPacketDoes) {
    Bench counted(RuleSet::Send);
    Bench plain(RuleSet::Send);
    for (const auto& [device, packet] : MixedSendTraffic()) {
        const RoceHeaders headers = HeadersOf(packet);
        ASSERT_EQ(counted.verifier.Verify(device, headers, PacketContext{}).status,
                  plain.verifier.VerifyPacket(device, headers.bth));
    }
    std::ostringstream countedState, plainState;
    counted.verifier.IdleChecker(countedState);
    plain.verifier.IdleChecker(plainState);
    EXPECT_EQ(countedState.str(), plainState.str());
    const VerificationReport report = counted.verifier.Report();
    std::uint64_t accepted = 0, refused = 0;
    for (const QpReport& entry : report.queuePairs) {
        accepted += entry.accepted;
        for (const auto& [kind, count] : entry.refused) {
            refused += kind == "outside_rules" ? 0 : count;
        }
    }
    EXPECT_EQ(report.packets, 3000u);
    EXPECT_EQ(accepted + refused + report.outsideRules, report.packets);
    EXPECT_EQ(refused, report.refused);
    EXPECT_GT(report.outsideRules, 0u);
    EXPECT_GT(EntryOf(report, 0, kClientQp).duplicates, 0u);
}

// Unregistered numbers get entries up to the cap on each device, then only totals; a
// registered queue pair always gets its entry, and an unknown device's packets are kept too.
TEST(VerificationReport, UnregisteredQueuePairsAreCountedWithinBoundedMemory) {
    Bench bench(RuleSet::Send);
    const auto verify = [&](unsigned device, std::uint32_t qp) {
        return bench.verifier.Verify(device, HeadersOf({kSendOnly, qp, 1}), PacketContext{}).status;
    };
    constexpr std::uint32_t kFirst = 0x1000;
    const std::uint32_t last = kFirst + kMaxUnregisteredQpsPerDevice + 5;
    for (std::uint32_t qp = kFirst; qp <= last; ++qp) {
        EXPECT_EQ(verify(0, qp), VerifierBadQp);
    }
    verify(0, kFirst);
    verify(0, last);
    EXPECT_EQ(verify(0, kClientQp), VerifierStatusOK);
    verify(1, 0x5000);
    EXPECT_EQ(verify(9, kClientQp), VerifierStatusBad);

    const VerificationReport report = bench.verifier.Report();
    EXPECT_EQ(report.untrackedPackets, 7u);
    EXPECT_EQ(report.refused, kMaxUnregisteredQpsPerDevice + 6 + 4);
    EXPECT_EQ(report.packets, report.refused + 1);
    ASSERT_EQ(report.queuePairs.size(), kMaxUnregisteredQpsPerDevice + 3);
    EXPECT_TRUE(std::is_sorted(report.queuePairs.begin(), report.queuePairs.end(),
                               [](const QpReport& a, const QpReport& b) {
                                   return std::tie(a.device, a.qp) < std::tie(b.device, b.qp);
                               }));
    const QpReport first = EntryOf(report, 0, kFirst);
    EXPECT_EQ(std::make_tuple(first.packets, first.registered, first.peer, first.refused),
              std::make_tuple(std::uint64_t{2}, false, std::optional<std::uint32_t>{},
                              std::map<std::string, std::uint64_t>{{"unregistered_qp", 2}}));
    const QpReport registered = EntryOf(report, 0, kClientQp);
    EXPECT_EQ(std::make_tuple(registered.registered, registered.peer, registered.accepted),
              std::make_tuple(true, std::optional<std::uint32_t>{kServerQp}, std::uint64_t{1}));
    EXPECT_EQ(EntryOf(report, 1, 0x5000).packets, 1u);
    EXPECT_EQ(EntryOf(report, 9, kClientQp).refused.at("unknown_device"), 1u);
}

TEST(VerificationReport, NothingRefusedIsOneLine) {
    Bench rc;
    rc.Outcome({kRdmaWriteOnly, kClientQp, 1, 8});
    EXPECT_EQ(Summary(rc.verifier), "verification: 1 packet, none refused\n");
    Bench send(RuleSet::Send);
    for (const std::uint8_t value : {kSendOnly, kRdmaWriteOnly, kCnp}) {
        send.Outcome({value, kClientQp, 1, 8});
    }
    EXPECT_EQ(Summary(send.verifier),
              "verification: 3 packets, none refused; 2 packets lie outside the send rules, "
              "--rules rc checks them\n");
}

// Kinds in name order, the kept refusals in the order they came, more than five of a kind
// counted but not kept; a queue pair with nothing refused is left out.
TEST(VerificationReport, RefusalsAreTabledPerQueuePair) {
    Bench bench;
    const auto verify = [&](const Packet& packet, std::int64_t timeNs, std::uint8_t port,
                            std::uint8_t direction) {
        bench.verifier.Verify(packet.destQp == kClientQp ? 0 : 1, HeadersOf(packet),
                              PacketContext{timeNs, port, direction});
    };
    constexpr std::int64_t kOneHourAndABit = 3723'000'000'042;
    verify({kSendFirst, kClientQp, 5}, 0, 0, 0);
    verify({kSendOnly, kClientQp, 6}, kOneHourAndABit, 0, 0);
    for (std::uint32_t psn = 0x10; psn < 0x16; ++psn) {
        verify({kSendMiddle, kClientQp, psn}, kOneHourAndABit + psn, 1, 1);
    }
    verify({kAcknowledge, kServerQp, 3, {}, 0x61}, 7, 1, 0);
    verify({0xEE, kClientQp, 0x123456}, 86'400'000'000'000 + 1, 0, 1);
    verify({kSendOnly, 0x99, 2}, 1'500'000'000, 1, 0);
    EXPECT_EQ(Summary(bench.verifier),
              R"(verification: 11 packets, 9 refused under the rc rules
queue pair 0x34 on device 0 (enp1s0f0), peer 0x12: 9 packets, 1 accepted, 0 duplicates, 0 CNPs
  bad_opcode_sequence   1
  bad_psn               6
  unknown_opcode        1
  first refused:
    kind                  time (UTC)          port      dir  psn       opcode                          expected psn
    bad_opcode_sequence   01:02:03.000000042  enp1s0f0  in   0x6       SEND_ONLY                       -
    bad_psn               01:02:03.000000058  enp1s0f1  out  0x10      SEND_MIDDLE                     0x6
    bad_psn               01:02:03.000000059  enp1s0f1  out  0x11      SEND_MIDDLE                     0x6
    bad_psn               01:02:03.000000060  enp1s0f1  out  0x12      SEND_MIDDLE                     0x6
    bad_psn               01:02:03.000000061  enp1s0f1  out  0x13      SEND_MIDDLE                     0x6
    bad_psn               01:02:03.000000062  enp1s0f1  out  0x14      SEND_MIDDLE                     0x6
    unknown_opcode        00:00:00.000000001  enp1s0f0  out  0x123456  0xee                            -
queue pair 0x99 on device 1 (enp1s0f1), not registered: 1 packet, 0 accepted, 0 duplicates, 0 CNPs
  unregistered_qp       1
  first refused:
    kind                  time (UTC)          port      dir  psn       opcode                          expected psn
    unregistered_qp       00:00:01.500000000  enp1s0f1  in   0x2       SEND_ONLY                       -
)");
}

// Two threads send the same PSNs in order to one queue pair, one through each entry, while
// reports and the idle state are taken all along: none is ever ahead, and of each PSN one is in
// order and the other a duplicate.
TEST(VerificationReport, ConcurrentVerifyAndReportCountEveryPacketOnce) {
    constexpr std::uint32_t kRounds = 3000;
    Bench bench(RuleSet::Send);
    std::atomic<unsigned> finished{0}, refusals{0};
    const auto send = [&](bool counted) {
        for (std::uint32_t psn = 0; psn < kRounds; ++psn) {
            const RoceHeaders headers = HeadersOf({kSendOnly, kClientQp, psn});
            refusals += (counted ? bench.verifier.Verify(0, headers, PacketContext{}).status
                                 : bench.verifier.VerifyPacket(0, headers.bth)) != VerifierStatusOK;
        }
        ++finished;
    };
    std::thread first(send, true), second(send, false);
    std::uint64_t seen = 0;
    for (std::ostringstream idle; finished < 2; idle.str("")) {
        const VerificationReport report = bench.verifier.Report();
        const QpReport entry = EntryOf(report, 0, kClientQp);
        ASSERT_EQ(entry.packets, report.packets);
        ASSERT_EQ(entry.accepted, entry.packets);
        ASSERT_GE(report.packets, seen);
        seen = report.packets;
        bench.verifier.IdleChecker(idle);
    }
    first.join();
    second.join();
    EXPECT_EQ(refusals.load(), 0u);
    const QpReport entry = EntryOf(bench.verifier.Report(), 0, kClientQp);
    EXPECT_EQ(std::make_pair(entry.packets, entry.accepted),
              std::make_pair(std::uint64_t{kRounds}, std::uint64_t{kRounds}));
    EXPECT_EQ(bench.ServerQp().nextToSendPsn, kRounds);
}

}  // namespace
