#include "tests/e2e/harness/Peers.h"

#include <signal.h>

#include <sstream>

namespace e2e {
namespace {

using roceframes::BthFields;

// A recognisable payload of `size` bytes.
Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return bytes;
}

roceframes::Endpoints Between(const Host& from, const Host& to, const char* toIp) {
    return {*roceframes::ParseMac(from.mac), *roceframes::ParseMac(to.mac),
            *roceframes::ParseIpv4(from.ip), *roceframes::ParseIpv4(toIp)};
}

FrameCase RoceCase(const std::string& name, const Host& from, const Host& to, const BthFields& bth,
                   std::size_t payload, roceframes::RoceOptions options = {},
                   std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--kind",         "roce",
                                     "--opcode",       std::to_string(bth.opcode),
                                     "--qp",           "0x" + Hex(bth.destQp),
                                     "--psn",          std::to_string(bth.psn),
                                     "--ackreq-byte",  std::to_string(bth.ackReqByte),
                                     "--payload-size", std::to_string(payload)};
    args.insert(args.end(), extra.begin(), extra.end());
    return {
        name,  args,
        to.ip, roceframes::BuildRoceFrame(Between(from, to, to.ip), bth, Pattern(payload), options),
        bth,   true};
}

FrameCase UdpCase(const std::string& name, const Host& from, const Host& to, std::uint16_t srcPort,
                  std::uint16_t dstPort, std::size_t payload, bool checksum) {
    std::vector<std::string> args = {"--kind",         "udp",
                                     "--src-port",     std::to_string(srcPort),
                                     "--dst-port",     std::to_string(dstPort),
                                     "--payload-size", std::to_string(payload)};
    if (!checksum) {
        args.push_back("--no-udp-checksum");
    }
    return {name,
            args,
            to.ip,
            roceframes::BuildUdpFrame(Between(from, to, to.ip), srcPort, dstPort, Pattern(payload),
                                      checksum),
            std::nullopt,
            dstPort == roceframes::kRoceUdpPort};
}

Bytes FromHex(const std::string& text) {
    Bytes bytes;
    for (std::size_t at = 0; at + 1 < text.size(); at += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace

std::string Hex(std::uint32_t value) {
    std::ostringstream text;
    text << std::hex << value;
    return text.str();
}

Bytes SendFrame(const Testbed& rig, const Host& from, const Host& to,
                const std::vector<std::string>& kind, const char* peerIp) {
    std::vector<std::string> argv = {kRocepeer,    "frame", "--dev",     "eth0",
                                     "--peer-mac", to.mac,  "--peer-ip", peerIp ? peerIp : to.ip};
    argv.insert(argv.end(), kind.begin(), kind.end());
    const Finished sent = Run(argv, from.Ns(rig));
    const std::string hex = sent.out.substr(0, sent.out.find('\n'));
    const bool valid = sent.status == 0 && hex.find_first_not_of("0123456789abcdef") == hex.npos;
    return valid ? FromHex(hex) : Bytes{};
}

std::vector<FrameCase> FramesOfEveryKind(const Host& from, const Host& to, std::uint32_t toQp) {
    // An ARP request for an address nobody holds, so that no host answers behind the test's back.
    static constexpr char kUnownedIp[] = "10.47.0.99";
    roceframes::RoceOptions checkedWithId;
    checkedWithId.ipId = 7;
    checkedWithId.udpChecksum = true;
    return {
        RoceCase("acknowledge, zero UDP checksum", from, to,
                 {roceframes::kOpcodeAcknowledge, toQp, 0xabcdef, 0}, 4),
        RoceCase("opcode 10, reserved ackreq bits, UDP checksum, IP id", from, to,
                 {10, 0x123456, 0xffffff, 0x41}, 16, checkedWithId,
                 {"--udp-checksum", "--ip-id", "7"}),
        {"arp request",
         {"--kind", "arp"},
         kUnownedIp,
         roceframes::BuildArpRequest(Between(from, to, kUnownedIp)),
         std::nullopt,
         false},
        UdpCase("udp to another port", from, to, 49152, 5000, 30, true),
        UdpCase("udp from 4791 to another port", from, to, 4791, 5001, 30, true),
        UdpCase("4791, empty payload", from, to, 49152, 4791, 0, true),
        UdpCase("4791, 5-byte payload, short frame", from, to, 49152, 4791, 5, false),
        RoceCase("send only, ackreq", from, to, {4, toQp, 0x10, 0x80}, 64),
    };
}

Exchange RunExchange(const Testbed& rig, const std::vector<std::string>& options) {
    const std::string psn = std::to_string(kExchangePsn);
    Process responder({kRocepeer, "respond", "--dev", "eth0", "--psn", psn}, rig.ServerNs());
    Exchange exchange;
    if (!responder.WaitForOutput("ready", seconds(10))) {
        exchange.request.err = "the responder did not start: " + responder.Stderr();
        return exchange;
    }
    std::string sizes;
    for (std::uint32_t size : kExchangeSizes) {
        sizes += (sizes.empty() ? "" : ",") + std::to_string(size);
    }
    std::vector<std::string> request = {
        kRocepeer,    "request",   "--dev",     "eth0",
        "--peer-mac", kServer.mac, "--peer-ip", kServer.ip,
        "--psn",      psn,         "--count",   std::to_string(kExchangeMessages),
        "--size",     sizes,       "--mtu",     std::to_string(kExchangeMtu),
        "--limit-ms", "60000"};
    request.insert(request.end(), options.begin(), options.end());
    exchange.request = Run(request, rig.ClientNs(), seconds(90));
    responder.Signal(SIGTERM);
    exchange.responder = responder.Finish(seconds(10)).out;
    return exchange;
}

}  // namespace e2e
