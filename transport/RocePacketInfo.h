#pragma once

#include <cstdint>
#include <optional>

#include "transport/Aeth.h"
#include "transport/Bth.h"
#include "transport/FrameView.h"

// The headers of one RoCE packet that verification looks at beyond the BTH.
struct RoceHeaders {
    Bth bth;
    // The RETH's DMA length, for an opcode that carries a RETH.
    std::optional<std::uint32_t> dmaLength;
    // For an opcode that carries an AETH.
    std::optional<Aeth> aeth;
    // The packet ends (before its ICRC) inside the extended headers its opcode has; what
    // could not be read is left empty.
    bool truncated = false;
};

// The headers of a RoCE packet; nothing for a frame without a BTH. An unknown opcode gives
// the BTH alone.
[[nodiscard]] std::optional<RoceHeaders> ReadRoceHeaders(const FrameView& frame) noexcept;
