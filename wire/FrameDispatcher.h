#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "wire/CapturedFrame.h"

namespace wire {

// Handles one captured frame; returning false ends the capture loop.
using FrameCallback = std::function<bool(CapturedFrame&)>;

// Counters of frames a capture could not hand over in full.
struct CaptureLosses {
    uint64_t kernelDrops = 0;     // dropped by the kernel or the driver before capture
    uint64_t unparsed = 0;        // too short or too broken to parse as Ethernet
    uint64_t callbackErrors = 0;  // abandoned because the callback threw something unexpected
    std::string firstCallbackError;
};

// Turns raw captured bytes into a CapturedFrame and hands it to the callback, so that one bad
// frame or one failing callback never ends a capture. Tins::pdu_not_found and
// Tins::malformed_packet from the callback drop the frame silently, as a libtins capture loop
// does; any other exception drops the frame and is counted with its first message kept.
// Counters may be read from any thread while frames are dispatched.
class FrameDispatcher {
public:
    explicit FrameDispatcher(FrameCallback callback);

    // Hands over one frame given by its bytes; false when the loop is to end.
    bool Dispatch(const uint8_t* data, uint32_t size);

    // Makes the loop end after the frame in hand; frames still reach the callback (a drain).
    void RequestStop() { stopRequested_.store(true); }
    [[nodiscard]] bool StopRequested() const { return stopRequested_.load(); }

    // Counts an error that ended the capture loop itself, reported like a callback error.
    void RecordLoopError(const std::string& message) { RecordCallbackError(message); }

    [[nodiscard]] uint64_t FramesSeen() const { return framesSeen_.load(); }
    // Losses so far; kernelDrops is left 0 here (only the capture knows it).
    [[nodiscard]] CaptureLosses Losses() const;

private:
    bool CallBack(CapturedFrame& frame);
    void RecordCallbackError(const std::string& message);

    FrameCallback callback_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<uint64_t> framesSeen_{0};
    std::atomic<uint64_t> unparsed_{0};
    std::atomic<uint64_t> callbackErrors_{0};
    mutable std::mutex errorMutex_;
    std::string firstCallbackError_;
};

}  // namespace wire
