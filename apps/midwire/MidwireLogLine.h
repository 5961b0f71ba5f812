#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "transport/Bth.h"

// The log line of one RoCE packet, without its line end: the time in milliseconds in decimal,
// then PSN, opcode and destination QP in hexadecimal (lower case, no prefix, no padding) and the
// acknowledge request as 0 or 1, separated by tabs.
inline std::string MidwireLogLine(const Bth& bth, std::int64_t timeMs) {
    char line[96];
    const int size = std::snprintf(
        line, sizeof(line), "[%lld]\t #%x\topcode:%x\t dest QP:%x\t ackreq:%d",
        static_cast<long long>(timeMs), bth.GetPsn(), static_cast<unsigned>(bth.GetBthOpcode()),
        bth.GetDestinationQp(), bth.IsAckReq() ? 1 : 0);
    return std::string(line, static_cast<std::size_t>(size));
}
