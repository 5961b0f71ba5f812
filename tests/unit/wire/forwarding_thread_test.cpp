#include "wire/ForwardingThread.h"

#include <gtest/gtest.h>

#include "tests/unit/wire/TestFrames.h"
#include "wire/CapturedFrame.h"

namespace {

// Never opened: every frame handed to it is counted as unsent, which shows what the loop sent.
class ForwardingThreadTest : public ::testing::Test {
protected:
    void Inject(int frames) {
        const std::vector<uint8_t> bytes = wire_test::RoceFrameWithZeroChecksum();
        for (int i = 0; i < frames; ++i) {
            wire::CapturedFrame frame(bytes.data(), static_cast<uint32_t>(bytes.size()));
            modifier_.InjectPacket(&frame);
        }
    }
    void Configure(std::array<std::int32_t, OPERATION_LAST> distribution, int delayMs = 0) {
        ModifierParams params;
        params.distribution = distribution;
        params.delayRange = {delayMs, delayMs};
        modifier_.Init(params);
    }
    Modifier modifier_;
    wire::Sender target_{"unopened"};
    std::atomic<bool> running_{true};
};

TEST_F(ForwardingThreadTest, SendsEveryReleasedPacketIncludingThoseBufferedWhileItWaits) {
    Configure({100, 0, 0, 0});
    Inject(3);
    wire::ForwardingThread forwarder(modifier_, target_, running_);
    ASSERT_TRUE(wire_test::WaitFor([&] { return target_.UnsentFrames() == 3; }));
    Inject(5);
    ASSERT_TRUE(wire_test::WaitFor([&] { return target_.UnsentFrames() == 8; }));
    forwarder.Join();
    EXPECT_EQ(modifier_.GetPacketBufferSize(), 0);
    EXPECT_EQ(modifier_.GetOperationCounter(OPERATION_NONE), 8);
}

TEST_F(ForwardingThreadTest, DroppedPacketsAreTakenButNeverSent) {
    Configure({0, 100, 0, 0});
    wire::ForwardingThread forwarder(modifier_, target_, running_);
    Inject(6);
    ASSERT_TRUE(
        wire_test::WaitFor([&] { return modifier_.GetOperationCounter(OPERATION_DROP) == 6; }));
    forwarder.Join();
    EXPECT_EQ(modifier_.GetPacketBufferSize(), 0);
    EXPECT_EQ(target_.UnsentFrames(), 0u);
}

TEST_F(ForwardingThreadTest, AStopSendsThePacketInItsDelayButNoneBufferedAfterIt) {
    Configure({0, 0, 100, 0}, 30);
    wire::ForwardingThread forwarder(modifier_, target_, running_);
    Inject(1);
    // Taken out of the buffer: the forwarding thread is now in the packet's delay.
    ASSERT_TRUE(wire_test::WaitFor([&] { return modifier_.GetPacketBufferSize() == 0; }));
    running_ = false;
    Inject(1);
    forwarder.Join();
    EXPECT_EQ(target_.UnsentFrames(), 1u) << "the delayed packet must still be sent";
    EXPECT_EQ(modifier_.GetPacketBufferSize(), 1);
}

}  // namespace
