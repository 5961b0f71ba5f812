#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "wire/FrameDispatcher.h"

namespace wire {

// "in" for frames arriving at a port, "out" for frames leaving it.
const char* DirectionName(pcap_direction_t direction);

// Captures the frames of one port in one direction and hands each one, on the capture's own
// thread, to a callback. Open, Start, RequestStop and Stop are called from one controlling
// thread, never from the callback.
class Capture {
public:
    Capture(std::string interfaceName, pcap_direction_t direction, FrameCallback callback);
    ~Capture();  // stops
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Opens the port for capture; throws wire::Error naming the port and reason. Every frame of
    // this direction that reaches the port after Open returns is captured. Opening twice does
    // nothing; a stopped capture stays stopped.
    void Open();
    // Runs the capture loop on a new thread; frames captured since Open are delivered first.
    // Throws wire::Error when the thread cannot start.
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

    [[nodiscard]] uint64_t FramesSeen() const { return dispatcher_.FramesSeen(); }
    // Frames the kernel took in for this capture, those it dropped included; known once stopped.
    [[nodiscard]] uint64_t FramesTakenIn() const { return framesTakenIn_.load(); }
    // Losses so far; the kernel's drops and the frames left at the stop are known once stopped.
    [[nodiscard]] CaptureLosses Losses() const;

private:
    struct PcapCloser {
        void operator()(pcap_t* handle) const { pcap_close(handle); }
    };
    struct DrainContext {
        Capture* capture;
        int64_t deadlineNs;
    };

    static void OnLoopFrame(u_char* user, const pcap_pkthdr* header, const u_char* data);
    static void OnDrainFrame(u_char* user, const pcap_pkthdr* header, const u_char* data);
    bool Deliver(const pcap_pkthdr& header, const u_char* data);
    void Activate();
    void Run();
    void Drain(int64_t deadlineNs);
    void RecordKernelStatistics();

    const std::string interfaceName_;
    const pcap_direction_t direction_;
    FrameDispatcher dispatcher_;
    std::unique_ptr<pcap_t, PcapCloser> handle_;
    bool nanosecondTimestamps_ = false;
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
