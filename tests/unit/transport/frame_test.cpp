#include <gtest/gtest.h>
#include <tins/ethernetII.h>
#include <tins/exceptions.h>

#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

#include "transport/FrameView.h"
#include "transport/Opcode.h"
#include "transport/RoceFrame.h"
#include "transport/RocePacketInfo.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Fields = std::tuple<int, std::uint32_t, std::uint32_t, bool>;

Bytes operator+(Bytes front, const Bytes& back) {
    front.insert(front.end(), back.begin(), back.end());
    return front;
}
Bytes Be16(std::size_t value) {
    return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}
// Only byte 8's reserved bits are set: they count as an acknowledgement request.
const Bytes kBth = {0x04, 0x40, 0xFF, 0xFF, 0x00, 0x12, 0x34, 0x56, 0x01, 0xAB, 0xCD, 0xEF};
const Fields kFields{4, 0x123456, 0xABCDEF, true};

Bytes Ethernet(std::uint16_t type) {
    return Bytes(12, 0x02) + Be16(type);
}
Bytes Tag(std::uint16_t type) {
    return Be16(7) + Be16(type);
}
Bytes Udp(const Bytes& payload, std::uint16_t port = kRocePort) {
    return Be16(49152) + Be16(port) + Be16(8 + payload.size()) + Be16(0) + payload;
}
Bytes Ipv4(const Bytes& inner, std::uint8_t protocol = 17, std::uint16_t fragment = 0,
           std::size_t cut = 0) {
    return Bytes{0x45, 0} + Be16(20 + inner.size() - cut) + Be16(1) + Be16(fragment) +
           Bytes{64, protocol, 0, 0} + Bytes(8, 10) + inner;
}
Bytes Ipv6(const Bytes& inner, std::uint8_t next = 17) {
    return Bytes{0x60, 0, 0, 0} + Be16(inner.size()) + Bytes{next, 64} + Bytes(32, 0xFE) + inner;
}
// One IPv4 option of four bytes with the given type and length.
Bytes Ipv4WithOption(std::uint8_t type, std::uint8_t length, const Bytes& inner) {
    return Bytes{0x46, 0} + Be16(24 + inner.size()) + Be16(1) + Be16(0) + Bytes{64, 17, 0, 0} +
           Bytes(8, 10) + Bytes{type, length, 0, 0} + inner;
}
Bytes MplsLabel(bool bottomOfStack) {
    return Bytes{0, 0x64, static_cast<std::uint8_t>(bottomOfStack ? 1 : 0), 64};
}
Bytes Authentication(const Bytes& inner) {
    return Bytes{17, 1} + Bytes(10) + inner;
}
Bytes Extension(std::uint8_t next, const Bytes& inner) {
    return Bytes{next, 0} + Bytes(6) + inner;
}

std::optional<Fields> FieldsOf(const std::optional<Bth>& bth) {
    return bth ? std::optional<Fields>(
                     {bth->GetBthOpcode(), bth->GetDestinationQp(), bth->GetPsn(), bth->IsAckReq()})
               : std::nullopt;
}

