#include "wire/FrameDispatcher.h"

#include <exception>
#include <utility>

namespace wire {

FrameDispatcher::FrameDispatcher(FrameCallback callback) : callback_(std::move(callback)) {}

bool FrameDispatcher::Dispatch(const RawFrame& frame) {
    framesSeen_.fetch_add(1, std::memory_order_relaxed);
    try {
        return callback_(frame);
    } catch (const std::exception& e) {
        RecordCallbackError(e.what());
    } catch (...) {
        RecordCallbackError("unknown exception");
    }
    return true;
}

void FrameDispatcher::RecordCallbackError(const std::string& message) {
    std::lock_guard<std::mutex> lock(errorMutex_);
    if (callbackErrors_.fetch_add(1) == 0) {
        firstCallbackError_ = message;
    }
}

CaptureLosses FrameDispatcher::Losses() const {
    CaptureLosses losses;
    losses.callbackErrors = callbackErrors_.load();
    std::lock_guard<std::mutex> lock(errorMutex_);
    losses.firstCallbackError = firstCallbackError_;
    return losses;
}

}  // namespace wire
