// wirewatch as the only link between the bench ports: what it forwards, logs, counts and
// reports, judged against what the peers on either side sent and received.
#include <gtest/gtest.h>

#include <algorithm>

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
constexpr char kStartBanner[] = "\n***VERIFIER STARTED\n";
constexpr char kLogName[] = "verifier_log.txt";
constexpr char kLogStart[] = "\nVerifier Test start : \n";

// A whole run's output: registration lines, banner, count of frames that left, the idle
// checker's report (device 0 holds the server's queue pair, device 1 the client's), end banner.
std::string Output(std::uint32_t frames, const QpState& server = {}, const QpState& client = {},
                   std::uint32_t clientQp = kClientQp, std::uint32_t serverQp = kServerQp) {
    return e2e::RegistrationLines(clientQp, serverQp) + kStartBanner +
           "\nTotal messages sent: " + Hex(frames) + ".\n" +
           e2e::IdleCheckerReport(server, client, clientQp, serverQp) + "***THE END***\n";
}

std::string LogLine(std::uint8_t opcode, std::uint32_t psn, std::uint32_t destQp, bool ackReq) {
    return "op:" + Hex(opcode) + " #" + Hex(psn) + " dest:" + Hex(destQp) +
           " ackreq:" + (ackReq ? "1" : "0");
}

// Logged once arriving and once leaving.
std::vector<std::string> LogLinesOf(const roceframes::BthFields& bth) {
    const std::string line = LogLine(bth.opcode, bth.psn, bth.destQp, bth.ackReqByte != 0);
    return {line, line};
}

// The packet lines of a log, sorted (the two captures write them in any order); nothing when
// the log does not begin with its start lines.
std::optional<std::vector<std::string>> SortedPacketLines(const std::string& log) {
    if (log.rfind(kLogStart, 0) != 0) {
        return std::nullopt;
    }
    std::vector<std::string> lines = e2e::Lines(log.substr(sizeof kLogStart - 1));
    std::sort(lines.begin(), lines.end());
    return lines;
}

class WirewatchInRig : public e2e::RigTest {
protected:
    std::unique_ptr<e2e::BenchRun> Start(const std::string& clientQp = "11",
                                         const std::string& serverQp = "12") {
        return RigTest::Start(e2e::kWirewatch, {clientQp, serverQp}, kStartBanner);
    }

    // Waits until the log holds exactly `expected` packet lines, in any order.
    static bool WaitForLog(const e2e::BenchRun& bench, std::vector<std::string> expected) {
        std::sort(expected.begin(), expected.end());
        return e2e::WaitUntil([&] { return SortedPacketLines(bench.Read(kLogName)) == expected; },
                              e2e::seconds(10));
    }
};

TEST_F(WirewatchInRig, EachRunRegistersItsQueuePairsAndStartsAFreshLog) {
    auto first = Start("0x1a", "2B");
    const e2e::FrameCase roce = e2e::FramesOfEveryKind(kClient, kServer, kServerQp).front();
    ASSERT_EQ(Send(roce), roce.expected);
    EXPECT_TRUE(WaitForLog(*first, LogLinesOf(*roce.bth))) << first->Read(kLogName);
    const e2e::Finished run = first->Stop();
    EXPECT_EQ(run.status, kExitStatus);
    EXPECT_EQ(run.out, Output(1, {}, {}, 0x1a, 0x2b));
    // Later runs in the same directory, ended at once by input already at its end.
    const struct {
        const char* client;
        std::uint32_t clientQp;
    } later[] = {{"1a", 0x1a}, {"zz", 0}};
    for (const auto& qps : later) {
        SCOPED_TRACE(qps.client);
        const e2e::Finished end =
            e2e::Process({e2e::kWirewatch, qps.client, "0x2b"}, rig_->BenchNs(), first->Dir())
                .Finish();
        EXPECT_EQ(end.status, kExitStatus);
        EXPECT_EQ(end.out, Output(0, {}, {}, qps.clientQp, 0x2b));
        EXPECT_EQ(end.err, "") << "no loss to report";
        EXPECT_EQ(first->Read(kLogName), kLogStart);
    }
}

TEST_F(WirewatchInRig, BadArgumentsAndAMissingPortEndTheRunBeforeAnyLog) {
    // The client namespace has no bench ports: arguments are judged before a port is opened.
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;  // the whole of it for a missing port; usage may go on
    } runs[] = {{{}, 2, "usage: wirewatch"},
                {{"11"}, 2, "usage: wirewatch"},
                {{"11", "12"}, 3, "wirewatch: enp1s0f0: no such interface\n"}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.err);
        e2e::BenchRun bench(e2e::kWirewatch, run.args, rig_->ClientNs());
        const e2e::Finished end = bench.Stop();
        EXPECT_EQ(end.status, run.status);
        EXPECT_EQ(run.status == 3 ? end.err : end.err.substr(0, run.err.size()), run.err);
        EXPECT_EQ(end.out, "");
        EXPECT_FALSE(bench.Has(kLogName));
    }
}

