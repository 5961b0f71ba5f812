#include "engine/Bench.h"

#include <pcap/pcap.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <utility>

#include "modifier/FaultSummary.h"
#include "modifier/SeededRandom.h"
#include "transport/Connection.h"
#include "wire/Console.h"
#include "wire/Error.h"
#include "wire/LossReport.h"
#include "wire/OutputFile.h"
#include "wire/Placement.h"

namespace engine {

namespace {

SendMany SendManyOutOf(wire::Sender& sender) {
    return [&sender](const FrameView* frames, std::size_t count, bool* sent) {
        wire::SendBatch batch(sender);
        for (std::size_t i = 0; i < count; ++i) {
            batch.Add(frames[i].data, frames[i].size);
        }
        batch.Send();
        for (std::size_t i = 0; i < count; ++i) {
            sent[i] = batch.Sent(i);
        }
    };
}

bool IsObserved(const BenchConfig& config, Port port, Direction direction) {
    for (const Observation& observation : config.observations) {
        if (observation.port == port && observation.direction == direction) {
            return true;
        }
    }
    return false;
}

// One draw at a time from the caller's source for both injectors, which then share its sequence
// (as they share the C library's) instead of each repeating a copy of it.
RandomSource Shared(RandomSource random) {
    struct State {
        std::mutex mutex;
        RandomSource source;
    };
    auto state = std::make_shared<State>();
    state->source = std::move(random);
    return [state] {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->source();
    };
}

std::unique_ptr<Verifier> MakeVerifier(const BenchConfig& config) {
    if (!config.verify) {
        return nullptr;
    }
    auto verifier = std::make_unique<Verifier>();
    verifier->SetRules(config.verify->rules, config.verify->pathMtu);
    return verifier;
}

void WriteAll(int fd, const std::string& text, const std::string& path) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw wire::Error(path, std::string("cannot write: ") + std::strerror(errno));
        }
        written += static_cast<std::size_t>(n);
    }
}

std::string CpuNames(const std::vector<int>& cpus) {
    std::string names;
    for (int cpu : cpus) {
        names += (names.empty() ? "" : ",") + std::to_string(cpu);
    }
    return names;
}

wire::PcapngWriter::Options CaptureFileOptions(const BenchConfig& config) {
    wire::PcapngWriter::Options options;
    options.limitBytes = config.captureLimitBytes;
    options.application = config.program;
    return options;
}

const char* DirectionName(Direction direction) {
    return direction == Direction::In ? " in" : " out";
}

}  // namespace

Bench::Bench(BenchConfig config, RandomSource random)
    : config_(std::move(config)),
      senders_{wire::Sender(config_.serverPort), wire::Sender(config_.clientPort)},
      verifier_(MakeVerifier(config_)),
      random_(Shared(config_.seed ? SeededRandom(*config_.seed) : std::move(random))),
      aimed_(config_.faults.empty() ? nullptr
                                    : std::make_unique<AimedFaults>(config_.faults, random_)),
      recovery_(aimed_ ? std::make_unique<RecoveryTracker>(
                             [this](std::uint32_t qp) { return PeerOf(qp); })
                       : nullptr),
      injectors_(MakeInjectors()),
      captureFile_(CaptureFileOptions(config_)),
      path_(config_, verifier_.get(), Outlets()) {}

Bench::~Bench() {
    Stop();
    if (summaryFd_ >= 0) {
        close(summaryFd_);
    }
}

// The registered connections tell; without them, nothing.
std::optional<std::uint32_t> Bench::PeerOf(std::uint32_t qp) const {
    if (config_.verify) {
        for (const Connection& connection : config_.verify->connections) {
            if (connection.clientQp == qp) {
                return connection.serverQp;
            }
            if (connection.serverQp == qp) {
                return connection.clientQp;
            }
        }
    }
    return std::nullopt;
}

std::array<std::unique_ptr<Injector>, 2> Bench::MakeInjectors() {
    std::array<std::unique_ptr<Injector>, 2> injectors;
    for (Port port : kPorts) {
        if (config_.arrivals[Index(port)].arrival == Arrival::Inject) {
            injectors[Index(port)] = std::make_unique<Injector>(
                config_.PortName(port) + " in",
                [this, port](const FrameView* frames, std::size_t count) {
                    path_.Release(port, frames, count);
                },
                config_.injectorLimit, random_);
        }
    }
    return injectors;
}

FrameOutlets Bench::Outlets() {
    FrameOutlets outlets;
    for (Port port : kPorts) {
        outlets.send[Index(port)] = SendManyOutOf(senders_[Index(port)]);
        outlets.injectors[Index(port)] = injectors_[Index(port)].get();
        outlets.recovery = recovery_.get();
    }
    outlets.log = [this](const std::string& line) { log_.WriteLine(line); };
    if (!config_.capturePath.empty()) {
        outlets.record = [this](Port port, Direction direction, std::int64_t timeNs,
                                const FrameView& frame, std::string_view comment) {
            RecordFrame(port, direction, timeNs, frame, comment);
        };
    }
    return outlets;
}

