#include "wire/InjectorPath.h"

#include <tins/exceptions.h>

#include <gtest/gtest.h>

#include <sstream>

#include "tests/unit/wire/TestFrames.h"
#include "wire/CapturedFrame.h"

namespace {

wire::CapturedFrame Frame(const std::vector<uint8_t>& bytes) {
    return wire::CapturedFrame(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::vector<uint8_t> OtherUdpFrame() {
    Tins::EthernetII frame = Tins::EthernetII("02:00:00:00:00:02", "02:00:00:00:00:01") /
                             Tins::IP("10.0.0.2", "10.0.0.1") / Tins::UDP(4792, 4791) /
                             Tins::RawPDU(std::vector<uint8_t>(12, 0));
    return frame.serialize();
}

ModifierParams Weights(std::array<std::int32_t, OPERATION_LAST> distribution) {
    ModifierParams params;
    params.distribution = distribution;
    return params;
}

// The target is never opened: every frame sent is counted as unsent, which shows what left.
class InjectorPathTest : public ::testing::Test {
protected:
    std::string Report() const {
        std::ostringstream out;
        path_.WriteReport(out);
        return out.str();
    }

    Modifier modifier_;
    wire::Sender target_{"unopened"};
    std::atomic<bool> running_{true};
    wire::InjectorPath path_{modifier_, target_, "enp1s0f1 in", 2};
    wire::CapturedFrame roce_ = Frame(wire_test::RoceFrameWithZeroChecksum());
};

TEST_F(InjectorPathTest, ReleasesOnItsOwnThreadUntilTheStopAndHoldsWhatComesAfter) {
    path_.Configure(Weights({100, 0, 0, 0}));
    path_.Start(running_);
    path_.Offer(roce_);
    wire_test::WaitFor([&] { return target_.UnsentFrames() != 0; });
    EXPECT_EQ(target_.UnsentFrames(), 1u);
    EXPECT_EQ(Report(), "");
    running_ = false;
    path_.RequestStop();
    path_.Join();
    path_.Offer(roce_);
    EXPECT_EQ(target_.UnsentFrames(), 1u) << "nothing leaves after the stop";
    EXPECT_EQ(Report(), "enp1s0f1 in: 1 packet held by the fault injector at the stop, not sent\n");
}

TEST_F(InjectorPathTest, AFullInjectorRefusesAndCountsOnlyRocePackets) {
    path_.Configure(Weights({100, 0, 0, 0}));  // not started: packets stay in the injector
    for (int i = 0; i < 3; ++i) {
        path_.Offer(roce_);
    }
    EXPECT_EQ(modifier_.GetPacketBufferSize(), 2);
    EXPECT_EQ(path_.Refused(), 1u);
    auto other = Frame(OtherUdpFrame());
    path_.Offer(other);
    auto arp = Frame(wire_test::ShortArpFrame());
    EXPECT_THROW(path_.Offer(arp), Tins::pdu_not_found);
    EXPECT_EQ(path_.Refused(), 1u) << "only RoCE packets are the injector's to refuse";
    EXPECT_EQ(Report(),
              "enp1s0f1 in: 1 packet refused by the full fault injector (2 held), not sent\n"
              "enp1s0f1 in: 2 packets held by the fault injector at the stop, not sent\n");

    bool isValid = false;
    delete modifier_.GetPacket(&isValid);
    path_.Offer(roce_);
    EXPECT_EQ(path_.Refused(), 1u) << "room again once a packet is released";
}

}  // namespace
