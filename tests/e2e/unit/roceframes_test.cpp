// rocepeer's RoCE frames: the peers check each other's ICRC with the same code, so only a
// reference from the definition can tell that it is right; the extended headers, the READ
// response and the congestion notification are pinned byte for byte.
#include <gtest/gtest.h>

#include <algorithm>

#include "tools/rocepeer/RoceFrames.h"
#include "transport/Opcode.h"

namespace {

using namespace roceframes;

// Bit by bit, as the CRC-32 is defined.
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

// The ICRC of an untagged IPv4 frame: from the IP header on, behind eight bytes of ones for the
// absent local route header, with the variant fields as ones.
std::uint32_t ReferenceIcrc(const Bytes& frame) {
    Bytes covered(frame.begin() + 6, frame.end() - 4);
    std::fill_n(covered.begin(), 8, 0xFF);
    // IP type of service, TTL and checksum, UDP checksum, the BTH's reserved byte.
    for (std::size_t offset : {1, 8, 10, 11, 26, 27, 32}) {
        covered[8 + offset] = 0xFF;
    }
    return ReferenceCrc32(covered);
}

std::uint32_t StoredIcrc(const Bytes& frame) {  // little-endian
    const std::size_t end = frame.size();
    return frame[end - 4] | frame[end - 3] << 8 | frame[end - 2] << 16 |
           std::uint32_t{frame[end - 1]} << 24;
}

bool IpChecksumHolds(const Bytes& frame) {
    std::uint32_t sum = 0;
    for (std::size_t i = 14; i < 34; i += 2) {
        sum += frame[i] << 8 | frame[i + 1];
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum == 0xFFFF;
}

Bytes Slice(const Bytes& frame, std::size_t from, std::size_t size) {
    return Bytes(frame.begin() + from, frame.begin() + from + size);
}

const Endpoints kEnds{*ParseMac("02:47:00:00:00:01"), *ParseMac("02:47:00:00:00:02"),
                      *ParseIpv4("10.47.0.1"), *ParseIpv4("10.47.0.2")};
constexpr std::size_t kBthAt = 42;

TEST(RoceFrame, CarriesTheIcrcOfTheMaskedPacketBehindEightBytesOfOnes) {
    const Bytes check{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    ASSERT_EQ(ReferenceCrc32(check), 0xCBF43926u);
    const Bytes frame = BuildRoceFrame(kEnds, {4, 0xABCDEF, 0xFFFFFE, 0x80}, Bytes{1, 2, 3}, {});
    EXPECT_EQ(StoredIcrc(frame), ReferenceIcrc(frame));
    EXPECT_EQ(frame[38] << 8 | frame[39], 8 + 12 + 3 + 4) << "UDP length counts the ICRC";
}

// Marked on the way as a router would, a packet keeps its ICRC and its IP checksum holds.
TEST(RoceFrame, IsEcnCapableAndAMarkOnTheWayKeepsItValid) {
    Bytes frame = BuildRoceFrame(kEnds, {4, 0x12, 7, 0}, Bytes(8, 1));
    EXPECT_EQ(frame[15], kEcnEct0);
    ASSERT_TRUE(IpChecksumHolds(frame));
    SetIpv4Ecn(frame, kEcnCe);
    EXPECT_EQ(frame[15], 0x03);
    EXPECT_TRUE(IpChecksumHolds(frame));
    const auto view = ParseRoceFrame(frame.data(), frame.size());
    ASSERT_TRUE(view);
    EXPECT_EQ(view->ecn, kEcnCe);
    EXPECT_TRUE(view->icrcValid);
    EXPECT_EQ(IpEcn(frame.data(), frame.size()), kEcnCe);
}

// IPv6 carries ECN in the low bits of its traffic class, which straddles two bytes.
TEST(RoceFrame, CongestionIsReadFromIpv6TrafficClassAndNotFromFramesWithoutIp) {
    const auto ipv6 = [](std::uint8_t trafficClass) {
        Bytes frame(14 + 40 + 8 + 12, 0);
        frame[12] = 0x86;
        frame[13] = 0xDD;
        frame[14] = static_cast<std::uint8_t>(0x60 | trafficClass >> 4);
        frame[15] = static_cast<std::uint8_t>(trafficClass << 4);
        frame[19] = 8 + 12;  // payload length
        frame[20] = 17;      // UDP
        frame[56] = 0x12;    // destination port 4791
        frame[57] = 0xB7;
        return frame;
    };
    for (const auto& [trafficClass, ecn] :
         {std::pair{0x03, kEcnCe}, {0xBA, kEcnEct0}, {0xBD, kEcnEct1}, {0xFC, kEcnNotEct}}) {
        const Bytes frame = ipv6(static_cast<std::uint8_t>(trafficClass));
        EXPECT_EQ(IpEcn(frame.data(), frame.size()), ecn) << trafficClass;
    }
    const Bytes arp = BuildArpRequest(kEnds);
    EXPECT_EQ(IpEcn(arp.data(), arp.size()), std::nullopt);
}

// RETH (address, key, DMA length) and immediate data in their order; the reader finds them by
// the opcode and the payload behind them.
TEST(RoceFrame, ExtendedHeadersGoInOrderAndReadBackByTheOpcode) {
    ExtendedHeaders headers;
    headers.reth = Reth{0x0102030405060708, 0x0A0B0C0D, 0x1122};
    headers.immediate = 0xCAFEF00D;
    const Bytes frame = BuildRoceFrame(kEnds, {opcode::kRdmaWriteOnlyWithImmediate, 0x12, 9, 0x80},
                                       headers, Bytes{0xEE, 0xEF});
    EXPECT_EQ(Slice(frame, kBthAt + 12, 20),
              (Bytes{1,    2,    3, 4, 5,    6,    7,    8,    0x0A, 0x0B,
                     0x0C, 0x0D, 0, 0, 0x11, 0x22, 0xCA, 0xFE, 0xF0, 0x0D}));
    const auto view = ParseRoceFrame(frame.data(), frame.size());
    ASSERT_TRUE(view && view->headers.reth && view->headers.immediate);
    EXPECT_EQ(view->headers.reth->virtualAddress, 0x0102030405060708u);
    EXPECT_EQ(view->headers.reth->rkey, 0x0A0B0C0Du);
    EXPECT_EQ(view->headers.reth->dmaLength, 0x1122u);
    EXPECT_EQ(*view->headers.immediate, 0xCAFEF00Du);
    EXPECT_FALSE(view->headers.aeth);
    EXPECT_EQ(Slice(frame, view->payloadOffset, view->payloadSize), (Bytes{0xEE, 0xEF}));

    // A READ request too short for its RETH has none, and all after the BTH is payload.
    const Bytes cut = BuildRoceFrame(kEnds, {opcode::kRdmaReadRequest, 0x12, 9, 0}, Bytes(15, 0));
    const auto short_ = ParseRoceFrame(cut.data(), cut.size());
    ASSERT_TRUE(short_);
    EXPECT_FALSE(short_->headers.reth);
    EXPECT_EQ(short_->payloadSize, 15u);
}

// FIRST, MIDDLE..., LAST at the MTU on consecutive PSNs across the wrap; AETH on the first and
// the last only; a response of at most one MTU is ONLY.
TEST(ReadResponse, IsSplitAtTheMtuWithAnAethOnItsEnds) {
    Bytes data(2500);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    const auto frames = BuildReadResponse(kEnds, 0x11, 0xFFFFFF, 5, data, 1024);
    ASSERT_EQ(frames.size(), 3u);
    const std::uint8_t opcodes[] = {opcode::kRdmaReadResponseFirst, opcode::kRdmaReadResponseMiddle,
                                    opcode::kRdmaReadResponseLast};
    const std::uint32_t psns[] = {0xFFFFFF, 0, 1};
    Bytes joined;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        const auto view = ParseRoceFrame(frames[i].data(), frames[i].size());
        ASSERT_TRUE(view && view->icrcValid);
        EXPECT_EQ(view->opcode, opcodes[i]);
        EXPECT_EQ(view->psn, psns[i]);
        EXPECT_EQ(view->destQp, 0x11u);
        EXPECT_EQ(view->payloadSize, i < 2 ? 1024u : 452u);
        EXPECT_EQ(view->headers.aeth.has_value(), i != 1);
        joined.insert(joined.end(), frames[i].begin() + view->payloadOffset,
                      frames[i].begin() + view->payloadOffset + view->payloadSize);
    }
    EXPECT_EQ(joined, data);
    EXPECT_EQ(Slice(frames[0], kBthAt + 12, 4), (Bytes{kSyndromeAck, 0, 0, 5}));
    for (const Bytes& only : {Bytes(1024, 1), Bytes{}}) {
        const auto one = BuildReadResponse(kEnds, 0x11, 4, 5, only, 1024);
        ASSERT_EQ(one.size(), 1u);
        EXPECT_EQ(one[0][kBthAt], opcode::kRdmaReadResponseOnly);
        EXPECT_EQ(one[0].size(), kRoceOverhead + kAethSize + only.size());
    }
}

// Opcode 0x81 to the QP, PSN 0, 16 zero bytes, the RoCE port, a valid ICRC, and not
// ECN-capable even when asked.
TEST(Cnp, IsABthAndSixteenReservedBytesWithAValidIcrc) {
    RoceOptions options;
    options.ipId = 3;
    options.ecn = kEcnEct0;
    const Bytes frame = BuildCnpFrame(kEnds, 0xABCDEF, options);
    ASSERT_EQ(frame.size(), kRoceOverhead + kCnpReservedSize);
    EXPECT_EQ(frame[15], kEcnNotEct);
    EXPECT_EQ(frame[36] << 8 | frame[37], 4791);
    EXPECT_EQ(Slice(frame, kBthAt, 12),
              (Bytes{0x81, 0, 0xFF, 0xFF, 0, 0xAB, 0xCD, 0xEF, 0, 0, 0, 0}));
    EXPECT_EQ(Slice(frame, kBthAt + 12, 16), Bytes(16, 0));
    EXPECT_EQ(StoredIcrc(frame), ReferenceIcrc(frame));
    const auto view = ParseRoceFrame(frame.data(), frame.size());
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->icrcValid);
    EXPECT_EQ(view->payloadSize, kCnpReservedSize);
}

}  // namespace
