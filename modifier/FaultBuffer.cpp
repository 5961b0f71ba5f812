#include "modifier/FaultBuffer.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>

namespace {

// Pop points and episode lengths are drawn from 1 to this.
constexpr int kMaxReorderDraw = 10;

// `rand` may keep unguarded state, and every injector of the process draws from it.
std::mutex randMutex;

}  // namespace

int CLibraryRandom() {
    std::lock_guard<std::mutex> lock(randMutex);
    return std::rand();
}

void WriteOperationCounters(std::ostream& out, const OperationCounters& counters) {
    static constexpr const char* kLabels[OPERATION_LAST] = {
        "Number of None: ", "Number of Drop: ", "Number of Delay: ", "Number of Reoeder: "};
    for (std::size_t i = OPERATION_NONE; i < OPERATION_LAST; ++i) {
        out << kLabels[i] << std::dec << counters[i] << std::endl;
    }
}

void WaitMilliseconds(int milliseconds, const std::atomic<bool>* keepWaiting) {
    const auto pause = std::chrono::milliseconds(milliseconds);
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < pause &&
           (keepWaiting == nullptr || keepWaiting->load(std::memory_order_relaxed))) {
    }
}

ReleasePolicy::ReleasePolicy(RandomSource random) : random_(std::move(random)) {}

void ReleasePolicy::Configure(const ModifierParams& params) {
    params_ = params;
    popPoint_ = 0;
}

ReleasePolicy::Decision ReleasePolicy::Decide(std::size_t buffered) {
    const ModifierOperation operation = DrawOperation();
    StartEpisodeIfDue(operation);
    const std::size_t index = SelectIndex(buffered);
    AdvanceEpisode();
    const int delayMs = operation == OPERATION_DELAY
                            ? Between(params_.delayRange[DELAY_MIN], params_.delayRange[DELAY_MAX])
                            : 0;
    return Decision{operation, index, delayMs};
}

// Bounds given the wrong way round are ordered, and 64-bit arithmetic keeps the widest ranges
// from overflowing.
int ReleasePolicy::Between(int min, int max) {
    if (min > max) {
        std::swap(min, max);
    }
    const std::int64_t span = std::int64_t{max} - min + 1;
    return static_cast<int>(min + std::int64_t{random_()} % span);
}

ModifierOperation ReleasePolicy::DrawOperation() {
    const int draw = Between(1, 100);
    // Weights come unchecked from a command line: two near INT_MAX must not overflow.
    std::int64_t sliceEnd = 0;
    for (std::size_t i = OPERATION_NONE; i < OPERATION_LAST; ++i) {
        sliceEnd += params_.distribution[i];
        if (draw <= sliceEnd) {
            ++counters_[i];
            return static_cast<ModifierOperation>(i);
        }
    }
    return OPERATION_LAST;
}

void ReleasePolicy::StartEpisodeIfDue(ModifierOperation operation) {
    if (operation != OPERATION_REORDER || popPoint_ != 0) {
        return;
    }
    popPoint_ = static_cast<std::uint32_t>(Between(1, kMaxReorderDraw));
    remainingInEpisode_ = static_cast<std::uint32_t>(Between(1, kMaxReorderDraw));
}

// Outside an episode the pop point is 0, the oldest packet; one beyond the buffer takes the
// newest.
std::size_t ReleasePolicy::SelectIndex(std::size_t buffered) const {
    return buffered > popPoint_ ? popPoint_ : buffered - 1;
}

void ReleasePolicy::AdvanceEpisode() {
    if (popPoint_ != 0 && --remainingInEpisode_ == 0) {
        popPoint_ = 0;
    }
}
