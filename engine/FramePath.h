#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/BenchConfig.h"
#include "engine/Injector.h"
#include "transport/FrameView.h"
#include "transport/Verifier.h"

namespace engine {

// Writes one whole log line (without its line end).
using LineSink = std::function<void(const std::string& line)>;
// Nanoseconds since 1970: the log lines take its milliseconds, the verifier the whole.
using WallClock = std::int64_t (*)();

std::int64_t WallClockNs();

// Where the frame path's work goes: the sender out of each port and the injector fed by each
// arriving port (null where the port's frames are not injected), both indexed by Port.
struct FrameOutlets {
    std::array<SendFunction, 2> send;
    std::array<Injector*, 2> injectors{};
    LineSink log;
};

// The way of one frame through the bench, top to bottom: read once, then logged and verified
// where its port direction is observed, then (arriving frames) forwarded or injected as the
// port's arrival says. Handle runs on the capture thread of that port direction; the captures
// of different port directions may call it at the same time.
class FramePath {
public:
    FramePath(const BenchConfig& config, Verifier* verifier, FrameOutlets outlets,
              WallClock clock = WallClockNs);

    void Handle(Port port, Direction direction, const std::uint8_t* data, std::size_t size);

private:
    void Observe(Port port, Direction direction, const FrameView& frame);
    void Pass(Port from, const FrameView& frame);

    // Devices each port direction is observed for, indexed [port][direction]; empty: unobserved.
    std::array<std::array<std::vector<unsigned>, 2>, 2> devices_;
    std::array<Arrival, 2> arrivals_;
    LogLineFormat format_;
    Verifier* verifier_;
    FrameOutlets outlets_;
    WallClock clock_;
};

}  // namespace engine
