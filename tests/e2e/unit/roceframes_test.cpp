#include <gtest/gtest.h>

#include <tins/ethernetII.h>
#include <algorithm>

#include "tools/rocepeer/RoceFrames.h"
#include "transport/RoceFrame.h"

namespace {

using roceframes::Bytes;

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

roceframes::Endpoints TestEnds() {
    roceframes::Endpoints ends;
    ends.srcMac = *roceframes::ParseMac("02:47:00:00:00:01");
    ends.dstMac = *roceframes::ParseMac("02:47:00:00:00:02");
    ends.srcIp = *roceframes::ParseIpv4("10.47.0.1");
    ends.dstIp = *roceframes::ParseIpv4("10.47.0.2");
    return ends;
}

Bytes SampleRoce(const roceframes::RoceOptions& options = {}) {
    roceframes::BthFields bth;
    bth.opcode = 4;
    bth.destQp = 0xABCDEF;
    bth.psn = 0xFFFFFE;
    bth.ackReqByte = 0x80;
    return roceframes::BuildRoceFrame(TestEnds(), bth, Bytes{1, 2, 3, 4, 5, 6, 7}, options);
}

std::uint32_t StoredIcrc(const Bytes& frame) {
    const std::size_t at = frame.size() - 4;
    return frame[at] | frame[at + 1] << 8 | frame[at + 2] << 16 |
           static_cast<std::uint32_t>(frame[at + 3]) << 24;
}

std::uint16_t Read16(const Bytes& frame, std::size_t at) {
    return static_cast<std::uint16_t>(frame[at] << 8 | frame[at + 1]);
}

// One's-complement sum over [begin, end) plus `seed`, folded.
std::uint16_t OnesSum(const Bytes& frame, std::size_t begin, std::size_t end,
                      std::uint32_t seed = 0) {
    std::uint32_t sum = seed;
    for (std::size_t i = begin; i < end; i += 2) {
        sum += i + 1 < end ? Read16(frame, i) : frame[i] << 8;
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(sum);
}

TEST(Crc32, MatchesTheStandardCheckValue) {
    const std::string text = "123456789";
    EXPECT_EQ(roceframes::Crc32(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
              0xCBF43926u);
    const Bytes bytes(text.begin(), text.end());
    EXPECT_EQ(ReferenceCrc32(bytes), 0xCBF43926u);
}

TEST(Icrc, EqualsCrcOfMaskedPseudoHeaderStoredLeastSignificantByteFirst) {
    const Bytes frame = SampleRoce();
    // Eight bytes of ones stand for the absent local route header.
    Bytes masked(frame.size() - 14 - 4 + 8, 0xFF);
    std::copy(frame.begin() + 14, frame.end() - 4, masked.begin() + 8);
    for (std::size_t offset : {1, 8, 10, 11, 20 + 6, 20 + 7, 28 + 4}) {
        masked[8 + offset] = 0xFF;
    }
    EXPECT_EQ(StoredIcrc(frame), ReferenceCrc32(masked));
}

TEST(Icrc, IgnoresTheFieldsThatTheWayMayRewriteAndCoversTheRest) {
    const Bytes frame = SampleRoce();
    const std::uint32_t original = roceframes::ComputeIcrc(&frame[14], frame.size() - 14 - 4);
    for (std::size_t variant : {14 + 1, 14 + 8, 14 + 10, 14 + 11, 34 + 6, 34 + 7, 42 + 4}) {
        Bytes changed = frame;
        changed[variant] ^= 0x5A;
        EXPECT_EQ(roceframes::ComputeIcrc(&changed[14], changed.size() - 18), original)
            << "offset " << variant;
    }
    for (std::size_t covered : {14 + 4, 14 + 12, 34 + 0, 42 + 0, 42 + 8, 42 + 11, 54}) {
        Bytes changed = frame;
        changed[covered] ^= 0x01;
        EXPECT_NE(roceframes::ComputeIcrc(&changed[14], changed.size() - 18), original)
            << "offset " << covered;
    }
}

TEST(RoceFrame, LaysOutEthernetIpv4UdpBthPayloadAndIcrc) {
    const Bytes frame = SampleRoce();
    ASSERT_EQ(frame.size(), roceframes::kRoceOverhead + 7);
    EXPECT_EQ(Read16(frame, 12), 0x0800);
    EXPECT_EQ(frame[14], 0x45);
    EXPECT_EQ(Read16(frame, 16), frame.size() - 14);
    EXPECT_EQ(frame[23], 17);
    EXPECT_EQ(OnesSum(frame, 14, 34), 0xFFFF) << "IPv4 header checksum";
    EXPECT_EQ(Read16(frame, 36), 4791);
    EXPECT_EQ(Read16(frame, 38), frame.size() - 34) << "UDP length counts the ICRC";
    EXPECT_EQ(Read16(frame, 40), 0) << "RoCE senders leave the UDP checksum zero";
    const Bytes bth(frame.begin() + 42, frame.begin() + 54);
    EXPECT_EQ(bth, (Bytes{0x04, 0x00, 0xFF, 0xFF, 0x00, 0xAB, 0xCD, 0xEF, 0x80, 0xFF, 0xFF, 0xFE}));
}

TEST(RoceFrame, ComputedUdpChecksumVerifiesAndLeavesTheIcrcAlone) {
    roceframes::RoceOptions options;
    options.udpChecksum = true;
    const Bytes frame = SampleRoce(options);
    ASSERT_NE(Read16(frame, 40), 0);
    const roceframes::Endpoints ends = TestEnds();
    const std::uint32_t pseudo = (ends.srcIp >> 16) + (ends.srcIp & 0xFFFF) + (ends.dstIp >> 16) +
                                 (ends.dstIp & 0xFFFF) + 17 + Read16(frame, 38);
    EXPECT_EQ(OnesSum(frame, 34, frame.size(), pseudo), 0xFFFF);
    EXPECT_EQ(StoredIcrc(frame), StoredIcrc(SampleRoce()));
}

TEST(RoceFrame, TheBenchExtractsTheSameBthFromIt) {
    const Bytes frame = SampleRoce();
    Tins::EthernetII parsed(frame.data(), static_cast<std::uint32_t>(frame.size()));
    const auto bth = ExtractBth(parsed);
    ASSERT_TRUE(bth.has_value());
    EXPECT_EQ(bth->GetBthOpcode(), SEND_ONLY);
    EXPECT_EQ(bth->GetDestinationQp(), 0xABCDEFu);
    EXPECT_EQ(bth->GetPsn(), 0xFFFFFEu);
    EXPECT_TRUE(bth->IsAckReq());
}

TEST(RoceFrame, AcknowledgementParsesBackWithItsAethAndAValidIcrc) {
    const Bytes frame = roceframes::BuildAckFrame(TestEnds(), 0x11, 0x123456,
                                                  roceframes::kSyndromePsnSequenceError, 0x42);
    const auto view = roceframes::ParseRoceFrame(frame.data(), frame.size());
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->opcode, roceframes::kOpcodeAcknowledge);
    EXPECT_EQ(view->destQp, 0x11u);
    EXPECT_EQ(view->psn, 0x123456u);
    EXPECT_FALSE(view->ackReq);
    EXPECT_EQ(view->aethSyndrome, roceframes::kSyndromePsnSequenceError);
    EXPECT_EQ(view->aethMsn, 0x42u);
    EXPECT_EQ(view->payloadSize, 0u);
    EXPECT_TRUE(view->icrcValid);

    Bytes corrupted = frame;
    corrupted[54] ^= 0x01;
    EXPECT_FALSE(roceframes::ParseRoceFrame(corrupted.data(), corrupted.size())->icrcValid);
}

TEST(RoceFrame, ParsingRejectsOtherPortsAndTruncatedHeaders) {
    const Bytes udp = roceframes::BuildUdpFrame(TestEnds(), 4791, 4792, Bytes(20));
    EXPECT_FALSE(roceframes::ParseRoceFrame(udp.data(), udp.size()));
    const Bytes shortRoce = roceframes::BuildUdpFrame(TestEnds(), 49152, 4791, Bytes(5));
    EXPECT_FALSE(roceframes::ParseRoceFrame(shortRoce.data(), shortRoce.size()));
    const Bytes frame = SampleRoce();
    EXPECT_FALSE(roceframes::ParseRoceFrame(frame.data(), 50));
}

TEST(OtherFrames, ShortUdpFramesStayUnpaddedAndArpIsABroadcastRequest) {
    const Bytes empty = roceframes::BuildUdpFrame(TestEnds(), 49152, 4791, Bytes{});
    EXPECT_EQ(empty.size(), 42u);
    const Bytes five = roceframes::BuildUdpFrame(TestEnds(), 49152, 4791, Bytes(5, 0xEE), false);
    EXPECT_EQ(five.size(), 47u);
    EXPECT_EQ(Read16(five, 38), 13);
    EXPECT_EQ(Read16(five, 40), 0);

    const Bytes arp = roceframes::BuildArpRequest(TestEnds());
    ASSERT_EQ(arp.size(), 42u);
    EXPECT_EQ(Bytes(arp.begin(), arp.begin() + 6), Bytes(6, 0xFF));
    EXPECT_EQ(Read16(arp, 12), 0x0806);
    EXPECT_EQ(Read16(arp, 20), 1) << "request";
    EXPECT_EQ(Bytes(arp.begin() + 38, arp.end()), (Bytes{10, 47, 0, 2}));
}

TEST(Addresses, ParseAndPrintRejectingMalformedText) {
    EXPECT_EQ(roceframes::MacToString(*roceframes::ParseMac("02:47:0a:ff:00:01")),
              "02:47:0a:ff:00:01");
    EXPECT_FALSE(roceframes::ParseMac("02:47:0a:ff:00"));
    EXPECT_FALSE(roceframes::ParseMac("02:47:0a:ff:00:01:02"));
    EXPECT_EQ(roceframes::ParseIpv4("10.47.0.2"), 0x0A2F0002u);
    EXPECT_FALSE(roceframes::ParseIpv4("10.47.0.256"));
    EXPECT_FALSE(roceframes::ParseIpv4("10.47.0"));
}

}  // namespace
