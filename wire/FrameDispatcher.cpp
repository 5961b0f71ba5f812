#include "wire/FrameDispatcher.h"

#include <tins/exceptions.h>

#include <exception>
#include <optional>
#include <utility>

namespace wire {

FrameDispatcher::FrameDispatcher(FrameCallback callback) : callback_(std::move(callback)) {}

bool FrameDispatcher::Dispatch(const uint8_t* data, uint32_t size) {
    framesSeen_.fetch_add(1);
    std::optional<CapturedFrame> frame;
    try {
        frame.emplace(data, size);
    } catch (const std::exception&) {
        unparsed_.fetch_add(1);
        return !stopRequested_.load();
    }
    return CallBack(*frame) && !stopRequested_.load();
}

bool FrameDispatcher::CallBack(CapturedFrame& frame) {
    try {
        return callback_(frame);
    } catch (const Tins::pdu_not_found&) {
    } catch (const Tins::malformed_packet&) {
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
    losses.unparsed = unparsed_.load();
    losses.callbackErrors = callbackErrors_.load();
    std::lock_guard<std::mutex> lock(errorMutex_);
    losses.firstCallbackError = firstCallbackError_;
    return losses;
}

}  // namespace wire
