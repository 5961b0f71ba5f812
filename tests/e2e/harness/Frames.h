#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/rocepeer/RoceFrames.h"

namespace e2e {

// The addresses of a frame from one rig host to another, given as text.
inline roceframes::Endpoints EndpointsOf(const char* srcMac, const char* srcIp, const char* dstMac,
                                         const char* dstIp) {
    roceframes::Endpoints ends;
    ends.srcMac = *roceframes::ParseMac(srcMac);
    ends.dstMac = *roceframes::ParseMac(dstMac);
    ends.srcIp = *roceframes::ParseIpv4(srcIp);
    ends.dstIp = *roceframes::ParseIpv4(dstIp);
    return ends;
}

// A recognisable payload of `size` bytes.
inline roceframes::Bytes Pattern(std::size_t size) {
    roceframes::Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return bytes;
}

}  // namespace e2e
