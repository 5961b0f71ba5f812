#include "tools/rocepeer/Options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace rocepeer {
namespace {

constexpr std::uint64_t kMaxPayload = 9000;
constexpr std::uint64_t kMaxFrameSize = 9000;
constexpr std::uint64_t kMinMtu = 256;
constexpr std::uint64_t kMaxMtu = 4096;

// Base 0, as scripts have always written them: decimal, or hexadecimal after 0x.
std::uint64_t ReadNumber(const std::string& name, const std::string& text, std::uint64_t min,
                         std::uint64_t max) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value < min ||
        value > max) {
        throw CLI::ValidationError(name, "bad number '" + text + "' (" + std::to_string(min) +
                                             ".." + std::to_string(max) + ")");
    }
    return value;
}

std::vector<std::uint32_t> ReadNumberList(const std::string& name, const std::string& text) {
    std::vector<std::uint32_t> list;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        list.push_back(static_cast<std::uint32_t>(ReadNumber(name, item, 0, UINT32_MAX)));
    }
    if (list.empty()) {
        throw CLI::ValidationError(name, "needs at least one number");
    }
    return list;
}

std::vector<roceframes::Operation> ReadOperations(const std::string& text) {
    static const std::pair<const char*, roceframes::Operation> kNames[] = {
        {"send", roceframes::Operation::Send},
        {"write", roceframes::Operation::Write},
        {"write-imm", roceframes::Operation::WriteImmediate},
        {"read", roceframes::Operation::Read},
    };
    std::vector<roceframes::Operation> operations;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');) {
        const auto named = std::find_if(std::begin(kNames), std::end(kNames),
                                        [&item](const auto& name) { return item == name.first; });
        if (named == std::end(kNames)) {
            throw CLI::ValidationError(
                "--ops", "bad operation '" + item + "' (send, write, write-imm or read)");
        }
        operations.push_back(named->second);
    }
    if (operations.empty()) {
        throw CLI::ValidationError("--ops", "needs at least one operation");
    }
    return operations;
}

// The responder answers no larger READ. Sizes and operations are each taken in turn from their
// own list, so their pairs repeat after the product of the lengths.
void CheckReadSizes(const RequestOptions& options) {
    const std::uint64_t pairs =
        std::min<std::uint64_t>(options.count, options.sizes.size() * options.operations.size());
    for (std::uint64_t m = 0; m < pairs; ++m) {
        const std::uint32_t size = options.sizes[m % options.sizes.size()];
        if (options.operations[m % options.operations.size()] == roceframes::Operation::Read &&
            size > roceframes::kMaxReadLength) {
            throw CLI::ValidationError("--size", "a READ of " + std::to_string(size) +
                                                     " bytes is larger than " +
                                                     std::to_string(roceframes::kMaxReadLength));
        }
    }
}

template <class T>
CLI::Option* AddNumber(CLI::App& command, const std::string& name, T& value, std::uint64_t max,
                       const std::string& help, std::uint64_t min = 0) {
    return command
        .add_option_function<std::string>(
            name,
            [&value, name, min, max](const std::string& text) {
                value = static_cast<T>(ReadNumber(name, text, min, max));
            },
            help)
        ->type_name("N")
        ->default_str(std::to_string(value));
}

template <class T>
void AddNumber(CLI::App& command, const std::string& name, std::optional<T>& value,
               std::uint64_t max, const std::string& help) {
    command
        .add_option_function<std::string>(
            name,
            [&value, name, max](const std::string& text) {
                value = static_cast<T>(ReadNumber(name, text, 0, max));
            },
            help)
        ->type_name("N");
}

void AddQps(CLI::App& command, std::uint32_t& qp, std::uint32_t& peerQp) {
    std::ostringstream ours, theirs;
    ours << "0x" << std::hex << qp;
    theirs << "0x" << std::hex << peerQp;
    AddNumber(command, "--qp", qp, kPsnMask, "our queue pair")->default_str(ours.str());
    AddNumber(command, "--peer-qp", peerQp, kPsnMask, "the peer's queue pair")
        ->default_str(theirs.str());
}

void AddIpv4(CLI::App& command, const std::string& name, std::function<void(std::uint32_t)> set,
             const std::string& help) {
    command
        .add_option_function<std::string>(
            name,
            [set, name](const std::string& text) {
                const std::optional<std::uint32_t> ip = roceframes::ParseIpv4(text);
                if (!ip) {
                    throw CLI::ValidationError(name, "bad IPv4 address '" + text + "'");
                }
                set(*ip);
            },
            help)
        ->type_name("IP");
}

void AddPeer(CLI::App& command, Peer& peer) {
    command
        .add_option_function<std::string>(
            "--peer-mac",
            [&peer](const std::string& text) {
                const std::optional<roceframes::Mac> mac = roceframes::ParseMac(text);
                if (!mac) {
                    throw CLI::ValidationError("--peer-mac", "bad MAC address '" + text + "'");
                }
                peer.mac = *mac;
            },
            "the peer's MAC address")
        ->type_name("MAC")
        ->required();
    AddIpv4(
        command, "--peer-ip", [&peer](std::uint32_t ip) { peer.ip = ip; }, "the peer's address");
    command.get_option("--peer-ip")->required();
    AddIpv4(
        command, "--src-ip", [&peer](std::uint32_t ip) { peer.srcIp = ip; },
        "our source address (default: the interface's)");
}

void AddDev(CLI::App& command, std::string& dev) {
    command.add_option("--dev", dev, "the interface to send and receive on")
        ->type_name("IF")
        ->required();
}

}  // namespace

