#include "transport/FrameView.h"

#include <algorithm>

#include "transport/RoceFrame.h"

// The layer rules follow what libtins 4.0 does with a captured frame, so that this reader and
// ExtractBth call the same frames RoCE. Where they part, on purpose, is noted at the place.
namespace {

constexpr std::size_t kEthernetHeaderSize = 14;
constexpr std::size_t kVlanTagSize = 4;
constexpr std::size_t kIpv4MinHeaderSize = 20;
constexpr std::size_t kIpv6HeaderSize = 40;
constexpr std::size_t kUdpHeaderSize = 8;

constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;
constexpr std::uint16_t kTagCustomer = 0x8100;
constexpr std::uint16_t kTagService = 0x88A8;
constexpr std::uint16_t kTagServiceLegacy = 0x9100;
constexpr std::uint16_t kEtherTypeMpls = 0x8847;
constexpr std::size_t kMplsLabelSize = 4;

// IP protocol numbers; an Ethertype is mapped onto the first two so that one loop walks
// Ethernet's payload and tunnelled IP alike.
constexpr std::uint8_t kProtocolIpv4 = 4;
constexpr std::uint8_t kProtocolIpv6 = 41;
constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::uint8_t kProtocolAuthentication = 51;
constexpr std::size_t kMinAuthenticationSize = 12;
constexpr std::uint8_t kProtocolNone = 255;

constexpr std::uint8_t kHopByHop = 0;
constexpr std::uint8_t kRouting = 43;
constexpr std::uint8_t kDestinationOptions = 60;
constexpr std::size_t kMinExtensionSize = 8;

// Both the more-fragments flag and the offset: a first fragment is no UDP datagram either.
constexpr std::uint16_t kFragmentBits = 0x3FFF;

// The bytes [begin, end) of a layer's payload and the protocol they carry.
struct Payload {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::uint8_t protocol = kProtocolNone;

