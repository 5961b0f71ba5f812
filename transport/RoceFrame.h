#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "transport/Bth.h"

namespace Tins {
class PDU;
}

// UDP destination port that marks a RoCE v2 packet.
constexpr std::uint16_t kRocePort = 4791;
// Size of the Base Transport Header at the start of the UDP payload.
constexpr std::size_t kBthSize = 12;

// Reads the BTH of a captured frame. Returns nothing for a frame that is not a
// RoCE packet with a complete BTH: no UDP layer, another destination port, no
// payload, or a payload shorter than the header. Never throws.
[[nodiscard]] std::optional<Bth> ExtractBth(const Tins::PDU& frame);

// Reads a BTH from the first bytes of a UDP payload; nothing when the payload
// is shorter than the header.
[[nodiscard]] std::optional<Bth> ParseBth(const std::uint8_t* payload, std::size_t size);
