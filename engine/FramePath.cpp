#include "engine/FramePath.h"

#include <chrono>
#include <utility>

#include "transport/RocePacketInfo.h"

namespace engine {

std::int64_t WallClockNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
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
        auto& devices = devices_[Index(observation.port)][Index(observation.direction)];
        devices.insert(devices.end(), observation.devices.begin(), observation.devices.end());
    }
}

void FramePath::Handle(Port port, Direction direction, const std::uint8_t* data, std::size_t size) {
    const FrameView frame = ReadFrame(data, size);
    if (direction == Direction::Out) {
        Observe(port, direction, frame);
        return;
    }
    // A forwarded frame leaves before it is checked, so checking adds nothing to its way; an
    // injected packet is checked first, so that its arriving line precedes its leaving line.
    if (arrivals_[Index(port)] == Arrival::Forward) {
        Pass(port, frame);
        Observe(port, direction, frame);
    } else {
        Observe(port, direction, frame);
        Pass(port, frame);
    }
}

void FramePath::Observe(Port port, Direction direction, const FrameView& frame) {
    const std::vector<unsigned>& devices = devices_[Index(port)][Index(direction)];
    if (!frame.HasBth() || devices.empty()) {
        return;
    }
    constexpr std::int64_t kNsPerMs = 1'000'000;
    const std::int64_t nowNs = clock_();
    const std::optional<RoceHeaders> headers = ReadRoceHeaders(frame);
    const PacketContext where{nowNs, static_cast<std::uint8_t>(Index(port)),
                              static_cast<std::uint8_t>(Index(direction))};
    for (unsigned device : devices) {
        if (format_ != nullptr && outlets_.log) {
            outlets_.log(format_(*frame.bth, nowNs / kNsPerMs));
        }
        if (verifier_ != nullptr) {
            // The verifier keeps the outcome for the end-of-run summaries; forwarding never
            // depends on it.
            static_cast<void>(verifier_->Verify(device, *headers, where));
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
