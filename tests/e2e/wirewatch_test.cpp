// wirewatch as the only link between the bench ports: what it forwards, logs, counts and
// reports, judged against what the peers on either side sent and received.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/BenchProgram.h"
#include "tests/e2e/harness/Capture.h"
#include "tests/e2e/harness/Frames.h"
#include "tests/e2e/harness/Testbed.h"
#include "tests/e2e/harness/Text.h"
#include "tests/e2e/harness/Wait.h"
#include "tools/rocepeer/ReliableConnection.h"
#include "tools/rocepeer/RoceFrames.h"

namespace {

using std::chrono::seconds;

constexpr int kExitStatus = 8;
constexpr char kStartBanner[] = "\n***VERIFIER STARTED\n";
constexpr char kLogName[] = "verifier_log.txt";
constexpr char kLogStart[] = "\nVerifier Test start : \n";
// rocepeer's default queue pairs: the requester (client) end and the responder (server) end.
constexpr std::uint32_t kClientQp = 0x11;
constexpr std::uint32_t kServerQp = 0x12;
constexpr std::uint8_t kAcknowledge = roceframes::kOpcodeAcknowledge;

std::string WirewatchPath() {
    return e2e::ProgramPath("wirewatch").value_or("wirewatch");
}

std::string Rocepeer() {
    return *e2e::ProgramPath("rocepeer");
}

std::string Hex(std::uint32_t value) {
    std::ostringstream text;
    text << std::hex << value;
    return text.str();
}

std::uint32_t NextPsn(std::uint32_t psn) {
    return (psn + 1) & roceframes::kPsnMask;
}

// ---- What the program must print and log ----

std::string StartOutput(std::uint32_t clientQp, std::uint32_t serverQp) {
    return "QP " + Hex(serverQp) + " was added to device 0. Peer QP: " + Hex(clientQp) + ".\n" +
           "QP " + Hex(clientQp) + " was added to device 1. Peer QP: " + Hex(serverQp) + ".\n" +
           kStartBanner;
}

struct QpState {
    std::uint32_t nextToSend = 0;
    std::uint32_t firstNonAcked = 0;
    std::uint32_t expected = 0;
    std::uint32_t oldestNonAcked = 0;
};

std::string QpReport(std::uint32_t qp, std::uint32_t peer, const QpState& state) {
    return "\t" + Hex(qp) + " sent to " + Hex(peer) + "\n" +
           "\t\tNext To Send psn:" + Hex(state.nextToSend) +
           " First Non-Acked psn:" + Hex(state.firstNonAcked) + "\n" +
           "\t\tExpected psn:" + Hex(state.expected) +
           " Oldest Non-Acked psn:" + Hex(state.oldestNonAcked) + "\n";
}

// Everything after the start banner: count, idle checker report (device 0 holds the server's
// queue pair, device 1 the client's) and the end banner.
std::string ShutdownOutput(std::uint32_t leavingFrames, const QpState& serverSide,
                           const QpState& clientSide) {
    return "\nTotal messages sent: " + Hex(leavingFrames) + ".\n" + "Device ID:0\n" +
           QpReport(kServerQp, kClientQp, serverSide) + "Device ID:1\n" +
           QpReport(kClientQp, kServerQp, clientSide) + "***THE END***\n";
}

std::string LogLine(std::uint8_t opcode, std::uint32_t psn, std::uint32_t destQp, bool ackReq) {
    return "op:" + Hex(opcode) + " #" + Hex(psn) + " dest:" + Hex(destQp) +
           " ackreq:" + (ackReq ? "1" : "0");
}

// The packet lines of a log, sorted (concurrent captures write them in any order); nothing
// when the log does not begin with its start lines.
std::optional<std::vector<std::string>> SortedPacketLines(const std::string& log) {
    if (log.compare(0, sizeof kLogStart - 1, kLogStart) != 0) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    std::istringstream rest(log.substr(sizeof kLogStart - 1));
    for (std::string line; std::getline(rest, line);) {
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::size_t CountOf(const std::optional<std::vector<std::string>>& lines, const std::string& line) {
    return lines ? static_cast<std::size_t>(std::count(lines->begin(), lines->end(), line)) : 0;
}

// ---- Runs outside the rig's bench program helper ----

// A scratch working directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/wirewatch-e2e-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    bool Has(const std::string& name) const { return std::filesystem::exists(path_ + "/" + name); }
    std::string Read(const std::string& name) const {
        std::ifstream in(path_ + "/" + name);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string path_;
};

// Runs wirewatch with its input at end of file from the start, in `dir`.
e2e::Finished RunAtEndOfInput(const std::vector<std::string>& args, const std::string& netns,
                              const TempDir& dir) {
    std::vector<std::string> argv{WirewatchPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    e2e::Process run(argv, netns, dir.Path());
    run.CloseStdin();
    e2e::Finished finished;
    finished.status = run.WaitOrKill(seconds(30));
    finished.out = run.Stdout();
    finished.err = run.Stderr();
    return finished;
}

// ---- Frames sent by one host to the other ----

struct Host {
    bool isClient;
    const char* mac;
    const char* ip;
};
const Host kClient{true, e2e::Testbed::kClientMac, e2e::Testbed::kClientIp};
const Host kServer{false, e2e::Testbed::kServerMac, e2e::Testbed::kServerIp};
// An ARP request for an address nobody holds, so that no host answers it behind the test's back.
constexpr char kUnownedIp[] = "10.47.0.99";

roceframes::Endpoints Between(const Host& from, const Host& to, const char* toIp) {
    return e2e::EndpointsOf(from.mac, from.ip, to.mac, toIp);
}

// One `rocepeer frame` invocation, the bytes it must put on the wire and the log lines the
// frame must add (one per verification).
struct FrameCase {
    std::string name;
    std::vector<std::string> args;
    const char* peerIp;
    roceframes::Bytes expected;
    std::vector<std::string> logLines;
};

FrameCase RoceCase(const std::string& name, const Host& from, const Host& to,
                   const roceframes::BthFields& bth, std::size_t payload) {
    const std::vector<std::string> args = {"--kind",         "roce",
                                           "--opcode",       std::to_string(bth.opcode),
                                           "--qp",           "0x" + Hex(bth.destQp),
                                           "--psn",          "0x" + Hex(bth.psn),
                                           "--ackreq-byte",  std::to_string(bth.ackReqByte),
                                           "--payload-size", std::to_string(payload)};
    const std::string line = LogLine(bth.opcode, bth.psn, bth.destQp, bth.ackReqByte != 0);
    return {name,
            args,
            to.ip,
            roceframes::BuildRoceFrame(Between(from, to, to.ip), bth, e2e::Pattern(payload)),
            {line, line}};
}

FrameCase UdpCase(const std::string& name, const Host& from, const Host& to, std::uint16_t srcPort,
                  std::uint16_t dstPort, std::size_t payload, bool checksum) {
    std::vector<std::string> args = {"--kind",         "udp",
                                     "--src-port",     std::to_string(srcPort),
                                     "--dst-port",     std::to_string(dstPort),
                                     "--payload-size", std::to_string(payload)};
    if (!checksum) {
        args.push_back("--no-udp-checksum");
    }
    return {name,
            args,
            to.ip,
            roceframes::BuildUdpFrame(Between(from, to, to.ip), srcPort, dstPort,
                                      e2e::Pattern(payload), checksum),
            {}};
}

// Every kind of frame the bench must pass untouched, from `from` to `to`, whose queue pair is
// `toQp`. The first RoCE opcode is above 9, so a decimal first line would show; the last frame is
// RoCE, so its log lines prove that the leaving capture has handled every frame before it.
std::vector<FrameCase> FramesOfEveryKind(const Host& from, const Host& to, std::uint32_t toQp) {
    return {
        RoceCase("acknowledge, zero UDP checksum", from, to, {kAcknowledge, toQp, 0xabcdef, 0}, 4),
        RoceCase("opcode 10, reserved ackreq bit", from, to, {10, 0x123456, 0xffffff, 0x01}, 0),
        {"arp request",
         {"--kind", "arp"},
         kUnownedIp,
         roceframes::BuildArpRequest(Between(from, to, kUnownedIp)),
         {}},
        UdpCase("udp to another port", from, to, 49152, 5000, 30, true),
        UdpCase("udp from 4791 to another port", from, to, 4791, 5001, 30, true),
        UdpCase("4791, empty payload", from, to, 49152, 4791, 0, true),
        UdpCase("4791, 5-byte payload, short frame", from, to, 49152, 4791, 5, false),
        RoceCase("send only, ackreq", from, to, {4, toQp, 0x10, 0x80}, 64),
    };
}

bool Contains(const std::vector<e2e::Frame>& frames, const roceframes::Bytes& frame) {
    return std::find(frames.begin(), frames.end(), frame) != frames.end();
}

// ---- The rig joined by wirewatch alone ----

class WirewatchInRig : public ::testing::Test {
protected:
    void SetUp() override {
        E2E_SKIP_UNLESS_POSSIBLE();
        ASSERT_TRUE(e2e::ProgramPath("wirewatch")) << "wirewatch is not built";
        rig_ = std::make_unique<e2e::Testbed>();
        ASSERT_TRUE(rig_->Up()) << rig_->Error();
    }

    std::unique_ptr<e2e::BenchProgram> StartWirewatch(const std::string& clientQp,
                                                      const std::string& serverQp) {
        return std::make_unique<e2e::BenchProgram>(
            *rig_, "wirewatch", std::vector<std::string>{clientQp, serverQp}, kStartBanner);
    }

    std::string NamespaceOf(const Host& host) const {
        return host.isClient ? rig_->ClientNs() : rig_->ServerNs();
    }

    e2e::Finished SendFrame(const Host& from, const Host& to, const FrameCase& frame) {
        std::vector<std::string> argv = {Rocepeer(),   "frame", "--dev",     "eth0",
                                         "--peer-mac", to.mac,  "--peer-ip", frame.peerIp};
        argv.insert(argv.end(), frame.args.begin(), frame.args.end());
        return e2e::Run(argv, NamespaceOf(from));
    }

    // Waits until the log holds exactly `expected` packet lines, in any order.
    static bool WaitForLog(const e2e::BenchProgram& bench,
                           const std::vector<std::string>& expected) {
        const std::vector<std::string> sorted = Sorted(expected);
        return e2e::WaitUntil([&] { return SortedPacketLines(bench.ReadFile(kLogName)) == sorted; },
                              seconds(10));
    }

    std::unique_ptr<e2e::Testbed> rig_;
};

TEST_F(WirewatchInRig, RegistrationLinesThenBannerWithQueuePairsInEitherHexForm) {
    const struct {
        const char* clientQp;
        const char* serverQp;
        std::uint32_t client;
        std::uint32_t server;
    } runs[] = {{"0x1a", "2B", 0x1a, 0x2b}, {"1a", "0x2b", 0x1a, 0x2b}, {"zz", "0x2b", 0, 0x2b}};
    for (const auto& run : runs) {
        SCOPED_TRACE(std::string(run.clientQp) + " " + run.serverQp);
        auto bench = StartWirewatch(run.clientQp, run.serverQp);
        ASSERT_TRUE(bench->WaitUntilStarted()) << bench->process().Stderr();
        EXPECT_EQ(bench->process().Stdout(), StartOutput(run.client, run.server));
        const e2e::Finished end = bench->Stop();
        EXPECT_EQ(end.status, kExitStatus) << end.err;
        EXPECT_EQ(end.out.rfind(StartOutput(run.client, run.server), 0), 0u) << end.out;
    }
}

TEST_F(WirewatchInRig, EndOfInputAtOnceEndsTheRunAndASecondRunEmptiesTheLog) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    {
        e2e::Process first({WirewatchPath(), "11", "12"}, rig_->BenchNs(), dir.Path());
        ASSERT_TRUE(first.WaitForOutput(kStartBanner, seconds(20))) << first.Stderr();
        const FrameCase roce = FramesOfEveryKind(kClient, kServer, kServerQp).front();
        ASSERT_EQ(SendFrame(kClient, kServer, roce).status, 0);
        const std::vector<std::string> expected = Sorted(roce.logLines);
        EXPECT_TRUE(e2e::WaitUntil(
            [&] { return SortedPacketLines(dir.Read(kLogName)) == expected; }, seconds(10)))
            << dir.Read(kLogName);
        first.CloseStdin();
        EXPECT_EQ(first.WaitOrKill(seconds(30)), kExitStatus) << first.Stderr();
    }
    const e2e::Finished second = RunAtEndOfInput({"11", "12"}, rig_->BenchNs(), dir);
    EXPECT_EQ(second.status, kExitStatus);
    EXPECT_EQ(second.out, StartOutput(kClientQp, kServerQp) + ShutdownOutput(0, {}, {}));
    EXPECT_EQ(second.err, "") << "no loss to report";
    EXPECT_EQ(dir.Read(kLogName), kLogStart);
}

TEST_F(WirewatchInRig, MissingInterfaceIsOneLineAndStatusThree) {
    TempDir dir;
    // The client namespace has no bench ports.
    const e2e::Finished run = RunAtEndOfInput({"11", "12"}, rig_->ClientNs(), dir);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "wirewatch: enp1s0f0: no such interface\n");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(dir.Has(kLogName));
}

// Requests from 0xfffff0 on cross the 24-bit PSN wrap; the verifier must follow it.
TEST_F(WirewatchInRig, RequesterAndResponderCompleteAndTheReportMatchesTheirPsns) {
    constexpr std::uint32_t kStartPsn = 0xfffff0;
    constexpr std::uint32_t kMessages = 60;
    const std::vector<std::uint32_t> sizes = {200, 1024, 2500, 5000};
    constexpr std::uint32_t kMtu = 1024;
    const auto plan = roceframes::PlanMessages(kMessages, sizes, kMtu);

    auto bench = StartWirewatch("11", "12");
    ASSERT_TRUE(bench->WaitUntilStarted()) << bench->process().Stderr();
    e2e::Process responder({Rocepeer(), "respond", "--dev", "eth0", "--psn", "0xfffff0", "--count",
                            std::to_string(kMessages)},
                           rig_->ServerNs());
    ASSERT_TRUE(responder.WaitForOutput("ready", seconds(10))) << responder.Stderr();
    // A generous timeout: a retransmission on a busy host would make the run inexact.
    const e2e::Finished request = e2e::Run({Rocepeer(),     "request",
                                            "--dev",        "eth0",
                                            "--peer-mac",   kServer.mac,
                                            "--peer-ip",    kServer.ip,
                                            "--psn",        "0xfffff0",
                                            "--count",      std::to_string(kMessages),
                                            "--size",       "200,1024,2500,5000",
                                            "--mtu",        std::to_string(kMtu),
                                            "--timeout-ms", "3000",
                                            "--limit-ms",   "60000"},
                                           rig_->ClientNs(), seconds(90));
    ASSERT_EQ(request.status, 0) << request.out << request.err;
    EXPECT_EQ(e2e::NumberOf(request.out, "packets"), static_cast<long long>(plan.size()));
    ASSERT_EQ(e2e::NumberOf(request.out, "retransmissions"), 0) << request.out;
    ASSERT_TRUE(responder.Wait(seconds(20))) << "responder did not finish";
    EXPECT_EQ(e2e::NumberOf(responder.Stdout(), "accepted"), static_cast<long long>(plan.size()))
        << responder.Stdout();

    // Each request is logged twice (arriving, leaving); so is the acknowledgement of each one that
    // asked for it. Which asked depends on the requester's window, so the log says.
    const auto isRequestLine = [](const std::string& line) {
        return line.find(" dest:" + Hex(kServerQp) + " ") != std::string::npos;
    };
    std::optional<std::vector<std::string>> logged;
    EXPECT_TRUE(e2e::WaitUntil(
        [&] {
            logged = SortedPacketLines(bench->ReadFile(kLogName));
            return logged && static_cast<std::size_t>(std::count_if(
                                 logged->begin(), logged->end(), isRequestLine)) == 2 * plan.size();
        },
        seconds(10)))
        << bench->ReadFile(kLogName);
    std::vector<std::string> expected;
    std::uint32_t psn = kStartPsn;
    std::uint32_t lastPsn = psn;
    std::size_t acks = 0;
    for (const auto& packet : plan) {
        const bool asked = CountOf(logged, LogLine(packet.opcode, psn, kServerQp, true)) > 0 ||
                           packet.lastOfMessage;
        for (int copy = 0; copy < 2; ++copy) {
            expected.push_back(LogLine(packet.opcode, psn, kServerQp, asked));
            if (asked) {
                expected.push_back(LogLine(kAcknowledge, psn, kClientQp, false));
            }
        }
        acks += asked ? 1 : 0;
        lastPsn = psn;
        psn = NextPsn(psn);
    }
    EXPECT_TRUE(WaitForLog(*bench, expected)) << bench->ReadFile(kLogName);

    const e2e::Finished end = bench->Stop();
    EXPECT_EQ(end.status, kExitStatus);
    const std::uint32_t next = NextPsn(lastPsn);
    QpState server;  // received every request, acknowledged up to the last
    server.expected = next;
    server.oldestNonAcked = next;
    QpState client;  // sent every request, all acknowledged
    client.nextToSend = next;
    client.firstNonAcked = next;
    const auto leaving = static_cast<std::uint32_t>(plan.size() + acks);
    EXPECT_EQ(end.out, StartOutput(kClientQp, kServerQp) + ShutdownOutput(leaving, server, client));
    EXPECT_EQ(end.err, "");
}

TEST_F(WirewatchInRig, FramesOfEveryKindCrossByteForByteAndOnlyRoceIsLogged) {
    auto bench = StartWirewatch("11", "12");
    ASSERT_TRUE(bench->WaitUntilStarted()) << bench->process().Stderr();
    e2e::Capture atServer(rig_->ServerNs(), e2e::Testbed::kHostInterface, "in");
    e2e::Capture atClient(rig_->ClientNs(), e2e::Testbed::kHostInterface, "in");
    ASSERT_TRUE(atServer.Listening()) << atServer.Error();
    ASSERT_TRUE(atClient.Listening()) << atClient.Error();

    std::vector<std::string> logLines;
    std::uint32_t frames = 0;
    const struct {
        const Host& from;
        const Host& to;
        std::uint32_t toQp;
        e2e::Capture& farSide;
    } directions[] = {{kClient, kServer, kServerQp, atServer},
                      {kServer, kClient, kClientQp, atClient}};
    for (const auto& direction : directions) {
        std::vector<e2e::Frame> sent;
        for (const FrameCase& frame :
             FramesOfEveryKind(direction.from, direction.to, direction.toQp)) {
            SCOPED_TRACE(std::string(direction.from.ip) + " -> " + direction.to.ip + ": " +
                         frame.name);
            const e2e::Finished sender = SendFrame(direction.from, direction.to, frame);
            ASSERT_EQ(sender.status, 0) << sender.err;
            ASSERT_EQ(sender.out, roceframes::ToHex(frame.expected) + "\n");
            // One frame at a time, so the far side must see them in the order sent.
            EXPECT_TRUE(direction.farSide.WaitFor(
                [&](const auto& seen) { return Contains(seen, frame.expected); }, seconds(5)));
            sent.push_back(frame.expected);
            logLines.insert(logLines.end(), frame.logLines.begin(), frame.logLines.end());
            ++frames;
        }
        EXPECT_EQ(direction.farSide.Stop(), sent) << "frames changed, added or reordered";
    }
    EXPECT_TRUE(WaitForLog(*bench, logLines)) << bench->ReadFile(kLogName);

    const e2e::Finished end = bench->Stop();
    EXPECT_EQ(end.status, kExitStatus);
    // Each queue-pair field is moved by one frame alone, so the report shows which devices every
    // frame was verified against: a client frame against both on its way through, a server frame
    // against both when it leaves.
    QpState seenByBoth;
    seenByBoth.nextToSend = 0x11;          // own send-only, PSN 0x10
    seenByBoth.firstNonAcked = 0xabcdf0;   // acknowledgement addressed to it
    seenByBoth.expected = 0x11;            // peer's send-only
    seenByBoth.oldestNonAcked = 0xabcdf0;  // own acknowledgement
    EXPECT_EQ(end.out,
              StartOutput(kClientQp, kServerQp) + ShutdownOutput(frames, seenByBoth, seenByBoth));
    EXPECT_EQ(end.err, "");
}

TEST(WirewatchCommandLine, FewerThanTwoArgumentsGiveUsageAndStatusTwo) {
    ASSERT_TRUE(e2e::ProgramPath("wirewatch")) << "wirewatch is not built";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"11"}}) {
        SCOPED_TRACE(std::to_string(args.size()) + " arguments");
        TempDir dir;
        // No namespace: the ports do not exist here, and must not be needed.
        const e2e::Finished run = RunAtEndOfInput(args, "", dir);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err.rfind("usage: wirewatch", 0), 0u) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(dir.Has(kLogName));
    }
}

}  // namespace
