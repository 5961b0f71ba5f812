#include "modifier/AimedFaults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/unit/modifier/ModifierTest.h"
#include "transport/Opcode.h"

namespace {

using modifiertest::Script;

constexpr auto kC2s = FaultDirection::ClientToServer;
constexpr auto kS2c = FaultDirection::ServerToClient;

std::vector<FaultRule> Rules(std::initializer_list<const char*> texts) {
    std::vector<FaultRule> rules;
    for (const char* text : texts) {
        ParsedFaultRule parsed = ParseFaultRule(text, true);
        EXPECT_TRUE(parsed.rule) << parsed.error;
        rules.push_back(parsed.rule.value_or(FaultRule{}));
    }
    return rules;
}

PacketKey Key(std::uint32_t psn, std::uint8_t opcode = opcode::kSendOnly, std::uint32_t qp = 0x12,
              FaultDirection direction = kC2s, bool ecnCapable = true) {
    return PacketKey{direction, qp, psn, opcode, ecnCapable};
}

// Which of the packets, numbered from 1, a rule took, and with which rule.
std::vector<std::size_t> RulesTaking(AimedFaults& faults, const std::vector<PacketKey>& keys) {
    std::vector<std::size_t> taken;
    std::int64_t time = 0;
    for (const PacketKey& key : keys) {
        const auto firing = faults.Match(key, ++time);
        taken.push_back(firing ? firing->rule : 0);
    }
    return taken;
}

TEST(AimedFaults, SeenPicksOneSightingOfAQueuePairAndPsn) {
    AimedFaults faults(Rules({"psn=0x10,seen=2,action=drop", "seen=1,qp=0x13,action=duplicate"}),
                       Script({}));
    // Another queue pair's or direction's PSN 0x10 is not a retransmission of this one.
    EXPECT_EQ(
        RulesTaking(faults, {Key(0x10), Key(0x11), Key(0x10, 4, 0x13), Key(0x10, 4, 0x12, kS2c),
                             Key(0x10), Key(0x10), Key(0x10, 4, 0x13)}),
        (std::vector<std::size_t>{0, 0, 2, 0, 1, 0, 0}));
}

TEST(AimedFaults, NthAndEveryCountOnlyThePacketsThatPassTheFilters) {
    AimedFaults nth(Rules({"opcode=SEND_ONLY,nth=2,count=2,action=drop"}), Script({}));
    EXPECT_EQ(RulesTaking(nth, {Key(1), Key(2, opcode::kSendFirst), Key(3), Key(4), Key(5)}),
              (std::vector<std::size_t>{0, 0, 1, 1, 0}));
    AimedFaults every(Rules({"every=3,action=drop"}), Script({}));
    AimedFaults both(Rules({"nth=2,every=3,count=3,action=drop"}), Script({}));
    std::vector<PacketKey> nine;
    for (std::uint32_t psn = 1; psn <= 9; ++psn) {
        nine.push_back(Key(psn));
    }
    EXPECT_EQ(RulesTaking(every, nine), (std::vector<std::size_t>{0, 0, 1, 0, 0, 1, 0, 0, 1}));
    EXPECT_EQ(RulesTaking(both, nine), (std::vector<std::size_t>{0, 1, 0, 0, 1, 0, 0, 1, 0}));
}

// A PSN or a position means one packet, anything else every packet, unless count says.
TEST(AimedFaults, CountDefaultsToOneForAPsnOrPositionAndOtherwiseToUnlimited) {
    AimedFaults faults(Rules({"psn=0xfffffe-0x1,count=3,action=drop", "psn=0x5,action=drop",
                              "nth=2,action=delay,ms=1", "opcode=SEND_FIRST,action=reorder"}),
                       Script({}));
    std::vector<PacketKey> keys;
    for (std::uint32_t psn :
         {0xFFFFFDu, 0xFFFFFEu, 0xFFFFFFu, 0x0u, 0x1u, 0x5u, 0x5u, 0x6u, 0x7u}) {
        keys.push_back(Key(psn));
    }
    for (int i = 0; i < 50; ++i) {
        keys.push_back(Key(0x100, opcode::kSendFirst));
    }
    const std::vector<std::size_t> taken = RulesTaking(faults, keys);
    // The delay rule counts the packets the rules before it left: 0xfffffd, then 0x1.
    EXPECT_EQ(std::vector<std::size_t>(taken.begin(), taken.begin() + 9),
              (std::vector<std::size_t>{0, 1, 1, 1, 3, 2, 0, 0, 0}));
    EXPECT_EQ(std::count(taken.begin() + 9, taken.end(), 4), 50);
    EXPECT_EQ(faults.FiredCounts(), (std::vector<std::uint64_t>{3, 1, 1, 50}));
}

TEST(AimedFaults, TheFirstRuleThatTakesAPacketDecidesAndIsRecorded) {
    AimedFaults faults(Rules({"qp=0x12,count=1,action=drop", "qp=0x12,action=delay,ms=7",
                              "dir=s2c,action=corrupt", "action=ecn"}),
                       Script({}));
    const auto first = faults.Match(Key(0x20), 100);
    const auto second = faults.Match(Key(0x21), 200);
    const auto back = faults.Match(Key(0x22, opcode::kAcknowledge, 0x12, kS2c), 300);
    const auto notCapable = faults.Match(Key(0x23, 4, 0x13, kC2s, false), 400);
    const auto marked = faults.Match(Key(0x24, 4, 0x13), 500);
    ASSERT_TRUE(first && second && back && marked);
    EXPECT_FALSE(notCapable) << "an ecn rule leaves a packet it could not mark";
    EXPECT_EQ(first->action, FaultAction::Drop);
    EXPECT_EQ(std::make_pair(second->action, second->delayMs),
              std::make_pair(FaultAction::Delay, 7));
    EXPECT_EQ(back->rule, 3u);
    const std::vector<Firing> firings = faults.Firings();
    ASSERT_EQ(firings.size(), 4u);
    const Firing& recorded = firings[2];
    EXPECT_EQ(std::make_tuple(recorded.rule, recorded.direction, recorded.qp, recorded.psn,
                              recorded.opcode, recorded.timeNs, recorded.action),
              std::make_tuple(std::size_t{3}, kS2c, 0x12u, 0x22u, opcode::kAcknowledge,
                              std::int64_t{300}, FaultAction::Corrupt));
    EXPECT_EQ(firings[3].rule, 4u);
    EXPECT_EQ(faults.FiredCounts(), (std::vector<std::uint64_t>{1, 1, 1, 1}));
}

// Only candidates draw, so that rules do not shift the weighted injector's draws needlessly.
TEST(AimedFaults, ProbDrawsOncePerCandidateFromTheInjectedSource) {
    const int half = static_cast<int>((static_cast<double>(RAND_MAX) + 1) / 2);
    AimedFaults faults(Rules({"every=2,prob=0.5,action=drop", "qp=0x13,action=duplicate"}),
                       Script({half - 1, half, 0}));
    EXPECT_EQ(
        RulesTaking(faults, {Key(1), Key(2), Key(3, 4, 0x13), Key(4, 4, 0x13), Key(5), Key(6)}),
        (std::vector<std::size_t>{0, 1, 2, 2, 0, 1}));
}

TEST(AimedFaults, ASeededProbFiresReproduciblyAtAboutItsRate) {
    const auto run = [](std::uint64_t seed) {
        AimedFaults faults(Rules({"prob=0.3,action=drop"}), SeededRandom(seed));
        std::vector<std::size_t> taken;
        for (std::uint32_t psn = 0; psn < 10000; ++psn) {
            taken.push_back(faults.Match(Key(psn), psn) ? psn : 0);
        }
        return std::make_pair(taken, faults.FiredCounts()[0]);
    };
    const auto [firstRun, fired] = run(7);
    EXPECT_GT(fired, 2500u);
    EXPECT_LT(fired, 3500u);
    EXPECT_EQ(run(7).first, firstRun);
    EXPECT_NE(run(8).first, firstRun);
}

TEST(AimedFaults, MemoryIsBoundedBySightingsAndKeptFirings) {
    AimedFaults faults(Rules({"seen=2,action=drop"}), Script({}), AimedFaultLimits{2, 2});
    // Two PSNs are remembered, the oldest first sighting forgotten first: a resend of a
    // forgotten PSN counts as its first sighting.
    EXPECT_EQ(RulesTaking(faults, {Key(1), Key(2), Key(3), Key(1), Key(3), Key(2), Key(4)}),
              (std::vector<std::size_t>{0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(RulesTaking(faults, {Key(4), Key(2)}), (std::vector<std::size_t>{1, 1}));
    EXPECT_EQ(faults.Firings().size(), 2u);
    EXPECT_EQ(faults.FiredCounts()[0], 3u);
}

TEST(AimedFaults, BothDirectionsMatchWhileReportsAreRead) {
    constexpr std::uint32_t kPackets = 20000;
    AimedFaults faults(Rules({"every=2,action=drop", "dir=s2c,every=3,seen=1,action=drop",
                              "prob=0.5,action=duplicate"}),
                       SeededRandom(1));
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            EXPECT_LE(faults.Firings().size(), std::size_t{1} << 16);
            (void)faults.FiredCounts();
        }
    });
    const auto send = [&](FaultDirection direction) {
        for (std::uint32_t psn = 0; psn < kPackets; ++psn) {
            (void)faults.Match(Key(psn, 4, 0x12, direction), psn);
        }
    };
    std::thread server(send, kS2c);
    send(kC2s);
    server.join();
    done = true;
    reader.join();
    const std::vector<std::uint64_t> counts = faults.FiredCounts();
    EXPECT_EQ(counts[0], kPackets / 2);
    EXPECT_EQ(counts[1], kPackets / 3);
    EXPECT_EQ(faults.Firings().size(), counts[0] + counts[1] + counts[2]);
}

// ASeededProbFiresReproduciblyAtAboutItsRate shows that the seed decides the draws.
TEST(SeededRandom, DrawsLikeRandAndCopiesInTwoThreadsShareOneSequence) {
    const auto draws = [](RandomSource source, int n) {
        std::vector<int> out;
        for (int i = 0; i < n; ++i) {
            out.push_back(source());
        }
        return out;
    };
    std::vector<int> sequence = draws(SeededRandom(42), 2000);
    EXPECT_TRUE(std::all_of(sequence.begin(), sequence.end(),
                            [](int draw) { return draw >= 0 && draw <= RAND_MAX; }));
    EXPECT_GT(*std::max_element(sequence.begin(), sequence.end()), RAND_MAX / 2);
    // No draw repeated or lost between the threads.
    const RandomSource shared = SeededRandom(42);
    std::vector<int> fromThread;
    std::thread other([&] { fromThread = draws(shared, 1000); });
    std::vector<int> together = draws(shared, 1000);
    other.join();
    together.insert(together.end(), fromThread.begin(), fromThread.end());
    std::sort(sequence.begin(), sequence.end());
    std::sort(together.begin(), together.end());
    EXPECT_EQ(together, sequence);
}

TEST(KeyOf, ReadsTheRulesFieldsFromAFrame) {
    using modifiertest::Build;
    const modifiertest::Bytes frame = Build({4, 0b01, opcode::kRdmaWriteFirst, 0xABCDEF, 0x123456});
    const auto key = KeyOf(ReadFrame(frame.data(), frame.size()), kS2c);
    ASSERT_TRUE(key);
    EXPECT_EQ(std::make_tuple(key->direction, key->qp, key->psn, key->opcode, key->ecnCapable),
              std::make_tuple(kS2c, 0xABCDEFu, 0x123456u, opcode::kRdmaWriteFirst, true));
    const modifiertest::Bytes plain = Build({6, 0b00});
    EXPECT_FALSE(KeyOf(ReadFrame(plain.data(), plain.size()), kC2s)->ecnCapable);
    EXPECT_FALSE(KeyOf(ReadFrame(plain.data(), 40), kC2s));
}

}  // namespace
