#include "transport/RoceFrame.h"

#include <gtest/gtest.h>
#include <tins/arp.h>
#include <tins/ethernetII.h>
#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/tcp.h>
#include <tins/udp.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kSamplePayload = {0x00, 0x40, 0xFF, 0xFF, 0x00, 0x12,
                              0x34, 0x56, 0x80, 0xAB, 0xCD, 0xEF};

Tins::EthernetII UdpFrame(std::uint16_t srcPort, std::uint16_t dstPort, const Bytes& payload) {
    Tins::EthernetII frame = Tins::EthernetII("02:00:00:00:00:01", "02:00:00:00:00:02") /
                             Tins::IP("10.0.0.1", "10.0.0.2") / Tins::UDP(dstPort, srcPort);
    if (!payload.empty()) {
        frame /= Tins::RawPDU(payload);
    }
    return frame;
}

// Serializes and parses again, so the chain is the one a capture would deliver.
std::optional<Bth> ExtractFromWire(Tins::EthernetII frame) {
    const Bytes wire = frame.serialize();
    const Tins::EthernetII captured(wire.data(), static_cast<std::uint32_t>(wire.size()));
    return ExtractBth(captured);
}

std::optional<Bth> ExtractRocePayload(const Bytes& payload) {
    return ExtractFromWire(UdpFrame(49152, kRocePort, payload));
}

Bytes WithByte(Bytes payload, std::size_t index, std::uint8_t value) {
    payload.at(index) = value;
    return payload;
}

void ExpectSameBth(const Bth& expected, const Bth& actual) {
    EXPECT_EQ(expected.GetBthOpcode(), actual.GetBthOpcode());
    EXPECT_EQ(expected.GetDestinationQp(), actual.GetDestinationQp());
    EXPECT_EQ(expected.GetPsn(), actual.GetPsn());
    EXPECT_EQ(expected.IsAckReq(), actual.IsAckReq());
}

TEST(BthExtraction, ReadsEachFieldFromItsBytes) {
    const std::optional<Bth> bth = ExtractRocePayload(kSamplePayload);
    ASSERT_TRUE(bth.has_value());
    EXPECT_EQ(bth->GetBthOpcode(), SEND_FIRST);
    EXPECT_EQ(bth->GetDestinationQp(), 0x123456u);
    EXPECT_TRUE(bth->IsAckReq());
    EXPECT_EQ(bth->GetPsn(), 0xABCDEFu);
}

TEST(BthExtraction, AckRequestTakesTheWholeOfByteEight) {
    const std::optional<Bth> reservedBit = ExtractRocePayload(WithByte(kSamplePayload, 8, 0x01));
    const std::optional<Bth> cleared = ExtractRocePayload(WithByte(kSamplePayload, 8, 0x00));
    ASSERT_TRUE(reservedBit.has_value());
    ASSERT_TRUE(cleared.has_value());
    EXPECT_TRUE(reservedBit->IsAckReq());
    EXPECT_FALSE(cleared->IsAckReq());
    EXPECT_EQ(cleared->GetDestinationQp(), 0x123456u);
    EXPECT_EQ(cleared->GetPsn(), 0xABCDEFu);
}

TEST(BthExtraction, IgnoresBytesOneToFourAndEverythingAfterTheHeader) {
    const std::optional<Bth> reference = ExtractRocePayload(kSamplePayload);
    ASSERT_TRUE(reference.has_value());
    for (std::size_t index = 1; index <= 4; ++index) {
        for (std::uint8_t value : {0x00, 0x5A, 0xFF}) {
            const std::optional<Bth> changed =
                ExtractRocePayload(WithByte(kSamplePayload, index, value));
            ASSERT_TRUE(changed.has_value());
            ExpectSameBth(*reference, *changed);
        }
    }
    Bytes withAeth = kSamplePayload;
    withAeth.insert(withAeth.end(), {0x11, 0x22, 0x33, 0x44, 0xFF, 0xFF});
    const std::optional<Bth> longer = ExtractRocePayload(withAeth);
    ASSERT_TRUE(longer.has_value());
    ExpectSameBth(*reference, *longer);
}

TEST(BthExtraction, CarriesOpcodesWithoutAnEnumerator) {
    for (std::uint8_t opcode : {0x03, 0x06, 0x11, 0xFF}) {
        const std::optional<Bth> bth = ExtractRocePayload(WithByte(kSamplePayload, 0, opcode));
        ASSERT_TRUE(bth.has_value());
        EXPECT_EQ(static_cast<int>(bth->GetBthOpcode()), opcode);
    }
}

TEST(BthExtraction, OnlyTheDestinationPortMarksRoce) {
    EXPECT_FALSE(ExtractFromWire(UdpFrame(49152, kRocePort - 1, kSamplePayload)).has_value());
    EXPECT_FALSE(ExtractFromWire(UdpFrame(49152, kRocePort + 1, kSamplePayload)).has_value());
    EXPECT_FALSE(ExtractFromWire(UdpFrame(kRocePort, 4790, kSamplePayload)).has_value());
    EXPECT_TRUE(ExtractFromWire(UdpFrame(kRocePort, kRocePort, kSamplePayload)).has_value());
}

TEST(BthExtraction, IncompleteHeadersGiveNothing) {
    // The five-byte frame is also padded to the Ethernet minimum on the wire;
    // the padding must not be read as header bytes.
    EXPECT_FALSE(
        ExtractRocePayload(Bytes(kSamplePayload.begin(), kSamplePayload.begin() + 5)).has_value());
    EXPECT_FALSE(
        ExtractRocePayload(Bytes(kSamplePayload.begin(), kSamplePayload.begin() + 11)).has_value());
    EXPECT_FALSE(ExtractRocePayload(Bytes{}).has_value());
    EXPECT_FALSE(ParseBth(nullptr, kBthSize).has_value());
    EXPECT_TRUE(ParseBth(kSamplePayload.data(), kBthSize).has_value());
}

TEST(BthExtraction, FramesWithoutUdpGiveNothing) {
    Tins::EthernetII arp = Tins::ARP::make_arp_request("10.0.0.2", "10.0.0.1", "02:00:00:00:00:01");
    EXPECT_FALSE(ExtractFromWire(arp).has_value());

    Tins::EthernetII tcp = Tins::EthernetII() / Tins::IP("10.0.0.1", "10.0.0.2") /
                           Tins::TCP(kRocePort, 49152) / Tins::RawPDU(kSamplePayload);
    EXPECT_FALSE(ExtractFromWire(tcp).has_value());
}

}  // namespace
