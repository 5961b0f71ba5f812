#include "engine/FramePath.h"

#include <chrono>
#include <utility>

#include "engine/Notes.h"
#include "transport/RocePacketInfo.h"

namespace engine {

namespace {

constexpr std::string_view kRefusedByInjector = "not injected: the injector was full";
// Only RoCE packets pass an injecting port.
constexpr std::string_view kNotRoce = "not forwarded: not RoCE";

}  // namespace

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

void FramePath::Handle(Port port, Direction direction, const std::uint8_t* data, std::size_t size,
                       std::int64_t timeNs) {
    const FrameView frame = ReadFrame(data, size);
    if (direction == Direction::Out) {
        std::string note;
        Observe(port, direction, frame, outlets_.record ? &note : nullptr);
        if (outlets_.record) {
            outlets_.record(port, direction, timeNs, frame, note);
        }
        return;
    }
    HandleArrival(port, frame, timeNs);
}

void FramePath::HandleArrival(Port port, const FrameView& frame, std::int64_t timeNs) {
    if (frame.HasBth()) {
        rocePackets_[Index(port)].fetch_add(1, std::memory_order_relaxed);
        if (outlets_.recovery != nullptr) {
            if (const auto sighting = SightingOf(frame, FaultDirectionFrom(port), true, clock_())) {
                outlets_.recovery->Observe(*sighting);
            }
        }
    }
    if (arrivals_[Index(port)] == Arrival::Forward) {
        Forward(port, frame, timeNs);
        return;
    }
    std::string& note = offerNotes_[Index(port)];
    note.clear();
    std::string* noted = outlets_.record ? &note : nullptr;
    // Checked before it is offered, so that its arriving line precedes its leaving line.
    Observe(port, Direction::In, frame, noted);
    if (arrivals_[Index(port)] == Arrival::Inject && frame.toRocePort &&
        outlets_.injectors[Index(port)] != nullptr) {
        Offer(port, frame, timeNs, noted);
    } else if (noted != nullptr) {
        if (arrivals_[Index(port)] == Arrival::Inject) {
            AppendNote(note, kNotRoce);
        }
        outlets_.record(port, Direction::In, timeNs, frame, note);
    }
}

// The injector records what it takes once it has decided; what it refuses is recorded here.
void FramePath::Offer(Port port, const FrameView& frame, std::int64_t timeNs, std::string* note) {
    const std::string_view verified =
        note != nullptr ? std::string_view(*note) : std::string_view{};
    if (outlets_.injectors[Index(port)]->Offer(frame, timeNs, verified) || note == nullptr) {
        return;
    }
    std::string comment(kRefusedByInjector);
    AppendNote(comment, *note);
    outlets_.record(port, Direction::In, timeNs, frame, comment);
}

// A forwarded frame leaves before it is checked, so checking adds nothing to its way.
void FramePath::Forward(Port from, const FrameView& frame, std::int64_t timeNs) {
    Forwarding& waiting = forwarding_[Index(from)];
    waiting.arrivalNs[waiting.count] = timeNs;
    waiting.frames[waiting.count++] = frame;
    if (waiting.count == waiting.frames.size()) {
        EndOfBatch(from);
    }
}

void FramePath::EndOfBatch(Port port) {
    Forwarding& waiting = forwarding_[Index(port)];
    if (waiting.count > 0) {
        Notes& notes = arrivalNotes_[Index(port)];
        const bool recording = static_cast<bool>(outlets_.record);
        for (std::size_t i = 0; i < waiting.count; ++i) {
            notes[i].clear();
            Observe(port, Direction::In, waiting.frames[i], recording ? &notes[i] : nullptr);
        }
        SendOut(OtherPort(port), waiting.frames.data(), waiting.count, forwardNotes_[Index(port)]);
        for (std::size_t i = 0; recording && i < waiting.count; ++i) {
            outlets_.record(port, Direction::In, waiting.arrivalNs[i], waiting.frames[i], notes[i]);
        }
        waiting.count = 0;
    }
    if (outlets_.injectors[Index(port)] != nullptr) {
        outlets_.injectors[Index(port)]->Wake();
    }
}

void FramePath::Release(Port from, const FrameView* frames, std::size_t count) {
    SendOut(OtherPort(from), frames, count, releaseNotes_[Index(from)]);
}

// Checked before they leave: an answer can only come once a frame has left, and the port that
// sees the answer has a thread of its own, so checking afterwards could verify the answer
// before the request.
void FramePath::SendOut(Port to, const FrameView* frames, std::size_t count, Notes& notes) {
    const bool recording = static_cast<bool>(outlets_.record);
    for (std::size_t i = 0; i < count; ++i) {
        notes[i].clear();
        Observe(to, Direction::Out, frames[i], recording ? &notes[i] : nullptr);
    }
    const std::int64_t sendNs = recording ? clock_() : 0;
    std::array<bool, kBatch> sent{};
    if (outlets_.send[Index(to)]) {
        outlets_.send[Index(to)](frames, count, sent.data());
    }
    for (std::size_t i = 0; recording && i < count; ++i) {
        if (sent[i]) {
            outlets_.record(to, Direction::Out, sendNs, frames[i], notes[i]);
        }
    }
}

std::uint64_t FramePath::RocePackets() const {
    return rocePackets_[0].load(std::memory_order_relaxed) +
           rocePackets_[1].load(std::memory_order_relaxed);
}

void FramePath::Observe(Port port, Direction direction, const FrameView& frame, std::string* note) {
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
            const rules::Outcome outcome = verifier_->Verify(device, *headers, where);
            if (note != nullptr) {
                AppendNote(*note, rules::Note(outcome));
            }
        }
    }
}

}  // namespace engine
