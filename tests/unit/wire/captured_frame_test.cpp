#include "wire/CapturedFrame.h"

#include <gtest/gtest.h>
#include <tins/exceptions.h>

#include <memory>

#include "tests/unit/wire/TestFrames.h"

namespace {

using wire::CapturedFrame;

TEST(CapturedFrame, KeepsItsExactBytesThroughParsingCloningAndEdits) {
    const auto roce = wire_test::RoceFrameWithZeroChecksum();
    CapturedFrame original(roce);
    EXPECT_EQ(original.rfind_pdu<Tins::UDP>().checksum(), 0);
    EXPECT_EQ(original.rfind_pdu<Tins::RawPDU>().payload().size(), 12u);

    const Tins::PDU& base = original;
    std::unique_ptr<Tins::PDU> copy(base.clone());
    auto* captured = dynamic_cast<CapturedFrame*>(copy.get());
    ASSERT_NE(captured, nullptr);
    EXPECT_NE(captured->inner_pdu(), original.inner_pdu());
    captured->rfind_pdu<Tins::UDP>().dport(1234);
    EXPECT_EQ(original.rfind_pdu<Tins::UDP>().dport(), 4791);
    EXPECT_EQ(captured->bytes(), roce) << "edits to the layers must not touch the kept bytes";

    // Short frames stay unpadded.
    for (const auto& bytes : {wire_test::ShortArpFrame(), wire_test::OddFrame()}) {
        EXPECT_EQ(std::unique_ptr<CapturedFrame>(CapturedFrame(bytes).clone())->bytes(), bytes);
    }
    EXPECT_NE(CapturedFrame(wire_test::ShortArpFrame()).find_pdu<Tins::ARP>(), nullptr);
}

// libtins refuses these IPv4 headers; the bench must still see and forward the frames.
TEST(CapturedFrame, BrokenInnerLayersKeepTheEthernetHeaderAndAllBytes) {
    const std::vector<uint8_t> ethernet = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 0x08, 0x00};
    std::vector<uint8_t> runtIp = ethernet;
    runtIp.insert(runtIp.end(), {0x45, 0, 0, 40, 0, 0});
    std::vector<uint8_t> oversizedHeader = ethernet;
    oversizedHeader.insert(oversizedHeader.end(), {0x4f, 0, 0, 40});
    oversizedHeader.resize(60, 0);
    for (const auto& bytes : {runtIp, oversizedHeader}) {
        CapturedFrame frame(bytes);
        EXPECT_EQ(frame.payload_type(), 0x0800);
        EXPECT_EQ(frame.find_pdu<Tins::IP>(), nullptr);
        ASSERT_NE(frame.find_pdu<Tins::RawPDU>(), nullptr);
        EXPECT_EQ(frame.rfind_pdu<Tins::RawPDU>().payload().size(), bytes.size() - 14);
        EXPECT_EQ(std::unique_ptr<CapturedFrame>(frame.clone())->bytes(), bytes);
    }
    EXPECT_EQ(CapturedFrame(ethernet).inner_pdu(), nullptr);
    EXPECT_THROW(CapturedFrame(std::vector<uint8_t>(13, 0xab)), Tins::malformed_packet);
    EXPECT_THROW(CapturedFrame(std::vector<uint8_t>{}), Tins::malformed_packet);
}

}  // namespace