void Bench::AddCapture(Port port) {
    captureOf_[Index(port)] = &captures_.Add(
        config_.PortName(port), PCAP_D_IN,
        [this, port](const wire::RawFrame& frame) {
            path_.Handle(port, Direction::In, frame.data, frame.size, frame.captureTimeNs);
            return true;
        },
        [this, port] { path_.EndOfBatch(port); });
}

std::vector<int> Bench::PortCpus(Port port) const {
    if (!config_.cpus.empty()) {
        return {config_.cpus[Index(port) % config_.cpus.size()]};
    }
    if (const auto cpu = wire::InterruptCpu(config_.PortName(port))) {
        return {*cpu};
    }
    return {};
}

// The controlling thread first, so that every thread it starts (the log's too) inherits the set.
void Bench::Place() {
    if (config_.cpus.empty()) {
        return;
    }
    const std::vector<int> unusable = wire::UnusableCpus(config_.cpus);
    if (!unusable.empty()) {
        throw wire::Error("--cpu", "CPU " + CpuNames(unusable) + " not available to this process");
    }
    if (!wire::PinCurrentThread(config_.cpus)) {
        throw wire::Error("--cpu", "cannot run on CPU " + CpuNames(config_.cpus));
    }
}

void Bench::Open() {
    Place();
    for (wire::Sender& sender : senders_) {
        sender.Open();
    }
    for (Port port : kPorts) {
        if (config_.arrivals[Index(port)].arrival != Arrival::Ignore ||
            IsObserved(config_, port, Direction::In)) {
            AddCapture(port);
        }
    }
    captures_.OpenAll();
    log_.Open(config_.log.path);
    if (!config_.summaryPath.empty()) {
        summaryFd_ = wire::OpenOutputFile(config_.summaryPath);
    }
    OpenCaptureFile();
}

// Arriving where the port is captured, leaving where the other port's frames go on.
bool Bench::Sees(Port port, Direction direction) const {
    if (direction == Direction::In) {
        return captureOf_[Index(port)] != nullptr;
    }
    return config_.arrivals[Index(OtherPort(port))].arrival != Arrival::Ignore;
}

// An interface for each port direction the bench sees frames in.
void Bench::OpenCaptureFile() {
    if (config_.capturePath.empty()) {
        return;
    }
    captureFile_.Open(config_.capturePath);
    for (Port port : kPorts) {
        for (Direction direction : {Direction::In, Direction::Out}) {
            if (Sees(port, direction)) {
                captureInterfaces_[Index(port)][Index(direction)] =
                    captureFile_.AddInterface(config_.PortName(port) + DirectionName(direction));
            }
        }
        if (injectors_[Index(port)]) {
            injectors_[Index(port)]->Record([this, port](std::int64_t arrivalNs,
                                                         const FrameView& frame,
                                                         std::string_view comment) {
                RecordFrame(port, Direction::In, arrivalNs, frame, comment);
            });
        }
    }
}

void Bench::RecordFrame(Port port, Direction direction, std::int64_t timeNs, const FrameView& frame,
                        std::string_view comment) {
    // A full queue is counted by the writer and reported with the other losses.
    static_cast<void>(captureFile_.Submit(captureInterfaces_[Index(port)][Index(direction)], timeNs,
                                          frame.data, frame.size, comment));
}

void Bench::Start() {
    if (verifier_) {
        RegisterConnections(*verifier_, config_.verify->connections);
    }
    log_.WriteLine(config_.log.startLine);
    for (Port port : kPorts) {
        if (injectors_[Index(port)]) {
            injectors_[Index(port)]->Configure(config_.arrivals[Index(port)].injector);
            injectors_[Index(port)]->Place(PortCpus(port));
            injectors_[Index(port)]->Aim(aimed_.get(), recovery_.get(), FaultDirectionFrom(port),
                                         WallClockNs);
        }
        if (captureOf_[Index(port)] != nullptr) {
            captureOf_[Index(port)]->Place(PortCpus(port));
        }
    }
    if (!config_.capturePath.empty()) {
        captureFile_.Start();
    }
    started_ = true;
    for (auto& injector : injectors_) {
        if (injector) {
            injector->Start();
        }
    }
    captures_.StartAll();
}

void Bench::WaitForStop() {
    wire::WaitForKeyOrEndOfInput();
}

void Bench::Run(std::ostream& out, const std::string& startBanner) {
    Open();
    Start();
    out << startBanner << std::endl;
    if (config_.statusLine) {
        const bool terminal = isatty(STDERR_FILENO) == 1;
        status_ = std::make_unique<wire::StatusLine>([this] { return Status(); }, std::cerr,
                                                     terminal, std::chrono::seconds(1),
                                                     wire::TerminalColumns(STDERR_FILENO));
        status_->Start();
    }
    WaitForStop();
    Stop();
}

