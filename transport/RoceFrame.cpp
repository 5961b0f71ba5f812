#include "transport/RoceFrame.h"

#include <tins/rawpdu.h>
#include <tins/udp.h>

namespace {

std::uint32_t ReadBigEndian24(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 16) | (std::uint32_t{bytes[1]} << 8) | bytes[2];
}

}  // namespace

std::optional<Bth> ParseBth(const std::uint8_t* payload, std::size_t size) {
    if (payload == nullptr || size < kBthSize) {
        return std::nullopt;
    }
    // Byte 8 is taken whole: its low bits are reserved, so any set bit counts.
    return Bth(static_cast<BthOpcode>(payload[0]), ReadBigEndian24(payload + 5),
               ReadBigEndian24(payload + 9), payload[8] != 0);
}

std::optional<Bth> ExtractBth(const Tins::PDU& frame) {
    const auto* udp = frame.find_pdu<Tins::UDP>();
    if (udp == nullptr || udp->dport() != kRocePort) {
        return std::nullopt;
    }
    const auto* raw = udp->find_pdu<Tins::RawPDU>();
    if (raw == nullptr) {
        return std::nullopt;
    }
    const Tins::RawPDU::payload_type& payload = raw->payload();
    return ParseBth(payload.data(), payload.size());
}