void AddRespondOptions(CLI::App& command, RespondOptions& options) {
    AddDev(command, options.dev);
    AddQps(command, options.qp, options.peerQp);
    AddNumber(command, "--psn", options.psn, kPsnMask,
              "the first PSN expected (default: the first one seen)");
    AddNumber(command, "--count", options.count, UINT32_MAX,
              "end once this many messages have come (0: no end)");
    AddNumber(command, "--idle-ms", options.idleMs, UINT32_MAX,
              "end after this long without a packet (0: only after --count)");
    AddNumber(command, "--mtu", options.mtu, kMaxMtu,
              "path MTU: largest payload of a READ response (the requester's --mtu)", kMinMtu);
    AddNumber(command, "--cnp-interval-us", options.cnpIntervalUs, 10'000'000,
              "send a congestion notification for a CE-marked packet at most once in this long "
              "(0: for every one)");
}

void AddRequestOptions(CLI::App& command, RequestOptions& options) {
    AddDev(command, options.dev);
    AddPeer(command, options.peer);
    AddQps(command, options.qp, options.peerQp);
    AddNumber(command, "--count", options.count, 10'000'000, "messages to send");
    command
        .add_option_function<std::string>(
            "--size",
            [&options](const std::string& text) { options.sizes = ReadNumberList("--size", text); },
            "message sizes in bytes, used in turn")
        ->type_name("N[,N...]")
        ->default_str(std::to_string(options.sizes.front()));
    command
        .add_option_function<std::string>(
            "--ops",
            [&options](const std::string& text) { options.operations = ReadOperations(text); },
            "operations of the messages, used in turn: send, write, write-imm (RDMA WRITE with "
            "immediate) or read")
        ->type_name("OP[,OP...]")
        ->default_str("send");
    AddNumber(command, "--mtu", options.mtu, kMaxMtu, "path MTU: largest payload of a packet",
              kMinMtu);
    AddNumber(command, "--psn", options.psn, kPsnMask, "the first PSN");
    AddNumber(command, "--window", options.window, 1u << 20, "packets in flight at most", 1);
    AddNumber(command, "--timeout-ms", options.timeoutMs, 3'600'000,
              "resend from the oldest unacknowledged packet after this long without progress", 1);
    AddNumber(command, "--limit-ms", options.limitMs, 86'400'000, "give up after this long");
    command.final_callback([&options] { CheckReadSizes(options); });
}

void AddRateSendOptions(CLI::App& command, RateSendOptions& options) {
    AddDev(command, options.dev);
    AddPeer(command, options.peer);
    AddNumber(command, "--rate", options.rate, 10'000'000, "frames per second", 1);
    AddNumber(command, "--frame-size", options.frameSize, kMaxFrameSize, "bytes of each frame",
              roceframes::kRoceOverhead);
    AddNumber(command, "--seconds", options.seconds, 3600, "how long to send");
    AddNumber(command, "--ackreq-every", options.ackReqEvery, UINT32_MAX,
              "ask for an acknowledgement every N frames (0: never)");
    AddQps(command, options.qp, options.peerQp);
    AddNumber(command, "--psn", options.psn, kPsnMask, "the first PSN");
}

void AddRateReceiveOptions(CLI::App& command, RateReceiveOptions& options) {
    AddDev(command, options.dev);
    command.add_flag("--ack", options.ack, "acknowledge the frames that ask for it");
    AddQps(command, options.qp, options.peerQp);
    AddNumber(command, "--idle-ms", options.idleMs, UINT32_MAX,
              "end this long after the last frame");
    AddNumber(command, "--seconds", options.seconds, UINT32_MAX, "end after this long at most");
}

void AddFrameOptions(CLI::App& command, FrameOptions& options) {
    AddDev(command, options.dev);
    AddPeer(command, options.peer);
    command.add_option("--kind", options.kind, "what to send")
        ->type_name("KIND")
        ->required()
        ->check(CLI::IsMember({"roce", "cnp", "udp", "arp"}));
    AddNumber(command, "--opcode", options.opcode, 0xFF, "roce: the BTH opcode");
    AddNumber(command, "--qp", options.qp, kPsnMask, "roce, cnp: the destination queue pair")
        ->default_str("0x12");
    AddNumber(command, "--psn", options.psn, kPsnMask, "roce: the PSN");
    AddNumber(command, "--ackreq-byte", options.ackReqByte, 0xFF,
              "roce: the BTH byte that holds the acknowledge-request bit");
    AddNumber(command, "--payload-size", options.payloadSize, kMaxPayload,
              "payload bytes (default: roce 0, udp 16)");
    command.add_flag("--udp-checksum", options.udpChecksum, "roce: fill in the UDP checksum");
    command.add_flag("--no-udp-checksum", options.noUdpChecksum, "udp: leave the UDP checksum 0");
    AddNumber(command, "--ip-id", options.ipId, 0xFFFF, "the IPv4 identification");
    AddNumber(command, "--ecn", options.ecn, 3,
              "the IP ECN bits, 3 for congestion met (default: roce 2, ECN-capable; others 0)");
    AddNumber(command, "--src-port", options.srcPort, 0xFFFF, "the UDP source port");
    AddNumber(command, "--dst-port", options.dstPort, 0xFFFF, "udp: the UDP destination port");
}

roceframes::Endpoints ResolveEndpoints(const Peer& peer, const roceframes::Mac& localMac,
                                       std::uint32_t localIp) {
    roceframes::Endpoints ends;
    ends.srcMac = localMac;
    ends.dstMac = peer.mac;
    ends.dstIp = peer.ip;
    ends.srcIp = peer.srcIp.value_or(localIp);
    return ends;
}

}  // namespace rocepeer
