#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/BenchConfig.h"
#include "engine/FramePath.h"
#include "engine/Injector.h"
#include "engine/Summary.h"
#include "modifier/AimedFaults.h"
#include "modifier/FaultBuffer.h"
#include "modifier/RecoveryTracker.h"
#include "transport/Verifier.h"
#include "wire/CaptureSet.h"
#include "wire/LineLog.h"
#include "wire/PcapngWriter.h"
#include "wire/Sender.h"
#include "wire/StatusLine.h"

namespace engine {

// The bench between its two ports, as one configuration value describes it. Used from one
// controlling thread, in this order: Open, Start, WaitForStop, Stop, then the reports.
class Bench {
public:
    explicit Bench(BenchConfig config, RandomSource random = CLibraryRandom);
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // Opens both ports for sending, every capture the configuration needs, and the log, before
    // anything is printed; throws wire::Error naming the port or file and the reason.
    void Open();
    // Registers the connection with the verifier (its lines go to std::cout), writes the log's
    // start line, configures and starts the injectors, then the captures.
    void Start();
    // Blocks until a key or the end of standard input, SIGINT or SIGTERM.
    void WaitForStop();
    // A whole run: Open, Start, the start banner and its line end on `out`, WaitForStop, Stop;
    // meanwhile a status line on standard error, when it is a terminal.
    void Run(std::ostream& out, const std::string& startBanner);
    // Stops in one order that loses nothing the bench took in: the captures of arriving frames
    // first (what they hold is still handled and passed on, within the stop budget; the rest is
    // counted), then the injectors (a packet in its delay leaves at once; packets still held
    // stay unsent and are counted), then the log's end line and its close, which writes out
    // every line. Idempotent.
    void Stop();

    // The verifier, when the configuration verifies.
    [[nodiscard]] Verifier* GetVerifier() { return verifier_.get(); }
    [[nodiscard]] OperationCounters InjectorCounters(Port arriving) const;
    // Frames captured arriving at a port (0 when it is not captured), or that the bench sent out
    // of it.
    [[nodiscard]] std::uint64_t FramesCaptured(Port port, Direction direction) const;
    // Every loss of the run, one line each: captures, senders, injectors, the capture file.
    // Nothing if none.
    void WriteLossReport(std::ostream& out) const;
    // The frame counters of one port direction.
    [[nodiscard]] FrameCounts Frames(Port port, Direction direction) const;
    // What the run did, for the summary.
    [[nodiscard]] RunSummary Summary() const;
    // The running totals the status line shows.
    [[nodiscard]] wire::StatusSnapshot Status() const;
    // The verifier's summary on `err` (nothing when the bench does not verify) and a line per
    // aimed fault, then the summary file, when one was asked for; throws wire::Error when it
    // cannot be written.
    void WriteSummaries(std::ostream& err) const;

private:
    std::array<std::unique_ptr<Injector>, 2> MakeInjectors();
    std::optional<std::uint32_t> PeerOf(std::uint32_t qp) const;
    FrameOutlets Outlets();
    void AddCapture(Port port);
    // Whether frames pass the port in that direction at all.
    [[nodiscard]] bool Sees(Port port, Direction direction) const;
    void OpenCaptureFile();
    void RecordFrame(Port port, Direction direction, std::int64_t timeNs, const FrameView& frame,
                     std::string_view comment);
    void Place();
    std::vector<int> PortCpus(Port port) const;

    const BenchConfig config_;
    std::array<wire::Sender, 2> senders_;
    std::unique_ptr<Verifier> verifier_;
    // One sequence of draws for both injectors and the aimed faults' prob.
    RandomSource random_;
    std::unique_ptr<AimedFaults> aimed_;
    std::unique_ptr<RecoveryTracker> recovery_;
    std::array<std::unique_ptr<Injector>, 2> injectors_;
    wire::LineLog log_;
    int summaryFd_ = -1;
    wire::PcapngWriter captureFile_;
    // Each port direction's interface in the capture file, [Port][Direction]; -1: none.
    std::array<std::array<int, 2>, 2> captureInterfaces_{{{-1, -1}, {-1, -1}}};
    std::unique_ptr<wire::StatusLine> status_;
    FramePath path_;
    // The captures of arriving frames; what leaves is seen as it is sent.
    wire::CaptureSet captures_;
    // Each port's capture, or null.
    std::array<wire::Capture*, 2> captureOf_{};
    bool started_ = false;
    bool stopped_ = false;
};

}  // namespace engine
