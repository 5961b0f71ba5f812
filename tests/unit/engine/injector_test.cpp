// An injector's forwarding thread at the stop: a long delay must not hold up the end of a run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/Injector.h"

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

}  // namespace
