#pragma once

#include <pcap/pcap.h>
#include <tins/sniffer.h>

#include <atomic>
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
// thread, to a callback. Open, Start and Stop are called from one controlling thread, never from
// the callback.
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
    // Asks the loop to end (also on a quiet port) without waiting for it.
    void RequestStop();
    // Ends the loop, joins the thread, handles the frames captured until then, and closes the
    // capture. Idempotent.
    void Stop();

    const std::string& InterfaceName() const { return interfaceName_; }
    pcap_direction_t Direction() const { return direction_; }
    // "enp1s0f1 in": the port and direction, as loss reports name them.
    std::string Label() const;

    [[nodiscard]] uint64_t FramesSeen() const { return dispatcher_.FramesSeen(); }
    // Losses so far; the kernel's drops are known once the capture has been stopped.
    [[nodiscard]] CaptureLosses Losses() const;

private:
    void Run();
    void Drain();
    void RecordKernelDrops();

    const std::string interfaceName_;
    const pcap_direction_t direction_;
    FrameDispatcher dispatcher_;
    std::unique_ptr<Tins::Sniffer> sniffer_;
    std::thread thread_;
    std::atomic<uint64_t> kernelDrops_{0};
};

}  // namespace wire
