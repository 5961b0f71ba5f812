#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// RoCE frames built byte by byte, and the checksums that verify them, for the tests of the
// aimed faults.
namespace testframes {

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

inline void Put16(Bytes& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
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

inline std::size_t UdpOffset(const FrameShape& shape) {
    return kEthernetSize + (shape.ipVersion == 4 ? kIpv4Size : kIpv6Size);
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

// Ethernet, IP, UDP to port 4791, BTH, the given bytes and a 4-byte ICRC (not computed).
inline Bytes Build(const FrameShape& shape) {
    Bytes frame(12, 0x02);
    Put16(frame, shape.ipVersion == 4 ? 0x0800 : 0x86DD);
    const std::size_t udpSize = kUdpSize + 12 + shape.afterBth.size() + 4;
    if (shape.ipVersion == 4) {
        frame.push_back(0x45);
        frame.push_back(static_cast<std::uint8_t>(0xB8 | shape.ecn));  // DSCP 46
        Put16(frame, kIpv4Size + udpSize);
        Put16(frame, 0x1234);
        Put16(frame, 0x4000);
        frame.push_back(64);
        frame.push_back(17);
        Put16(frame, 0);
        for (std::uint8_t byte : {10, 47, 0, 1, 10, 47, 0, 2}) {
            frame.push_back(byte);
        }
        const std::uint16_t checksum = ~Fold(Sum16(&frame[kEthernetSize], kIpv4Size));
        frame[kEthernetSize + 10] = static_cast<std::uint8_t>(checksum >> 8);
        frame[kEthernetSize + 11] = static_cast<std::uint8_t>(checksum);
    } else {
        // Version 6, traffic class DSCP 46 with the ECN bits, flow label 0xABCDE.
        frame.push_back(0x6B);
        frame.push_back(static_cast<std::uint8_t>(0x80 | shape.ecn << 4 | 0x0A));
        Put16(frame, 0xBCDE);
        Put16(frame, static_cast<unsigned>(udpSize));
        frame.push_back(17);
        frame.push_back(64);
        for (int i = 0; i < 32; ++i) {
            frame.push_back(static_cast<std::uint8_t>(0xF0 + i % 2));
        }
    }
    Put16(frame, 49152);
    Put16(frame, 4791);
    Put16(frame, static_cast<unsigned>(udpSize));
    Put16(frame, 0);
    frame.push_back(shape.opcode);
    frame.push_back(0x40);
    Put16(frame, 0xFFFF);
    frame.push_back(0);
    frame.push_back(static_cast<std::uint8_t>(shape.qp >> 16));
    Put16(frame, shape.qp & 0xFFFF);
    frame.push_back(0x80);
    frame.push_back(static_cast<std::uint8_t>(shape.psn >> 16));
    Put16(frame, shape.psn & 0xFFFF);
    frame.insert(frame.end(), shape.afterBth.begin(), shape.afterBth.end());
    for (std::uint8_t byte : {0xC0, 0xC1, 0xC2, 0xC3}) {
        frame.push_back(byte);
    }
    if (shape.udpChecksum && shape.ipVersion == 4) {
        const std::size_t at = UdpOffset(shape) + 6;
        const std::uint16_t checksum = ~UdpSum(frame);
        frame[at] = static_cast<std::uint8_t>(checksum >> 8);
        frame[at + 1] = static_cast<std::uint8_t>(checksum);
    }
    return frame;
}

}  // namespace testframes