// Roce frames and where their BTH starts.
const std::pair<Bytes, std::size_t> kRoce[] = {
    {Ethernet(0x0800) + Ipv4(Udp(kBth + Bytes{9, 9})), 42},
    {Ethernet(0x8100) + Tag(0x0800) + Ipv4(Udp(kBth)) + Bytes(6), 46},
    {Ethernet(0x88A8) + Tag(0x8100) + Tag(0x86DD) + Ipv6(Udp(kBth)), 70},
    {Ethernet(0x86DD) + Ipv6(Extension(43, Extension(60, Extension(17, Udp(kBth)))), 0), 86},
    {Ethernet(0x0800) + Ipv4(Ipv4(Udp(kBth)), 4), 62},
    {Ethernet(0x8847) + MplsLabel(false) + MplsLabel(true) + Ipv4(Udp(kBth)), 50},
    {Ethernet(0x0800) + Ipv4(Authentication(Udp(kBth)), 51), 54},
    {Ethernet(0x0800) + Ipv4WithOption(7, 4, Udp(kBth)), 46},
};
// Frames that are not RoCE, or RoCE without a whole BTH (toRocePort).
const std::pair<Bytes, bool> kOther[] = {
    {Ethernet(0x0800) + Ipv4(Udp(Bytes(kBth.begin(), kBth.begin() + 11))), true},
    {Ethernet(0x0800) + Ipv4(Udp(kBth), 17, 0, 1) + Bytes(4), true},  // cut by the total length
    {Ethernet(0x0800) + Ipv4(Udp(kBth, 4790)), false},
    {Ethernet(0x0800) + Ipv4(Udp(kBth), 6), false},
    {Ethernet(0x0800) + Ipv4(Udp(kBth), 17, 0x2000), false},  // a first fragment, as libtins has it
    {Ethernet(0x0800) + Ipv4(Udp(kBth), 17, 0x0001), false},
    {Ethernet(0x86DD) + Ipv6(Extension(17, Udp(kBth)), 44), false},
    {Ethernet(0x0806) + Bytes(28), false},
    {Ethernet(0x0800) + Bytes(10), false},
    {Ethernet(0x0800) + Ipv4WithOption(7, 1, Udp(kBth)), false},  // refused by libtins
    {Ethernet(0x0800) + Ipv4WithOption(7, 8, Udp(kBth)), false},
    {Ethernet(0x0800) + Ipv4WithOption(1, 1, Udp(kBth)), false},  // an end of list, then a byte
    {Ethernet(0x0800) + Ipv4(Bytes{17, 0} + Bytes(10) + Udp(kBth), 51), false},  // AH of length 0
    {Ethernet(0x8847) + MplsLabel(false) + Ipv4(Udp(kBth)), false},
};

// Wherever libtins parses the frame, ExtractBth finds the same BTH.
void ExpectAgreement(const Bytes& frame) {
    const std::optional<Fields> read = FieldsOf(ReadFrame(frame.data(), frame.size()).bth);
    try {
        const Tins::EthernetII parsed(frame.data(), static_cast<std::uint32_t>(frame.size()));
        EXPECT_EQ(FieldsOf(ExtractBth(parsed)), read);
    } catch (const Tins::malformed_packet&) {
        EXPECT_FALSE(read);
    }
}

TEST(ReadFrame, TakesEachBthFieldFromItsBytesBehindAnyLayerItKnows) {
    for (const auto& [frame, offset] : kRoce) {
        const FrameView view = ReadFrame(frame.data(), frame.size());
        EXPECT_TRUE(view.toRocePort);
        EXPECT_EQ(FieldsOf(view.bth), kFields) << "offset " << offset;
        EXPECT_EQ(view.bthOffset, offset);
        ExpectAgreement(frame);
    }
    EXPECT_FALSE(ParseBth(nullptr, kBthSize));
    EXPECT_FALSE(ReadFrame(nullptr, 60).toRocePort);
}

TEST(ReadFrame, ShortOrForeignFramesHaveNoBth) {
    for (const auto& [frame, toRocePort] : kOther) {
        const FrameView view = ReadFrame(frame.data(), frame.size());
        EXPECT_EQ(std::make_pair(view.toRocePort, view.HasBth()), std::make_pair(toRocePort, false))
            << &frame - &kOther[0].first;
        ExpectAgreement(frame);
    }
    // Each prefix on a heap block of its own size, so that a read past it is caught.
    const Bytes& whole = kRoce[3].first;
    for (std::size_t size = 0; size < whole.size(); ++size) {
        const Bytes prefix(whole.begin(), whole.begin() + size);
        EXPECT_FALSE(ReadFrame(prefix.data(), prefix.size()).HasBth()) << size;
    }
}

