#pragma once

#include <string>

#include "transport/Bth.h"

// The log line of one RoCE packet from the client, without its line end: opcode, PSN and
// destination QP in decimal.
inline std::string BendLogLine(const Bth& bth) {
    return "op:" + std::to_string(static_cast<unsigned>(bth.GetBthOpcode())) + " #" +
           std::to_string(bth.GetPsn()) + " dest:" + std::to_string(bth.GetDestinationQp());
}
