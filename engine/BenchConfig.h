#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "modifier/FaultRule.h"
#include "modifier/ModifierParams.h"
#include "transport/Bth.h"
#include "transport/Connection.h"
#include "transport/Verifier.h"

namespace engine {

// The bench's two ports. The values index per-port arrays; the server port is also the
// verifier's device 0 and the client port its device 1.
enum class Port : std::uint8_t { Server = 0, Client = 1 };
enum class Direction : std::uint8_t { In = 0, Out = 1 };

inline constexpr std::array<Port, 2> kPorts{Port::Server, Port::Client};

inline Port OtherPort(Port port) {
    return port == Port::Server ? Port::Client : Port::Server;
}

// The direction of the packets arriving at a port, as the fault rules name it.
inline FaultDirection FaultDirectionFrom(Port arriving) {
    return arriving == Port::Client ? FaultDirection::ClientToServer
                                    : FaultDirection::ServerToClient;
}

inline std::size_t Index(Port port) {
    return static_cast<std::size_t>(port);
}

inline std::size_t Index(Direction direction) {
    return static_cast<std::size_t>(direction);
}

// What becomes of a frame that arrives at a port.
enum class Arrival : std::uint8_t {
    Ignore,   // nothing leaves
    Forward,  // every frame leaves by the other port exactly as it came
    Inject,   // RoCE packets pass the port's fault injector, and what it releases leaves by
              // the other port; every other frame goes nowhere
};

struct ArrivalConfig {
    Arrival arrival = Arrival::Ignore;
    ModifierParams injector;  // for Arrival::Inject
};

// A port direction whose RoCE packets are logged and, when the bench verifies, checked. For
// each packet and each device listed: one log line, then one verification against that
// device.
struct Observation {
    Port port;
    Direction direction;
    std::vector<unsigned> devices;
};

// The log line of one RoCE packet, without its line end.
using LogLineFormat = std::string (*)(const Bth& bth, std::int64_t wallClockMs);

struct LogConfig {
    std::string path;
    std::string startLine;
    std::optional<std::string> endLine;
    LogLineFormat format = nullptr;
};

using Connection = ConnectionQps;

// What the bench verifies: devices 0 and 1 with each connection's queue pairs, registered in
// this order, against one rule set.
struct Verification {
    std::vector<Connection> connections;
    RuleSet rules = RuleSet::Send;
    std::uint32_t pathMtu = 1024;
};

struct BenchConfig {
    std::string program;  // names the summary's source
    std::string serverPort = "enp1s0f0";
    std::string clientPort = "enp1s0f1";
    std::array<ArrivalConfig, 2> arrivals;  // indexed by the arriving port
    std::vector<Observation> observations;
    LogConfig log;
    // The bench verifies when this is set.
    std::optional<Verification> verify;
    // Aimed faults, tried before the weights of the injectors they concern.
    std::vector<FaultRule> faults;
    // Seeds the injectors' draws; none: the C library's unseeded sequence, as always.
    std::optional<std::uint64_t> seed;
    // Where the end-of-run summary goes; empty: nowhere.
    std::string summaryPath;
    // The capture file of every frame the bench sees, with what it did to them; empty: none.
    std::string capturePath;
    std::uint64_t captureLimitBytes = 0;  // 0: no limit
    // Whether a status line is kept up to date on standard error while it is a terminal.
    bool statusLine = true;
    // Packets an injector may hold (about 100 MB of typical frames): delays that outrun the
    // traffic must not take all memory in a long run.
    int injectorLimit = 1 << 16;
    // How long the stop may spend on frames already captured, once for the arriving and once
    // for the leaving ones.
    std::chrono::milliseconds stopBudget{400};
    // CPUs for the bench's threads: each port's in turn, the rest on all of them. Empty: a port
    // whose interrupts are bound to a CPU gets its threads there, others are not placed.
    std::vector<int> cpus;

    [[nodiscard]] const std::string& PortName(Port port) const {
        return port == Port::Server ? serverPort : clientPort;
    }
};

}  // namespace engine
