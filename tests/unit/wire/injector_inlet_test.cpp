#include "wire/InjectorInlet.h"

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

std::string Report(const wire::InjectorInlet& inlet) {
    std::ostringstream out;
    inlet.WriteReport(out);
    return out.str();
}

TEST(InjectorInlet, AFullInjectorRefusesAndCountsOnlyRocePacketsAndTheEndReportTellsBoth) {
    Modifier modifier;
    wire::InjectorInlet inlet(modifier, "enp1s0f1 in", 2);
    EXPECT_EQ(Report(inlet), "") << "nothing refused or held";

    auto roce = Frame(wire_test::RoceFrameWithZeroChecksum());
    for (int i = 0; i < 3; ++i) {
        inlet.Offer(roce);
    }
    EXPECT_EQ(modifier.GetPacketBufferSize(), 2);
    EXPECT_EQ(inlet.Refused(), 1u);

    auto other = Frame(OtherUdpFrame());
    inlet.Offer(other);
    EXPECT_EQ(inlet.Refused(), 1u) << "other UDP is never the injector's to refuse";
    auto arp = Frame(wire_test::ShortArpFrame());
    EXPECT_THROW(inlet.Offer(arp), Tins::pdu_not_found);
    EXPECT_EQ(modifier.GetPacketBufferSize(), 2);

    EXPECT_EQ(Report(inlet),
              "enp1s0f1 in: 1 packet refused by the full fault injector (2 held), not sent\n"
              "enp1s0f1 in: 2 packets held by the fault injector at the stop, not sent\n");

    bool isValid = false;
    delete modifier.GetPacket(&isValid);
    inlet.Offer(roce);
    EXPECT_EQ(inlet.Refused(), 1u) << "room again once a packet is released";
}

}  // namespace
