// midwire as the only link between the bench ports: what it forwards, drops, logs, counts and
// reports, judged against what the peers on either side sent and received.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <regex>

#include "tests/e2e/harness/Peers.h"
#include "tools/rocepeer/ReliableConnection.h"

namespace {

using e2e::Hex;
using e2e::kClient;
using e2e::kClientQp;
using e2e::kServer;
using e2e::kServerQp;
using e2e::QpState;

constexpr int kExitStatus = 8;
constexpr char kStartBanner[] = "\n***TEST STARTED ... press any key to stop ...\n";
constexpr char kLogName[] = "verifier_log.txt";
constexpr char kLogStart[] = "\n#Verifier Test start : \n";
constexpr char kLogEnd[] = "\n#Verifier Test end.\n";
const std::vector<std::string> kPassAll = {"100", "0", "0", "0", "100", "0", "0", "0"};

// Operations one modifier drew: none, drop, delay, reorder.
using Counters = std::array<long, 4>;

std::string CountersText(const Counters& c) {
    return "Number of None: " + std::to_string(c[0]) + "\nNumber of Drop: " + std::to_string(c[1]) +
           "\nNumber of Delay: " + std::to_string(c[2]) +
           "\nNumber of Reoeder: " + std::to_string(c[3]) + "\n";
}

// A whole run's standard output around the idle checker `report`.
std::string Output(const std::string& report, const Counters& client = {},
                   const Counters& server = {}, std::uint32_t clientQp = kClientQp,
                   std::uint32_t serverQp = kServerQp) {
    return e2e::RegistrationLines(clientQp, serverQp) + kStartBanner +
           "\nVerifier Idle Checker Output:\n" + report + "\nClient Modifier Couners:\n" +
           CountersText(client) + "\nServer Modifier Couners:\n" + CountersText(server) +
           "\n***THE END***\n";
}

// The counters printed under "<side> Modifier Couners:"; nothing when they are not all there.
std::optional<Counters> CountersOf(const std::string& out, const std::string& side) {
    const std::regex block(side +
                           " Modifier Couners:\nNumber of None: (\\d+)\nNumber of Drop: (\\d+)\n"
                           "Number of Delay: (\\d+)\nNumber of Reoeder: (\\d+)\n");
    std::smatch match;
    if (!std::regex_search(out, match, block)) {
        return std::nullopt;
    }
    return Counters{std::stol(match[1]), std::stol(match[2]), std::stol(match[3]),
                    std::stol(match[4])};
}

std::size_t Forwarded(const Counters& c) {
    return static_cast<std::size_t>(c[0] + c[2] + c[3]);
}

// The RoCE frames among `frames`, in their order.
std::vector<roceframes::RoceView> RoceOf(const std::vector<e2e::Frame>& frames) {
    std::vector<roceframes::RoceView> roce;
    for (const e2e::Frame& frame : frames) {
        if (const auto view = roceframes::ParseRoceFrame(frame.data(), frame.size())) {
            roce.push_back(*view);
        }
    }
    return roce;
}

// Numbers replaced, so outputs of runs whose figures cannot be known can still be compared.
std::string Masked(const std::string& out) {
    return std::regex_replace(out, std::regex("(psn:|: )[0-9a-f]+"), "$1N");
}

std::string LogLine(std::uint8_t opcode, std::uint32_t psn, std::uint32_t destQp, bool ackReq) {
    return " #" + Hex(psn) + "\topcode:" + Hex(opcode) + "\t dest QP:" + Hex(destQp) +
           "\t ackreq:" + (ackReq ? "1" : "0");
}

std::string LogLine(const roceframes::BthFields& bth) {
    return LogLine(bth.opcode, bth.psn, bth.destQp, bth.ackReqByte != 0);
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The packet lines of a log without their times, sorted (the captures write them in any order);
// nothing unless the log begins with its start line and every other line but an end line last
// is a whole packet line.
std::optional<std::vector<std::string>> PacketLines(std::string log) {
    static const std::string hex = "(0|[1-9a-f][0-9a-f]*)";
    static const std::regex line("\\[[1-9][0-9]*\\]\t( #" + hex + "\topcode:" + hex +
                                 "\t dest QP:" + hex + "\t ackreq:[01])");
    if (log.rfind(kLogStart, 0) != 0) {
        return std::nullopt;
    }
    log.erase(0, sizeof kLogStart - 1);
    if (EndsWith(log, kLogEnd)) {
        log.erase(log.size() - (sizeof kLogEnd - 1));
    }
    std::vector<std::string> lines;
    for (const std::string& text : e2e::Lines(log)) {
        std::smatch match;
        if (!std::regex_match(text, match, line)) {
            return std::nullopt;
        }
        lines.push_back(match[1]);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Standard error without the lines on packets the injectors still held at the stop, which a
// stop right after traffic may leave (late duplicates of a retransmission): not a loss.
std::string WithoutHeldPackets(const std::string& err) {
    static const std::regex held(
        "enp1s0f[01] in: [1-9][0-9]* packets? held by the fault injector at the stop, not sent\n");
    return std::regex_replace(err, held, "");
}

// How many packets the injector fed by `port`'s arrivals held at the stop, from standard error.
long HeldAtStop(const std::string& err, const std::string& port) {
    std::smatch match;
    const std::regex held(port + " in: ([0-9]+) packets? held by the fault injector");
    return std::regex_search(err, match, held) ? std::stol(match[1]) : 0;
}

// The packet lines addressed to queue pair `qp` in a log.
std::size_t LinesTo(const std::string& log, std::uint32_t qp) {
    const std::string field = "\t dest QP:" + Hex(qp) + "\t";
    std::size_t lines = 0;
    for (std::size_t at = log.find(field); at != std::string::npos; at = log.find(field, at + 1)) {
        ++lines;
    }
    return lines;
}

class MidwireInRig : public e2e::RigTest {
protected:
    std::unique_ptr<e2e::BenchRun> Start(const std::vector<std::string>& weights) {
        return RigTest::Start(e2e::kMidwire, Args("11", "12", weights), kStartBanner);
    }
    static std::vector<std::string> Args(const std::string& clientQp, const std::string& serverQp,
                                         const std::vector<std::string>& weights) {
        std::vector<std::string> args = {clientQp, serverQp};
        args.insert(args.end(), weights.begin(), weights.end());
        return args;
    }

    // Waits until the log holds exactly `expected` packet lines, in any order.
    static bool WaitForLog(const e2e::BenchRun& bench, std::vector<std::string> expected) {
        std::sort(expected.begin(), expected.end());
        return e2e::WaitUntil([&] { return PacketLines(bench.Read(kLogName)) == expected; },
                              e2e::seconds(10));
    }

    // After the run: `expected` packet lines, whole, and the end line last.
    static void ExpectFinalLog(const e2e::BenchRun& bench, std::vector<std::string> expected) {
        const std::string log = bench.Read(kLogName);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(PacketLines(log), expected) << log;
        EXPECT_TRUE(EndsWith(log, kLogEnd)) << log;
    }
};

TEST_F(MidwireInRig, PassedSendOnlyIsVerifiedArrivingAndLeavingAndEachRunStartsAFreshLog) {
    auto atServer = Listen(kServer, "in");
    auto bench = Start(kPassAll);
    const e2e::FrameCase sendOnly = e2e::FramesOfEveryKind(kClient, kServer, kServerQp).back();
    ASSERT_EQ(Send(sendOnly), sendOnly.expected);
    EXPECT_TRUE(atServer->WaitForCount(1));
    const std::string line = LogLine(*sendOnly.bth);
    EXPECT_TRUE(WaitForLog(*bench, {line, line})) << bench->Read(kLogName);
    const e2e::Finished run = bench->Stop();

    EXPECT_EQ(atServer->Stop(), std::vector<e2e::Frame>{sendOnly.expected});
    ExpectFinalLog(*bench, {line, line});
    EXPECT_EQ(run.status, kExitStatus);
    // Arriving it moves the client's queue pair (device 1), leaving the server's (device 0).
    const QpState received{0, 0, sendOnly.bth->psn + 1, 0};
    const QpState sent{sendOnly.bth->psn + 1, 0, 0, 0};
    EXPECT_EQ(run.out, Output(e2e::IdleCheckerReport(received, sent), {1, 0, 0, 0}));
    EXPECT_EQ(run.err, "");

    // Later runs in the same directory, ended by input already at its end, by the operator's
    // Ctrl-C with input still open, or at once because the program was started without input
    // (which must not become a port's socket); QP numbers with or without prefix.
    enum class Ending { kEndOfInput, kInterrupt, kNoInput };
    const struct {
        const char* client;
        const char* server;
        Ending ending;
    } later[] = {{"0x1a", "2b", Ending::kEndOfInput},
                 {"1a", "0X2B", Ending::kInterrupt},
                 {"1a", "2b", Ending::kNoInput}};
    for (const auto& run : later) {
        SCOPED_TRACE(static_cast<int>(run.ending));
        std::vector<std::string> argv = Args(run.client, run.server, kPassAll);
        argv.insert(argv.begin(), e2e::kMidwire);
        if (run.ending == Ending::kNoInput) {
            argv.insert(argv.begin(), {"sh", "-c", "exec \"$0\" \"$@\" <&-"});
        }
        e2e::Process process(argv, rig_->BenchNs(), bench->Dir());
        if (run.ending == Ending::kInterrupt) {
            ASSERT_TRUE(process.WaitForOutput(kStartBanner)) << process.Stderr();
            process.Signal(SIGINT);
        }
        if (run.ending != Ending::kEndOfInput) {
            EXPECT_TRUE(process.WaitForOutput("***THE END***", e2e::seconds(10)))
                << process.Stdout();
        }
        const e2e::Finished end = process.Finish();
        EXPECT_EQ(end.status, kExitStatus);
        EXPECT_EQ(end.out, Output(e2e::IdleCheckerReport({}, {}, 0x1a, 0x2b), {}, {}, 0x1a, 0x2b));
        EXPECT_EQ(end.err, "");
        EXPECT_EQ(bench->Read(kLogName), std::string(kLogStart) + kLogEnd);
    }
}

TEST_F(MidwireInRig, BadArgumentsAndAMissingPortEndTheRunBeforeAnyOutputOrLog) {
    // The client namespace has no bench ports: arguments are judged before a port is opened.
    const std::vector<std::string> ten = Args("11", "12", kPassAll);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;  // the whole of it for a missing port; usage may go on
    } runs[] = {{{}, 2, "usage: midwire"},
                {{ten.begin(), ten.end() - 1}, 2, "usage: midwire"},
                {ten, 3, "midwire: enp1s0f0: no such interface\n"}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.err);
        e2e::BenchRun bench(e2e::kMidwire, run.args, rig_->ClientNs());
        const e2e::Finished end = bench.Stop();
        EXPECT_EQ(end.status, run.status);
        EXPECT_EQ(run.status == 3 ? end.err : end.err.substr(0, run.err.size()), run.err);
        EXPECT_EQ(end.out, "");
        EXPECT_FALSE(bench.Has(kLogName));
    }
}

TEST_F(MidwireInRig, OnlyRocePortFramesAreForwardedAndOnlyWholeRocePacketsLogged) {
    auto atServer = Listen(kServer, "in");
    auto atClient = Listen(kClient, "in");
    auto bench = Start(kPassAll);
    std::vector<std::string> logLines;
    Counters passed = {};
    const struct {
        const e2e::Host& from;
        const e2e::Host& to;
        std::uint32_t toQp;
        e2e::Capture& farSide;
    } directions[] = {{kClient, kServer, kServerQp, *atServer},
                      {kServer, kClient, kClientQp, *atClient}};
    for (const auto& direction : directions) {
        std::vector<e2e::Frame> forwarded;
        for (const e2e::FrameCase& frame :
             e2e::FramesOfEveryKind(direction.from, direction.to, direction.toQp)) {
            SCOPED_TRACE(std::string(direction.from.ip) + ": " + frame.name);
            ASSERT_EQ(Send(frame), frame.expected);
            // Port 4791 frames too short for a transport header are forwarded, not logged.
            if (frame.toRocePort) {
                forwarded.push_back(frame.expected);
            }
            if (frame.bth) {
                logLines.insert(logLines.end(), 2, LogLine(*frame.bth));
            }
        }
        // The last frame is RoCE: once it is there, every frame before it was handled.
        EXPECT_TRUE(direction.farSide.WaitForCount(forwarded.size()));
        EXPECT_EQ(direction.farSide.Stop(), forwarded) << "frames changed, added or reordered";
        passed[0] = static_cast<long>(forwarded.size());  // the same in both directions
    }
    EXPECT_TRUE(WaitForLog(*bench, logLines)) << bench->Read(kLogName);
    const e2e::Finished run = bench->Stop();

    ExpectFinalLog(*bench, logLines);
    EXPECT_EQ(run.status, kExitStatus);
    // Each field is moved by one frame alone, so the report shows that every frame was verified
    // against both devices: a frame on arrival against its own port's, leaving against the other.
    const QpState seenByBoth{
        0x11,      // own send-only, PSN 0x10
        0xabcdf0,  // acknowledgement addressed to it
        0x11,      // peer's send-only
        0xabcdf0,  // own acknowledgement
    };
    EXPECT_EQ(run.out, Output(e2e::IdleCheckerReport(seenByBoth, seenByBoth), passed, passed));
    EXPECT_EQ(run.err, "");
}

TEST_F(MidwireInRig, DroppingTheClientsPacketsForwardsNoneAndLogsEachOnce) {
    auto atServer = Listen(kServer, "in");
    auto bench = Start({"0", "100", "0", "0", "100", "0", "0", "0"});
    constexpr std::uint32_t kPackets = 8;
    std::vector<std::string> logLines;
    for (std::uint32_t psn = 1; psn <= kPackets; ++psn) {
        ASSERT_FALSE(
            Send(kClient, kServer, {"--kind", "roce", "--psn", std::to_string(psn)}).empty());
        logLines.push_back(LogLine(4, psn, kServerQp, false));
    }
    ASSERT_TRUE(WaitForLog(*bench, logLines)) << bench->Read(kLogName);
    const e2e::Finished run = bench->Stop();

    EXPECT_EQ(atServer->Stop(), std::vector<e2e::Frame>{});
    ExpectFinalLog(*bench, logLines);
    EXPECT_EQ(run.status, kExitStatus);
    // Only the client's queue pair saw them, on arrival. The last one may not have reached the
    // forwarding thread when the run stopped: then it was never drawn, and is said to be held.
    const long held = HeldAtStop(run.err, "enp1s0f1");
    EXPECT_LE(held, 1);
    const QpState sent{kPackets + 1, 0, 0, 0};
    EXPECT_EQ(run.out, Output(e2e::IdleCheckerReport({}, sent), {0, kPackets - held, 0, 0}));
    EXPECT_EQ(WithoutHeldPackets(run.err), "");
}

// The exchange crosses the 24-bit PSN wrap while both modifiers drop, delay and reorder.
TEST_F(MidwireInRig, ExchangeThroughFaultsBothWaysCompletesAndTheReportAgreesWithThePeers) {
    const auto plan =
        roceframes::PlanMessages(e2e::kExchangeMessages, e2e::kExchangeSizes, e2e::kExchangeMtu);
    const std::uint32_t finalPsn = roceframes::PsnAdd(e2e::kExchangePsn, plan.size());
    auto atServer = Listen(kServer, "in");
    auto atClient = Listen(kClient, "in");
    auto bench = Start({"80", "10", "5", "5", "80", "10", "5", "5"});
    const e2e::Exchange exchange = e2e::RunExchange(*rig_, {"--window", "16"});
    const std::string& out = exchange.request.out;
    ASSERT_EQ(exchange.request.status, 0) << out << exchange.request.err;
    EXPECT_GT(e2e::NumberOf(out, "retransmissions"), 0) << out;
    EXPECT_EQ(e2e::NumberOf(exchange.responder, "accepted"), static_cast<long long>(plan.size()));
    EXPECT_EQ(e2e::NumberOf(exchange.responder, "messages"), e2e::kExchangeMessages);
    const e2e::Finished run = bench->Stop();
    ASSERT_EQ(run.status, kExitStatus) << run.err;
    EXPECT_EQ(WithoutHeldPackets(run.err), "");
    const auto client = CountersOf(run.out, "Client");
    const auto server = CountersOf(run.out, "Server");
    ASSERT_TRUE(client && server) << run.out;

    // What each modifier did not drop reached the far host, and nothing else did.
    EXPECT_TRUE(atServer->WaitForCount(Forwarded(*client)));
    EXPECT_TRUE(atClient->WaitForCount(Forwarded(*server)));
    const auto requests = RoceOf(atServer->Stop());
    const auto acks = RoceOf(atClient->Stop());
    ASSERT_EQ(requests.size(), Forwarded(*client)) << run.out;
    ASSERT_EQ(acks.size(), Forwarded(*server)) << run.out;
    ASSERT_FALSE(acks.empty());
    // Every request is logged arriving, and again leaving when it was forwarded.
    ASSERT_TRUE(PacketLines(bench->Read(kLogName)));
    EXPECT_EQ(static_cast<long long>(LinesTo(bench->Read(kLogName), kServerQp)),
              e2e::NumberOf(out, "packets") + static_cast<long long>(Forwarded(*client)));

    // The client sent every PSN in order, resending only behind, and the server acknowledged
    // them all last: those two fields are exact. The last request the server got and the last
    // acknowledgement the client got depend on which copies the faults dropped, held back or
    // reordered near the end, so those two come from the frames that arrived. The other four
    // fields no packet of this exchange moves.
    const QpState serverQp{0, 0, roceframes::PsnAdd(requests.back().psn, 1), finalPsn};
    const QpState clientQp{finalPsn, roceframes::PsnAdd(acks.back().psn, 1), 0, 0};
    EXPECT_EQ(run.out, Output(e2e::IdleCheckerReport(serverQp, clientQp), *client, *server));
}

TEST_F(MidwireInRig, StopInTheMiddleOfAFaultedLoadEndsWithWholeReportsAndLog) {
    auto bench = Start({"90", "4", "3", "3", "90", "4", "3", "3"});
    e2e::Process receiver(
        {e2e::kRocepeer, "rate-recv", "--dev", "eth0", "--ack", "--seconds", "60"},
        rig_->ServerNs());
    ASSERT_TRUE(receiver.WaitForOutput("ready", e2e::seconds(10))) << receiver.Stderr();
    e2e::Process sender(
        {e2e::kRocepeer, "rate-send", "--dev", "eth0", "--peer-mac", kServer.mac, "--peer-ip",
         kServer.ip, "--rate", "3000", "--frame-size", "200", "--seconds", "60"},
        rig_->ClientNs());
    // Stopped while packets flow both ways.
    const auto flowing = [&] {
        const std::string log = bench->Read(kLogName);
        return LinesTo(log, kClientQp) >= 300 && LinesTo(log, kServerQp) >= 300;
    };
    ASSERT_TRUE(e2e::WaitUntil(flowing, e2e::seconds(20), e2e::milliseconds(20)))
        << sender.Stderr() << receiver.Stderr();
    const e2e::Finished run = bench->Stop();
    sender.Signal(SIGTERM);
    receiver.Signal(SIGTERM);

    EXPECT_EQ(run.status, kExitStatus);
    EXPECT_EQ(Masked(run.out), Masked(Output(e2e::IdleCheckerReport({}, {}))));
    const std::string log = bench->Read(kLogName);
    EXPECT_TRUE(PacketLines(log)) << "a line is cut or malformed";
    EXPECT_TRUE(EndsWith(log, kLogEnd));
    const std::regex lossLine(
        "enp1s0f[01] (in|out): [1-9][0-9]* frames? (dropped by the kernel|not parsable as "
        "Ethernet|abandoned after an error in its handler \\(first: .*\\)|could not be sent)");
    const std::string losses = WithoutHeldPackets(run.err);
    for (const std::string& line : e2e::Lines(losses)) {
        EXPECT_TRUE(std::regex_match(line, lossLine)) << line;
    }
    // Every request handled is both logged and verified: the client's, sent in order from PSN 0,
    // once arriving, the next to send of its queue pair; each forwarded once more leaving.
    std::smatch nextToSend;
    const auto client = CountersOf(run.out, "Client");
    ASSERT_TRUE(client &&
                std::regex_search(run.out, nextToSend,
                                  std::regex("Device ID:1\n.*\n\t\tNext To Send psn:(\\w+)")));
    // A capture that lost frames leaves a gap in the PSNs, which stops the next to send.
    if (losses.empty()) {
        EXPECT_EQ(LinesTo(log, kServerQp),
                  std::stoul(nextToSend[1], nullptr, 16) + Forwarded(*client));
    }
}

}  // namespace
