#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "ModifierTestSupport.h"

namespace {

using namespace modifier_test;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = std::chrono::seconds(20);

// Keeps one core busy for as long as it lives.
class Spinner {
public:
    Spinner()
        : thread([this] {
              while (!stop.load()) {
              }
          }) {}
    ~Spinner() {
        stop = true;
        thread.join();
    }

private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

TEST(ModifierDelay, HoldsTheReleaseForWallTimeWhileAnotherThreadSpins) {
    Modifier modifier;
    ModifierParams params = WithDistribution(0, 0, 100, 0);
    params.delayRange = {5, 5};
    modifier.Init(params);
    InjectTags(modifier, {1, 2, 3});
    Spinner spinner;
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        const Release release = ReleaseOne(modifier);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(5));
        EXPECT_TRUE(release.valid);
    }
    EXPECT_EQ(modifier.GetOperationCounter(OPERATION_DELAY), 3);
}

TEST(ModifierDelay, ReversedRangeIsOrderedNotDividedByZero) {
    Modifier modifier;
    ModifierParams params = WithDistribution(0, 0, 100, 0);
    for (const auto& range : {std::array<std::int32_t, 2>{1, 0}, {4, 2}}) {
        params.delayRange = range;
        modifier.Init(params);
        InjectTags(modifier, {1});
        const auto start = Clock::now();
        EXPECT_TRUE(ReleaseOne(modifier).valid);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(range[DELAY_MAX]));
    }
}

// Injects `count` tagged packets on one thread while another drains them with
// the blocking wait; returns the tags in release order (invalid ones too).
std::vector<Release> Stream(Modifier& modifier, std::uint16_t count) {
    std::thread producer([&] {
        for (std::uint16_t tag = 1; tag <= count; ++tag) {
            modifier.InjectPacket(MakeFrame(tag).get());
        }
    });
    std::vector<Release> releases;
    const auto deadline = Clock::now() + kDeadline;
    while (releases.size() < count && Clock::now() < deadline) {
        if (!modifier.WaitForPacketFor(std::chrono::milliseconds(100))) {
            continue;
        }
        bool valid = false;
        std::unique_ptr<Tins::PDU> packet(modifier.GetPacket(&valid));
        EXPECT_NE(packet, nullptr) << "woken with nothing buffered";
        if (packet) {
            EXPECT_EQ(packet->serialize(), MakeFrame(TagOf(*packet))->serialize());
            releases.push_back({TagOf(*packet), valid});
        }
    }
    producer.join();
    return releases;
}

TEST(ModifierThreads, PassingStreamKeepsEveryPacketInOrder) {
    Modifier modifier;
    const std::vector<Release> releases = Stream(modifier, 3000);
    ASSERT_EQ(releases.size(), 3000u);
    for (std::size_t i = 0; i < releases.size(); ++i) {
        ASSERT_EQ(releases[i].tag, i + 1);
        ASSERT_TRUE(releases[i].valid);
    }
    EXPECT_EQ(modifier.GetOperationCounter(OPERATION_NONE), 3000);
}

TEST(ModifierThreads, ReorderingStreamLosesAndDuplicatesNothing) {
    Modifier modifier;
    modifier.Init(WithDistribution(50, 0, 0, 50));
    const std::vector<Release> releases = Stream(modifier, 3000);
    std::set<std::uint16_t> tags;
    for (const Release& release : releases) {
        EXPECT_TRUE(release.valid);
        EXPECT_TRUE(tags.insert(release.tag).second) << "duplicate " << release.tag;
    }
    EXPECT_EQ(tags.size(), 3000u);
    EXPECT_EQ(modifier.GetPacketBufferSize(), 0);
}

TEST(ModifierThreads, WaitReturnsAtOnceWhenAPacketIsBuffered) {
    Modifier modifier;
    EXPECT_FALSE(modifier.WaitForPacketFor(std::chrono::milliseconds(1)));
    InjectTags(modifier, {1});
    EXPECT_TRUE(modifier.WaitForPacket());
    EXPECT_TRUE(modifier.WaitForPacketFor(std::chrono::milliseconds(0)));
}

TEST(ModifierThreads, InjectWakesABlockedWaiter) {
    Modifier modifier;
    auto waiter = std::async(std::launch::async, [&] { return modifier.WaitForPacket(); });
    // Also gives the waiter time to block, so that only a wake-up can free it.
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    InjectTags(modifier, {1});
    if (waiter.wait_for(kDeadline) != std::future_status::ready) {
        modifier.Interrupt();  // free the waiter so the test can end
        FAIL() << "InjectPacket did not wake the waiter";
    }
    EXPECT_TRUE(waiter.get());
}

TEST(ModifierThreads, InterruptWakesABlockedWaiterAndStaysSet) {
    Modifier modifier;
    auto waiter = std::async(std::launch::async, [&] { return modifier.WaitForPacket(); });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    modifier.Interrupt();
    if (waiter.wait_for(kDeadline) != std::future_status::ready) {
        InjectTags(modifier, {1});  // free the waiter so the test can end
        FAIL() << "Interrupt did not wake the waiter";
    }
    EXPECT_FALSE(waiter.get());
    InjectTags(modifier, {1});
    EXPECT_FALSE(modifier.WaitForPacket());
    EXPECT_FALSE(modifier.WaitForPacketFor(std::chrono::seconds(5)));
}

}  // namespace
