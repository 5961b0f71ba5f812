#include "tests/e2e/harness/Peers.h"

#include <signal.h>

#include <sstream>

namespace e2e {
namespace {

using roceframes::BthFields;
using roceframes::RoceOptions;

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
                   std::size_t payload, RoceOptions options = {},
                   std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--kind",         "roce",
                                     "--opcode",       std::to_string(bth.opcode),
                                     "--qp",           "0x" + Hex(bth.destQp),
                                     "--psn",          std::to_string(bth.psn),
                                     "--ackreq-byte",  std::to_string(bth.ackReqByte),
                                     "--payload-size", std::to_string(payload)};
    args.insert(args.end(), extra.begin(), extra.end());
    const Bytes frame =
        roceframes::BuildRoceFrame(Between(from, to, to.ip), bth, Pattern(payload), options);
    return {name, &from, &to, args, to.ip, frame, bth, true};
}

FrameCase UdpCase(const std::string& name, const Host& from, const Host& to, std::uint16_t srcPort,
                  std::uint16_t dstPort, std::size_t payload, bool checksum) {
    std::vector<std::string> args = {"--kind",         "udp",
                                     "--dst-port",     std::to_string(dstPort),
                                     "--payload-size", std::to_string(payload)};
    // rocepeer's own source port unless another is asked for.
    if (srcPort != RoceOptions{}.srcPort) {
        args.insert(args.end(), {"--src-port", std::to_string(srcPort)});
    }
    if (!checksum) {
        args.push_back("--no-udp-checksum");
    }
    const Bytes frame = roceframes::BuildUdpFrame(Between(from, to, to.ip), srcPort, dstPort,
                                                  Pattern(payload), checksum);
    return {name,  &from, &to,          args,
            to.ip, frame, std::nullopt, dstPort == roceframes::kRoceUdpPort};
}

std::string QpReport(std::uint32_t qp, std::uint32_t peer, const QpState& state) {
    return "\t" + Hex(qp) + " sent to " + Hex(peer) +
           "\n\t\tNext To Send psn:" + Hex(state.nextToSend) +
           " First Non-Acked psn:" + Hex(state.firstNonAcked) +
           "\n\t\tExpected psn:" + Hex(state.expected) +
           " Oldest Non-Acked psn:" + Hex(state.oldestNonAcked) + "\n";
}

}  // namespace

std::string Hex(std::uint32_t value) {
    std::ostringstream text;
    text << std::hex << value;
    return text.str();
}

std::string RegistrationLines(std::uint32_t clientQp, std::uint32_t serverQp) {
    return "QP " + Hex(serverQp) + " was added to device 0. Peer QP: " + Hex(clientQp) + ".\nQP " +
           Hex(clientQp) + " was added to device 1. Peer QP: " + Hex(serverQp) + ".\n";
}

std::string IdleCheckerReport(const QpState& server, const QpState& client, std::uint32_t clientQp,
                              std::uint32_t serverQp) {
    return "Device ID:0\n" + QpReport(serverQp, clientQp, server) + "Device ID:1\n" +
           QpReport(clientQp, serverQp, client);
}

std::vector<FrameCase> FramesOfEveryKind(const Host& from, const Host& to, std::uint32_t toQp) {
    // Nobody holds this address, so nobody answers the ARP request behind the test's back.
    static constexpr char kUnownedIp[] = "10.47.0.99";
    RoceOptions checkedWithId;
    checkedWithId.ipId = 7;
    checkedWithId.udpChecksum = true;
    return {
        RoceCase("acknowledge, zero UDP checksum", from, to,
                 {roceframes::kOpcodeAcknowledge, toQp, 0xabcdef, 0}, 4),
        RoceCase("opcode 255, reserved ackreq bits, UDP checksum, IP id", from, to,
                 {255, 0x123456, 0xffffff, 0x41}, 16, checkedWithId,
                 {"--udp-checksum", "--ip-id", "7"}),
        {"arp request",
         &from,
         &to,
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

void RigTest::SetUp() {
    E2E_SKIP_UNLESS_POSSIBLE();
    rig_.emplace(options_);
    ASSERT_TRUE(rig_->Up()) << rig_->Error();
}

std::unique_ptr<BenchRun> RigTest::Start(const std::string& program,
                                         const std::vector<std::string>& args,
                                         const std::string& banner) {
    auto bench = std::make_unique<BenchRun>(program, args, rig_->BenchNs());
    EXPECT_TRUE(bench->process().WaitForOutput(banner)) << bench->process().Stderr();
    return bench;
}

std::unique_ptr<Capture> RigTest::Listen(const Host& host, const char* direction) {
    auto capture = std::make_unique<Capture>(host.Ns(*rig_), Testbed::kHostInterface, direction);
    EXPECT_TRUE(capture->Listening()) << capture->Error();
    return capture;
}

Bytes RigTest::Send(const Host& from, const Host& to, const std::vector<std::string>& kind,
                    const char* peerIp) {
    std::vector<std::string> argv = {kRocepeer,    "frame", "--dev",     "eth0",
                                     "--peer-mac", to.mac,  "--peer-ip", peerIp ? peerIp : to.ip};
    argv.insert(argv.end(), kind.begin(), kind.end());
    const Finished sent = e2e::Run(argv, from.Ns(*rig_));
    const bool hex =
        sent.status == 0 && sent.out.find_first_not_of("0123456789abcdef\n") == std::string::npos;
    Bytes bytes;
    for (std::size_t at = 0; hex && at + 1 < sent.out.size(); at += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(sent.out.substr(at, 2), nullptr, 16)));
    }
    return sent.out == roceframes::ToHex(bytes) + "\n" ? bytes : Bytes{};
}

}  // namespace e2e
