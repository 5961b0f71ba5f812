#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/FrameView.h"

// Changes to a frame's bytes in place, on a copy the bench owns. `view` is ReadFrame's view
// of the same bytes (read from them or from the original they were copied from); its offsets
// are checked against `size`, so a view of another frame cannot write out of bounds.

// Flips the lowest bit of the first byte after the BTH: the first byte of the extended
// headers or the data, or, when nothing else follows the BTH, the first byte of the ICRC. The
// ICRC covers that byte and the UDP checksum does too; a UDP checksum in use is corrected, so
// that the receiver drops the packet on its ICRC and not earlier. False, frame unchanged, when
// the frame has no BTH or no byte after it.
[[nodiscard]] bool CorruptAfterBth(std::uint8_t* data, std::size_t size, const FrameView& view);

// True when the IP header around the RoCE datagram says ECT(0) or ECT(1).
[[nodiscard]] bool IsEcnCapable(const FrameView& view);

// Sets the ECN field of the IP header around the UDP datagram to CE (congestion experienced),
// correcting the IPv4 header checksum; IPv6 has none, and neither the ICRC nor the UDP
// checksum covers the field. False, frame unchanged, when the packet is not ECN-capable
// (Not-ECT, or already CE) or there is no IP header.
[[nodiscard]] bool MarkCongestion(std::uint8_t* data, std::size_t size, const FrameView& view);
