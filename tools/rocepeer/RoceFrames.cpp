#include "tools/rocepeer/RoceFrames.h"

#include <cstdio>
#include <sstream>

#include "transport/FrameView.h"
#include "transport/Opcode.h"

namespace roceframes {
namespace {

constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeArp = 0x0806;
constexpr std::uint8_t kIpProtoUdp = 17;
constexpr std::uint8_t kIpTtl = 64;
constexpr std::uint16_t kIpDontFragment = 0x4000;
// RETH, AETH and immediate data, all that a frame built here may carry.
constexpr std::size_t kMostExtendedHeaders = 16 + 4 + 4;

class Writer {
public:
    explicit Writer(Bytes& out) : out_(out) {}
    void U8(std::uint8_t v) { out_.push_back(v); }
    void U16(std::uint16_t v) {
        U8(static_cast<std::uint8_t>(v >> 8));
        U8(static_cast<std::uint8_t>(v));
    }
    void U24(std::uint32_t v) {
        U8(static_cast<std::uint8_t>(v >> 16));
        U16(static_cast<std::uint16_t>(v));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v >> 16));
        U16(static_cast<std::uint16_t>(v));
    }
    void U64(std::uint64_t v) {
        U32(static_cast<std::uint32_t>(v >> 32));
        U32(static_cast<std::uint32_t>(v));
    }
    void Append(const std::uint8_t* data, std::size_t size) {
        out_.insert(out_.end(), data, data + size);
    }
    void Append(const Bytes& data) { Append(data.data(), data.size()); }

private:
    Bytes& out_;
};