void Bench::Stop() {
    if (!started_ || stopped_) {
        return;
    }
    stopped_ = true;
    // Cleared before anything else is written, and before the captures it reads from close.
    if (status_) {
        status_->Stop();
    }
    captures_.StopAll(config_.stopBudget);
    // Both injectors are asked before either is waited for.
    for (auto& injector : injectors_) {
        if (injector) {
            injector->RequestStop();
        }
    }
    for (auto& injector : injectors_) {
        if (injector) {
            injector->Join();
        }
    }
    // Once the injectors have told what they held at the stop.
    captureFile_.Stop();
    if (config_.log.endLine) {
        log_.WriteLine(*config_.log.endLine);
    }
    log_.Close();
}

OperationCounters Bench::InjectorCounters(Port arriving) const {
    const auto& injector = injectors_[Index(arriving)];
    return injector ? injector->Counters() : OperationCounters{};
}

std::uint64_t Bench::FramesCaptured(Port port, Direction direction) const {
    if (direction == Direction::Out) {
        return senders_[Index(port)].SentFrames();
    }
    const wire::Capture* capture = captureOf_[Index(port)];
    return capture == nullptr ? 0 : capture->FramesSeen();
}

void Bench::WriteLossReport(std::ostream& out) const {
    wire::WriteLossReport(out, captures_,
                          {&senders_[Index(Port::Server)], &senders_[Index(Port::Client)]});
    // The client's injector first: the direction a request takes before its answer.
    for (Port port : {Port::Client, Port::Server}) {
        if (injectors_[Index(port)]) {
            injectors_[Index(port)]->WriteReport(out);
        }
    }
    if (!config_.capturePath.empty()) {
        captureFile_.WriteReport(out);
    }
}

}  // namespace engine

namespace engine {

FrameCounts Bench::Frames(Port port, Direction direction) const {
    FrameCounts counts;
    counts.captured = FramesCaptured(port, direction);
    const wire::Capture* capture = captureOf_[Index(port)];
    if (direction == Direction::In && capture != nullptr) {
        counts.kernelDrops = capture->Losses().kernelDrops;
    }
    // What arrives at a port can only leave by the other one.
    const wire::Sender& sender =
        senders_[Index(direction == Direction::In ? OtherPort(port) : port)];
    counts.forwarded = sender.SentFrames();
    counts.sendFailures = sender.UnsentFrames();
    return counts;
}

RunSummary Bench::Summary() const {
    RunSummary summary;
    summary.program = config_.program;
    summary.serverPort = config_.serverPort;
    summary.clientPort = config_.clientPort;
    for (Port port : kPorts) {
        for (Direction direction : {Direction::In, Direction::Out}) {
            summary.frames[Index(port)][Index(direction)] = Frames(port, direction);
        }
        if (const auto& injector = injectors_[Index(port)]) {
            summary.injectors[Index(port)] =
                InjectorSummary{injector->Counters(), injector->Refused(),
                                static_cast<std::uint64_t>(injector->Held())};
        }
    }
    if (verifier_) {
        summary.verification = verifier_->Report();
    }
    if (!config_.capturePath.empty()) {
        summary.captureFile = CaptureFileSummary{config_.capturePath, captureFile_.Counts(),
                                                 captureFile_.LimitReached()};
    }
    if (aimed_) {
        const std::size_t rules = config_.faults.size();
        summary.faults =
            FaultsSummary{config_.faults, aimed_->FiredCounts(), recovery_->PerRule(rules),
                          aimed_->Firings(), recovery_->Recoveries()};
    }
    return summary;
}

wire::StatusSnapshot Bench::Status() const {
    wire::StatusSnapshot snapshot;
    for (Port port : kPorts) {
        for (Direction direction : {Direction::In, Direction::Out}) {
            if (Sees(port, direction)) {
                snapshot.frames.push_back({config_.PortName(port) + DirectionName(direction),
                                           FramesCaptured(port, direction)});
            }
        }
        if (wire::Capture* capture = captureOf_[Index(port)]) {
            capture->RefreshKernelStatistics();
            snapshot.kernelDrops += capture->Losses().kernelDrops;
        }
        if (const auto& injector = injectors_[Index(port)]) {
            const OperationCounters decisions = injector->Counters();
            snapshot.injectorDecisions += decisions[OPERATION_DROP] + decisions[OPERATION_DELAY] +
                                          decisions[OPERATION_REORDER];
        }
    }
    if (aimed_) {
        for (std::uint64_t fired : aimed_->FiredCounts()) {
            snapshot.injectorDecisions += fired;
        }
    }
    snapshot.rocePackets = path_.RocePackets();
    if (verifier_) {
        snapshot.refused = verifier_->RefusedCount();
    }
    return snapshot;
}

void Bench::WriteSummaries(std::ostream& err) const {
    const RunSummary summary = Summary();
    if (summary.verification) {
        WriteVerificationSummary(err, *summary.verification,
                                 {config_.serverPort, config_.clientPort});
    }
    if (summary.faults) {
        WriteFaultSummary(err, summary.faults->rules, summary.faults->fired,
                          summary.faults->recovery);
    }
    if (summaryFd_ >= 0) {
        WriteAll(summaryFd_, SummaryJson(summary), config_.summaryPath);
    }
}

}  // namespace engine
