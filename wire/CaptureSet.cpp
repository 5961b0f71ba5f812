#include "wire/CaptureSet.h"

#include <utility>

namespace wire {

CaptureSet::~CaptureSet() {
    StopAll();
}

Capture& CaptureSet::Add(std::string interfaceName, pcap_direction_t direction,
                         FrameCallback callback, BatchEndCallback batchEnd) {
    captures_.push_back(std::make_unique<Capture>(std::move(interfaceName), direction,
                                                  std::move(callback), std::move(batchEnd)));
    return *captures_.back();
}

void CaptureSet::OpenAll() {
    try {
        for (auto& capture : captures_) {
            capture->Open();
        }
    } catch (...) {
        StopAll();
        throw;
    }
}

void CaptureSet::StartAll() {
    for (auto& capture : captures_) {
        capture->Start();
    }
}

void CaptureSet::StopAll(std::chrono::milliseconds budget) {
    // One deadline for all, and every loop woken first, so the drains overlap instead of adding up.
    const auto deadline = std::chrono::steady_clock::now() + budget;
    for (auto& capture : captures_) {
        capture->RequestStop(deadline);
    }
    for (auto& capture : captures_) {
        capture->Stop();
    }
}

}  // namespace wire
