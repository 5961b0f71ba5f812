#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "transport/Bth.h"

// One Ethernet frame read once, so that everything handling it afterwards (the log, the
// verifier, a fault injector, the sender) can take this view instead of parsing again.
// The view does not own the bytes.
struct FrameView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    // The frame's outermost UDP datagram goes to the RoCE v2 port; such a frame is a RoCE
    // packet even when its payload is too short for a BTH.
    bool toRocePort = false;
    // The BTH of a RoCE packet whose payload holds a whole one.
    std::optional<Bth> bth;
    // Where that BTH starts in `data`, and where the UDP payload that holds it ends (before any
    // Ethernet padding); the extended headers, the data and the ICRC lie between.
    std::size_t bthOffset = 0;
    std::size_t payloadEnd = 0;

    // The IP header right around the UDP datagram (the innermost one of a tunnel).
    struct IpHeader {
        std::size_t offset = 0;
        std::uint8_t version = 0;  // 4 or 6; 0: the frame holds no UDP datagram
    };
    IpHeader ip;

    [[nodiscard]] bool HasBth() const { return bth.has_value(); }
};

// Reads Ethernet (with any number of 802.1Q/802.1ad tags, or MPLS labels), IPv4 or IPv6 (also
// tunnelled in one another, and IPv4's authentication header) and UDP without allocating or
// throwing; any frame, however short or broken, gives a view (a frame it cannot read is simply
// not RoCE). It calls the same frames RoCE as ExtractBth on libtins' parse of the frame, where a
// frame libtins refuses is not RoCE, except for UDP behind an IPv6 authentication, ESP,
// mobility or no-next-header header, which this does not look into (libtins walks them as if
// they were options headers).
[[nodiscard]] FrameView ReadFrame(const std::uint8_t* data, std::size_t size) noexcept;
