#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace wire {

// A bounded queue from exactly one producing thread to exactly one consuming thread. Pushing and
// popping take no lock and make no system call; only a consumer that has found the ring empty and
// gone to sleep costs its producer a wake-up.
template <class T>
class SpscRing {
public:
    // Holds `capacity` items, rounded up to a power of two.
    explicit SpscRing(std::size_t capacity) : slots_(RoundUp(capacity)), mask_(slots_.size() - 1) {}
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    std::size_t Capacity() const { return slots_.size(); }

    // Producer: false when the ring is full. Wakes nobody; Wake does, after a batch.
    [[nodiscard]] bool TryPush(T item) {
        const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == slots_.size()) {
            return false;
        }
        slots_[tail & mask_] = std::move(item);
        // Sequentially consistent, paired with the consumer's announcement that it sleeps: of the
        // two, at least one sees the other, so an item is never left behind a sleeping consumer.
        tail_.store(tail + 1, std::memory_order_seq_cst);
        return true;
    }

    // Producer: wakes the consumer if it sleeps.
    void Wake() {
        if (sleeping_.load(std::memory_order_seq_cst)) {
            std::lock_guard<std::mutex> lock(mutex_);
            wakeUp_.notify_one();
        }
    }

    // Consumer: the oldest item, if any.
    [[nodiscard]] std::optional<T> TryPop() {
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            return std::nullopt;
        }
        std::optional<T> item(std::move(slots_[head & mask_]));
        head_.store(head + 1, std::memory_order_release);
        return item;
    }

    // Consumer: sleeps until an item is there, Interrupt was called or `deadline` has passed.
    // False when interrupted.
    bool WaitForItem(std::optional<std::chrono::steady_clock::time_point> deadline = {}) {
        std::unique_lock<std::mutex> lock(mutex_);
        sleeping_.store(true, std::memory_order_seq_cst);
        const auto ready = [this] { return interrupted_ || !Empty(); };
        if (deadline) {
            wakeUp_.wait_until(lock, *deadline, ready);
        } else {
            wakeUp_.wait(lock, ready);
        }
        sleeping_.store(false, std::memory_order_relaxed);
        return !interrupted_;
    }

    // Any thread: wakes the consumer and makes its later waits return false at once.
    void Interrupt() {
        std::lock_guard<std::mutex> lock(mutex_);
        interrupted_ = true;
        wakeUp_.notify_all();
    }

    // Either thread; exact only for the consumer.
    [[nodiscard]] bool Empty() const {
        return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_seq_cst);
    }
    [[nodiscard]] std::size_t Size() const {
        return static_cast<std::size_t>(tail_.load(std::memory_order_acquire) -
                                        head_.load(std::memory_order_acquire));
    }

private:
    static std::size_t RoundUp(std::size_t capacity) {
        std::size_t size = 1;
        while (size < capacity) {
            size <<= 1;
        }
        return size;
    }

    std::vector<T> slots_;
    const std::size_t mask_;
    // Apart, so that the two threads do not share a cache line for them.
    alignas(64) std::atomic<std::uint64_t> head_{0};
    alignas(64) std::atomic<std::uint64_t> tail_{0};
    alignas(64) std::atomic<bool> sleeping_{false};
    std::mutex mutex_;
    std::condition_variable wakeUp_;
    bool interrupted_ = false;  // under mutex_
};

}  // namespace wire
