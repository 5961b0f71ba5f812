#include <iostream>

#include "tools/rocepeer/Options.h"
#include "tools/rocepeer/PacketPort.h"

namespace rocepeer {
namespace {

roceframes::Bytes Pattern(std::size_t size) {
    roceframes::Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) {
        payload[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return payload;
}

roceframes::RoceOptions RoceOptionsOf(const FrameOptions& options) {
    roceframes::RoceOptions roce;
    roce.srcPort = static_cast<std::uint16_t>(options.srcPort);
    roce.ipId = static_cast<std::uint16_t>(options.ipId);
    roce.udpChecksum = options.udpChecksum;
    roce.ecn = static_cast<std::uint8_t>(options.ecn.value_or(roce.ecn));
    return roce;
}

roceframes::Bytes BuildRoce(const FrameOptions& options, const roceframes::Endpoints& ends) {
    roceframes::BthFields bth;
    bth.opcode = static_cast<std::uint8_t>(options.opcode);
    bth.destQp = options.qp;
    bth.psn = options.psn;
    bth.ackReqByte = static_cast<std::uint8_t>(options.ackReqByte);
    return roceframes::BuildRoceFrame(ends, bth, Pattern(options.payloadSize.value_or(0)),
                                      RoceOptionsOf(options));
}

roceframes::Bytes BuildCnp(const FrameOptions& options, const roceframes::Endpoints& ends) {
    roceframes::Bytes frame = roceframes::BuildCnpFrame(ends, options.qp, RoceOptionsOf(options));
    // A notification with ECN bits other than its own, for tests of whoever receives it; the
    // ICRC does not cover them.
    if (options.ecn) {
        roceframes::SetIpv4Ecn(frame, static_cast<std::uint8_t>(*options.ecn));
    }
    return frame;
}

roceframes::Bytes BuildUdp(const FrameOptions& options, const roceframes::Endpoints& ends) {
    return roceframes::BuildUdpFrame(
        ends, static_cast<std::uint16_t>(options.srcPort),
        static_cast<std::uint16_t>(options.dstPort), Pattern(options.payloadSize.value_or(16)),
        !options.noUdpChecksum, static_cast<std::uint16_t>(options.ipId),
        static_cast<std::uint8_t>(options.ecn.value_or(roceframes::kEcnNotEct)));
}

}  // namespace

int RunFrame(const FrameOptions& options) {
    roceframes::PacketPort port(options.dev);
    const auto ends = ResolveEndpoints(options.peer, port.LocalMac(), port.LocalIp());
    const roceframes::Bytes frame = options.kind == "roce"  ? BuildRoce(options, ends)
                                    : options.kind == "cnp" ? BuildCnp(options, ends)
                                    : options.kind == "udp" ? BuildUdp(options, ends)
                                                            : roceframes::BuildArpRequest(ends);
    if (!port.Send(frame)) {
        std::cerr << "rocepeer frame: send failed\n";
        return 1;
    }
    // The frame as sent, so a test can look for exactly these bytes.
    std::cout << roceframes::ToHex(frame) << std::endl;
    return 0;
}

}  // namespace rocepeer