std::uint16_t Read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
std::uint32_t Read24(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[2];
}
std::uint32_t Read32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(Read16(p)) << 16 | Read16(p + 2);
}
std::uint64_t Read64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(Read32(p)) << 32 | Read32(p + 4);
}
void Write16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// One's-complement sum folded to 16 bits, as IP and UDP checksums use it.
std::uint32_t SumWords(const std::uint8_t* data, std::size_t size, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        sum += Read16(data + i);
    }
    if (size % 2 != 0) {
        sum += static_cast<std::uint32_t>(data[size - 1]) << 8;
    }
    return sum;
}
std::uint16_t FoldChecksum(std::uint32_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

void WriteEthernet(Writer& w, const Mac& dst, const Mac& src, std::uint16_t etherType) {
    w.Append(dst.data(), dst.size());
    w.Append(src.data(), src.size());
    w.U16(etherType);
}

// Appends an IPv4 header for a UDP datagram of `udpSize` bytes, with DSCP 0.
void WriteIpv4(Bytes& frame, const Endpoints& ends, std::size_t udpSize, std::uint16_t ipId,
               std::uint8_t ecn) {
    const std::size_t start = frame.size();
    Writer w(frame);
    w.U8(0x45);
    w.U8(ecn & kEcnCe);
    w.U16(static_cast<std::uint16_t>(kIpv4HeaderSize + udpSize));
    w.U16(ipId);
    w.U16(kIpDontFragment);
    w.U8(kIpTtl);
    w.U8(kIpProtoUdp);
    w.U16(0);
    w.U32(ends.srcIp);
    w.U32(ends.dstIp);
    Write16(&frame[start + 10], FoldChecksum(SumWords(&frame[start], kIpv4HeaderSize)));
}

void FillUdpChecksum(Bytes& frame, std::size_t udpStart, std::size_t udpSize, const Endpoints& e) {
    std::uint32_t sum = (e.srcIp >> 16) + (e.srcIp & 0xFFFF) + (e.dstIp >> 16) + (e.dstIp & 0xFFFF);
    sum += kIpProtoUdp + static_cast<std::uint32_t>(udpSize);
    std::uint16_t checksum = FoldChecksum(SumWords(&frame[udpStart], udpSize, sum));
    // Zero means "no checksum" for UDP over IPv4.
    Write16(&frame[udpStart + 6], checksum == 0 ? 0xFFFF : checksum);
}

// Ethernet + IPv4 + UDP around `body`; the checksum covers all of `body`.
Bytes BuildUdpAround(const Endpoints& ends, std::uint16_t srcPort, std::uint16_t dstPort,
                     const Bytes& body, bool udpChecksum, std::uint16_t ipId, std::uint8_t ecn) {
    const std::size_t udpSize = kUdpHeaderSize + body.size();
    Bytes frame;
    frame.reserve(kEthHeaderSize + kIpv4HeaderSize + udpSize);
    Writer w(frame);
    WriteEthernet(w, ends.dstMac, ends.srcMac, kEtherTypeIpv4);
    WriteIpv4(frame, ends, udpSize, ipId, ecn);
    const std::size_t udpStart = frame.size();
    w.U16(srcPort);
    w.U16(dstPort);
    w.U16(static_cast<std::uint16_t>(udpSize));
    w.U16(0);
    w.Append(body);
    if (udpChecksum) {
        FillUdpChecksum(frame, udpStart, udpSize, ends);
    }
    return frame;
}

void WriteBth(Writer& w, const BthFields& bth) {
    w.U8(bth.opcode);
    w.U8(0);  // solicited event, migration, pad count, header version
    w.U16(bth.pkey);
    w.U8(0);
    w.U24(bth.destQp & kPsnMask);
    w.U8(bth.ackReqByte);
    w.U24(bth.psn & kPsnMask);
}

void WriteExtendedHeaders(Writer& w, const ExtendedHeaders& headers) {
    if (headers.reth) {
        w.U64(headers.reth->virtualAddress);
        w.U32(headers.reth->rkey);
        w.U32(headers.reth->dmaLength);
    }
    if (headers.aeth) {
        w.U8(headers.aeth->syndrome);
        w.U24(headers.aeth->msn & kPsnMask);
    }
    if (headers.immediate) {
        w.U32(*headers.immediate);
    }
}

// Reads the extended headers `opcode` carries from `at`; returns where the payload starts,
// `at` itself when they do not fit before `end`.
std::size_t ReadExtendedHeaders(const std::uint8_t* frame, std::size_t at, std::size_t end,
                                std::uint8_t opcode, ExtendedHeaders& headers) {
    const opcode::Info* info = opcode::Find(opcode);
    if (info == nullptr || opcode::ExtendedHeadersSize(*info) > end - at) {
        return at;
    }
    // Each in its place of the order, the ones not read skipped by their size.
    const std::pair<opcode::ExtendedHeader, std::size_t> kLayout[] = {
        {opcode::kDeth, 8},      {opcode::kReth, 16},        {opcode::kAtomicEth, 28},
        {opcode::kAeth, 4},      {opcode::kAtomicAckEth, 8}, {opcode::kImmediate, 4},
        {opcode::kInvalidate, 4}};
    for (const auto& [header, size] : kLayout) {
        if (!info->Has(header)) {
            continue;
        }
        const std::uint8_t* p = frame + at;
        if (header == opcode::kReth) {
            headers.reth = Reth{Read64(p), Read32(p + 8), Read32(p + 12)};
        } else if (header == opcode::kAeth) {
            headers.aeth = AethFields{p[0], Read24(p + 1)};
        } else if (header == opcode::kImmediate) {
            headers.immediate = Read32(p);
        }
        at += size;
    }
    return at;
}

}  // namespace

std::optional<Mac> ParseMac(const std::string& text) {
    Mac mac{};
    unsigned int b[6];
    char tail = 0;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4],
                    &b[5], &tail) != 6) {
        return std::nullopt;
    }
    for (int i = 0; i < 6; ++i) {
        mac[i] = static_cast<std::uint8_t>(b[i]);
    }
    return mac;
}

std::optional<std::uint32_t> ParseIpv4(const std::string& text) {
    unsigned int b[4];
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &b[0], &b[1], &b[2], &b[3], &tail) != 4) {
        return std::nullopt;
    }
    std::uint32_t ip = 0;
    for (unsigned int part : b) {
        if (part > 255) {
            return std::nullopt;
        }
        ip = ip << 8 | part;
    }
    return ip;
}

