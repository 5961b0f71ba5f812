#include <gtest/gtest.h>

#include <algorithm>

#include "tools/rocepeer/RoceFrames.h"

namespace {

using namespace roceframes;

// Bit by bit, straight from the definition, to check the table-driven one.
std::uint32_t ReferenceCrc32(const Bytes& data) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
    }
    return ~crc;
}

const Endpoints kEnds{*ParseMac("02:47:00:00:00:01"), *ParseMac("02:47:00:00:00:02"),
                      *ParseIpv4("10.47.0.1"), *ParseIpv4("10.47.0.2")};

Bytes SampleRoce(bool udpChecksum = false) {
    RoceOptions options;
    options.udpChecksum = udpChecksum;
    return BuildRoceFrame(kEnds, {4, 0xABCDEF, 0xFFFFFE, 0x80}, Bytes{1, 2, 3, 4, 5, 6, 7},
                          options);
}

std::uint16_t Read16(const Bytes& frame, std::size_t at) {
    return static_cast<std::uint16_t>(frame[at] << 8 | frame[at + 1]);
}

std::uint32_t StoredIcrc(const Bytes& frame) {
    const std::size_t at = frame.size() - 4;
    return frame[at] | frame[at + 1] << 8 | frame[at + 2] << 16 |
           static_cast<std::uint32_t>(frame[at + 3]) << 24;
}

// One's-complement sum over [begin, end) plus `seed`, folded; 0xFFFF when a checksum in it holds.
std::uint16_t OnesSum(const Bytes& frame, std::size_t begin, std::size_t end, std::uint32_t seed) {
    for (std::size_t i = begin; i < end; i += 2) {
        seed += i + 1 < end ? Read16(frame, i) : frame[i] << 8;
    }
    while (seed >> 16) {
        seed = (seed & 0xFFFF) + (seed >> 16);
    }
    return static_cast<std::uint16_t>(seed);
}

TEST(Crc32, MatchesTheStandardCheckValue) {
    const Bytes text{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32(text.data(), text.size()), 0xCBF43926u);
    EXPECT_EQ(ReferenceCrc32(text), 0xCBF43926u);
}

TEST(Icrc, IsTheCrcOfTheMaskedPacketBehindEightBytesOfOnesStoredLowByteFirst) {
    // IP type of service, TTL and checksum, UDP checksum and the BTH reserved byte.
    const std::size_t kMasked[] = {1, 8, 10, 11, 20 + 6, 20 + 7, 28 + 4};
    const Bytes frame = SampleRoce();
    // Eight bytes of ones stand for the absent local route header.
    Bytes masked(8 + frame.size() - 14 - 4, 0xFF);
    std::copy(frame.begin() + 14, frame.end() - 4, masked.begin() + 8);
    for (std::size_t offset : kMasked) {
        masked[8 + offset] = 0xFF;
    }
    EXPECT_EQ(StoredIcrc(frame), ReferenceCrc32(masked));
    for (std::size_t offset : kMasked) {
        Bytes changed = frame;
        changed[14 + offset] ^= 0x5A;
        EXPECT_EQ(ComputeIcrc(&changed[14], changed.size() - 18), StoredIcrc(frame)) << offset;
    }
}

TEST(RoceFrame, LaysOutEthernetIpv4UdpBthPayloadAndIcrcWithValidChecksums) {
    const Bytes frame = SampleRoce();
    ASSERT_EQ(frame.size(), kRoceOverhead + 7);
    EXPECT_EQ(Read16(frame, 12), 0x0800);
    EXPECT_EQ(frame[14], 0x45);
    EXPECT_EQ(Read16(frame, 16), frame.size() - 14);
    EXPECT_EQ(frame[23], 17);
    EXPECT_EQ(OnesSum(frame, 14, 34, 0), 0xFFFF) << "IPv4 header checksum";
    EXPECT_EQ(Read16(frame, 36), 4791);
    EXPECT_EQ(Read16(frame, 38), frame.size() - 34) << "UDP length counts the ICRC";
    EXPECT_EQ(Read16(frame, 40), 0) << "RoCE senders leave the UDP checksum zero";
    EXPECT_EQ(Bytes(frame.begin() + 42, frame.begin() + 54),
              (Bytes{0x04, 0x00, 0xFF, 0xFF, 0x00, 0xAB, 0xCD, 0xEF, 0x80, 0xFF, 0xFF, 0xFE}));

    const Bytes summed = SampleRoce(true);
    const std::uint32_t pseudo = (kEnds.srcIp >> 16) + (kEnds.srcIp & 0xFFFF) +
                                 (kEnds.dstIp >> 16) + (kEnds.dstIp & 0xFFFF) + 17 +
                                 Read16(summed, 38);
    EXPECT_NE(Read16(summed, 40), 0);
    EXPECT_EQ(OnesSum(summed, 34, summed.size(), pseudo), 0xFFFF) << "UDP checksum";
    EXPECT_EQ(StoredIcrc(summed), StoredIcrc(frame)) << "the ICRC masks the UDP checksum";
}

