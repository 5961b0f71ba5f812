#include "engine/Bench.h"

#include <pcap/pcap.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "transport/Connection.h"
#include "wire/Console.h"
#include "wire/Error.h"
#include "wire/LossReport.h"
#include "wire/OutputFile.h"

namespace engine {

namespace {

SendFunction SendOutOf(wire::Sender& sender) {
    return
        [&sender](const std::uint8_t* data, std::size_t size) { return sender.Send(data, size); };
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

}  // namespace

Bench::Bench(BenchConfig config, RandomSource random)
    : config_(std::move(config)),
      senders_{wire::Sender(config_.serverPort), wire::Sender(config_.clientPort)},
      verifier_(MakeVerifier(config_)),
      injectors_(MakeInjectors(config_, senders_, Shared(std::move(random)))),
      path_(config_, verifier_.get(), Outlets()) {}

Bench::~Bench() {
    Stop();
    if (summaryFd_ >= 0) {
        close(summaryFd_);
    }
}

std::array<std::unique_ptr<Injector>, 2> Bench::MakeInjectors(const BenchConfig& config,
                                                              std::array<wire::Sender, 2>& senders,
                                                              const RandomSource& random) {
    std::array<std::unique_ptr<Injector>, 2> injectors;
    for (Port port : kPorts) {
        if (config.arrivals[Index(port)].arrival == Arrival::Inject) {
            injectors[Index(port)] = std::make_unique<Injector>(
                config.PortName(port) + " in", SendOutOf(senders[Index(OtherPort(port))]),
                config.injectorLimit, random);
        }
    }
    return injectors;
}

FrameOutlets Bench::Outlets() {
    FrameOutlets outlets;
    for (Port port : kPorts) {
        outlets.send[Index(port)] = SendOutOf(senders_[Index(port)]);
        outlets.injectors[Index(port)] = injectors_[Index(port)].get();
    }
    outlets.log = [this](const std::string& line) { log_.WriteLine(line); };
    return outlets;
}

void Bench::AddCapture(Port port, Direction direction) {
    wire::CaptureSet& set = captures_[Index(direction)];
    captureIndex_[Index(port)][Index(direction)] = static_cast<int>(set.Captures().size());
    set.Add(config_.PortName(port), direction == Direction::In ? PCAP_D_IN : PCAP_D_OUT,
            [this, port, direction](const wire::RawFrame& frame) {
                path_.Handle(port, direction, frame.data, frame.size);
                return true;
            });
}

void Bench::Open() {
    for (wire::Sender& sender : senders_) {
        sender.Open();
    }
    // Arriving frames first, in port order, then leaving ones: the order the captures start.
    for (Direction direction : {Direction::In, Direction::Out}) {
        for (Port port : kPorts) {
            const bool arrivalUsed = direction == Direction::In &&
                                     config_.arrivals[Index(port)].arrival != Arrival::Ignore;
            if (arrivalUsed || IsObserved(config_, port, direction)) {
                AddCapture(port, direction);
            }
        }
    }
    for (wire::CaptureSet& set : captures_) {
        set.OpenAll();
    }
    log_.Open(config_.log.path);
    if (!config_.summaryPath.empty()) {
        summaryFd_ = wire::OpenOutputFile(config_.summaryPath);
    }
}

void Bench::Start() {
    if (verifier_) {
        RegisterConnections(*verifier_, config_.verify->connections);
    }
    log_.WriteLine(config_.log.startLine);
    for (Port port : kPorts) {
        if (injectors_[Index(port)]) {
            injectors_[Index(port)]->Configure(config_.arrivals[Index(port)].injector);
        }
    }
    started_ = true;
    for (auto& injector : injectors_) {
        if (injector) {
            injector->Start();
        }
    }
    for (wire::CaptureSet& set : captures_) {
        set.StartAll();
    }
}

void Bench::WaitForStop() {
    wire::WaitForKeyOrEndOfInput();
}

void Bench::Run(std::ostream& out, const std::string& startBanner) {
    Open();
    Start();
    out << startBanner << std::endl;
    WaitForStop();
    Stop();
}

void Bench::Stop() {
    if (!started_ || stopped_) {
        return;
    }
    stopped_ = true;
    captures_[Index(Direction::In)].StopAll(config_.stopBudget);
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
    captures_[Index(Direction::Out)].StopAll(config_.stopBudget);
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
    const int index = captureIndex_[Index(port)][Index(direction)];
    const auto& set = captures_[Index(direction)].Captures();
    return index < 0 ? 0 : set[static_cast<std::size_t>(index)]->FramesSeen();
}

void Bench::WriteLossReport(std::ostream& out) const {
    wire::WriteLossReport(out, captures_[Index(Direction::In)], {});
    wire::WriteLossReport(out, captures_[Index(Direction::Out)],
                          {&senders_[Index(Port::Server)], &senders_[Index(Port::Client)]});
    // The client's injector first: the direction a request takes before its answer.
    for (Port port : {Port::Client, Port::Server}) {
        if (injectors_[Index(port)]) {
            injectors_[Index(port)]->WriteReport(out);
        }
    }
}

}  // namespace engine

namespace engine {

FrameCounts Bench::Frames(Port port, Direction direction) const {
    FrameCounts counts;
    counts.captured = FramesCaptured(port, direction);
    const int index = captureIndex_[Index(port)][Index(direction)];
    if (index >= 0) {
        const auto& set = captures_[Index(direction)].Captures();
        counts.kernelDrops = set[static_cast<std::size_t>(index)]->Losses().kernelDrops;
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
    return summary;
}

void Bench::WriteSummaries(std::ostream& err) const {
    const RunSummary summary = Summary();
    if (summary.verification) {
        WriteVerificationSummary(err, *summary.verification,
                                 {config_.serverPort, config_.clientPort});
    }
    if (summaryFd_ >= 0) {
        WriteAll(summaryFd_, SummaryJson(summary), config_.summaryPath);
    }
}

}  // namespace engine