std::string MacToString(const Mac& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::string ToHex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0xF]);
    }
    return text;
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    static const auto kTable = [] {
        std::array<std::uint32_t, 256> table{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            table[i] = c;
        }
        return table;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc = kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

std::uint32_t ComputeIcrc(const std::uint8_t* ipPacket, std::size_t sizeWithoutIcrc) {
    // Stands in for the local route header that RoCE v2 does not carry.
    const std::uint8_t lrhMask[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    Bytes masked(ipPacket, ipPacket + sizeWithoutIcrc);
    const std::size_t udp = kIpv4HeaderSize;
    const std::size_t bth = udp + kUdpHeaderSize;
    // Fields that routers and switches may rewrite on the way are excluded.
    for (std::size_t offset : {std::size_t{1}, std::size_t{8}, std::size_t{10}, std::size_t{11},
                               udp + 6, udp + 7, bth + 4}) {
        if (offset < masked.size()) {
            masked[offset] = 0xFF;
        }
    }
    return Crc32(masked.data(), masked.size(), Crc32(lrhMask, sizeof lrhMask));
}

Bytes BuildRoceFrame(const Endpoints& ends, const BthFields& bth, const Bytes& afterBth,
                     const RoceOptions& options) {
    return BuildRoceFrame(ends, bth, ExtendedHeaders{}, afterBth, options);
}

Bytes BuildRoceFrame(const Endpoints& ends, const BthFields& bth, const ExtendedHeaders& headers,
                     const Bytes& payload, const RoceOptions& options) {
    Bytes body;
    body.reserve(kBthSize + kMostExtendedHeaders + payload.size() + kIcrcSize);
    Writer w(body);
    WriteBth(w, bth);
    WriteExtendedHeaders(w, headers);
    w.Append(payload);
    // Room for the ICRC, so that the IP and UDP lengths count it.
    w.U32(0);
    Bytes frame =
        BuildUdpAround(ends, options.srcPort, kRocePort, body, false, options.ipId, options.ecn);
    const std::size_t ipStart = kEthHeaderSize;
    const std::size_t icrcAt = frame.size() - kIcrcSize;
    const std::uint32_t icrc = ComputeIcrc(&frame[ipStart], icrcAt - ipStart);
    // The ICRC goes out least significant byte first, like the Ethernet FCS.
    for (std::size_t i = 0; i < kIcrcSize; ++i) {
        frame[icrcAt + i] = static_cast<std::uint8_t>(icrc >> (8 * i));
    }
    // The UDP checksum covers the ICRC, and the ICRC masks the checksum, so
    // the checksum comes last.
    if (options.udpChecksum) {
        const std::size_t udpStart = ipStart + kIpv4HeaderSize;
        FillUdpChecksum(frame, udpStart, frame.size() - udpStart, ends);
    }
    return frame;
}

Bytes BuildAckFrame(const Endpoints& ends, std::uint32_t destQp, std::uint32_t psn,
                    std::uint8_t syndrome, std::uint32_t msn, const RoceOptions& options) {
    ExtendedHeaders headers;
    headers.aeth = AethFields{syndrome, msn};
    BthFields bth;
    bth.opcode = opcode::kAcknowledge;
    bth.destQp = destQp;
    bth.psn = psn;
    return BuildRoceFrame(ends, bth, headers, {}, options);
}

std::uint8_t ReadResponseOpcode(std::size_t packet, std::size_t packets) {
    if (packets == 1) {
        return opcode::kRdmaReadResponseOnly;
    }
    return packet == 0             ? opcode::kRdmaReadResponseFirst
           : packet + 1 == packets ? opcode::kRdmaReadResponseLast
                                   : opcode::kRdmaReadResponseMiddle;
}

std::vector<Bytes> BuildReadResponse(const Endpoints& ends, std::uint32_t destQp,
                                     std::uint32_t firstPsn, std::uint32_t msn, const Bytes& data,
                                     std::uint32_t mtu, RoceOptions options) {
    const std::size_t packets = data.empty() ? 1 : (data.size() + mtu - 1) / mtu;
    std::vector<Bytes> frames;
    frames.reserve(packets);
    for (std::size_t p = 0; p < packets; ++p) {
        BthFields bth;
        bth.opcode = ReadResponseOpcode(p, packets);
        bth.destQp = destQp;
        bth.psn = (firstPsn + static_cast<std::uint32_t>(p)) & kPsnMask;
        ExtendedHeaders headers;
        if (opcode::Find(bth.opcode)->Has(opcode::kAeth)) {
            headers.aeth = AethFields{kSyndromeAck, msn};
        }
        const auto begin =
            data.begin() + static_cast<std::ptrdiff_t>(std::min(p * mtu, data.size()));
        const auto end =
            data.begin() + static_cast<std::ptrdiff_t>(std::min((p + 1) * mtu, data.size()));
        frames.push_back(BuildRoceFrame(ends, bth, headers, Bytes(begin, end), options));
        ++options.ipId;
    }
    return frames;
}

Bytes BuildCnpFrame(const Endpoints& ends, std::uint32_t destQp, RoceOptions options) {
    options.ecn = kEcnNotEct;
    BthFields bth;
    bth.opcode = opcode::kCnp;
    bth.destQp = destQp;
    return BuildRoceFrame(ends, bth, Bytes(kCnpReservedSize, 0), options);
}

void SetIpv4Ecn(Bytes& frame, std::uint8_t ecn) {
    const std::size_t ip = kEthHeaderSize;
    if (frame.size() < ip + kIpv4HeaderSize) {
        return;
    }
    frame[ip + 1] = static_cast<std::uint8_t>((frame[ip + 1] & ~kEcnCe) | (ecn & kEcnCe));
    RewriteIpv4Checksum(frame);
}

void RewriteIpv4Checksum(Bytes& frame) {
    const std::size_t ip = kEthHeaderSize;
    if (frame.size() < ip + kIpv4HeaderSize) {
        return;
    }
    Write16(&frame[ip + 10], 0);
    Write16(&frame[ip + 10], FoldChecksum(SumWords(&frame[ip], kIpv4HeaderSize)));
}

Bytes BuildUdpFrame(const Endpoints& ends, std::uint16_t srcPort, std::uint16_t dstPort,
                    const Bytes& payload, bool udpChecksum, std::uint16_t ipId, std::uint8_t ecn) {
    return BuildUdpAround(ends, srcPort, dstPort, payload, udpChecksum, ipId, ecn);
}

Bytes BuildArpRequest(const Endpoints& ends) {
    const Mac broadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const Mac unknown{};
    Bytes frame;
    Writer w(frame);
    WriteEthernet(w, broadcast, ends.srcMac, kEtherTypeArp);
    w.U16(1);  // Ethernet
    w.U16(kEtherTypeIpv4);
    w.U8(6);
    w.U8(4);
    w.U16(1);  // request
    w.Append(ends.srcMac.data(), ends.srcMac.size());
    w.U32(ends.srcIp);
    w.Append(unknown.data(), unknown.size());
    w.U32(ends.dstIp);
    return frame;
}

std::optional<RoceView> ParseRoceFrame(const std::uint8_t* frame, std::size_t size) {
    const std::size_t ip = kEthHeaderSize;
    const std::size_t bth = ip + kIpv4HeaderSize + kUdpHeaderSize;
    // The ICRC below is computed over this one header layout only.
    if (size < bth || Read16(frame + 12) != kEtherTypeIpv4 || frame[ip] != 0x45) {
        return std::nullopt;
    }
    const FrameView read = ReadFrame(frame, size);
    // A frame cut short of its IP length lost its ICRC.
    const std::size_t ipEnd = ip + Read16(frame + ip + 2);
    if (!read.HasBth() || ipEnd > size || ipEnd < bth + kBthSize + kIcrcSize) {
        return std::nullopt;
    }
    RoceView view;
    for (std::size_t i = 0; i < 6; ++i) {
        view.srcMac[i] = frame[6 + i];
    }
    view.srcIp = Read32(frame + ip + 12);
    view.opcode = read.bth->GetBthOpcode();
    view.destQp = read.bth->GetDestinationQp();
    view.psn = read.bth->GetPsn();
    view.ackReq = (frame[read.bthOffset + 8] & kAckReqBit) != 0;
    view.ecn = static_cast<std::uint8_t>(frame[ip + 1] & kEcnCe);
    const std::size_t icrcAt = ipEnd - kIcrcSize;
    view.payloadOffset =
        ReadExtendedHeaders(frame, read.bthOffset + kBthSize, icrcAt, view.opcode, view.headers);
    view.payloadSize = icrcAt - view.payloadOffset;
    std::uint32_t stored = 0;
    for (std::size_t i = 0; i < kIcrcSize; ++i) {
        stored |= static_cast<std::uint32_t>(frame[icrcAt + i]) << (8 * i);
    }
    view.icrcValid = stored == ComputeIcrc(frame + ip, icrcAt - ip);
    return view;
}

std::optional<std::uint8_t> IpEcn(const std::uint8_t* frame, std::size_t size) {
    const FrameView read = ReadFrame(frame, size);
    const std::uint8_t* ip = frame + read.ip.offset;
    switch (read.ip.version) {
        case 4:
            return static_cast<std::uint8_t>(ip[1] & kEcnCe);
        case 6:  // the traffic class straddles the first two bytes
            return static_cast<std::uint8_t>((ip[1] >> 4) & kEcnCe);
        default:
            return std::nullopt;
    }
}

}  // namespace roceframes
