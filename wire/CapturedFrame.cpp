#include "wire/CapturedFrame.h"

#include <tins/exceptions.h>
#include <tins/rawpdu.h>

#include <utility>

namespace wire {

namespace {

constexpr uint32_t kEthernetHeaderSize = 14;

// A frame whose inner layers libtins rejects (a runt IP header, a bad length) is still a frame
// to forward: it keeps its Ethernet header and carries the rest unparsed.
Tins::EthernetII ParseLeniently(const uint8_t* data, uint32_t size) {
    try {
        return Tins::EthernetII(data, size);
    } catch (const Tins::malformed_packet&) {
        if (size < kEthernetHeaderSize) {
            throw;
        }
    }
    Tins::EthernetII header(data, kEthernetHeaderSize);
    if (size > kEthernetHeaderSize) {
        header.inner_pdu(new Tins::RawPDU(data + kEthernetHeaderSize, size - kEthernetHeaderSize));
    }
    return header;
}

}  // namespace

CapturedFrame::CapturedFrame(const uint8_t* data, uint32_t size)
    : Tins::EthernetII(ParseLeniently(data, size)), bytes_(data, data + size) {}

CapturedFrame::CapturedFrame(std::vector<uint8_t> bytes)
    : Tins::EthernetII(ParseLeniently(bytes.data(), static_cast<uint32_t>(bytes.size()))),
      bytes_(std::move(bytes)) {}

}  // namespace wire
