#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace wire {

// The running totals a status line shows, taken whenever it is redrawn.
struct StatusSnapshot {
    struct Frames {
        std::string label;  // a port direction, "enp1s0f1 in"
        std::uint64_t count = 0;
    };
    std::vector<Frames> frames;
    std::uint64_t rocePackets = 0;
    std::uint64_t refused = 0;  // by the verifier
    std::uint64_t injectorDecisions = 0;
    std::uint64_t kernelDrops = 0;
};

// "enp1s0f1 in 1200/s, enp1s0f0 in 800/s | RoCE 12345 | refused 3 | injector 17 | kernel
// drops 0": frame rates from the two snapshots `seconds` apart, matched by position, and the
// latest totals; cut to `width` characters when that is not 0.
std::string FormatStatus(const StatusSnapshot& previous, const StatusSnapshot& current,
                         double seconds, std::size_t width = 0);

// The columns of the terminal on `fd`, or 0 when it is none or will not say.
std::size_t TerminalColumns(int fd);

// Keeps one line on a terminal up to date while a run goes on: every `interval` it takes a
// snapshot and rewrites the line in place. On anything but a terminal it writes nothing at
// all, so that logs and pipes stay clean. Start and Stop are called from one thread.
class StatusLine {
public:
    using SnapshotSource = std::function<StatusSnapshot()>;

    // `isTerminal`: the caller's isatty on the stream's descriptor. `width`: the terminal's
    // columns (0: unknown), one less of which the line uses so that it never wraps.
    StatusLine(SnapshotSource source, std::ostream& out, bool isTerminal,
               std::chrono::milliseconds interval = std::chrono::seconds(1), std::size_t width = 0);
    ~StatusLine();  // stops
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // Takes the first snapshot and starts redrawing; throws wire::Error when the thread cannot
    // start. Does nothing when not on a terminal.
    void Start();
    // Stops redrawing and clears the line, leaving the cursor where the line began.
    // Idempotent.
    void Stop();

private:
    void Run(StatusSnapshot previous);
    void Draw(const std::string& text);

    SnapshotSource source_;
    std::ostream& out_;
    const bool isTerminal_;
    const std::chrono::milliseconds interval_;
    const std::size_t width_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable stopSignal_;
    bool stopping_ = false;  // under mutex_
    bool drawn_ = false;     // only the redrawing thread, then Stop after joining it
};

}  // namespace wire
