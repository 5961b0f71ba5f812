// Feeds arbitrary frames to ReadFrame. libFuzzer hands over a buffer of exactly the input's
// size, so AddressSanitizer reports any read past the frame. The view must agree with ExtractBth
// on libtins' parse of the frame, and a frame libtins refuses must not be RoCE: the bench has
// always treated such a frame as Ethernet around bytes it does not look into.
#include <tins/ethernetII.h>
#include <tins/exceptions.h>
#include <tins/ipv6.h>
#include <tins/udp.h>

#include <cstdint>
#include <cstdio>
#include <optional>

#include "transport/FrameView.h"
#include "transport/RoceFrame.h"
#include "transport/RocePacketInfo.h"

namespace {

bool SameBth(const Bth& a, const Bth& b) {
    return a.GetBthOpcode() == b.GetBthOpcode() && a.GetDestinationQp() == b.GetDestinationQp() &&
           a.GetPsn() == b.GetPsn() && a.IsAckReq() == b.IsAckReq();
}

// The IPv6 extensions ReadFrame deliberately does not walk (ESP, AH, no next header, mobility).
bool ReadFrameStopsEarlier(const Tins::PDU& frame) {
    for (const Tins::PDU* layer = &frame; layer != nullptr; layer = layer->inner_pdu()) {
        if (layer->pdu_type() != Tins::PDU::IPv6) {
            continue;
        }
        for (const auto& header : static_cast<const Tins::IPv6*>(layer)->headers()) {
            const std::uint8_t id = header.option();
            if (id == 50 || id == 51 || id == 59 || id == 135) {
                return true;
            }
        }
    }
    return false;
}

// An untagged IPv4 packet with options: libtins reads some malformed options (a zero length, for
// one) in ways of its own, and the frame reader does not follow it there; its reading of them
// is tested on its own.
bool HasIpv4Options(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kEthernet = 14;
    return size > kEthernet && data[12] == 0x08 && data[13] == 0x00 &&
           (data[kEthernet] & 0x0F) > 5;
}

void ExpectThat(bool holds, const char* otherwise) {
    if (!holds) {
        std::fprintf(stderr, "read_frame_fuzz: %s\n", otherwise);
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FrameView view = ReadFrame(data, size);
    // The extended headers are read from the same view: AddressSanitizer watches the reads.
    ExpectThat(ReadRoceHeaders(view).has_value() == view.HasBth(),
               "RoCE headers without a BTH, or a BTH without them");
    if (view.HasBth()) {
        ExpectThat(view.bthOffset <= view.size && view.size - view.bthOffset >= kBthSize,
                   "BTH offset outside the frame");
        const std::optional<Bth> again = ParseBth(view.data + view.bthOffset, kBthSize);
        ExpectThat(again && SameBth(*again, *view.bth), "BTH offset does not point at the BTH");
    }
    if (HasIpv4Options(data, size)) {
        return 0;
    }
    std::optional<Tins::EthernetII> frame;
    try {
        frame.emplace(data, static_cast<std::uint32_t>(size));
    } catch (const Tins::malformed_packet&) {
        ExpectThat(!view.toRocePort && !view.HasBth(), "RoCE in a frame libtins refuses");
        return 0;
    } catch (const Tins::exception_base&) {
        return 0;
    }
    if (!ReadFrameStopsEarlier(*frame)) {
        const auto* udp = frame->find_pdu<Tins::UDP>();
        ExpectThat(view.toRocePort == (udp != nullptr && udp->dport() == kRocePort),
                   "RoCE port differs from libtins");
        const std::optional<Bth> expected = ExtractBth(*frame);
        ExpectThat(
            expected.has_value() == view.HasBth() && (!expected || SameBth(*expected, *view.bth)),
            "BTH differs from ExtractBth");
    }
    return 0;
}
