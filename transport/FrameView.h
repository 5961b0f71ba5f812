#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "transport/Bth.h"

// One Ethernet frame read once, for everything that handles it afterwards: the log, the
// verifier, a fault injector and the sender all take this view instead of parsing again.
// The view does not own the bytes.
struct FrameView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    // The frame's outermost UDP datagram goes to the RoCE v2 port; such a frame is a RoCE
    // packet even when its payload is too short for a BTH.
    bool toRocePort = false;
    // The BTH of a RoCE packet whose payload holds a whole one.
    std::optional<Bth> bth;
    // Where that BTH starts in `data`.
    std::size_t bthOffset = 0;

    [[nodiscard]] bool HasBth() const { return bth.has_value(); }
};

// Reads Ethernet (with up to two VLAN tags), IPv4 or IPv6 and UDP without allocating or
// throwing; any frame, however short or broken, gives a view (a frame it cannot read is
// simply not RoCE). It agrees with ExtractBth on every frame libtins parses.
[[nodiscard]] FrameView ReadFrame(const std::uint8_t* data, std::size_t size) noexcept;
