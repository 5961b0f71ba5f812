#include "modifier/Modifier.h"

#include <gtest/gtest.h>
#include <tins/ethernetII.h>
#include <tins/exceptions.h>
#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/tcp.h>
#include <tins/udp.h>

#include <chrono>
#include <future>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "transport/RoceFrame.h"

namespace {

using Counters = OperationCounters;
constexpr int kMax = std::numeric_limits<int>::max();

// Hands out the listed raw draws in order; one draw more fails the test.
RandomSource Script(std::vector<int> draws) {
    auto next = std::make_shared<std::size_t>(0);
    return [draws = std::move(draws), next] {
        if (*next == draws.size()) {
            ADD_FAILURE() << "draw " << *next << " was not scripted";
            return 0;
        }
        return draws[(*next)++];
    };
}
// Raw draws that give `value` from 1..100 and 1..10, the ranges of operations and episodes.
int Percent(int value) {
    return value - 1;
}
int Reorder(int value) {
    return value - 1;
}

ModifierParams Params(std::array<std::int32_t, OPERATION_LAST> distribution,
                      std::array<std::int32_t, 2> delayRange = {0, 30}) {
    ModifierParams params;
    params.distribution = distribution;
    params.delayRange = delayRange;
    return params;
}

TEST(ReleasePolicy, SlicesEndAtTheirBoundAndOnlyOneToOneHundredCounts) {
    const struct {
        std::array<std::int32_t, OPERATION_LAST> weights;
        int raw;
        ModifierOperation expected;
    } cases[] = {
        {{50, 50, 0, 0}, Percent(50), OPERATION_NONE},
        {{50, 50, 0, 0}, Percent(51), OPERATION_DROP},
        {{60, 0, 0, 0}, Percent(61), OPERATION_LAST},
        {{70, 40, 0, 10}, Percent(100), OPERATION_DROP},
        {{0, 100, 0, 0}, Percent(1), OPERATION_DROP},
        {{-kMax, -kMax, 0, 0}, Percent(1), OPERATION_LAST},
        {{kMax, kMax, kMax, kMax}, Percent(100), OPERATION_NONE},
        {{47, 1, 52, 0}, kMax, OPERATION_DROP},  // 1 + RAND_MAX % 100 = 48
    };
    for (const auto& c : cases) {
        ReleasePolicy policy(Script({c.raw}));
        policy.Configure(Params(c.weights));
        const ReleasePolicy::Decision decision = policy.Decide(3);
        EXPECT_EQ(decision.operation, c.expected) << "case " << &c - cases;
        EXPECT_EQ(decision.index, 0u);
        Counters counted{};
        if (c.expected != OPERATION_LAST) {
            counted[c.expected] = 1;
        }
        EXPECT_EQ(policy.Counters(), counted) << "case " << &c - cases;
    }
}

TEST(ReleasePolicy, ADelayDrawsItsLengthNextWithinOrderedBounds) {
    ReleasePolicy policy(Script({Percent(1), 3, Percent(1), 0, Percent(1), 7}));
    for (const auto& [range, expected] : {std::pair<std::array<std::int32_t, 2>, int>{{2, 9}, 5},
                                          {{9, 2}, 2},
                                          {{std::numeric_limits<int>::min(), kMax}, -kMax + 6}}) {
        policy.Configure(Params({0, 0, 100, 0}, range));
        EXPECT_EQ(policy.Decide(1).delayMs, expected);
    }
    EXPECT_EQ(policy.Counters(), (Counters{0, 0, 3, 0}));
}

// An episode of three releases from pop point 2; a reorder drawn within it only counts.
TEST(ReleasePolicy, AnEpisodeOvertakesAndEndsAfterItsLength) {
    ReleasePolicy policy(Script({Percent(51), Reorder(2), Reorder(3), Percent(90), Percent(10),
                                 Percent(10), Percent(99), Reorder(10), Reorder(4), Percent(10)}));
    policy.Configure(Params({50, 0, 0, 50}));
    std::vector<std::size_t> taken;
    for (std::size_t buffered : {5, 4, 2, 3, 3}) {
        taken.push_back(policy.Decide(buffered).index);
    }
    EXPECT_EQ(taken,
              (std::vector<std::size_t>{2, 2, 1, 0, 2}));  // a short buffer yields its newest
    policy.Configure(Params({50, 0, 0, 50}));
    EXPECT_EQ(policy.Decide(4).index, 0u) << "Configure ends the episode, no new one is drawn";
    EXPECT_EQ(policy.Counters(), (Counters{3, 0, 0, 3}));
}

// Counts its living copies, so that a test sees packets freed exactly once.
struct Tracked {
    static inline int alive = 0;
    int tag;
    explicit Tracked(int t) : tag(t) { ++alive; }
    Tracked(Tracked&& other) noexcept : tag(other.tag) { ++alive; }
    Tracked& operator=(Tracked&&) = default;
    ~Tracked() { --alive; }
};

TEST(FaultBuffer, ReleasesTakeTheSelectedPacketAndEveryPacketDiesOnce) {
    {
        FaultBuffer<Tracked> buffer(Script({Percent(80), Percent(10)}));
        EXPECT_FALSE(buffer.Take()) << "an empty buffer draws nothing";
        buffer.Configure(Params({50, 50, 0, 0}));
        for (int tag : {1, 2, 3}) {
            buffer.Add(Tracked(tag));
        }
        std::optional<FaultBuffer<Tracked>::Release> dropped = buffer.Take();
        EXPECT_EQ(std::make_pair(dropped->packet.tag, dropped->IsValid()),
                  std::make_pair(1, false));
        dropped.reset();
        EXPECT_EQ(Tracked::alive, 2);
        EXPECT_EQ(buffer.Take()->packet.tag, 2);
        EXPECT_EQ(buffer.Size(), 1);
    }
    EXPECT_EQ(Tracked::alive, 0);
}

TEST(FaultBuffer, WaitersWakeForPacketsAndForInterrupt) {
    using namespace std::chrono_literals;
    constexpr int kPackets = 2000;
    FaultBuffer<int> buffer;
    buffer.Configure(Params({40, 10, 0, 50}));
    std::thread producer([&] {
        for (int i = 0; i < kPackets; ++i) {
            buffer.Add(int{i});
        }
    });
    std::vector<bool> seen(kPackets);
    for (int taken = 0; taken < kPackets && buffer.WaitForPacket(); ++taken) {
        const int packet = buffer.Take().value().packet;
        EXPECT_FALSE(seen[packet]) << "twice: " << packet;
        seen[packet] = true;
    }
    producer.join();
    const Counters counters = buffer.Counters();
    EXPECT_EQ(counters[0] + counters[1] + counters[3], kPackets);
    auto waiter = std::async(std::launch::async, [&] { return buffer.WaitForPacket(); });
    buffer.Interrupt();
    ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready);
    EXPECT_FALSE(waiter.get());
    buffer.Add(1);
    EXPECT_FALSE(buffer.WaitForPacket());
}

