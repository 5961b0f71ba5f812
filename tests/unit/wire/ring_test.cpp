// The ring between a port's capture thread and its injector's forwarding thread, and where the
// bench's threads are placed.
#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "wire/Placement.h"
#include "wire/SpscRing.h"

namespace {

using std::chrono::steady_clock;

TEST(SpscRing, KeepsOrderAcrossTheWrapRefusesWhenFullAndOnlyThenAcceptsAgain) {
    wire::SpscRing<int> ring(3);
    ASSERT_EQ(ring.Capacity(), 4u);
    int next = 0;
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 4; ++i) {
            EXPECT_TRUE(ring.TryPush(round * 4 + i));
        }
        EXPECT_FALSE(ring.TryPush(-1));
        EXPECT_EQ(ring.Size(), 4u);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(ring.TryPop(), next++);
        }
        EXPECT_FALSE(ring.TryPop());
        EXPECT_TRUE(ring.Empty());
    }
}

// A consumer that sleeps whenever the ring is empty, and a producer that wakes it once per burst:
// a wake-up lost between the consumer's last look and its sleep would leave it asleep for good.
TEST(SpscRing, ASleepingConsumerIsNeverLeftBehindItemsAndAnInterruptEndsItsWait) {
    constexpr std::uint64_t kItems = 200'000;
    wire::SpscRing<std::uint64_t> ring(64);
    std::uint64_t received = 0;
    bool inOrder = true;
    std::thread consumer([&] {
        while (received < kItems) {
            if (auto item = ring.TryPop()) {
                inOrder = inOrder && *item == received;
                ++received;
            } else if (!ring.WaitForItem(steady_clock::now() + std::chrono::seconds(20))) {
                return;
            }
        }
    });
    const auto start = steady_clock::now();
    for (std::uint64_t item = 0; item < kItems;) {
        for (int burst = 0; burst < 1 + static_cast<int>(item % 7) && item < kItems; ++burst) {
            while (!ring.TryPush(item)) {
                ring.Wake();
                std::this_thread::yield();
            }
            ++item;
        }
        ring.Wake();
    }
    consumer.join();
    EXPECT_EQ(received, kItems);
    EXPECT_TRUE(inOrder);
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(20)) << "a wake-up was lost";

    std::thread sleeper([&] { EXPECT_FALSE(ring.WaitForItem()); });
    ring.Interrupt();
    sleeper.join();
    EXPECT_FALSE(ring.WaitForItem()) << "later waits end at once";
}

TEST(Placement, ReadsCpuListsAsTheKernelWritesThemAndRefusesAnythingElse) {
    EXPECT_EQ(wire::ParseCpuList("0"), (std::vector<int>{0}));
    EXPECT_EQ(wire::ParseCpuList("2,0-1"), (std::vector<int>{2, 0, 1}));
    EXPECT_EQ(wire::ParseCpuList("1,1-2,2"), (std::vector<int>{1, 2}));
    EXPECT_EQ(wire::ParseCpuList("1023"), (std::vector<int>{1023}));
    for (const char* bad :
         {"", ",", "0,", ",0", "a", "1-", "-1", "3-1", "1024", "0x1", " 1", "1.5", "99999999999"}) {
        EXPECT_FALSE(wire::ParseCpuList(bad)) << bad;
    }
}

TEST(Placement, PinsTheCallingThreadOnlyToCpusItMayUse) {
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    int usable = 0;
    while (!CPU_ISSET(usable, &allowed)) {
        ++usable;
    }
    EXPECT_EQ(wire::UnusableCpus({usable, 1023}), (std::vector<int>{1023}));
    std::thread pinned([usable] {
        ASSERT_TRUE(wire::PinCurrentThread({usable}));
        EXPECT_EQ(sched_getcpu(), usable);
        EXPECT_FALSE(wire::PinCurrentThread({1023}));
    });
    pinned.join();
    EXPECT_FALSE(wire::InterruptCpu("no-such-port"));
}

}  // namespace
