#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <utility>

#include "modifier/ModifierParams.h"

// A source of draws with the range of std::rand (0 to RAND_MAX).
using RandomSource = std::function<int()>;

// std::rand, under one lock for the whole process: every injector of a run draws from the one
// unseeded sequence, so the same traffic in the same order meets the same decisions.
int CLibraryRandom();

// Draws of each operation, indexed by ModifierOperation.
using OperationCounters = std::array<std::int64_t, OPERATION_LAST>;

// The four counter lines ("Number of None: " ...), decimal, each ended and flushed.
void WriteOperationCounters(std::ostream& out, const OperationCounters& counters);

// The injected delay: spins for `milliseconds` of wall time (nothing for 0 or less), so a held
// packet leaves as soon as its time is up and busy threads elsewhere do not shorten it. A
// `keepWaiting` flag that is cleared ends the wait early (a stop must not wait out a delay).
void WaitMilliseconds(int milliseconds, const std::atomic<bool>* keepWaiting = nullptr);

// The decisions of one fault injector, apart from the packets it holds: the operation of each
// release, which buffered packet the release takes (reordering episodes), and a delay's length.
// Draws come in a fixed order per release: the operation; on a reorder that starts an episode,
// its pop point and then its length; on a delay, its length. Not thread-safe on its own.
class ReleasePolicy {
public:
    struct Decision {
        ModifierOperation operation;  // OPERATION_LAST when no slice was drawn: sent unchanged
        std::size_t index;            // position in the buffer, oldest first
        int delayMs;                  // for OPERATION_DELAY, else 0
    };

    explicit ReleasePolicy(RandomSource random);

    // Takes the parameters and ends any reordering episode; the counters stay.
    void Configure(const ModifierParams& params);
    // Decides one release from a buffer that holds `buffered` (at least one) packets.
    [[nodiscard]] Decision Decide(std::size_t buffered);
    [[nodiscard]] const OperationCounters& Counters() const { return counters_; }

private:
    int Between(int min, int max);
    ModifierOperation DrawOperation();
    void StartEpisodeIfDue(ModifierOperation operation);
    std::size_t SelectIndex(std::size_t buffered) const;
    void AdvanceEpisode();

    RandomSource random_;
    ModifierParams params_;
    std::uint32_t popPoint_ = 0;
    std::uint32_t remainingInEpisode_ = 0;
    OperationCounters counters_{};
};

// The buffer of one fault injector: packets go in on one thread and are released on another,
// each release passed, dropped, delayed or reordered by its ReleasePolicy. `Packet` is any
// move-constructible and move-assignable type (a captured frame's bytes, an owned libtins chain).
// Every member may be called from any thread.
template <class Packet>
class FaultBuffer {
public:
    struct Release {
        Packet packet;
        ModifierOperation operation;
        int delayMs;  // the caller waits it (WaitMilliseconds) before sending

        [[nodiscard]] bool IsValid() const { return operation != OPERATION_DROP; }
    };

    explicit FaultBuffer(RandomSource random = CLibraryRandom) : policy_(std::move(random)) {}
    FaultBuffer(const FaultBuffer&) = delete;
    FaultBuffer& operator=(const FaultBuffer&) = delete;

    void Configure(const ModifierParams& params) {
        std::lock_guard<std::mutex> lock(mutex_);
        policy_.Configure(params);
    }

    // Appends the packet at the back and wakes a waiting release.
    void Add(Packet packet) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            packets_.push_back(std::move(packet));
            size_.store(static_cast<int>(packets_.size()), std::memory_order_release);
        }
        arrived_.notify_one();
    }

    // Packets held; lock-free.
    [[nodiscard]] int Size() const { return size_.load(std::memory_order_acquire); }

    // Decides and takes out one release; nothing (and no draw) when the buffer is empty.
    [[nodiscard]] std::optional<Release> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (packets_.empty()) {
            return std::nullopt;
        }
        const ReleasePolicy::Decision decision = policy_.Decide(packets_.size());
        auto selected = packets_.begin() + static_cast<std::ptrdiff_t>(decision.index);
        Release release{std::move(*selected), decision.operation, decision.delayMs};
        packets_.erase(selected);
        size_.store(static_cast<int>(packets_.size()), std::memory_order_release);
        return release;
    }

    // Blocks until a packet is held (true) or Interrupt was called (false, also when packets
    // are held). Draws nothing.
    [[nodiscard]] bool WaitForPacket() {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait(lock, [this] { return interrupted_ || !packets_.empty(); });
        return !interrupted_;
    }

    // Wakes every waiter and makes later waits return false at once.
    void Interrupt() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            interrupted_ = true;
        }
        arrived_.notify_all();
    }

    [[nodiscard]] OperationCounters Counters() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return policy_.Counters();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    bool interrupted_ = false;
    std::deque<Packet> packets_;
    ReleasePolicy policy_;
    std::atomic<int> size_{0};
};
