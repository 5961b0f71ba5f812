#include "wire/PcapngQueue.h"

#include <algorithm>
#include <cstring>

namespace wire {

namespace {

std::size_t PowerOfTwoAtLeast(std::size_t value) {
    std::size_t power = 1;
    while (power < value) {
        power <<= 1;
    }
    return power;
}

// A comment cut to fit must not end inside a UTF-8 character, or readers reject the comment.
std::size_t Utf8Prefix(std::string_view text, std::size_t room) {
    if (text.size() <= room) {
        return text.size();
    }
    std::size_t size = room;
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) {
        --size;
    }
    return size;
}

}  // namespace

PcapngQueue::PcapngQueue(std::size_t slots, std::size_t slotBytes)
    : mask_(PowerOfTwoAtLeast(std::max<std::size_t>(slots, 1)) - 1),
      slotBytes_(slotBytes),
      cells_(new Cell[mask_ + 1]),
      bytes_(new std::uint8_t[(mask_ + 1) * slotBytes]) {
    for (std::size_t i = 0; i <= mask_; ++i) {
        cells_[i].sequence.store(i, std::memory_order_relaxed);
    }
}

bool PcapngQueue::Claim(std::size_t& position) noexcept {
    position = tail_.load(std::memory_order_relaxed);
    for (;;) {
        const std::size_t sequence =
            cells_[position & mask_].sequence.load(std::memory_order_acquire);
        const auto lead = static_cast<std::ptrdiff_t>(sequence - position);
        if (lead == 0) {
            if (tail_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                return true;
            }
        } else if (lead < 0) {
            return false;  // the consumer has not freed this slot since the last lap
        } else {
            position = tail_.load(std::memory_order_relaxed);  // another producer took it
        }
    }
}

bool PcapngQueue::Push(std::uint32_t interfaceId, std::uint64_t timeNs, const std::uint8_t* data,
                       std::size_t size, std::size_t frameRoom, std::string_view comment) noexcept {
    std::size_t position = 0;
    if (!Claim(position)) {
        return false;
    }
    Cell& cell = cells_[position & mask_];
    std::uint8_t* bytes = SlotData(position);
    const std::size_t kept = std::min({size, frameRoom, slotBytes_});
    const std::size_t commentKept = Utf8Prefix(comment, slotBytes_ - kept);
    if (kept > 0) {
        std::memcpy(bytes, data, kept);
    }
    if (commentKept > 0) {
        std::memcpy(bytes + kept, comment.data(), commentKept);
    }
    cell.interfaceId = interfaceId;
    cell.timeNs = timeNs;
    cell.originalSize = static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX));
    cell.size = static_cast<std::uint32_t>(kept);
    cell.commentSize = static_cast<std::uint32_t>(commentKept);
    // Sequentially consistent, so that the writer going to sleep sees this frame or its
    // producer sees the writer asleep (see PcapngWriter::WaitForFrames).
    cell.sequence.store(position + 1);
    return true;
}

}  // namespace wire
