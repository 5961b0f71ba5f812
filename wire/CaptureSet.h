#pragma once

#include <pcap/pcap.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "wire/Capture.h"

namespace wire {

// All the captures of one program: opened together before any of them starts, so a port that
// cannot be opened is reported before any capture thread runs; stopped and joined together.
// Used from one controlling thread.
class CaptureSet {
public:
    CaptureSet() = default;
    ~CaptureSet();  // stops
    CaptureSet(const CaptureSet&) = delete;
    CaptureSet& operator=(const CaptureSet&) = delete;

    // Declares a capture; nothing is opened yet. Returns it, to be placed before it starts.
    Capture& Add(std::string interfaceName, pcap_direction_t direction, FrameCallback callback,
                 BatchEndCallback batchEnd = nullptr);
    // Opens every capture; throws the first wire::Error, leaving nothing open or running.
    void OpenAll();
    // Starts every capture's thread, in the order they were added.
    void StartAll();
    // Closes every capture's intake at once, hands over what they had captured until `budget` has
    // passed and counts the rest as unhandled; then joins every capture thread, after which no
    // callback runs. Idempotent.
    void StopAll(std::chrono::milliseconds budget = std::chrono::milliseconds(500));

    const std::vector<std::unique_ptr<Capture>>& Captures() const { return captures_; }

private:
    std::vector<std::unique_ptr<Capture>> captures_;
};

}  // namespace wire
