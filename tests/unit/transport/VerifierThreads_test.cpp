#include "transport/Verifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/transport/CoutCapture.h"
#include "tests/unit/transport/VerifierTestSupport.h"

namespace {

constexpr unsigned int kThreads = 4;
constexpr unsigned int kRounds = 20000;
constexpr unsigned int kSharedQp = 0x100;
constexpr unsigned int kSharedPeer = 0x200;
constexpr std::uint32_t kSharedStart = 0xFFFFF0;
constexpr std::uint32_t kPsnMask = 0xFFFFFF;

unsigned int OwnQp(unsigned int thread) {
    return 0x110 + thread;
}
unsigned int OwnPeer(unsigned int thread) {
    return 0x210 + thread;
}
std::uint32_t OwnStart(unsigned int thread) {
    return 0xFFFF00 + thread;
}
BthOpcode OwnOpcode(unsigned int round) {
    static const BthOpcode kCycle[] = {SEND_FIRST, SEND_MIDLLE, SEND_LAST};
    return kCycle[round % 3];
}

// Each round sends one in-order packet of a private message stream, records a
// peer send and an acknowledgement, and sends on the queue pair that all
// threads share. Every thread sends the shared PSNs in order, so whatever the
// interleaving, none is ever ahead and the shared stream ends at the last one.
void Hammer(Verifier& verifier, unsigned int thread, std::atomic<unsigned int>& refusals) {
    for (unsigned int round = 0; round < kRounds; ++round) {
        const VerifierStatus statuses[] = {
            Verify(verifier, 0, OwnOpcode(round), OwnPeer(thread),
                   (OwnStart(thread) + round) & kPsnMask),
            Verify(verifier, 0, SEND_MIDLLE, OwnQp(thread), round),
            Verify(verifier, 0, ACKNOWLEDGE, OwnQp(thread), round),
            Verify(verifier, 0, SEND_ONLY, kSharedPeer, (kSharedStart + round) & kPsnMask),
        };
        for (VerifierStatus status : statuses) {
            if (status != VerifierStatusOK) {
                ++refusals;
            }
        }
    }
}

TEST(VerifierThreads, ConcurrentPacketsAndReportsLeaveExactlyTheImpliedState) {
    Verifier verifier;
    verifier.AddDevice(Device{0, 1024, {}});
    RegisterQuietly(verifier, 0, kSharedQp, kSharedPeer);
    for (unsigned int thread = 0; thread < kThreads; ++thread) {
        RegisterQuietly(verifier, 0, OwnQp(thread), OwnPeer(thread));
    }

    std::atomic<unsigned int> refusals{0};
    std::atomic<unsigned int> finished{0};
    std::vector<std::thread> workers;
    for (unsigned int thread = 0; thread < kThreads; ++thread) {
        workers.emplace_back([&, thread] {
            Hammer(verifier, thread, refusals);
            ++finished;
        });
    }
    const std::size_t reportLines = 1 + 3 * (kThreads + 1);
    unsigned int reports = 0;
    {
        CoutCapture capture;
        while (finished.load() < kThreads || reports == 0) {
            capture.Clear();
            EXPECT_EQ(verifier.IdleChecker(), VerifierStatusOK);
            const std::string text = capture.Text();
            EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')),
                      reportLines);
            ++reports;
        }
    }
    for (std::thread& worker : workers) {
        worker.join();
    }

    EXPECT_EQ(refusals.load(), 0u);
    const Qp shared = QpAt(verifier, 0, kSharedQp);
    EXPECT_EQ(shared.nextToSendPsn, (kSharedStart + kRounds) & kPsnMask);
    EXPECT_EQ(shared.previousPacketOpCode, SEND_ONLY);
    for (unsigned int thread = 0; thread < kThreads; ++thread) {
        const Qp own = QpAt(verifier, 0, OwnQp(thread));
        EXPECT_EQ(own.nextToSendPsn, (OwnStart(thread) + kRounds) & kPsnMask);
        EXPECT_EQ(own.previousPacketOpCode, OwnOpcode(kRounds - 1));
        EXPECT_EQ(own.expectedPsn, kRounds);
        EXPECT_EQ(own.firstNonAckedPsn, kRounds);
    }
}

}  // namespace
