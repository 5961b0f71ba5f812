#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transport/Bth.h"
#include "transport/RoceFrame.h"

// Builds and reads whole Ethernet frames carrying RoCE v2 (IPv4) and the other
// frames the bench is tested with. Every byte is chosen here, so tests can
// compare what arrives with what was built.
namespace roceframes {

using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;

constexpr std::size_t kEthHeaderSize = 14;
constexpr std::size_t kIpv4HeaderSize = 20;
constexpr std::size_t kUdpHeaderSize = 8;
constexpr std::size_t kAethSize = 4;
constexpr std::size_t kIcrcSize = 4;
// Ethernet, IPv4, UDP, BTH and ICRC around the payload of a RoCE frame.
constexpr std::size_t kRoceOverhead =
    kEthHeaderSize + kIpv4HeaderSize + kUdpHeaderSize + kBthSize + kIcrcSize;
// The bit a peer answers; the bench itself counts any set bit of that byte (Bth::IsAckReq).
constexpr std::uint8_t kAckReqBit = 0x80;
// AETH syndromes: an acknowledgement with no credit count, and the NAK that
// asks for a resend from the PSN the responder expects.
constexpr std::uint8_t kSyndromeAck = 0x1F;
constexpr std::uint8_t kSyndromePsnSequenceError = 0x60;
constexpr std::uint8_t kSyndromeInvalidRequest = 0x61;
// The two ECN bits of the IP header: not ECN-capable, ECN-capable (1 and 0), congestion met.
constexpr std::uint8_t kEcnNotEct = 0;
constexpr std::uint8_t kEcnEct1 = 1;
constexpr std::uint8_t kEcnEct0 = 2;
constexpr std::uint8_t kEcnCe = 3;
// The reserved bytes that follow the BTH of a congestion notification.
constexpr std::size_t kCnpReservedSize = 16;

// Addresses of the two ends of a frame. IPv4 addresses in host byte order.
struct Endpoints {
    Mac srcMac{};
    Mac dstMac{};
    std::uint32_t srcIp = 0;
    std::uint32_t dstIp = 0;
};

// The BTH as sent: byte 8 is given whole so tests can set reserved bits too.
struct BthFields {
    std::uint8_t opcode = 0;
    std::uint32_t destQp = 0;
    std::uint32_t psn = 0;
    std::uint8_t ackReqByte = 0;
    std::uint16_t pkey = 0xFFFF;
};

// The RDMA extended header: where the data goes to or comes from, and how much there is.
struct Reth {
    std::uint64_t virtualAddress = 0;
    std::uint32_t rkey = 0;
    std::uint32_t dmaLength = 0;
};

struct AethFields {
    std::uint8_t syndrome = 0;
    std::uint32_t msn = 0;
};

// The extended headers a frame carries, written in this order after the BTH whatever the
// opcode says, so that tests can build wrong frames too.
struct ExtendedHeaders {
    std::optional<Reth> reth;
    std::optional<AethFields> aeth;
    std::optional<std::uint32_t> immediate;
};

// IP and UDP choices that the ICRC covers or that tests vary.
struct RoceOptions {
    std::uint16_t srcPort = 49152;
    std::uint16_t ipId = 0;
    // So that a bench on the way can mark congestion instead of dropping.
    std::uint8_t ecn = kEcnEct0;
    // RoCE senders normally leave the UDP checksum zero.
    bool udpChecksum = false;
};

// Parses "aa:bb:cc:dd:ee:ff"; nothing on a malformed text.
std::optional<Mac> ParseMac(const std::string& text);
// Parses a dotted IPv4 address into host byte order; nothing on a malformed text.
std::optional<std::uint32_t> ParseIpv4(const std::string& text);
std::string MacToString(const Mac& mac);
std::string ToHex(const Bytes& bytes);

// Standard CRC-32 (reflected, polynomial 0x04C11DB7) continued from `crc`.
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);
// ICRC of a RoCE v2 packet given from its IPv4 header up to, not including,
// the ICRC itself, with the variant fields masked as the transport requires.
std::uint32_t ComputeIcrc(const std::uint8_t* ipPacket, std::size_t sizeWithoutIcrc);

