#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "transport/Bth.h"

// Fault operations; the values index ModifierParams::distribution and the
// operation counters, and their order is the order in which a draw scans them.
enum ModifierOperation : std::uint32_t {
    OPERATION_NONE = 0,
    OPERATION_DROP = 1,
    OPERATION_DELAY = 2,
    OPERATION_REORDER = 3,
    OPERATION_LAST = 4,
};

// Indexes of ModifierParams::delayRange.
enum DelayIndex : std::uint32_t {
    DELAY_MIN = 0,
    DELAY_MAX = 1,
};

// Configuration of one fault injector. Copies own their opcode list.
struct ModifierParams {
    // Out of line: GCC 12 warns falsely on an inline-initialised opcode list.
    ModifierParams();

    // Percent of releases per operation, as consecutive slices of 1..100.
    std::array<std::int32_t, OPERATION_LAST> distribution{100, 0, 0, 0};
    // Inclusive bounds of an injected delay, in milliseconds.
    std::array<std::int32_t, 2> delayRange{0, 30};
    // Carried with the configuration; the modifier does not consult it.
    std::vector<BthOpcode> supportedOpcodes;  // SEND_FIRST, SEND_ONLY, ACKNOWLEDGE
    // Carried with the configuration; the modifier does not consult it.
    std::uint32_t targetSpecificQp = 1;
    // Carried with the configuration; the modifier does not consult it.
    std::uint32_t targenSpecificQpQpn = 1;
};
