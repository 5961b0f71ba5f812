#include "modifier/Modifier.h"

#include <gtest/gtest.h>
#include <tins/tins.h>

#include <chrono>
#include <future>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/unit/modifier/ModifierTest.h"
#include "transport/RoceFrame.h"

namespace {

using modifiertest::Script;

constexpr int kMax = std::numeric_limits<int>::max();

// The raw draw that gives `value` from a range starting at 1 (1..100 or 1..10).
int Draw(int value) {
    return value - 1;
}

ModifierParams Params(std::array<std::int32_t, OPERATION_LAST> distribution,
                      std::array<std::int32_t, 2> delayRange = {0, 30}) {
    ModifierParams params;
    params.distribution = distribution;
    params.delayRange = delayRange;
    return params;
}

// A slice's end goes to its own operation; a draw above a short sum passes uncounted; a sum
// beyond 100 is cut off; weights near INT_MAX are summed in 64 bits.
TEST(ReleasePolicy, TheDrawFallsIntoConsecutiveSlicesOfOneToOneHundred) {
    const std::tuple<std::array<std::int32_t, OPERATION_LAST>, int, ModifierOperation> cases[] = {
        {{50, 50, 0, 0}, Draw(50), OPERATION_NONE},
        {{50, 50, 0, 0}, Draw(51), OPERATION_DROP},
        {{60, 0, 0, 0}, Draw(61), OPERATION_LAST},
        {{70, 40, 0, 10}, Draw(100), OPERATION_DROP},
        {{0, 100, 0, 0}, Draw(1), OPERATION_DROP},
        {{-kMax, -kMax, 9, 0}, Draw(9), OPERATION_LAST},
        {{kMax, kMax, 0, 0}, Draw(100), OPERATION_NONE},
        {{47, 1, 52, 0}, kMax, OPERATION_DROP},  // 1 + RAND_MAX % 100 = 48
    };
    for (const auto& [weights, raw, expected] : cases) {
        ReleasePolicy policy(Script({raw}));
        policy.Configure(Params(weights));
        EXPECT_EQ(policy.Decide(3).operation, expected) << raw;
        OperationCounters counted{};
        if (expected != OPERATION_LAST) {
            counted[expected] = 1;
        }
        EXPECT_EQ(policy.Counters(), counted) << raw;
    }
}

TEST(ReleasePolicy, ADelayDrawsItsLengthNextWithinOrderedBounds) {
    ReleasePolicy policy(Script({Draw(1), 3, Draw(1), 0, Draw(1), 7}));
    const std::pair<std::array<std::int32_t, 2>, int> cases[] = {
        {{2, 9}, 5}, {{9, 2}, 2}, {{std::numeric_limits<int>::min(), kMax}, -kMax + 6}};
    for (const auto& [range, expected] : cases) {
        policy.Configure(Params({0, 0, 100, 0}, range));
        EXPECT_EQ(policy.Decide(1).delayMs, expected);
    }
}

// Pop point 2 for three releases, whatever they draw; a buffer too short gives its newest.
TEST(ReleasePolicy, AReorderStartsAnEpisodeThatEndsAfterItsLength) {
    ReleasePolicy policy(Script({Draw(51), Draw(2), Draw(3), Draw(90), Draw(10), Draw(10), Draw(99),
                                 Draw(10), Draw(4), Draw(10)}));
    policy.Configure(Params({50, 0, 0, 50}));
    std::vector<std::size_t> taken;
    for (std::size_t buffered : {5, 4, 2, 3, 3}) {
        taken.push_back(policy.Decide(buffered).index);
    }
    EXPECT_EQ(taken, (std::vector<std::size_t>{2, 2, 1, 0, 2}));
    policy.Configure(Params({50, 0, 0, 50}));
    EXPECT_EQ(policy.Decide(4).index, 0u) << "Configure ends the episode";
    EXPECT_EQ(policy.Counters(), (OperationCounters{3, 0, 0, 3}));
}

// The buffer holds shared pointers, so that the test sees when each packet is freed.
TEST(FaultBuffer, AReleaseTakesItsPacketAndEveryPacketIsFreed) {
    std::vector<std::weak_ptr<int>> packets;
    {
        FaultBuffer<std::shared_ptr<int>> buffer(Script({Draw(80), Draw(10)}));
        EXPECT_FALSE(buffer.Take()) << "an empty buffer draws nothing";
        buffer.Configure(Params({50, 50, 0, 0}));
        for (int tag : {1, 2, 3}) {
            auto packet = std::make_shared<int>(tag);
            packets.push_back(packet);
            buffer.Add(std::move(packet));
        }
        auto dropped = buffer.Take();
        EXPECT_EQ(std::make_pair(*dropped->packet, dropped->IsValid()), std::make_pair(1, false));
        dropped.reset();
        EXPECT_TRUE(packets[0].expired());
        EXPECT_EQ(*buffer.Take()->packet, 2);
        EXPECT_FALSE(packets[2].expired());
    }
    EXPECT_TRUE(packets[1].expired() && packets[2].expired());
}

TEST(FaultBuffer, WaitersWakeForEveryPacketAndForInterrupt) {
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
    const OperationCounters counters = buffer.Counters();
    EXPECT_EQ(counters[0] + counters[1] + counters[3], kPackets);
    auto waiter = std::async(std::launch::async, [&] { return buffer.WaitForPacket(); });
    buffer.Interrupt();
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_FALSE(waiter.get());
    buffer.Add(1);
    EXPECT_FALSE(buffer.WaitForPacket());
}

TEST(Modifier, ReleasesClonesOfRocePacketsAndCountsInDecimal) {
    Modifier modifier(Script({Draw(1), Draw(100)}));
    modifier.Init(Params({50, 50, 0, 0}));
    for (std::uint16_t port : {std::uint16_t{4790}, kRocePort, kRocePort}) {
        Tins::EthernetII frame = Tins::EthernetII() / Tins::IP() / Tins::UDP(port, port + 1);
        modifier.InjectPacket(&frame);
    }
    Tins::EthernetII tcp = Tins::EthernetII() / Tins::IP() / Tins::TCP(kRocePort);
    EXPECT_THROW(modifier.InjectPacket(&tcp), Tins::pdu_not_found);
    const std::pair<bool, bool> releases[] = {{true, true}, {false, true}, {false, false}};
    for (const auto& [valid, packet] : releases) {  // to be sent, and whether a packet came
        bool isValid = !valid;
        std::unique_ptr<Tins::PDU> released(modifier.GetPacket(&isValid));
        EXPECT_EQ(std::make_pair(isValid, released != nullptr), std::make_pair(valid, packet));
    }
    std::ostringstream out;
    modifier.printOperationCounters(out);
    out << std::hex;
    WriteOperationCounters(out, {12, 0, 255, 1});
    EXPECT_EQ(
        out.str(),
        "Number of None: 1\nNumber of Drop: 1\nNumber of Delay: 0\nNumber of Reoeder: 0\n"
        "Number of None: 12\nNumber of Drop: 0\nNumber of Delay: 255\nNumber of Reoeder: 1\n");
}

}  // namespace