// A BTH with the opcode, then `after` (extended headers and data), then an ICRC unless cut.
Bytes RoceFrame(std::uint8_t opcode, const Bytes& after, bool withIcrc = true) {
    Bytes bth = kBth;
    bth[0] = opcode;
    return Ethernet(0x0800) + Ipv4(Udp(bth + after + (withIcrc ? Bytes(4, 0xC5) : Bytes{})));
}
// Virtual address and R_Key, then the DMA length 0x00012345.
const Bytes kReth = Bytes(12, 0xAA) + Bytes{0x00, 0x01, 0x23, 0x45};
const Bytes kAeth = {0x61, 0xAB, 0xCD, 0xEF};

using Headers = std::tuple<std::optional<std::uint32_t>, std::optional<std::uint32_t>,
                           std::optional<std::uint32_t>, bool>;
std::optional<Headers> HeadersIn(const Bytes& frame) {
    const std::optional<RoceHeaders> headers =
        ReadRoceHeaders(ReadFrame(frame.data(), frame.size()));
    if (!headers) {
        return std::nullopt;
    }
    const auto syndrome =
        headers->aeth ? std::optional(headers->aeth->GetSyndrome()) : std::nullopt;
    const auto msn = headers->aeth ? std::optional(headers->aeth->GetMsn()) : std::nullopt;
    return Headers{headers->dmaLength, syndrome, msn, headers->truncated};
}

// Each header where its opcode puts it, never read out of the ICRC or past the UDP payload.
TEST(ReadRoceHeaders, FindsTheDmaLengthAndTheAethBehindTheHeadersBeforeThem) {
    using namespace opcode;
    constexpr std::nullopt_t none = std::nullopt;
    const Bytes data(20, 0x5A);
    const std::pair<Bytes, Headers> cases[] = {
        {RoceFrame(kRdmaReadRequest, kReth), {0x12345, none, none, false}},
        {RoceFrame(kRdmaWriteOnlyWithImmediate, kReth + Bytes(4, 1) + data),
         {0x12345, none, none, false}},
        {RoceFrame(kUcRdmaWriteOnlyWithImmediate, kReth + Bytes(4, 1)),
         {0x12345, none, none, false}},
        {RoceFrame(kAcknowledge, kAeth), {none, 0x61, 0xABCDEF, false}},
        {RoceFrame(kAtomicAcknowledge, kAeth + Bytes(8, 3)), {none, 0x61, 0xABCDEF, false}},
        {RoceFrame(kRdmaReadResponseLast, kAeth + data), {none, 0x61, 0xABCDEF, false}},
        {RoceFrame(kRdmaReadResponseMiddle, data), {none, none, none, false}},
        {RoceFrame(kUdSendOnly, Bytes(8, 2) + data), {none, none, none, false}},
        {RoceFrame(0xFF, {}), {none, none, none, false}},
        {RoceFrame(kAtomicAcknowledge, kAeth + Bytes(7, 3)), {none, 0x61, 0xABCDEF, true}},
        {RoceFrame(kRdmaReadRequest, Bytes(kReth.begin(), kReth.end() - 1)),
         {none, none, none, true}},
        {RoceFrame(kRdmaReadRequest, kReth, false), {none, none, none, true}},
        {RoceFrame(kAcknowledge, kAeth, false), {none, none, none, true}},
        {RoceFrame(kAcknowledge, {}), {none, none, none, true}},
    };
    for (const auto& [frame, expected] : cases) {
        EXPECT_EQ(HeadersIn(frame), expected) << &frame - &cases[0].first;
        // Ethernet padding after the IP packet is no part of it.
        EXPECT_EQ(HeadersIn(frame + Bytes(8, 0x11)), expected) << &frame - &cases[0].first;
    }
    EXPECT_EQ(HeadersIn(Ethernet(0x0800) + Ipv4(Udp(kBth, 4790))), std::nullopt);
}

}  // namespace
