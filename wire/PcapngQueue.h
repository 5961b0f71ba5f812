#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace wire {

// A frame as it waits in the queue: views that stay valid while it is being consumed.
struct QueuedFrame {
    std::uint32_t interfaceId = 0;
    std::uint64_t timeNs = 0;
    std::uint32_t originalSize = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
    std::string_view comment;
};

// A bounded queue of frame copies between any number of frame threads and one consuming
// thread. Its memory is allocated once: a ring of small cells in which each frame, with its
// comment, takes as many consecutive cells as it needs. Frames therefore lie side by side, as
// few pages apart as their sizes allow (slots as large as the largest frame cost a frame thread
// a TLB miss per frame, measured at about 200 ns here). Pushing never allocates, locks or
// waits: a queue without room refuses the frame.
class PcapngQueue {
public:
    static constexpr std::size_t kCellBytes = 128;

    // Room for about `bytes` of frames and comments, at least twice `largestRecord` (a frame and
    // its comment); rounded up to a power of two of cells. Throws std::bad_alloc.
    PcapngQueue(std::size_t bytes, std::size_t largestRecord);
    ~PcapngQueue();
    PcapngQueue(const PcapngQueue&) = delete;
    PcapngQueue& operator=(const PcapngQueue&) = delete;

    // Copies the frame and its comment; the caller keeps them within the largest record. False
    // when the queue has no room for them. Any thread.
    [[nodiscard]] bool Push(std::uint32_t interfaceId, std::uint64_t timeNs,
                            std::uint32_t originalSize, const std::uint8_t* data, std::size_t size,
                            std::string_view comment) noexcept;

    // Hands the oldest complete frame to `consume`, then frees its cells; false when there is
    // none. The consuming thread only.
    template <class Consumer>
    bool Pop(Consumer&& consume) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (sequences_[head & mask_].load(std::memory_order_acquire) != head + 1) {
            return false;
        }
        std::size_t cells = 0;
        consume(Read(head, cells));
        Free(head, cells);
        return true;
    }

    // About how many cells are taken; exact only when nothing moves.
    [[nodiscard]] std::size_t CellsInUse() const;
    [[nodiscard]] std::size_t Cells() const { return mask_ + 1; }
    [[nodiscard]] std::size_t Bytes() const { return Cells() * kCellBytes; }

private:
    struct Header {
        std::uint64_t timeNs;
        std::uint32_t interfaceId;
        std::uint32_t originalSize;
        std::uint32_t size;
        std::uint32_t commentSize;
    };

    bool Claim(std::size_t cells, std::size_t& position) noexcept;
    void CopyIn(std::size_t offset, const void* data, std::size_t size) noexcept;
    QueuedFrame Read(std::size_t position, std::size_t& cells);
    void Free(std::size_t position, std::size_t cells);

    const std::size_t mask_;
    std::uint8_t* bytes_ = nullptr;  // Cells() * kCellBytes, mapped
    // Per cell: equal to a producer's position, it is free for that position; one more, it
    // starts that position's complete frame for the consumer.
    std::unique_ptr<std::atomic<std::size_t>[]> sequences_;
    std::vector<std::uint8_t> unwrapped_;  // the consumer's copy of a frame split by the ring's end
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) std::atomic<std::size_t> head_{0};  // written by the consumer only
};

}  // namespace wire
