// midwire: the full bench. Verifies and logs the RoCE packets seen in all four port directions,
// passes the RoCE packets arriving on each port through that port's fault injector, and
// forwards what the injector releases out of the other port. Only RoCE packets are forwarded.
#include <iostream>
#include <variant>

#include "apps/common/CommandLine.h"
#include "apps/common/Settings.h"
#include "apps/midwire/MidwireLogLine.h"
#include "engine/Bench.h"
#include "wire/Program.h"

namespace midwire {

using engine::Direction;
using engine::Port;

constexpr int kExitStatus = 8;

ModifierParams InjectorParams(const cli::Weights& weights) {
    ModifierParams params;
    params.delayRange = {0, cli::kMidwireDelayMaxMs};
    for (std::size_t i = 0; i < weights.size(); ++i) {
        params.distribution[i] = weights[i];
    }
    return params;
}

engine::BenchConfig Configuration(const cli::MidwireArgs& args) {
    engine::BenchConfig config;
    config.program = "midwire";
    config.serverPort = args.ports.server;
    config.clientPort = args.ports.client;
    config.cpus = args.ports.cpus;
    config.arrivals[engine::Index(Port::Client)] = {engine::Arrival::Inject,
                                                    InjectorParams(args.client)};
    config.arrivals[engine::Index(Port::Server)] = {engine::Arrival::Inject,
                                                    InjectorParams(args.server)};
    // Each port direction is checked against the device of its port.
    config.observations = {{Port::Client, Direction::In, {1}},
                           {Port::Server, Direction::In, {0}},
                           {Port::Server, Direction::Out, {0}},
                           {Port::Client, Direction::Out, {1}}};
    config.log = {"verifier_log.txt", "\n#Verifier Test start : ", "\n#Verifier Test end.",
                  MidwireLogLine};
    config.verify = cli::VerificationOf(args.clientQp, args.serverQp, args.verify);
    cli::ApplyOutputs(args.outputs, config);
    config.faults = args.faults.rules;
    config.seed = args.faults.seed;
    return config;
}

void PrintReports(engine::Bench& bench) {
    std::cout << "\nVerifier Idle Checker Output:" << std::endl;
    bench.GetVerifier()->IdleChecker(std::cout);
    std::cout << "\nClient Modifier Couners:" << std::endl;
    WriteOperationCounters(std::cout, bench.InjectorCounters(Port::Client));
    std::cout << "\nServer Modifier Couners:" << std::endl;
    WriteOperationCounters(std::cout, bench.InjectorCounters(Port::Server));
    std::cout << "\n***THE END***" << std::endl;
}

int Main(int argc, char** argv) {
    const auto parsed = cli::ParseMidwire(argc, argv, std::cout, std::cerr);
    if (const int* status = std::get_if<int>(&parsed)) {
        return *status;
    }
    engine::Bench bench(Configuration(std::get<cli::MidwireArgs>(parsed)));
    bench.Run(std::cout, "\n***TEST STARTED ... press any key to stop ...");
    PrintReports(bench);
    bench.WriteLossReport(std::cerr);
    bench.WriteSummaries(std::cerr);
    return kExitStatus;
}

}  // namespace midwire

int main(int argc, char** argv) {
    return wire::RunProgram("midwire", midwire::Main, argc, argv);
}
