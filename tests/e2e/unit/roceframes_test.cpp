// rocepeer's RoCE frames: the peers check each other's ICRC with the same code, so only a
// reference from the definition can tell that it is right.
#include <gtest/gtest.h>

#include <algorithm>

#include "tools/rocepeer/RoceFrames.h"

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

const Endpoints kEnds{*ParseMac("02:47:00:00:00:01"), *ParseMac("02:47:00:00:00:02"),
                      *ParseIpv4("10.47.0.1"), *ParseIpv4("10.47.0.2")};

TEST(RoceFrame, CarriesTheIcrcOfTheMaskedPacketBehindEightBytesOfOnes) {
    const Bytes check{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    ASSERT_EQ(ReferenceCrc32(check), 0xCBF43926u);
    const Bytes frame = BuildRoceFrame(kEnds, {4, 0xABCDEF, 0xFFFFFE, 0x80}, Bytes{1, 2, 3}, {});
    // From the IP header on, behind eight bytes of ones for the absent local route header.
    Bytes covered(frame.begin() + 6, frame.end() - 4);
    std::fill_n(covered.begin(), 8, 0xFF);
    // IP type of service, TTL and checksum, UDP checksum, the BTH's reserved byte.
    for (std::size_t offset : {1, 8, 10, 11, 26, 27, 32}) {
        covered[8 + offset] = 0xFF;
    }
    const std::size_t end = frame.size();  // the ICRC is little-endian
    EXPECT_EQ(frame[end - 4] | frame[end - 3] << 8 | frame[end - 2] << 16 |
                  std::uint32_t{frame[end - 1]} << 24,
              ReferenceCrc32(covered));
    EXPECT_EQ(frame[38] << 8 | frame[39], 8 + 12 + 3 + 4) << "UDP length counts the ICRC";
}

}  // namespace
