#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "modifier/SeededRandom.h"

// What the modifier's tests share: RoCE frames built byte by byte with the checksums that
// verify them, and random draws the test scripts.
namespace modifiertest {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kEthernetSize = 14;
constexpr std::size_t kIpv4Size = 20;
constexpr std::size_t kIpv6Size = 40;
constexpr std::size_t kUdpSize = 8;

struct FrameShape {
    int ipVersion = 4;
    std::uint8_t ecn = 0b10;  // ECT(0)
    std::uint8_t opcode = 0x04;
    std::uint32_t qp = 0x12;
    std::uint32_t psn = 0x10;
    Bytes afterBth{0xA0, 0xA1, 0xA2};  // extended headers and data
    bool udpChecksum = false;          // IPv4 only
};

// Hands out the listed draws in order; a draw more fails the test.
inline RandomSource Script(std::vector<int> draws) {
    return [draws = std::move(draws), next = std::make_shared<std::size_t>(0)] {
        EXPECT_LT(*next, draws.size()) << "unscripted draw";
        return *next < draws.size() ? draws[(*next)++] : 0;
    };
}

inline void Put(Bytes& out, std::initializer_list<unsigned> bytes) {
    for (unsigned byte : bytes) {
        out.push_back(static_cast<std::uint8_t>(byte));
    }
}

inline void Put16(Bytes& out, std::size_t value) {
    Put(out, {static_cast<unsigned>(value >> 8), static_cast<unsigned>(value & 0xFF)});
}

inline void Set16(Bytes& out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value >> 8);
    out[at + 1] = static_cast<std::uint8_t>(value);
}

inline std::uint32_t Sum16(const std::uint8_t* data, std::size_t size, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i < size; i += 2) {
        sum += static_cast<std::uint32_t>(data[i] << 8 | (i + 1 < size ? data[i + 1] : 0));
    }
    return sum;
}

inline std::uint16_t Fold(std::uint32_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(sum);
}

// IPv4 pseudo-header, UDP header and data, summed with the checksum field as it stands.
inline std::uint16_t UdpSum(const Bytes& frame) {
    const std::size_t udp = kEthernetSize + kIpv4Size;
    const std::size_t length = frame.size() - udp;
    std::uint32_t sum = Sum16(&frame[kEthernetSize + 12], 8) + 17 + static_cast<unsigned>(length);
    return Fold(Sum16(&frame[udp], length, sum));
}

inline bool Ipv4HeaderChecksumValid(const Bytes& frame) {
    return Fold(Sum16(&frame[kEthernetSize], kIpv4Size)) == 0xFFFF;
}

inline bool UdpChecksumValid(const Bytes& frame) {
    return UdpSum(frame) == 0xFFFF;
}

// Ethernet, IP with DSCP 46, UDP to port 4791, BTH, the given bytes and a 4-byte ICRC (not
// computed).
inline Bytes Build(const FrameShape& shape) {
    const std::size_t udpSize = kUdpSize + 12 + shape.afterBth.size() + 4;
    Bytes frame(12, 0x02);
    if (shape.ipVersion == 4) {
        Put(frame, {0x08, 0x00, 0x45, 0xB8u | shape.ecn});
        Put16(frame, kIpv4Size + udpSize);
        Put(frame, {0x12, 0x34, 0x40, 0, 64, 17, 0, 0, 10, 47, 0, 1, 10, 47, 0, 2});
        Set16(frame, kEthernetSize + 10, ~Fold(Sum16(&frame[kEthernetSize], kIpv4Size)));
    } else {
        // Version 6, the traffic class's ECN bits in byte 1's high nibble, flow label 0xABCDE.
        Put(frame, {0x86, 0xDD, 0x6B, 0x80u | shape.ecn << 4 | 0x0A, 0xBC, 0xDE});
        Put16(frame, udpSize);
        Put(frame, {17, 64});
        for (int i = 0; i < 32; ++i) {
            frame.push_back(static_cast<std::uint8_t>(0xF0 + i % 2));
        }
    }
    Put(frame, {0xC0, 0x00, 0x12, 0xB7});
    Put16(frame, udpSize);
    Put(frame, {0, 0, shape.opcode, 0x40, 0xFF, 0xFF, 0, shape.qp >> 16, shape.qp >> 8 & 0xFF,
                shape.qp & 0xFF, 0x80, shape.psn >> 16, shape.psn >> 8 & 0xFF, shape.psn & 0xFF});
    frame.insert(frame.end(), shape.afterBth.begin(), shape.afterBth.end());
    Put(frame, {0xC0, 0xC1, 0xC2, 0xC3});
    if (shape.udpChecksum && shape.ipVersion == 4) {
        Set16(frame, kEthernetSize + kIpv4Size + 6, ~UdpSum(frame));
    }
    return frame;
}

}  // namespace modifiertest