// A RoCE v2 frame: BTH, then `afterBth` (AETH and/or payload), then the ICRC.
Bytes BuildRoceFrame(const Endpoints& ends, const BthFields& bth, const Bytes& afterBth,
                     const RoceOptions& options = {});
// The same with extended headers between the BTH and the payload.
Bytes BuildRoceFrame(const Endpoints& ends, const BthFields& bth, const ExtendedHeaders& headers,
                     const Bytes& payload, const RoceOptions& options = {});
// An acknowledgement (opcode 17) carrying an AETH with `syndrome` and `msn`.
Bytes BuildAckFrame(const Endpoints& ends, std::uint32_t destQp, std::uint32_t psn,
                    std::uint8_t syndrome, std::uint32_t msn, const RoceOptions& options = {});
// The opcode of packet `packet` of a READ response of `packets` packets.
std::uint8_t ReadResponseOpcode(std::size_t packet, std::size_t packets);
// The RDMA READ response to a request at `firstPsn` for `data`: one frame per `mtu` bytes (at
// least one) on consecutive PSNs, the first, the last and an only one with an AETH acknowledging
// with `msn`. The IP identification counts up from the one in `options`.
std::vector<Bytes> BuildReadResponse(const Endpoints& ends, std::uint32_t destQp,
                                     std::uint32_t firstPsn, std::uint32_t msn, const Bytes& data,
                                     std::uint32_t mtu, RoceOptions options = {});
// A congestion notification to `destQp`: PSN 0, 16 reserved zero bytes. It is not ECN-capable,
// whatever `options` says, so that a congested path does not mark the notice of its congestion.
Bytes BuildCnpFrame(const Endpoints& ends, std::uint32_t destQp, RoceOptions options = {});
// Sets the ECN bits of an untagged IPv4 frame, as a router marking it would: the IP checksum
// follows, the ICRC does not cover them.
void SetIpv4Ecn(Bytes& frame, std::uint8_t ecn);
// Recomputes the IP header checksum of an untagged IPv4 frame whose header was changed in place.
void RewriteIpv4Checksum(Bytes& frame);
// A plain UDP frame; no padding, so a short payload gives a frame under 60 bytes.
Bytes BuildUdpFrame(const Endpoints& ends, std::uint16_t srcPort, std::uint16_t dstPort,
                    const Bytes& payload, bool udpChecksum = true, std::uint16_t ipId = 0,
                    std::uint8_t ecn = kEcnNotEct);
// A broadcast ARP request for `ends.dstIp` from `ends.srcMac`/`ends.srcIp`.
Bytes BuildArpRequest(const Endpoints& ends);

// What a receiver needs from an arriving RoCE frame.
struct RoceView {
    Mac srcMac{};
    std::uint32_t srcIp = 0;
    std::uint8_t opcode = 0;
    std::uint32_t destQp = 0;
    std::uint32_t psn = 0;
    bool ackReq = false;
    std::uint8_t ecn = kEcnNotEct;
    // Those the opcode carries, when the packet is long enough for all of them.
    ExtendedHeaders headers;
    std::size_t payloadOffset = 0;  // in the frame
    std::size_t payloadSize = 0;    // after the BTH and extended headers, without ICRC
    bool icrcValid = false;
};

// The ECN bits of the IP header around a frame's UDP datagram (IPv4 or IPv6); nothing for a
// frame without one.
std::optional<std::uint8_t> IpEcn(const std::uint8_t* frame, std::size_t size);

// Reads an untagged Ethernet/IPv4 frame without IP options whose UDP datagram goes to port
// 4791 with a complete BTH and ICRC and fits its IP length; nothing for any other frame.
std::optional<RoceView> ParseRoceFrame(const std::uint8_t* frame, std::size_t size);

}  // namespace roceframes
