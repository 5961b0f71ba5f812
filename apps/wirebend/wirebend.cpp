// wirebend: the fault-injecting bench. Forwards every frame from the server to the client
// unchanged, and passes the RoCE packets from the client through a fault injector to the
// server, logging each of them.
#include <iostream>
#include <variant>

#include "apps/common/CommandLine.h"
#include "apps/common/Settings.h"
#include "apps/wirebend/BendLogLine.h"
#include "engine/Bench.h"
#include "wire/Program.h"

namespace wirebend {

using engine::Direction;
using engine::Port;

std::string LogLine(const Bth& bth, std::int64_t) {
    return BendLogLine(bth);
}

ModifierParams InjectorParams(const cli::WirebendArgs& args) {
    ModifierParams params;
    for (std::size_t i = 0; i < args.weights.size(); ++i) {
        params.distribution[i] = args.weights[i];
    }
    params.delayRange = {args.minDelayMs, args.maxDelayMs};
    return params;
}

engine::BenchConfig Configuration(const cli::WirebendArgs& args) {
    engine::BenchConfig config;
    config.program = "wirebend";
    config.serverPort = args.ports.server;
    config.clientPort = args.ports.client;
    config.cpus = args.ports.cpus;
    config.arrivals[engine::Index(Port::Server)].arrival = engine::Arrival::Forward;
    config.arrivals[engine::Index(Port::Client)] = {engine::Arrival::Inject, InjectorParams(args)};
    // Logged only: wirebend has no verifier.
    config.observations = {{Port::Client, Direction::In, {1}}};
    config.log = {"Log.txt", "Test start : ", std::nullopt, LogLine};
    cli::ApplyOutputs(args.outputs, config);
    config.faults = args.faults.rules;
    config.seed = args.faults.seed;
    return config;
}

int Main(int argc, char** argv) {
    const auto parsed = cli::ParseWirebend(argc, argv, std::cout, std::cerr);
    if (const int* status = std::get_if<int>(&parsed)) {
        return *status;
    }
    engine::Bench bench(Configuration(std::get<cli::WirebendArgs>(parsed)));
    bench.Run(std::cout, "\n***MODIFIER STARTED");
    WriteOperationCounters(std::cout, bench.InjectorCounters(Port::Client));
    std::cout << "\n*** THE END***\n" << std::endl;
    bench.WriteLossReport(std::cerr);
    bench.WriteSummaries(std::cerr);
    return 0;
}

}  // namespace wirebend

int main(int argc, char** argv) {
    return wire::RunProgram("wirebend", wirebend::Main, argc, argv);
}
