#include "wire/PcapngQueue.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace wire {

namespace {

std::size_t PowerOfTwoAtLeast(std::size_t value) {
    std::size_t power = 1;
    while (power < value) {
        power <<= 1;
    }
    return power;
}

std::size_t CellsFor(std::size_t bytes) {
    return (bytes + PcapngQueue::kCellBytes - 1) / PcapngQueue::kCellBytes;
}

}  // namespace

PcapngQueue::PcapngQueue(std::size_t bytes, std::size_t largestRecord)
    : mask_(PowerOfTwoAtLeast(
                std::max(CellsFor(bytes), 2 * CellsFor(sizeof(Header) + largestRecord))) -
            1),
      sequences_(new std::atomic<std::size_t>[mask_ + 1]),
      unwrapped_(sizeof(Header) + largestRecord) {
    void* memory =
        mmap(nullptr, Bytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        throw std::bad_alloc();
    }
    // Huge pages where the kernel gives them: fewer TLB misses still. Without them the queue
    // works the same.
    (void)madvise(memory, Bytes(), MADV_HUGEPAGE);
    bytes_ = static_cast<std::uint8_t*>(memory);
    for (std::size_t i = 0; i <= mask_; ++i) {
        sequences_[i].store(i, std::memory_order_relaxed);
    }
}

PcapngQueue::~PcapngQueue() {
    munmap(bytes_, Bytes());
}

bool PcapngQueue::Claim(std::size_t cells, std::size_t& position) noexcept {
    position = tail_.load(std::memory_order_relaxed);
    for (;;) {
        // The consumer frees cells in order, so the last one free means all of them are.
        const std::size_t last = position + cells - 1;
        const std::size_t sequence = sequences_[last & mask_].load(std::memory_order_acquire);
        const auto lead = static_cast<std::ptrdiff_t>(sequence - last);
        if (lead == 0) {
            if (tail_.compare_exchange_weak(position, position + cells,
                                            std::memory_order_relaxed)) {
                return true;
            }
        } else if (lead < 0) {
            return false;  // the consumer has not yet freed these cells since the last lap
        } else {
            position = tail_.load(std::memory_order_relaxed);  // another producer took them
        }
    }
}

void PcapngQueue::CopyIn(std::size_t offset, const void* data, std::size_t size) noexcept {
    if (size == 0) {
        return;
    }
    offset &= Bytes() - 1;
    const std::size_t beforeEnd = std::min(size, Bytes() - offset);
    std::memcpy(bytes_ + offset, data, beforeEnd);
    if (beforeEnd < size) {
        std::memcpy(bytes_, static_cast<const std::uint8_t*>(data) + beforeEnd, size - beforeEnd);
    }
}

bool PcapngQueue::Push(std::uint32_t interfaceId, std::uint64_t timeNs, std::uint32_t originalSize,
                       const std::uint8_t* data, std::size_t size,
                       std::string_view comment) noexcept {
    const std::size_t recordBytes = sizeof(Header) + size + comment.size();
    if (recordBytes > unwrapped_.size()) {
        return false;
    }
    std::size_t position = 0;
    if (!Claim(CellsFor(recordBytes), position)) {
        return false;
    }
    const Header header{timeNs, interfaceId, originalSize, static_cast<std::uint32_t>(size),
                        static_cast<std::uint32_t>(comment.size())};
    const std::size_t offset = (position & mask_) * kCellBytes;
    CopyIn(offset, &header, sizeof(header));
    CopyIn(offset + sizeof(header), data, size);
    CopyIn(offset + sizeof(header) + size, comment.data(), comment.size());
    sequences_[position & mask_].store(position + 1, std::memory_order_release);
    return true;
}

QueuedFrame PcapngQueue::Read(std::size_t position, std::size_t& cells) {
    const std::size_t offset = (position & mask_) * kCellBytes;
    Header header{};
    std::memcpy(&header, bytes_ + offset, sizeof(header));  // a header never spans the end
    const std::size_t recordBytes = sizeof(Header) + header.size + header.commentSize;
    cells = CellsFor(recordBytes);
    const std::uint8_t* body = bytes_ + offset + sizeof(Header);
    if (offset + recordBytes > Bytes()) {
        const std::size_t beforeEnd = Bytes() - offset - sizeof(Header);
        const std::size_t bodyBytes = recordBytes - sizeof(Header);
        std::memcpy(unwrapped_.data(), body, beforeEnd);
        std::memcpy(unwrapped_.data() + beforeEnd, bytes_, bodyBytes - beforeEnd);
        body = unwrapped_.data();
    }
    return {header.interfaceId,
            header.timeNs,
            header.originalSize,
            body,
            header.size,
            {reinterpret_cast<const char*>(body) + header.size, header.commentSize}};
}

void PcapngQueue::Free(std::size_t position, std::size_t cells) {
    for (std::size_t i = 0; i < cells; ++i) {
        sequences_[(position + i) & mask_].store(position + i + Cells(), std::memory_order_release);
    }
    head_.store(position + cells, std::memory_order_relaxed);
}

std::size_t PcapngQueue::CellsInUse() const {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    const std::size_t head = head_.load(std::memory_order_relaxed);
    return tail > head ? tail - head : 0;
}

}  // namespace wire
