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
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Fields = std::tuple<int, std::uint32_t, std::uint32_t, bool>;

const Bytes kSample = {0x00, 0x40, 0xFF, 0xFF, 0x00, 0x12, 0x34, 0x56, 0x80, 0xAB, 0xCD, 0xEF};

Tins::EthernetII UdpFrame(std::uint16_t srcPort, std::uint16_t dstPort, const Bytes& payload) {
    Tins::EthernetII frame =
        Tins::EthernetII() / Tins::IP("10.0.0.1", "10.0.0.2") / Tins::UDP(dstPort, srcPort);
    if (!payload.empty()) {
        frame /= Tins::RawPDU(payload);
    }
    return frame;
}

// Parsed again from its bytes, so the chain is the one a capture delivers (padding included).
std::optional<Fields> Extract(Tins::EthernetII frame) {
    const Bytes wire = frame.serialize();
    const std::optional<Bth> bth =
        ExtractBth(Tins::EthernetII(wire.data(), static_cast<std::uint32_t>(wire.size())));
    if (!bth) {
        return std::nullopt;
    }
    return Fields{bth->GetBthOpcode(), bth->GetDestinationQp(), bth->GetPsn(), bth->IsAckReq()};
}

std::optional<Fields> ExtractPayload(const Bytes& payload) {
    return Extract(UdpFrame(49152, kRocePort, payload));
}

TEST(BthExtraction, EachFieldComesFromItsOwnBytes) {
    const auto with = [](std::size_t index, std::uint8_t value) {
        Bytes payload = kSample;
        payload[index] = value;
        return ExtractPayload(payload);
    };
    EXPECT_EQ(ExtractPayload(kSample), Fields(0, 0x123456, 0xABCDEF, true));
    EXPECT_EQ(with(8, 0x01), Fields(0, 0x123456, 0xABCDEF, true));  // reserved bits count too
    EXPECT_EQ(with(8, 0x00), Fields(0, 0x123456, 0xABCDEF, false));
    EXPECT_EQ(with(0, 0xE3), Fields(0xE3, 0x123456, 0xABCDEF, true));
    // Bytes 1-4 and whatever follows the header are never read.
    const Bytes noisy = {0x00, 0x00, 0x5A, 0x00, 0xFF, 0x12, 0x34, 0x56,
                         0x80, 0xAB, 0xCD, 0xEF, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(ExtractPayload(noisy), Fields(0, 0x123456, 0xABCDEF, true));
}

TEST(BthExtraction, OnlyACompleteHeaderToPort4791Counts) {
    EXPECT_FALSE(Extract(UdpFrame(49152, 4790, kSample)));
    EXPECT_FALSE(Extract(UdpFrame(49152, 4792, kSample)));
    EXPECT_FALSE(Extract(UdpFrame(kRocePort, 4790, kSample)));
    EXPECT_TRUE(Extract(UdpFrame(kRocePort, kRocePort, kSample)));
    // The five-byte payload is padded on the wire; the padding is no header.
    EXPECT_FALSE(ExtractPayload(Bytes(kSample.begin(), kSample.begin() + 5)));
    EXPECT_FALSE(ExtractPayload(Bytes(kSample.begin(), kSample.begin() + 11)));
    EXPECT_FALSE(ExtractPayload(Bytes{}));
    EXPECT_FALSE(ParseBth(nullptr, kBthSize));
    EXPECT_FALSE(Extract(Tins::ARP::make_arp_request("10.0.0.2", "10.0.0.1")));
    EXPECT_FALSE(Extract(Tins::EthernetII() / Tins::IP("10.0.0.1", "10.0.0.2") /
                         Tins::TCP(kRocePort, 49152) / Tins::RawPDU(kSample)));
}

}  // namespace
