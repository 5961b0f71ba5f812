#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/rocepeer/ReliableConnection.h"
#include "tools/rocepeer/RoceFrames.h"

namespace CLI {
class App;
}

namespace rocepeer {

// --peer-mac, --peer-ip, and --src-ip for a source address other than the interface's.
struct Peer {
    roceframes::Mac mac{};
    std::uint32_t ip = 0;
    std::optional<std::uint32_t> srcIp;
};

// Queue pairs default to 0x11 on the requester side and 0x12 on the responder side.
struct RespondOptions {
    std::string dev;
    std::uint32_t qp = 0x12;
    std::uint32_t peerQp = 0x11;
    std::optional<std::uint32_t> psn;  // the first one seen when not given
    std::uint64_t count = 0;
    std::uint64_t idleMs = 0;
    std::uint32_t mtu = 1024;
    std::uint64_t cnpIntervalUs = 50;
};

struct RequestOptions {
    std::string dev;
    Peer peer;
    std::uint32_t qp = 0x11;
    std::uint32_t peerQp = 0x12;
    std::uint32_t count = 1;
    std::vector<std::uint32_t> sizes{1024};
    std::vector<roceframes::Operation> operations{roceframes::Operation::Send};
    std::uint32_t mtu = 1024;
    std::uint32_t psn = 0;
    std::uint64_t window = 32;
    std::uint64_t timeoutMs = 50;
    std::uint64_t limitMs = 30'000;
};

struct RateSendOptions {
    std::string dev;
    Peer peer;
    std::uint64_t rate = 10'000;
    std::uint32_t frameSize = 1100;
    std::uint64_t seconds = 3;
    std::uint64_t ackReqEvery = 1;
    std::uint32_t qp = 0x11;
    std::uint32_t peerQp = 0x12;
    std::uint32_t psn = 0;
};

struct RateReceiveOptions {
    std::string dev;
    bool ack = false;
    std::uint32_t qp = 0x12;
    std::uint32_t peerQp = 0x11;
    std::uint64_t idleMs = 1000;
    std::uint64_t seconds = 3600;
};

// The default payload size depends on the kind.
struct FrameOptions {
    std::string dev;
    Peer peer;
    std::string kind;
    std::uint32_t opcode = 4;
    std::uint32_t qp = 0x12;
    std::uint32_t psn = 0;
    std::uint32_t ackReqByte = 0;
    std::optional<std::uint32_t> payloadSize;
    bool udpChecksum = false;
    bool noUdpChecksum = false;
    std::optional<std::uint32_t> ecn;
    std::uint32_t ipId = 0;
    std::uint32_t srcPort = roceframes::RoceOptions{}.srcPort;
    std::uint32_t dstPort = 4792;
};

// Each adds its subcommand's options to `command`, bound to `options`, which must outlive the
// parse. Every value is checked while parsing: numbers are decimal or 0x-prefixed.
void AddRespondOptions(CLI::App& command, RespondOptions& options);
void AddRequestOptions(CLI::App& command, RequestOptions& options);
void AddRateSendOptions(CLI::App& command, RateSendOptions& options);
void AddRateReceiveOptions(CLI::App& command, RateReceiveOptions& options);
void AddFrameOptions(CLI::App& command, FrameOptions& options);

// Our MAC and address (or --src-ip) towards the peer's.
roceframes::Endpoints ResolveEndpoints(const Peer& peer, const roceframes::Mac& localMac,
                                       std::uint32_t localIp);

// Subcommands; each returns the process exit status.
int RunRespond(const RespondOptions& options);
int RunRequest(const RequestOptions& options);
int RunRateSend(const RateSendOptions& options);
int RunRateReceive(const RateReceiveOptions& options);
int RunFrame(const FrameOptions& options);

// Set by SIGINT/SIGTERM; long-running subcommands end cleanly when it is.
bool StopRequested();

}  // namespace rocepeer
