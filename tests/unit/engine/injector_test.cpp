// An injector's forwarding thread: at the stop a long delay must not hold up the end of a run,
// and what it releases leaves in order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/Injector.h"
#include "tools/rocepeer/RoceFrames.h"

namespace {

TEST(Injector, AStopSendsThePacketInItsDelayAtOnceInsteadOfWaitingItOut) {
    std::atomic<int> sent{0};
    engine::Injector injector(
        "client in", [&sent](const FrameView*, std::size_t count) { sent += count; }, 8);
    ModifierParams params;
    params.distribution = {0, 0, 100, 0};
    params.delayRange = {60000, 60000};
    injector.Configure(params);
    injector.Start();
    const std::vector<std::uint8_t> frame(60, 1);
    injector.Offer(ReadFrame(frame.data(), frame.size()));
    injector.Wake();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (injector.Held() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(injector.Held(), 0);

    const auto stopping = std::chrono::steady_clock::now();
    injector.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(30));
    EXPECT_EQ(sent.load(), 1);
    EXPECT_EQ(injector.Counters()[OPERATION_DELAY], 1);
}

// The same for a packet an aimed fault holds for its own delay.
TEST(Injector, AStopSendsAPacketInAnAimedDelayAtOnceToo) {
    std::atomic<int> sent{0};
    engine::Injector injector(
        "client in", [&sent](const FrameView*, std::size_t count) { sent += count; }, 8);
    AimedFaults aimed({*ParseFaultRule("action=delay,ms=60000", false).rule});
    injector.Aim(&aimed, nullptr, FaultDirection::ClientToServer, [] { return std::int64_t{0}; });
    injector.Start();
    const roceframes::Endpoints ends{};
    const std::vector<std::uint8_t> frame =
        roceframes::BuildRoceFrame(ends, {4, 0x12, 7, 0}, std::vector<std::uint8_t>(16));
    injector.Offer(ReadFrame(frame.data(), frame.size()));
    injector.Wake();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (aimed.FiredCounts()[0] == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(aimed.FiredCounts()[0], 1u);
    EXPECT_EQ(injector.Held(), 1);

    injector.Join();
    EXPECT_EQ(sent.load(), 1);
    EXPECT_EQ(injector.Held(), 0);
}

// Every other draw drops: what leaves is every other packet offered, in order and unchanged,
// however the packets were batched on the way and their buffers reused.
TEST(Injector, ReleasesInOrderWhatItDoesNotDropThroughReusedBuffers) {
    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> sent;
    int draws = 0;
    engine::Injector injector(
        "client in",
        [&](const FrameView* frames, std::size_t count) {
            std::lock_guard<std::mutex> lock(mutex);
            for (std::size_t i = 0; i < count; ++i) {
                sent.emplace_back(frames[i].data, frames[i].data + frames[i].size);
            }
        },
        64, [&draws] { return draws++ % 2 == 0 ? 0 : 50; });
    ModifierParams params;
    params.distribution = {50, 50, 0, 0};
    injector.Configure(params);
    injector.Start();
    constexpr int kPackets = 2000;
    std::vector<std::vector<std::uint8_t>> expected;
    for (int i = 0; i < kPackets; ++i) {
        std::vector<std::uint8_t> frame(60 + i % 40, static_cast<std::uint8_t>(i));
        frame[1] = static_cast<std::uint8_t>(i >> 8);
        // The limit is small: wait for room rather than be refused.
        while (injector.Held() >= 64) {
            std::this_thread::yield();
        }
        injector.Offer(ReadFrame(frame.data(), frame.size()));
        injector.Wake();
        if (i % 2 == 0) {
            expected.push_back(frame);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (injector.Held() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    injector.Join();
    EXPECT_EQ(injector.Refused(), 0u);
    EXPECT_EQ(injector.Counters(), (OperationCounters{kPackets / 2, kPackets / 2, 0, 0}));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(sent, expected);
}

// What the capture file learns of each packet: every one accepted is told exactly once, as it
// arrived, with its decision and the verifier's note; those still held at the stop as held.
TEST(Injector, TellsEveryAcceptedPacketOnceWithItsDecisionAlsoWhenHeldAtTheStop) {
    struct Told {
        std::int64_t arrivalNs;
        std::uint8_t firstByte;
        std::string comment;
        bool operator==(const Told& other) const {
            return arrivalNs == other.arrivalNs && firstByte == other.firstByte &&
                   comment == other.comment;
        }
    };
    std::mutex mutex;
    std::vector<Told> told;
    engine::Injector injector("client in", nullptr, 3);
    injector.Record([&](std::int64_t arrivalNs, const FrameView& frame, std::string_view comment) {
        std::lock_guard<std::mutex> lock(mutex);
        told.push_back({arrivalNs, frame.data[0], std::string(comment)});
    });
    ModifierParams params;
    params.distribution = {0, 0, 100, 0};
    params.delayRange = {60000, 60000};
    injector.Configure(params);
    injector.Start();
    const auto offer = [&](std::uint8_t tag, std::string_view note = {}) {
        const std::vector<std::uint8_t> frame(60, tag);
        const bool taken = injector.Offer(ReadFrame(frame.data(), frame.size()), tag, note);
        injector.Wake();
        return taken;
    };
    ASSERT_TRUE(offer(1));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (injector.Held() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(injector.Held(), 0);  // the first is in its delay
    EXPECT_TRUE(offer(2, "bad PSN, expected 0x5"));
    EXPECT_TRUE(offer(3));
    EXPECT_TRUE(offer(4));
    EXPECT_FALSE(offer(5));  // over the limit: the caller tells of it

    injector.Join();
    const std::string held = "held at the stop, not sent";
    const std::vector<Told> expected = {{1, 1, "delay 60000 ms"},
                                        {2, 2, held + "; bad PSN, expected 0x5"},
                                        {3, 3, held},
                                        {4, 4, held}};
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(told.size(), expected.size());
    EXPECT_TRUE(told == expected);
}

// A packet an aimed reorder holds for the next one, which never comes, is told as held.
TEST(Injector, TellsAPacketAnAimedReorderStillHoldsAtTheStopAsHeld) {
    std::vector<std::string> told;
    std::mutex mutex;
    engine::Injector injector("client in", nullptr, 8);
    injector.Record([&](std::int64_t, const FrameView&, std::string_view comment) {
        std::lock_guard<std::mutex> lock(mutex);
        told.emplace_back(comment);
    });
    AimedFaults aimed({*ParseFaultRule("action=reorder", false).rule});
    injector.Aim(&aimed, nullptr, FaultDirection::ClientToServer, [] { return std::int64_t{0}; });
    injector.Start();
    const std::vector<std::uint8_t> frame =
        roceframes::BuildRoceFrame(roceframes::Endpoints{}, {4, 0x12, 7, 0}, {});
    ASSERT_TRUE(injector.Offer(ReadFrame(frame.data(), frame.size())));
    injector.Wake();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (aimed.FiredCounts()[0] == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    injector.Join();
    EXPECT_EQ(injector.Held(), 1);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(told, std::vector<std::string>{"rule 1: reorder; held at the stop, not sent"});
}

}  // namespace
