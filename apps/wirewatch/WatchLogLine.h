#pragma once

#include <sstream>
#include <string>

#include "transport/Bth.h"

// The log line of one RoCE packet, without its line end: opcode, PSN and destination QP in
// hexadecimal (lower case, no prefix, no padding) and the acknowledge request as 0 or 1.
inline std::string WatchLogLine(const Bth& bth) {
    std::ostringstream line;
    line << std::hex << "op:" << static_cast<unsigned>(bth.GetBthOpcode()) << " #" << bth.GetPsn()
         << " dest:" << bth.GetDestinationQp() << " ackreq:" << (bth.IsAckReq() ? 1 : 0);
    return line.str();
}
