#pragma once

#include <cstdio>
#include <string>

#include "transport/Bth.h"

// The log line of one RoCE packet, without its line end: opcode, PSN and destination QP in
// hexadecimal (lower case, no prefix, no padding) and the acknowledge request as 0 or 1.
inline std::string WatchLogLine(const Bth& bth) {
    char line[64];
    const int size = std::snprintf(line, sizeof(line), "op:%x #%x dest:%x ackreq:%d",
                                   static_cast<unsigned>(bth.GetBthOpcode()), bth.GetPsn(),
                                   bth.GetDestinationQp(), bth.IsAckReq() ? 1 : 0);
    return std::string(line, static_cast<std::size_t>(size));
}
