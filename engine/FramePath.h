#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BenchConfig.h"
#include "engine/Injector.h"
#include "modifier/RecoveryTracker.h"
#include "transport/FrameView.h"
#include "transport/Verifier.h"
#include "wire/Sender.h"

namespace engine {

// Writes one whole log line (without its line end).
using LineSink = std::function<void(const std::string& line)>;
// Nanoseconds since 1970: the log lines take its milliseconds, the verifier the whole.
using WallClock = std::int64_t (*)();
// Sends frames out of a port, all in one go (at most wire::SendBatch::kCapacity); sent[i] tells
// whether frame i left.
using SendMany = std::function<void(const FrameView* frames, std::size_t count, bool* sent)>;

// Keeps a copy of a frame seen at a port direction, taken at `timeNs`, with what the bench made
// of it (empty: nothing worth saying).
using FrameRecord = std::function<void(Port port, Direction direction, std::int64_t timeNs,
                                       const FrameView& frame, std::string_view comment)>;

std::int64_t WallClockNs();

// Where the frame path's work goes: the sending out of each port and the injector fed by each
// arriving port (null where the port's frames are not injected), both indexed by Port.
struct FrameOutlets {
    std::array<SendMany, 2> send;
    std::array<Injector*, 2> injectors{};
    LineSink log;
    // Sees every arriving RoCE packet before any fault, when aimed faults are timed.
    RecoveryTracker* recovery = nullptr;
    // Every frame that arrives or leaves, when the run keeps a capture file. An arriving packet
    // an injector takes is recorded by the injector, once it has decided.
    FrameRecord record;
};

// The way of one frame through the bench, top to bottom: read once, then (arriving frames)
// forwarded or injected as the port's arrival says, and logged and verified where its port
// direction is observed; a frame is observed leaving as the bench hands it to the port, from
// the bench's own copy, just before the send. Arriving frames of a port come from that port's
// capture thread, which ends each batch with EndOfBatch; frames an injector releases come from its
// forwarding thread. Different ports and injectors may call in at the same time.
class FramePath {
public:
    FramePath(const BenchConfig& config, Verifier* verifier, FrameOutlets outlets,
              WallClock clock = WallClockNs);

    // A frame that arrived at (Direction::In) or left (Direction::Out) the port at `timeNs`. A
    // forwarded frame waits for the end of its batch, so that it leaves with the others.
    void Handle(Port port, Direction direction, const std::uint8_t* data, std::size_t size,
                std::int64_t timeNs);
    // The end of a batch of arriving frames: forwarded ones leave, then are observed as they
    // arrived and as they left; the injector is woken for the packets it was offered.
    void EndOfBatch(Port port);
    // Frames the injector of arriving port `from` released: they leave by the other port.
    void Release(Port from, const FrameView* frames, std::size_t count);

    // RoCE packets that arrived at either port.
    [[nodiscard]] std::uint64_t RocePackets() const;

private:
    static constexpr std::size_t kBatch = wire::SendBatch::kCapacity;
    struct Forwarding {
        std::array<FrameView, kBatch> frames{};
        std::array<std::int64_t, kBatch> arrivalNs{};
        std::size_t count = 0;
    };
    // What the verifier said of each frame of a batch, when the frames are recorded; the
    // strings keep their room from batch to batch.
    using Notes = std::array<std::string, kBatch>;

    // Logs and verifies the frame where its port direction is observed; `note`, when not null,
    // gets what the verifier refused of it.
    void Observe(Port port, Direction direction, const FrameView& frame, std::string* note);
    void Forward(Port from, const FrameView& frame, std::int64_t timeNs);
    void HandleArrival(Port port, const FrameView& frame, std::int64_t timeNs);
    void Offer(Port port, const FrameView& frame, std::int64_t timeNs, std::string* note);
    // Sends the frames out of `to`, observed just before they leave, and records those that
    // left with the time they were handed over.
    void SendOut(Port to, const FrameView* frames, std::size_t count, Notes& notes);

    // Devices each port direction is observed for, indexed [port][direction]; empty: unobserved.
    std::array<std::array<std::vector<unsigned>, 2>, 2> devices_;
    std::array<Arrival, 2> arrivals_;
    LogLineFormat format_;
    Verifier* verifier_;
    FrameOutlets outlets_;
    WallClock clock_;
    // Frames waiting for the end of their batch, by arriving port, and their notes: that
    // port's thread only. The injectors' releases have notes of their own.
    std::array<Forwarding, 2> forwarding_;
    std::array<Notes, 2> arrivalNotes_;
    std::array<Notes, 2> forwardNotes_;
    std::array<Notes, 2> releaseNotes_;
    std::array<std::string, 2> offerNotes_;
    std::array<std::atomic<std::uint64_t>, 2> rocePackets_{};
};

}  // namespace engine
