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

namespace {

bool SameBth(const Bth& a, const Bth& b) {
    return a.GetBthOpcode() == b.GetBthOpcode() && a.GetDestinationQp() == b.GetDestinationQp() &&
           a.GetPsn() == b.GetPsn() && a.IsAckReq() == b.IsAckReq();
}

bool IsUnwalkedExtension(std::uint8_t id) {
    return id == 50 || id == 51 || id == 59 || id == 135;
}

// The IPv6 headers ReadFrame deliberately leaves alone.
bool ReadFrameStopsEarlier(const Tins::PDU& frame) {
    for (const Tins::PDU* layer = &frame; layer != nullptr; layer = layer->inner_pdu()) {
        if (layer->pdu_type() != Tins::PDU::IPv6) {
            continue;
        }
        for (const Tins::IPv6::ext_header& header :
             static_cast<const Tins::IPv6*>(layer)->headers()) {
            if (IsUnwalkedExtension(header.option())) {
                return true;
            }
        }
    }
    return false;
}

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "read_frame_fuzz: %s\n", what);
    __builtin_trap();
}

void CheckOffset(const FrameView& view) {
    if (view.bthOffset > view.size || view.size - view.bthOffset < kBthSize) {
        Finding("BTH offset outside the frame");
    }
    const std::optional<Bth> again = ParseBth(view.data + view.bthOffset, kBthSize);
    if (!again || !SameBth(*again, *view.bth)) {
        Finding("BTH offset does not point at the BTH");
    }
}

void CheckAgainstLibtins(const FrameView& view, const Tins::EthernetII& frame) {
    if (ReadFrameStopsEarlier(frame)) {
        return;
    }
    const auto* udp = frame.find_pdu<Tins::UDP>();
    if (view.toRocePort != (udp != nullptr && udp->dport() == kRocePort)) {
        Finding("RoCE port differs from libtins");
    }
    const std::optional<Bth> expected = ExtractBth(frame);
    if (expected.has_value() != view.HasBth() || (expected && !SameBth(*expected, *view.bth))) {
        Finding("BTH differs from ExtractBth");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FrameView view = ReadFrame(data, size);
    if (view.HasBth()) {
        CheckOffset(view);
    }
    std::optional<Tins::EthernetII> frame;
    try {
        frame.emplace(data, static_cast<std::uint32_t>(size));
    } catch (const Tins::malformed_packet&) {
        if (view.toRocePort || view.HasBth()) {
            Finding("RoCE in a frame libtins refuses");
        }
        return 0;
    } catch (const Tins::exception_base&) {
        return 0;
    }
    CheckAgainstLibtins(view, *frame);
    return 0;
}
