// rocepeer: a RoCE v2 peer in user space, for the bench's tests and benchmarks.
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>

#include "tools/rocepeer/Options.h"

namespace {

const char kUsage[] =
    "usage: rocepeer <command> [options]\n"
    "  respond   --dev IF [--qp N] [--peer-qp N] [--psn N] [--count N] [--idle-ms N]\n"
    "  request   --dev IF --peer-mac MAC --peer-ip IP [--src-ip IP] [--qp N] [--peer-qp N]\n"
    "            [--count N] [--size N[,N...]] [--mtu N] [--psn N] [--window N]\n"
    "            [--timeout-ms N] [--limit-ms N]\n"
    "  rate-send --dev IF --peer-mac MAC --peer-ip IP [--rate PPS] [--frame-size BYTES]\n"
    "            [--seconds S] [--ackreq-every N] [--qp N] [--peer-qp N] [--psn N]\n"
    "  rate-recv --dev IF [--ack] [--qp N] [--peer-qp N] [--idle-ms N] [--seconds S]\n"
    "  frame     --dev IF --peer-mac MAC --peer-ip IP --kind roce|udp|arp\n"
    "            roce: [--opcode N] [--qp N] [--psn N] [--ackreq-byte N] [--payload-size N]\n"
    "                  [--udp-checksum] [--ip-id N] [--src-port N]\n"
    "            udp:  [--src-port N] [--dst-port N] [--payload-size N] [--no-udp-checksum]\n"
    "                  [--ip-id N]\n"
    "Numbers are decimal or 0x-prefixed hexadecimal. QPs default to 0x11 for the\n"
    "requester side and 0x12 for the responder side.\n";

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void OnStopSignal(int) {
    stopSignal = 1;
}

using Runner = int (*)(const rocepeer::Options&);

struct Command {
    const char* name;
    Runner run;
    std::set<std::string> valued;
    std::set<std::string> flags;
};

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"respond", rocepeer::RunRespond, {"dev", "qp", "peer-qp", "psn", "count", "idle-ms"}, {}},
        {"request",
         rocepeer::RunRequest,
         {"dev", "peer-mac", "peer-ip", "src-ip", "qp", "peer-qp", "count", "size", "mtu", "psn",
          "window", "timeout-ms", "limit-ms"},
         {}},
        {"rate-send",
         rocepeer::RunRateSend,
         {"dev", "peer-mac", "peer-ip", "src-ip", "rate", "frame-size", "seconds", "ackreq-every",
          "qp", "peer-qp", "psn"},
         {}},
        {"rate-recv",
         rocepeer::RunRateReceive,
         {"dev", "qp", "peer-qp", "idle-ms", "seconds"},
         {"ack"}},
        {"frame",
         rocepeer::RunFrame,
         {"dev", "peer-mac", "peer-ip", "src-ip", "kind", "opcode", "qp", "psn", "ackreq-byte",
          "payload-size", "ip-id", "src-port", "dst-port"},
         {"udp-checksum", "no-udp-checksum"}},
    };
    return commands;
}

}  // namespace

namespace rocepeer {
bool StopRequested() {
    return stopSignal != 0;
}
}  // namespace rocepeer

int main(int argc, char** argv) {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    const std::string name = argc > 1 ? argv[1] : "";
    for (const Command& command : Commands()) {
        if (name != command.name) {
            continue;
        }
        try {
            const std::vector<std::string> args(argv + 2, argv + argc);
            return command.run(rocepeer::Options(args, command.valued, command.flags));
        } catch (const rocepeer::UsageError& error) {
            std::cerr << "rocepeer " << name << ": " << error.what() << "\n" << kUsage;
            return 2;
        } catch (const std::exception& error) {
            std::cerr << "rocepeer " << name << ": " << error.what() << "\n";
            return 1;
        }
    }
    std::cerr << (name.empty() ? "rocepeer: no command\n"
                               : "rocepeer: unknown command '" + name + "'\n")
              << kUsage;
    return 2;
}
