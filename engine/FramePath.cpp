#include "engine/FramePath.h"

#include <chrono>
#include <utility>

namespace engine {

std::int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

FramePath::FramePath(const BenchConfig& config, Verifier* verifier, FrameOutlets outlets,
                     WallClock clock)
    : arrivals_{config.arrivals[0].arrival, config.arrivals[1].arrival},
      format_(config.log.format),
      verifier_(verifier),
      outlets_(std::move(outlets)),
      clock_(clock) {
    for (const Observation& observation : config.observations) {
        devices_[Index(observation.port)][static_cast<std::size_t>(observation.direction)] =
            observation.devices;
    }
}

void FramePath::Handle(Port port, Direction direction, const std::uint8_t* data, std::size_t size) {
    const FrameView frame = ReadFrame(data, size);
    // Logged before it is passed on, so a packet's arriving line precedes its leaving line.
    Observe(port, direction, frame);
    if (direction == Direction::In) {
        Pass(port, frame);
    }
}

void FramePath::Observe(Port port, Direction direction, const FrameView& frame) {
    if (!frame.HasBth()) {
        return;
    }
    Bth bth = *frame.bth;
    for (unsigned device : devices_[Index(port)][static_cast<std::size_t>(direction)]) {
        if (format_ != nullptr && outlets_.log) {
            outlets_.log(format_(bth, clock_()));
        }
        if (verifier_ != nullptr) {
            // A refused packet shows only in the end-of-run report.
            static_cast<void>(verifier_->VerifyPacket(device, bth));
        }
    }
}

void FramePath::Pass(Port from, const FrameView& frame) {
    switch (arrivals_[Index(from)]) {
        case Arrival::Forward:
            outlets_.send[Index(OtherPort(from))](frame.data, frame.size);
            break;
        case Arrival::Inject:
            if (frame.toRocePort && outlets_.injectors[Index(from)] != nullptr) {
                outlets_.injectors[Index(from)]->Offer(frame);
            }
            break;
        case Arrival::Ignore:
            break;
    }
}

}  // namespace engine