// The exchange crosses the 24-bit PSN wrap; the verifier must follow it.
TEST_F(WirewatchInRig, RequesterAndResponderCompleteAndTheReportMatchesTheirPsns) {
    const auto plan =
        roceframes::PlanMessages(e2e::kExchangeMessages, e2e::kExchangeSizes, e2e::kExchangeMtu);
    auto bench = Start();
    // A generous timeout: a retransmission on a busy host would make the run inexact.
    const e2e::Exchange exchange = e2e::RunExchange(*rig_, {"--timeout-ms", "3000"});
    ASSERT_EQ(exchange.request.status, 0) << exchange.request.out << exchange.request.err;
    EXPECT_EQ(e2e::NumberOf(exchange.request.out, "packets"), static_cast<long long>(plan.size()));
    ASSERT_EQ(e2e::NumberOf(exchange.request.out, "retransmissions"), 0) << exchange.request.out;
    EXPECT_EQ(e2e::NumberOf(exchange.responder, "accepted"), static_cast<long long>(plan.size()));

    // Each request is logged twice (arriving, leaving); so is the acknowledgement of each one
    // that asked for it. Which asked depends on the requester's window, so the log says.
    const auto isRequest = [](const std::string& line) {
        return line.find(" dest:" + Hex(kServerQp) + " ") != std::string::npos;
    };
    std::optional<std::vector<std::string>> logged;
    ASSERT_TRUE(e2e::WaitUntil(
        [&] {
            logged = SortedPacketLines(bench->Read(kLogName));
            return logged && static_cast<std::size_t>(std::count_if(logged->begin(), logged->end(),
                                                                    isRequest)) == 2 * plan.size();
        },
        e2e::seconds(10)))
        << bench->Read(kLogName);
    std::vector<std::string> expected;
    std::uint32_t psn = e2e::kExchangePsn;
    std::uint32_t acks = 0;
    for (const auto& packet : plan) {
        const bool asked =
            packet.lastOfMessage || std::count(logged->begin(), logged->end(),
                                               LogLine(packet.opcode, psn, kServerQp, true)) > 0;
        for (int copy = 0; copy < 2; ++copy) {
            expected.push_back(LogLine(packet.opcode, psn, kServerQp, asked));
            if (asked) {
                expected.push_back(LogLine(roceframes::kOpcodeAcknowledge, psn, kClientQp, false));
            }
        }
        acks += asked ? 1 : 0;
        psn = (psn + 1) & roceframes::kPsnMask;
    }
    EXPECT_TRUE(WaitForLog(*bench, expected)) << bench->Read(kLogName);

    const e2e::Finished end = bench->Stop();
    EXPECT_EQ(end.status, kExitStatus);
    const QpState server{0, 0, psn, psn};  // received every request, acknowledged all
    const QpState client{psn, psn, 0, 0};  // sent every request, all acknowledged
    EXPECT_EQ(end.out, Output(static_cast<std::uint32_t>(plan.size()) + acks, server, client));
    EXPECT_EQ(end.err, "");
}

TEST_F(WirewatchInRig, FramesOfEveryKindCrossByteForByteAndOnlyRoceIsLogged) {
    auto bench = Start();
    auto atServer = Listen(kServer, "in");
    auto atClient = Listen(kClient, "in");

    std::vector<std::string> logLines;
    std::uint32_t frames = 0;
    const struct {
        const e2e::Host& from;
        const e2e::Host& to;
        std::uint32_t toQp;
        e2e::Capture& farSide;
    } directions[] = {{kClient, kServer, kServerQp, *atServer},
                      {kServer, kClient, kClientQp, *atClient}};
    for (const auto& direction : directions) {
        std::vector<e2e::Frame> sent;
        for (const e2e::FrameCase& frame :
             e2e::FramesOfEveryKind(direction.from, direction.to, direction.toQp)) {
            SCOPED_TRACE(std::string(direction.from.ip) + " -> " + direction.to.ip + ": " +
                         frame.name);
            ASSERT_EQ(Send(frame), frame.expected);
            sent.push_back(frame.expected);
            // One frame at a time, so the far side must see them in the order sent.
            EXPECT_TRUE(direction.farSide.WaitForCount(sent.size()));
            if (frame.bth) {
                const auto lines = LogLinesOf(*frame.bth);
                logLines.insert(logLines.end(), lines.begin(), lines.end());
            }
            ++frames;
        }
        EXPECT_EQ(direction.farSide.Stop(), sent) << "frames changed, added or reordered";
    }
    EXPECT_TRUE(WaitForLog(*bench, logLines)) << bench->Read(kLogName);

    const e2e::Finished end = bench->Stop();
    EXPECT_EQ(end.status, kExitStatus);
    // Each queue-pair field is moved by one frame alone, so the report shows which devices every
    // frame was verified against: a client frame against both on its way through, a server
    // frame against both when it leaves.
    const QpState seenByBoth{
        0x11,      // own send-only, PSN 0x10
        0xabcdf0,  // acknowledgement addressed to it
        0x11,      // peer's send-only
        0xabcdf0,  // own acknowledgement
    };
    EXPECT_EQ(end.out, Output(frames, seenByBoth, seenByBoth));
    EXPECT_EQ(end.err, "");
}

}  // namespace
