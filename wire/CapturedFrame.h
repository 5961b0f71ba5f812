#pragma once

#include <tins/ethernetII.h>

#include <cstdint>
#include <vector>

namespace wire {

// An Ethernet frame parsed for inspection that also keeps the exact bytes it was built from.
//
// It is an ordinary libtins EthernetII chain (find_pdu, rfind_pdu, clone work as usual), and a
// clone is again a CapturedFrame with the same bytes. Editing the parsed layers does not change
// bytes(): a Sender forwards a CapturedFrame as it arrived.
class CapturedFrame : public Tins::EthernetII {
public:
    // Parses the frame; layers libtins rejects are kept as one RawPDU after the Ethernet header.
    // Throws Tins::malformed_packet only when it is too short for Ethernet.
    CapturedFrame(const uint8_t* data, uint32_t size);
    explicit CapturedFrame(std::vector<uint8_t> bytes);

    // The frame exactly as captured (no padding, checksums untouched).
    const std::vector<uint8_t>& bytes() const { return bytes_; }

    CapturedFrame* clone() const override { return new CapturedFrame(*this); }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace wire
