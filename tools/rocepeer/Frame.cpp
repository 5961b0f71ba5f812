#include <iostream>

#include "tools/rocepeer/Options.h"
#include "tools/rocepeer/PacketPort.h"

namespace rocepeer {
namespace {

constexpr std::uint32_t kMaxPayload = 9000;

roceframes::Bytes Pattern(std::size_t size) {
    roceframes::Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) {
        payload[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return payload;
}

roceframes::Bytes BuildRoce(const Options& options, const roceframes::Endpoints& ends) {
    roceframes::BthFields bth;
    bth.opcode = static_cast<std::uint8_t>(options.Number("opcode", 4, 0xFF));
    bth.destQp = static_cast<std::uint32_t>(options.Number("qp", 0x12, roceframes::kPsnMask));
    bth.psn = static_cast<std::uint32_t>(options.Number("psn", 0, roceframes::kPsnMask));
    bth.ackReqByte = static_cast<std::uint8_t>(options.Number("ackreq-byte", 0, 0xFF));
    roceframes::RoceOptions roce;
    roce.srcPort = static_cast<std::uint16_t>(options.Number("src-port", roce.srcPort, 0xFFFF));
    roce.ipId = static_cast<std::uint16_t>(options.Number("ip-id", 0, 0xFFFF));
    roce.udpChecksum = options.Has("udp-checksum");
    return roceframes::BuildRoceFrame(
        ends, bth, Pattern(options.Number("payload-size", 0, kMaxPayload)), roce);
}

roceframes::Bytes BuildUdp(const Options& options, const roceframes::Endpoints& ends) {
    return roceframes::BuildUdpFrame(
        ends, static_cast<std::uint16_t>(options.Number("src-port", 49152, 0xFFFF)),
        static_cast<std::uint16_t>(options.Number("dst-port", 4792, 0xFFFF)),
        Pattern(options.Number("payload-size", 16, kMaxPayload)), !options.Has("no-udp-checksum"),
        static_cast<std::uint16_t>(options.Number("ip-id", 0, 0xFFFF)));
}

}  // namespace

int RunFrame(const Options& options) {
    const std::string kind = options.Required("kind");
    if (kind != "roce" && kind != "udp" && kind != "arp") {
        throw UsageError("--kind must be roce, udp or arp");
    }
    roceframes::PacketPort port(options.Required("dev"));
    const auto ends = ResolveEndpoints(options, port.LocalMac(), port.LocalIp());
    const roceframes::Bytes frame = kind == "roce"  ? BuildRoce(options, ends)
                                    : kind == "udp" ? BuildUdp(options, ends)
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
