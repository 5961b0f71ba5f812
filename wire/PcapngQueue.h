#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace wire {

// A frame as it waits in the queue: views into its slot, valid while the slot is being read.
struct QueuedFrame {
    std::uint32_t interfaceId = 0;
    std::uint64_t timeNs = 0;
    std::uint32_t originalSize = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;  // the bytes kept, at most the slot's room
    std::string_view comment;
};

// A bounded queue of frame copies between any number of frame threads and one writer thread.
// Every slot is allocated up front with room for `slotBytes` of frame and comment, so pushing
// never allocates, never locks and never waits: a full queue refuses the frame.
class PcapngQueue {
public:
    // `slots` is rounded up to a power of two.
    PcapngQueue(std::size_t slots, std::size_t slotBytes);
    PcapngQueue(const PcapngQueue&) = delete;
    PcapngQueue& operator=(const PcapngQueue&) = delete;

    // Copies at most `frameRoom` bytes of the frame (and at most `SlotBytes()` in all), then as
    // much of the comment as still fits. False when every slot is taken. Any thread.
    [[nodiscard]] bool Push(std::uint32_t interfaceId, std::uint64_t timeNs,
                            const std::uint8_t* data, std::size_t size, std::size_t frameRoom,
                            std::string_view comment) noexcept;

    // Hands the oldest complete frame to `consume`, then frees its slot; false when there is
    // none. The one consuming thread only.
    template <class Consumer>
    bool Pop(Consumer&& consume) {
        Cell& cell = cells_[head_ & mask_];
        if (cell.sequence.load() != head_ + 1) {
            return false;
        }
        const std::uint8_t* bytes = SlotData(head_);
        QueuedFrame frame{cell.interfaceId,
                          cell.timeNs,
                          cell.originalSize,
                          bytes,
                          cell.size,
                          {reinterpret_cast<const char*>(bytes) + cell.size, cell.commentSize}};
        consume(frame);
        cell.sequence.store(head_ + mask_ + 1);
        ++head_;
        return true;
    }

    // Whether the oldest slot holds a complete frame. The consuming thread only.
    [[nodiscard]] bool HasFrame() const {
        return cells_[head_ & mask_].sequence.load() == head_ + 1;
    }

    [[nodiscard]] std::size_t Slots() const { return mask_ + 1; }
    [[nodiscard]] std::size_t SlotBytes() const { return slotBytes_; }

private:
    // The sequence tells who owns the cell: equal to a producer's position, it is free for that
    // position; one more, it holds that position's frame for the consumer.
    struct alignas(64) Cell {
        std::atomic<std::size_t> sequence{0};
        std::uint32_t interfaceId = 0;
        std::uint64_t timeNs = 0;
        std::uint32_t originalSize = 0;
        std::uint32_t size = 0;
        std::uint32_t commentSize = 0;
    };

    std::uint8_t* SlotData(std::size_t position) const {
        return bytes_.get() + (position & mask_) * slotBytes_;
    }
    bool Claim(std::size_t& position) noexcept;

    const std::size_t mask_;
    const std::size_t slotBytes_;
    std::unique_ptr<Cell[]> cells_;
    // Not value-initialised: pages are touched only once frames use them.
    std::unique_ptr<std::uint8_t[]> bytes_;
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) std::size_t head_ = 0;
};

}  // namespace wire