    [[nodiscard]] std::size_t Size() const { return end - begin; }
};

constexpr Payload kNothing{};

std::uint16_t Read16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

bool IsVlanTag(std::uint16_t etherType) {
    return etherType == kTagCustomer || etherType == kTagService || etherType == kTagServiceLegacy;
}

// Labels up to the one that ends the stack; what follows is IP by its version nibble.
Payload ReadMpls(const std::uint8_t* data, Payload at) {
    while (at.Size() >= kMplsLabelSize) {
        const bool bottomOfStack = (data[at.begin + 2] & 0x01) != 0;
        at.begin += kMplsLabelSize;
        if (bottomOfStack) {
            const unsigned version = at.Size() > 0 ? data[at.begin] >> 4 : 0;
            at.protocol = version == 4   ? kProtocolIpv4
                          : version == 6 ? kProtocolIpv6
                                         : kProtocolNone;
            return at;
        }
    }
    return kNothing;
}

// Any number of tags, as libtins takes them.
Payload ReadEthernet(const std::uint8_t* data, std::size_t size) {
    if (size < kEthernetHeaderSize) {
        return kNothing;
    }
    std::size_t offset = kEthernetHeaderSize;
    std::uint16_t etherType = Read16(data + offset - 2);
    while (IsVlanTag(etherType)) {
        if (size - offset < kVlanTagSize) {
            return kNothing;
        }
        etherType = Read16(data + offset + 2);
        offset += kVlanTagSize;
    }
    if (etherType == kEtherTypeMpls) {
        return ReadMpls(data, Payload{offset, size, kProtocolNone});
    }
    const std::uint8_t protocol = etherType == kEtherTypeIpv4   ? kProtocolIpv4
                                  : etherType == kEtherTypeIpv6 ? kProtocolIpv6
                                                                : kProtocolNone;
    return Payload{offset, size, protocol};
}

// Every option byte is walked, and an end-of-list anywhere but in the last byte, or an option
// whose length is under 2 or runs past the header, makes the whole frame unreadable, as libtins
// has it.
bool HasWellFormedOptions(const std::uint8_t* options, std::size_t size) {
    constexpr std::uint8_t kEndOfList = 0, kNoOperation = 1;
    std::size_t at = 0;
    while (at < size) {
        if (options[at] == kEndOfList && at + 1 < size) {
            return false;
        }
        if (options[at] == kEndOfList || options[at] == kNoOperation) {
            ++at;
            continue;
        }
        if (size - at < 2 || options[at + 1] < 2 || options[at + 1] > size - at) {
            return false;
        }
        at += options[at + 1];
    }
    return true;
}

// The version nibble is not checked: the Ethertype or protocol decides, as in libtins.
Payload ReadIpv4(const std::uint8_t* data, const Payload& at) {
    if (at.Size() < kIpv4MinHeaderSize) {
        return kNothing;
    }
    const std::uint8_t* header = data + at.begin;
    const std::size_t headerSize = std::size_t{header[0] & 0x0Fu} * 4;
    if (headerSize < kIpv4MinHeaderSize || headerSize > at.Size() ||
        !HasWellFormedOptions(header + kIpv4MinHeaderSize, headerSize - kIpv4MinHeaderSize)) {
        return kNothing;
    }
    const std::size_t available = at.Size() - headerSize;
    const std::size_t totalLength = Read16(header + 2);
    // Ethernet padding ends where the total length says. A total length shorter than the
    // header (0 under segmentation offload) leaves the datagram running to the frame's end.
    const std::size_t payloadSize =
        totalLength < headerSize ? available : std::min(available, totalLength - headerSize);
    const bool fragment = (Read16(header + 6) & kFragmentBits) != 0;
    const std::uint8_t protocol = fragment ? kProtocolNone : header[9];
    return Payload{at.begin + headerSize, at.begin + headerSize + payloadSize, protocol};
}

bool IsWalkedExtension(std::uint8_t nextHeader) {
    return nextHeader == kHopByHop || nextHeader == kRouting || nextHeader == kDestinationOptions;
}

// libtins also walks authentication, ESP, mobility and no-next-header as if they were
// options headers; here they end the walk, and what follows is no UDP. A fragment header ends
// it too.
Payload ReadIpv6(const std::uint8_t* data, const Payload& at) {
    if (at.Size() < kIpv6HeaderSize) {
        return kNothing;
    }
    const std::uint8_t* header = data + at.begin;
    const std::size_t payloadSize = Read16(header + 4);
    std::uint8_t nextHeader = header[6];
    std::size_t offset = at.begin + kIpv6HeaderSize;
    if (payloadSize > at.end - offset) {
        return kNothing;
    }
    const std::size_t end = offset + payloadSize;
    while (IsWalkedExtension(nextHeader)) {
        if (end - offset < kMinExtensionSize) {
            return kNothing;
        }
        const std::size_t extensionSize = (std::size_t{data[offset + 1]} + 1) * 8;
        if (extensionSize > end - offset) {
            return kNothing;
        }
        nextHeader = data[offset];
        offset += extensionSize;
    }
    return Payload{offset, end, nextHeader};
}

// An IPv4 authentication header: its length counts 4-byte words beyond the first two.
Payload ReadAuthentication(const std::uint8_t* data, const Payload& at) {
    if (at.Size() < kMinAuthenticationSize) {
        return kNothing;
    }
    // A length of 0 would make it shorter than its own fixed fields: malformed, as libtins has it.
    const std::size_t size = (std::size_t{data[at.begin + 1]} + 2) * 4;
    if (size < kMinAuthenticationSize || size > at.Size()) {
        return kNothing;
    }
    return Payload{at.begin + size, at.end, data[at.begin]};
}

// The innermost IP payload that is not IP again: tunnels, and an authentication header behind
// IPv4, are followed, as libtins does. Each round consumes a header of at least 12 bytes, so
// the walk ends. `innermostIp` is where the last IP header read begins.
Payload ReadNetwork(const std::uint8_t* data, std::size_t size, FrameView::IpHeader& innermostIp) {
    Payload payload = ReadEthernet(data, size);
    while (payload.protocol == kProtocolIpv4 || payload.protocol == kProtocolIpv6) {
        const bool fromIpv4 = payload.protocol == kProtocolIpv4;
        innermostIp = {payload.begin, static_cast<std::uint8_t>(fromIpv4 ? 4 : 6)};
        payload = fromIpv4 ? ReadIpv4(data, payload) : ReadIpv6(data, payload);
        if (fromIpv4 && payload.protocol == kProtocolAuthentication) {
            payload = ReadAuthentication(data, payload);
        }
    }
    return payload;
}

}  // namespace

FrameView ReadFrame(const std::uint8_t* data, std::size_t size) noexcept {
    FrameView view;
    view.data = data;
    view.size = size;
    if (data == nullptr) {
        return view;
    }
    FrameView::IpHeader ip;
    const Payload udp = ReadNetwork(data, size, ip);
    if (udp.protocol != kProtocolUdp || udp.Size() < kUdpHeaderSize) {
        return view;
    }
    view.ip = ip;
    view.toRocePort = Read16(data + udp.begin + 2) == kRocePort;
    // The UDP length field is not consulted: the payload runs to the end of the IP payload.
    const std::size_t payloadBegin = udp.begin + kUdpHeaderSize;
    if (view.toRocePort) {
        view.bth = ParseBth(data + payloadBegin, udp.end - payloadBegin);
        view.bthOffset = view.bth ? payloadBegin : 0;
        view.payloadEnd = view.bth ? udp.end : 0;
    }
    return view;
}
