#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wire/FrameDispatcher.h"

namespace wire {

// "in" for frames arriving at a port, "out" for frames leaving it.
const char* DirectionName(pcap_direction_t direction);

// Called after each run of frames handed over from one wake-up, before their bytes are released:
// frames the callback kept pointers to may still be read (and sent) here.
using BatchEndCallback = std::function<void()>;

// Captures the frames of one port in one direction from a ring the kernel fills and hands each
// one, on the capture's own thread, to a callback: every frame that is ready at a wake-up, then
// the batch callback. An arriving capture sees no frame sent out of the port on this host. Open,
// Start, RequestStop and Stop are called from one controlling thread, never from the callbacks.
class Capture {
public:
    Capture(std::string interfaceName, pcap_direction_t direction, FrameCallback callback,
            BatchEndCallback batchEnd = nullptr);
    ~Capture();  // stops
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Opens the port for capture; throws wire::Error naming the port and reason. Every frame of
    // this direction that reaches the port after Open returns is captured, whole up to the port's
    // MTU. Opening twice does nothing; a stopped capture stays stopped.
    void Open();
    // The CPUs the capture thread may run on (none: wherever the scheduler puts it). Before Start.
    void Place(std::vector<int> cpus) { cpus_ = std::move(cpus); }
    // Runs the capture loop on a new thread; frames captured since Open are delivered first.
    // Throws wire::Error when the thread cannot start or be placed.
    void Start();
    // Closes the intake at once, so no frame reaching the port from now on is taken in, and
    // wakes the loop; it then hands over what was already captured until `deadline` and counts
    // the rest as unhandled. Does not wait. Only the first request's deadline counts.
    void RequestStop(std::chrono::steady_clock::time_point deadline);
    // Requests a stop within `budget` unless one was requested already, joins the thread and
    // closes the capture. A capture that was never started hands over nothing: what it
    // captured is counted as unhandled. Idempotent.
    void Stop(std::chrono::milliseconds budget = std::chrono::milliseconds(500));

    const std::string& InterfaceName() const { return interfaceName_; }
    pcap_direction_t Direction() const { return direction_; }
    // "enp1s0f1 in": the port and direction, as loss reports name them.
    std::string Label() const;
    // Frames the ring holds at most.
    [[nodiscard]] std::size_t RingFrames() const { return slotCount_; }

    [[nodiscard]] uint64_t FramesSeen() const { return dispatcher_.FramesSeen(); }
    // Frames the kernel took in for this capture, those it dropped included; known once stopped.
    [[nodiscard]] uint64_t FramesTakenIn() const { return framesTakenIn_.load(); }
    // Losses so far; the kernel's drops and the frames left at the stop are known once stopped.
    [[nodiscard]] CaptureLosses Losses() const;
    // Brings the kernel's drops and FramesTakenIn up to date while the capture runs. From one
    // thread at a time, and not once Stop has begun.
    void RefreshKernelStatistics() { ReadKernelStatistics(); }

private:
    void Activate();
    void MapRing(int frameBytes);
    void Run();
    void WaitForFrames();
    // Hands over what is ready, at most one batch, and returns how many frames it took out of
    // the ring: those past `deadlineNs` are counted as unhandled instead. `handing` turns false
    // when the callback asks to end.
    std::size_t HandOverBatch(int64_t deadlineNs, bool& handing);
    void RunBatchEnd();
    void Drain(int64_t deadlineNs);
    bool Deliver(std::uint8_t* slot);
    std::uint8_t* Slot(std::size_t index) const;
    void ReadKernelStatistics();
    void Close();

    const std::string interfaceName_;
    const pcap_direction_t direction_;
    FrameDispatcher dispatcher_;
    const BatchEndCallback batchEnd_;
    std::vector<int> cpus_;
    int fd_ = -1;
    int wakeFd_ = -1;
    std::uint8_t* ring_ = nullptr;
    std::size_t ringBytes_ = 0;
    std::size_t slotBytes_ = 0;
    std::size_t slotCount_ = 0;
    std::size_t slotsPerBlock_ = 1;
    std::size_t blockBytes_ = 0;
    std::size_t next_ = 0;  // the next slot to look at; capture thread only
    std::thread thread_;
    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    std::atomic<bool> stopRequested_{false};  // set under stopMutex_, read anywhere
    std::atomic<int64_t> stopDeadlineNs_{0};  // steady clock
    std::atomic<uint64_t> unhandledAtStop_{0};
    std::atomic<uint64_t> kernelDrops_{0};
    std::atomic<uint64_t> framesTakenIn_{0};
};

}  // namespace wire
