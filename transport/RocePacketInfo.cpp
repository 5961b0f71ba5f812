#include "transport/RocePacketInfo.h"

#include "transport/Opcode.h"
#include "transport/RoceFrame.h"

namespace {

constexpr std::size_t kIcrcSize = 4;
constexpr std::size_t kRethDmaLengthAt = 12;
constexpr std::size_t kAethSize = 4;

std::uint32_t ReadBigEndian(const std::uint8_t* bytes, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// The bytes after the BTH up to the ICRC.
struct AfterBth {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

    [[nodiscard]] bool Holds(std::size_t offset, std::size_t bytes) const {
        return offset <= size && bytes <= size - offset;
    }
};

AfterBth ExtendedHeaderBytes(const FrameView& frame) {
    const std::size_t begin = frame.bthOffset + kBthSize;
    if (frame.payloadEnd < begin + kIcrcSize || frame.payloadEnd > frame.size) {
        return AfterBth{frame.data + begin, 0};
    }
    return AfterBth{frame.data + begin, frame.payloadEnd - kIcrcSize - begin};
}

}  // namespace

std::optional<RoceHeaders> ReadRoceHeaders(const FrameView& frame) noexcept {
    if (!frame.bth || frame.data == nullptr) {
        return std::nullopt;
    }
    RoceHeaders headers{*frame.bth, std::nullopt, std::nullopt, false};
    const opcode::Info* info = opcode::Find(frame.bth->GetBthOpcode());
    if (info == nullptr) {
        return headers;
    }
    const AfterBth bytes = ExtendedHeaderBytes(frame);
    headers.truncated = !bytes.Holds(0, opcode::ExtendedHeadersSize(*info));
    if (info->Has(opcode::kReth)) {
        const std::size_t at =
            opcode::ExtendedHeaderOffset(*info, opcode::kReth) + kRethDmaLengthAt;
        if (bytes.Holds(at, 4)) {
            headers.dmaLength = ReadBigEndian(bytes.data + at, 4);
        }
    }
    if (info->Has(opcode::kAeth)) {
        const std::size_t at = opcode::ExtendedHeaderOffset(*info, opcode::kAeth);
        if (bytes.Holds(at, kAethSize)) {
            headers.aeth = Aeth(bytes.data[at], ReadBigEndian(bytes.data + at + 1, 3));
        }
    }
    return headers;
}
