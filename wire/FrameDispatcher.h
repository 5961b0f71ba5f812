#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace wire {

// A frame as libpcap delivered it; the bytes are valid only during the callback.
struct RawFrame {
    const std::uint8_t* data;
    std::uint32_t size;
    std::int64_t captureTimeNs;  // the capture's timestamp, ns since the epoch
};

// Handles one captured frame; returning false ends the capture loop.
using FrameCallback = std::function<bool(const RawFrame&)>;

// Counters of frames a capture took in but could not hand over in full.
struct CaptureLosses {
    uint64_t kernelDrops = 0;      // dropped by the kernel or the driver before capture
    uint64_t callbackErrors = 0;   // abandoned because the callback threw
    uint64_t unhandledAtStop = 0;  // still captured when the stop's time budget ran out
    std::string firstCallbackError;
};

// Hands captured frames to the callback so that one failing callback never ends a capture:
// whatever it throws drops only that frame and is counted, with the first message kept.
// Counters may be read from any thread while frames are dispatched.
class FrameDispatcher {
public:
    explicit FrameDispatcher(FrameCallback callback);

    // False when the callback asks to end the loop.
    bool Dispatch(const RawFrame& frame);

    // Counts an error that ended the capture loop itself, reported like a callback error.
    void RecordLoopError(const std::string& message) { RecordCallbackError(message); }

    [[nodiscard]] uint64_t FramesSeen() const { return framesSeen_.load(); }
    // Losses so far; only the callback errors are the dispatcher's to know.
    [[nodiscard]] CaptureLosses Losses() const;

private:
    void RecordCallbackError(const std::string& message);

    FrameCallback callback_;
    std::atomic<uint64_t> framesSeen_{0};
    std::atomic<uint64_t> callbackErrors_{0};
    mutable std::mutex errorMutex_;
    std::string firstCallbackError_;
};

}  // namespace wire
