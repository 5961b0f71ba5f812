#pragma once

#include <cstdint>
#include <string_view>

#include "transport/Bth.h"

// Which way a packet travels through the bench, as aimed faults and their recovery name it.
enum class FaultDirection : std::uint8_t { ClientToServer = 0, ServerToClient = 1 };

// "c2s" or "s2c", as a rule spells it.
[[nodiscard]] constexpr std::string_view Name(FaultDirection direction) {
    return direction == FaultDirection::ClientToServer ? "c2s" : "s2c";
}

// The way answers to a packet travel.
[[nodiscard]] constexpr FaultDirection Opposite(FaultDirection direction) {
    return direction == FaultDirection::ClientToServer ? FaultDirection::ServerToClient
                                                       : FaultDirection::ClientToServer;
}

// One 64-bit key for a queue pair in one direction, and for one PSN on it, so that per-packet
// lookups hash a single integer.
[[nodiscard]] constexpr std::uint64_t QueuePairKey(FaultDirection direction, std::uint32_t qp) {
    return std::uint64_t{static_cast<std::uint8_t>(direction)} << 24 | (qp & kPsnMask);
}
[[nodiscard]] constexpr std::uint64_t PacketNumberKey(FaultDirection direction, std::uint32_t qp,
                                                      std::uint32_t psn) {
    return QueuePairKey(direction, qp) << 24 | (psn & kPsnMask);
}
