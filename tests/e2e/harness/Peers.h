#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/harness/Capture.h"
#include "tests/e2e/harness/Testbed.h"
#include "tools/rocepeer/RoceFrames.h"

namespace e2e {

using roceframes::Bytes;

// One of the rig's two hosts, where rocepeer runs.
struct Host {
    bool isClient;
    const char* mac;
    const char* ip;
    std::string Ns(const Testbed& rig) const { return isClient ? rig.ClientNs() : rig.ServerNs(); }
};
inline const Host kClient{true, Testbed::kClientMac, Testbed::kClientIp};
inline const Host kServer{false, Testbed::kServerMac, Testbed::kServerIp};
// rocepeer's default queue pairs: the requester's on the client, the responder's on the server.
constexpr std::uint32_t kClientQp = 0x11;
constexpr std::uint32_t kServerQp = 0x12;

// Lower-case hexadecimal without prefix, as the programs print numbers.
std::string Hex(std::uint32_t value);

// The four PSN fields of one queue pair in the idle checker's report.
struct QpState {
    std::uint32_t nextToSend = 0;
    std::uint32_t firstNonAcked = 0;
    std::uint32_t expected = 0;
    std::uint32_t oldestNonAcked = 0;
};
// The verifier's registration lines: the server's queue pair on device 0, the client's on 1.
std::string RegistrationLines(std::uint32_t clientQp = kClientQp,
                              std::uint32_t serverQp = kServerQp);
// The whole idle checker report: device 0 holds the server's queue pair, device 1 the client's.
std::string IdleCheckerReport(const QpState& server, const QpState& client,
                              std::uint32_t clientQp = kClientQp,
                              std::uint32_t serverQp = kServerQp);

// One kind of frame: how rocepeer is asked for it and the bytes it must put on the wire.
struct FrameCase {
    std::string name;
    const Host* from;
    const Host* to;
    std::vector<std::string> args;
    const char* peerIp;
    Bytes expected;
    std::optional<roceframes::BthFields> bth;  // of a whole RoCE frame
    bool toRocePort;                           // UDP to port 4791, whole RoCE or not
};

// Every kind of frame the bench must pass untouched from `from` to `to`, whose queue pair is
// `toQp`. The first is RoCE with an opcode above 9, so a decimal log line would show; the last
// is RoCE too, so its log lines prove that every frame before it was handled.
std::vector<FrameCase> FramesOfEveryKind(const Host& from, const Host& to, std::uint32_t toQp);

// The requester's messages: several packets each, from a PSN just before the 24-bit wrap.
constexpr std::uint32_t kExchangePsn = 0xfffff0;
constexpr std::uint32_t kExchangeMessages = 60;
inline const std::vector<std::uint32_t> kExchangeSizes = {200, 1024, 2500, 5000};
constexpr std::uint32_t kExchangeMtu = 1024;

struct Exchange {
    Finished request;
    std::string responder;  // its summary
};
// Runs a requester on the client against a responder on the server; `options` are added to,
// and override, the requester's.
Exchange RunExchange(const Testbed& rig, const std::vector<std::string>& options = {});

// A test on a rig of its own, built with the options a derived fixture sets in its constructor.
class RigTest : public ::testing::Test {
protected:
    void SetUp() override;
    // A run of `program` in the bench namespace once it has printed `banner`.
    std::unique_ptr<BenchRun> Start(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const std::string& banner);
    // A listening capture on a host's interface; `direction` is "in" or "out".
    std::unique_ptr<Capture> Listen(const Host& host, const char* direction);
    // Sends one frame of `kind` (rocepeer frame options) to `to`, or to `peerIp` at its MAC;
    // returns the bytes rocepeer says it sent, nothing when it failed.
    Bytes Send(const Host& from, const Host& to, const std::vector<std::string>& kind,
               const char* peerIp = nullptr);
    Bytes Send(const FrameCase& frame) {
        return Send(*frame.from, *frame.to, frame.args, frame.peerIp);
    }

    TestbedOptions options_;
    std::optional<Testbed> rig_;
};

}  // namespace e2e
