#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
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

std::int64_t WallClockNs();

// Where the frame path's work goes: the sending out of each port and the injector fed by each
// arriving port (null where the port's frames are not injected), both indexed by Port.
struct FrameOutlets {
    std::array<SendMany, 2> send;
    std::array<Injector*, 2> injectors{};
    LineSink log;
    // Sees every arriving RoCE packet before any fault, when aimed faults are timed.
    RecoveryTracker* recovery = nullptr;
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

    // A frame that arrived at (Direction::In) or left (Direction::Out) the port. A forwarded
    // frame waits for the end of its batch, so that it leaves with the others.
    void Handle(Port port, Direction direction, const std::uint8_t* data, std::size_t size);
    // The end of a batch of arriving frames: forwarded ones leave, then are observed as they
    // arrived and as they left; the injector is woken for the packets it was offered.
    void EndOfBatch(Port port);
    // Frames the injector of arriving port `from` released: they leave by the other port.
    void Release(Port from, const FrameView* frames, std::size_t count);

private:
    struct Forwarding {
        std::array<FrameView, wire::SendBatch::kCapacity> frames{};
        std::size_t count = 0;
    };

    void Observe(Port port, Direction direction, const FrameView& frame);
    void Forward(Port from, const FrameView& frame);

    // Devices each port direction is observed for, indexed [port][direction]; empty: unobserved.
    std::array<std::array<std::vector<unsigned>, 2>, 2> devices_;
    std::array<Arrival, 2> arrivals_;
    LogLineFormat format_;
    Verifier* verifier_;
    FrameOutlets outlets_;
    WallClock clock_;
    // Frames waiting for the end of their batch, by arriving port; that port's thread only.
    std::array<Forwarding, 2> forwarding_;
};

}  // namespace engine