TEST(RoceFrame, AcknowledgementParsesBackAndOtherFramesAreRejected) {
    const Bytes ack = BuildAckFrame(kEnds, 0x11, 0x123456, kSyndromePsnSequenceError, 0x42);
    const auto view = ParseRoceFrame(ack.data(), ack.size());
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(std::make_tuple(view->opcode, view->destQp, view->psn, view->ackReq),
              std::make_tuple(kOpcodeAcknowledge, 0x11u, 0x123456u, false));
    EXPECT_EQ(view->aethSyndrome, kSyndromePsnSequenceError);
    EXPECT_EQ(view->aethMsn, 0x42u);
    EXPECT_EQ(view->payloadSize, 0u);
    EXPECT_TRUE(view->icrcValid);
    Bytes corrupted = ack;
    corrupted[54] ^= 0x01;
    EXPECT_FALSE(ParseRoceFrame(corrupted.data(), corrupted.size())->icrcValid);

    const Bytes otherPort = BuildUdpFrame(kEnds, 4791, 4792, Bytes(20));
    EXPECT_FALSE(ParseRoceFrame(otherPort.data(), otherPort.size()));
    const Bytes shortRoce = BuildUdpFrame(kEnds, 49152, 4791, Bytes(5));
    EXPECT_FALSE(ParseRoceFrame(shortRoce.data(), shortRoce.size()));
    EXPECT_FALSE(ParseRoceFrame(ack.data(), ack.size() - 1)) << "shorter than its IP length";
}

TEST(OtherFrames, ShortUdpFramesStayUnpaddedAndArpIsABroadcastRequest) {
    EXPECT_EQ(BuildUdpFrame(kEnds, 49152, 4791, Bytes{}).size(), 42u);
    const Bytes five = BuildUdpFrame(kEnds, 49152, 4791, Bytes(5, 0xEE), false);
    EXPECT_EQ(five.size(), 47u);
    EXPECT_EQ(Read16(five, 38), 13);
    EXPECT_EQ(Read16(five, 40), 0);

    const Bytes arp = BuildArpRequest(kEnds);
    ASSERT_EQ(arp.size(), 42u);
    EXPECT_EQ(Bytes(arp.begin(), arp.begin() + 6), Bytes(6, 0xFF));
    EXPECT_EQ(Read16(arp, 12), 0x0806);
    EXPECT_EQ(Read16(arp, 20), 1) << "request";
    EXPECT_EQ(Bytes(arp.begin() + 38, arp.end()), (Bytes{10, 47, 0, 2}));
}

TEST(Addresses, ParseAndPrintRejectingMalformedText) {
    EXPECT_EQ(MacToString(*ParseMac("02:47:0a:ff:00:01")), "02:47:0a:ff:00:01");
    EXPECT_EQ(ParseIpv4("10.47.0.2"), 0x0A2F0002u);
    EXPECT_FALSE(ParseMac("02:47:0a:ff:00"));
    EXPECT_FALSE(ParseMac("02:47:0a:ff:00:01:02"));
    EXPECT_FALSE(ParseIpv4("10.47.0.256"));
    EXPECT_FALSE(ParseIpv4("10.47.0"));
    EXPECT_FALSE(ParseIpv4("10.47.0.2x"));
}

}  // namespace
