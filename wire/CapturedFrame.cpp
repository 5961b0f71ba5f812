#include "wire/CapturedFrame.h"

#include <utility>

namespace wire {

CapturedFrame::CapturedFrame(const uint8_t* data, uint32_t size)
    : Tins::EthernetII(data, size), bytes_(data, data + size) {}

CapturedFrame::CapturedFrame(std::vector<uint8_t> bytes)
    : Tins::EthernetII(bytes.data(), static_cast<uint32_t>(bytes.size())),
      bytes_(std::move(bytes)) {}

}  // namespace wire
