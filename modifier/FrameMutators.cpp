#include "modifier/FrameMutators.h"

#include <optional>

#include "transport/RoceFrame.h"

namespace {

constexpr std::size_t kUdpHeaderSize = 8;
constexpr std::size_t kUdpChecksumOffset = 6;
constexpr std::size_t kIpv4MinHeaderSize = 20;
constexpr std::size_t kIpv4ChecksumOffset = 10;
constexpr std::size_t kIpv6HeaderSize = 40;

constexpr std::uint8_t kEcnNotCapable = 0b00;
constexpr std::uint8_t kEcnCongestion = 0b11;
// IPv4 keeps ECN in the low bits of byte 1; IPv6's traffic class straddles bytes 0 and 1, so
// its ECN bits sit in byte 1's high nibble.
constexpr unsigned kIpv4EcnShift = 0;
constexpr unsigned kIpv6EcnShift = 4;

constexpr std::uint8_t kFlippedBit = 0x01;

std::uint16_t Read16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

void Write16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 8);
    bytes[1] = static_cast<std::uint8_t>(value);
}

// A one's-complement checksum after one of the 16-bit words it covers changed from `before`
// to `after`, without summing the rest again (RFC 1624, equation 3).
std::uint16_t UpdatedChecksum(std::uint16_t checksum, std::uint16_t before, std::uint16_t after) {
    std::uint32_t sum = std::uint32_t{static_cast<std::uint16_t>(~checksum)} +
                        static_cast<std::uint16_t>(~before) + after;
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// The word of the UDP checksum that holds `at`: words are counted from the UDP header, which
// starts on an even offset of the summed bytes.
void FixUdpChecksum(std::uint8_t* data, std::size_t udpOffset, std::size_t at,
                    std::uint8_t before) {
    std::uint8_t* checksum = data + udpOffset + kUdpChecksumOffset;
    // Zero means the sender did not compute one (usual for RoCE over IPv4).
    if (Read16(checksum) == 0) {
        return;
    }
    const bool highByte = (at - udpOffset) % 2 == 0;
    const std::uint16_t old = highByte ? std::uint16_t(before << 8) : std::uint16_t{before};
    const std::uint16_t now = highByte ? std::uint16_t(data[at] << 8) : std::uint16_t{data[at]};
    const std::uint16_t updated = UpdatedChecksum(Read16(checksum), old, now);
    // A computed zero goes out as 0xffff, zero being "none".
    Write16(checksum, updated == 0 ? 0xFFFF : updated);
}

struct EcnField {
    std::size_t byte = 0;  // offset in the frame of the byte that holds it
    unsigned shift = 0;
};

std::optional<EcnField> FindEcnField(std::size_t size, const FrameView& view) {
    if (view.ip.version == 4 && view.ip.offset + kIpv4MinHeaderSize <= size) {
        return EcnField{view.ip.offset + 1, kIpv4EcnShift};
    }
    if (view.ip.version == 6 && view.ip.offset + kIpv6HeaderSize <= size) {
        return EcnField{view.ip.offset + 1, kIpv6EcnShift};
    }
    return std::nullopt;
}

bool IsCapable(std::uint8_t ecn) {
    return ecn != kEcnNotCapable && ecn != kEcnCongestion;
}

std::uint8_t EcnOf(const std::uint8_t* data, const EcnField& field) {
    return (data[field.byte] >> field.shift) & 0b11;
}

}  // namespace

bool CorruptAfterBth(std::uint8_t* data, std::size_t size, const FrameView& view) {
    const std::size_t at = view.bthOffset + kBthSize;
    if (data == nullptr || !view.HasBth() || view.bthOffset < kUdpHeaderSize ||
        view.payloadEnd > size || at >= view.payloadEnd) {
        return false;
    }
    const std::uint8_t before = data[at];
    data[at] ^= kFlippedBit;
    FixUdpChecksum(data, view.bthOffset - kUdpHeaderSize, at, before);
    return true;
}

bool IsEcnCapable(const FrameView& view) {
    const auto field = FindEcnField(view.size, view);
    return view.data != nullptr && field && IsCapable(EcnOf(view.data, *field));
}

bool MarkCongestion(std::uint8_t* data, std::size_t size, const FrameView& view) {
    const auto field = FindEcnField(size, view);
    if (data == nullptr || !field || !IsCapable(EcnOf(data, *field))) {
        return false;
    }
    const std::size_t wordStart = view.ip.offset;
    const std::uint16_t before = Read16(data + wordStart);
    data[field->byte] |= static_cast<std::uint8_t>(kEcnCongestion << field->shift);
    if (view.ip.version == 4) {
        std::uint8_t* checksum = data + view.ip.offset + kIpv4ChecksumOffset;
        Write16(checksum, UpdatedChecksum(Read16(checksum), before, Read16(data + wordStart)));
    }
    return true;
}
