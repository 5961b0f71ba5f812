// wirewatch: the verifying bench. Forwards every frame between the two ports unchanged, and logs
// and verifies the RoCE packets seen in all four port directions.
#include <iostream>
#include <variant>

#include "apps/common/CommandLine.h"
#include "apps/common/Settings.h"
#include "apps/wirewatch/WatchLogLine.h"
#include "engine/Bench.h"
#include "wire/Program.h"

namespace wirewatch {

using engine::Direction;
using engine::Port;

constexpr int kExitStatus = 8;

std::string LogLine(const Bth& bth, std::int64_t) {
    return WatchLogLine(bth);
}

engine::BenchConfig Configuration(const cli::WirewatchArgs& args) {
    engine::BenchConfig config;
    config.program = "wirewatch";
    config.serverPort = args.ports.server;
    config.clientPort = args.ports.client;
    config.cpus = args.ports.cpus;
    config.arrivals[engine::Index(Port::Client)].arrival = engine::Arrival::Forward;
    config.arrivals[engine::Index(Port::Server)].arrival = engine::Arrival::Forward;
    // The server's packets are checked once, as they leave toward the client, against both
    // devices; the client's on arrival and on leaving.
    config.observations = {{Port::Client, Direction::In, {1}},
                           {Port::Server, Direction::Out, {0}},
                           {Port::Client, Direction::Out, {0, 1}}};
    config.log = {"verifier_log.txt", "\nVerifier Test start : ", std::nullopt, LogLine};
    config.verify = cli::VerificationOf(args.clientQp, args.serverQp, args.verify);
    cli::ApplyOutputs(args.outputs, config);
    return config;
}

void PrintReports(engine::Bench& bench) {
    const std::uint64_t leaving = bench.FramesCaptured(Port::Server, Direction::Out) +
                                  bench.FramesCaptured(Port::Client, Direction::Out);
    // Hexadecimal, the base the registration lines leave: scripts read it so.
    std::cout << "\nTotal messages sent: " << std::hex << leaving << "." << std::endl;
    bench.GetVerifier()->IdleChecker(std::cout);
    std::cout << "***THE END***" << std::endl;
}

int Main(int argc, char** argv) {
    const auto parsed = cli::ParseWirewatch(argc, argv, std::cout, std::cerr);
    if (const int* status = std::get_if<int>(&parsed)) {
        return *status;
    }
    engine::Bench bench(Configuration(std::get<cli::WirewatchArgs>(parsed)));
    bench.Run(std::cout, "\n***VERIFIER STARTED");
    PrintReports(bench);
    bench.WriteLossReport(std::cerr);
    bench.WriteSummaries(std::cerr);
    return kExitStatus;
}

}  // namespace wirewatch

int main(int argc, char** argv) {
    return wire::RunProgram("wirewatch", wirewatch::Main, argc, argv);
}
