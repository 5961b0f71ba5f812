#include <gtest/gtest.h>

#include <tins/exceptions.h>
#include <tins/tcp.h>

#include <iostream>
#include <string>

#include "ModifierTestSupport.h"
#include "tests/unit/transport/CoutCapture.h"

namespace {

using namespace modifier_test;

TEST(ModifierInject, BuffersOnlyFramesWhoseFirstUdpLayerIsRoce) {
    Modifier modifier;
    modifier.InjectPacket(MakeFrame(1, 4790).get());
    EXPECT_EQ(modifier.GetPacketBufferSize(), 0);

    Tins::EthernetII tunnelledRoce = Tins::EthernetII() / Tins::IP() / Tins::UDP(1234, 1) /
                                     Tins::UDP(kRocePort, 2) / Tins::RawPDU("x");
    modifier.InjectPacket(&tunnelledRoce);
    EXPECT_EQ(modifier.GetPacketBufferSize(), 0);

    Tins::EthernetII roceCarryingUdp = Tins::EthernetII() / Tins::IP() / Tins::UDP(kRocePort, 3) /
                                       Tins::UDP(1234, 4) / Tins::RawPDU("x");
    modifier.InjectPacket(&roceCarryingUdp);
    EXPECT_EQ(modifier.GetPacketBufferSize(), 1);
}

TEST(ModifierInject, FrameWithoutUdpThrowsAndLeavesBufferAlone) {
    Modifier modifier;
    InjectTags(modifier, {1});
    Tins::EthernetII tcp = Tins::EthernetII() / Tins::IP() / Tins::TCP(kRocePort, 1);
    EXPECT_THROW(modifier.InjectPacket(&tcp), Tins::pdu_not_found);
    Tins::RawPDU raw("not a frame");
    EXPECT_THROW(modifier.InjectPacket(&raw), Tins::pdu_not_found);
    EXPECT_EQ(modifier.GetPacketBufferSize(), 1);
}

TEST(ModifierInject, CallerMayFreeItsFrameAtOnce) {
    Modifier modifier;
    auto frame = MakeFrame(7);
    const Tins::PDU::serialization_type bytes = frame->serialize();
    const Tins::PDU* original = frame.get();
    modifier.InjectPacket(frame.get());
    frame.reset();

    bool valid = false;
    std::unique_ptr<Tins::PDU> released(modifier.GetPacket(&valid));
    ASSERT_NE(released, nullptr);
    EXPECT_TRUE(valid);
    EXPECT_NE(released.get(), original);
    EXPECT_EQ(released->serialize(), bytes);
}

TEST(ModifierRelease, EmptyBufferGivesNothingAndDrawsNothing) {
    Modifier modifier;
    modifier.Init(WithDistribution(0, 100, 0, 0));
    bool valid = true;
    EXPECT_EQ(modifier.GetPacket(&valid), nullptr);
    EXPECT_FALSE(valid);
    EXPECT_EQ(modifier.GetOperationCounter(OPERATION_DROP), 0);
}

TEST(ModifierRelease, DropsReturnTheOldestMarkedInvalid) {
    Modifier modifier;
    modifier.Init(WithDistribution(0, 100, 0, 0));
    InjectTags(modifier, {1, 2, 3});
    for (std::uint16_t tag : {1, 2, 3}) {
        const Release release = ReleaseOne(modifier);
        EXPECT_EQ(release.tag, tag);
        EXPECT_FALSE(release.valid);
    }
    EXPECT_EQ(modifier.GetOperationCounter(OPERATION_DROP), 3);
    EXPECT_EQ(modifier.GetOperationCounter(OPERATION_NONE), 0);
}

TEST(ModifierRelease, ChangingTheCallersParamsAfterInitChangesNothing) {
    Modifier modifier;
    ModifierParams params = WithDistribution(0, 100, 0, 0);
    modifier.Init(params);
    params.distribution = {100, 0, 0, 0};
    InjectTags(modifier, {1});
    EXPECT_FALSE(ReleaseOne(modifier).valid);
}

class ModifierOwnership : public ::testing::Test {
protected:
    void SetUp() override { TrackedFrame::ResetCounts(); }
};

TEST_F(ModifierOwnership, EveryCloneIsFreedExactlyOnce) {
    {
        Modifier modifier;
        for (std::uint16_t tag = 1; tag <= 6; ++tag) {
            modifier.InjectPacket(MakeTrackedFrame(tag).get());
        }
        modifier.InjectPacket(MakeTrackedFrame(7, 53).get());
        EXPECT_EQ(TrackedFrame::cloned, 6);
        EXPECT_EQ(TrackedFrame::Alive(), 6);

        ReleaseOne(modifier);
        modifier.Init(WithDistribution(0, 100, 0, 0));
        ReleaseOne(modifier);
        ReleaseOne(modifier);
        EXPECT_EQ(TrackedFrame::Alive(), 3);
    }
    EXPECT_EQ(TrackedFrame::Alive(), 0);
    EXPECT_EQ(TrackedFrame::constructed, 13);
}

TEST_F(ModifierOwnership, ReleasedPacketIsTheBufferedCloneNotACopyOfIt) {
    Modifier modifier;
    modifier.InjectPacket(MakeTrackedFrame(1).get());
    bool valid = false;
    std::unique_ptr<Tins::PDU> packet(modifier.GetPacket(&valid));
    EXPECT_NE(dynamic_cast<TrackedFrame*>(packet.get()), nullptr);
    EXPECT_EQ(TrackedFrame::cloned, 1);
    EXPECT_EQ(TrackedFrame::Alive(), 1);
}

void ReleaseWith(Modifier& modifier, const ModifierParams& params, int count) {
    modifier.Init(params);
    for (int i = 0; i < count; ++i) {
        ReleaseOne(modifier);
    }
}

TEST(ModifierReport, PrintsCountersInDecimalWhateverTheStreamBase) {
    Modifier modifier;
    InjectTags(modifier, std::vector<std::uint16_t>(15, 1));
    ReleaseWith(modifier, WithDistribution(100, 0, 0, 0), 12);
    ReleaseWith(modifier, WithDistribution(0, 100, 0, 0), 1);
    ReleaseWith(modifier, WithDistribution(0, 0, 0, 100), 2);

    std::string text;
    bool decimalAfterwards = false;
    {
        CoutCapture capture;
        std::cout << std::hex;
        modifier.printOperationCounters();
        decimalAfterwards = (std::cout.flags() & std::ios_base::basefield) == std::ios_base::dec;
        text = capture.Text();
    }
    EXPECT_EQ(text,
              "Number of None: 12\nNumber of Drop: 1\nNumber of Delay: 0\n"
              "Number of Reoeder: 2\n");
    EXPECT_TRUE(decimalAfterwards);
}

}  // namespace