std::unique_ptr<Tins::EthernetII> Frame(std::uint16_t tag, std::uint16_t dport = kRocePort) {
    return std::make_unique<Tins::EthernetII>(Tins::EthernetII() / Tins::IP() /
                                              Tins::UDP(dport, tag) / Tins::RawPDU("bth"));
}

TEST(Modifier, BuffersClonesOfRocePacketsAndReportsInDecimal) {
    Modifier modifier(Script({Percent(1), Percent(100)}));
    EXPECT_EQ(ModifierParams().delayRange, (std::array<std::int32_t, 2>{0, 30}));
    modifier.Init(Params({50, 50, 0, 0}));
    modifier.InjectPacket(Frame(1, 4790).get());
    Tins::EthernetII tcp = Tins::EthernetII() / Tins::IP() / Tins::TCP(kRocePort);
    EXPECT_THROW(modifier.InjectPacket(&tcp), Tins::pdu_not_found);
    modifier.InjectPacket(Frame(2).get());
    modifier.InjectPacket(Frame(3).get());
    EXPECT_EQ(modifier.GetPacketBufferSize(), 2);
    for (const auto& [tag, valid] : {std::pair<int, bool>{2, true}, {3, false}}) {
        bool isValid = !valid;
        std::unique_ptr<Tins::PDU> packet(modifier.GetPacket(&isValid));
        EXPECT_EQ(std::make_pair(int{packet->rfind_pdu<Tins::UDP>().sport()}, isValid),
                  std::make_pair(tag, valid));
    }
    bool isValid = true;
    EXPECT_EQ(modifier.GetPacket(&isValid), nullptr);
    EXPECT_FALSE(isValid);
    std::ostringstream out;
    out << std::hex;
    modifier.printOperationCounters(out);
    EXPECT_EQ(out.str(),
              "Number of None: 1\nNumber of Drop: 1\nNumber of Delay: 0\n"
              "Number of Reoeder: 0\n");
    EXPECT_EQ(modifier.GetOperationCounter(OPERATION_LAST), 0);
}

}  // namespace
