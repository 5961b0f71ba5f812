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
    if (outlets_.recovery != nullptr && frame.HasBth()) {
        if (const auto sighting = SightingOf(frame, FaultDirectionFrom(port), true, clock_())) {
            outlets_.recovery->Observe(*sighting);
        }
    }
    switch (arrivals_[Index(port)]) {
        case Arrival::Forward:
            Forward(port, frame);
            break;
        case Arrival::Inject:
            // Checked before it is offered, so that its arriving line precedes its leaving line.
            Observe(port, direction, frame);
            if (frame.toRocePort && outlets_.injectors[Index(port)] != nullptr) {
                outlets_.injectors[Index(port)]->Offer(frame);
            }
            break;
        case Arrival::Ignore:
            Observe(port, direction, frame);
            break;
    }
}

// A forwarded frame leaves before it is checked, so checking adds nothing to its way.
void FramePath::Forward(Port from, const FrameView& frame) {
    Forwarding& waiting = forwarding_[Index(from)];
    waiting.frames[waiting.count++] = frame;
    if (waiting.count == waiting.frames.size()) {
        EndOfBatch(from);
    }
}

void FramePath::EndOfBatch(Port port) {
    Forwarding& waiting = forwarding_[Index(port)];
    if (waiting.count > 0) {
        // Checked before they leave: an answer can only come once a frame has left, and the
        // port that sees the answer has a thread of its own, so checking afterwards could
        // verify the answer before the request.
        for (std::size_t i = 0; i < waiting.count; ++i) {
            Observe(port, Direction::In, waiting.frames[i]);
            Observe(OtherPort(port), Direction::Out, waiting.frames[i]);
        }
        std::array<bool, wire::SendBatch::kCapacity> sent{};
        const SendMany& send = outlets_.send[Index(OtherPort(port))];
        if (send) {
            send(waiting.frames.data(), waiting.count, sent.data());
        }
        waiting.count = 0;
    }
    if (outlets_.injectors[Index(port)] != nullptr) {
        outlets_.injectors[Index(port)]->Wake();
    }
}

void FramePath::Release(Port from, const FrameView* frames, std::size_t count) {
    const Port to = OtherPort(from);
    // Checked before they leave, for the same reason as forwarded frames.
    for (std::size_t i = 0; i < count; ++i) {
        Observe(to, Direction::Out, frames[i]);
    }
    std::array<bool, wire::SendBatch::kCapacity> sent{};
    if (outlets_.send[Index(to)]) {
        outlets_.send[Index(to)](frames, count, sent.data());
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

}  // namespace engine
