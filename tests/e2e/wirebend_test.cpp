// wirebend in the rig without a bridge: the program alone joins the two bench ports, so every
// frame that reaches a host went through it.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "tests/e2e/harness/Peers.h"

namespace {

using e2e::Bytes;
using e2e::kClient;
using e2e::kServer;

constexpr char kStartBanner[] = "***MODIFIER STARTED";
constexpr char kLogName[] = "Log.txt";
const std::vector<std::string> kPassAll = {"100", "0", "0", "0", "0", "50"};

// The whole standard output of a run that drew these operations.
std::string Output(std::size_t none, std::size_t drop, std::size_t delay, std::size_t reorder) {
    return "\n***MODIFIER STARTED\nNumber of None: " + std::to_string(none) +
           "\nNumber of Drop: " + std::to_string(drop) +
           "\nNumber of Delay: " + std::to_string(delay) +
           "\nNumber of Reoeder: " + std::to_string(reorder) + "\n\n*** THE END***\n\n";
}

// The value printed after "Number of <label>: ", or -1 when the line is missing.
long Counter(const std::string& out, const std::string& label) {
    const std::string needle = "Number of " + label + ": ";
    const std::size_t at = out.find(needle);
    return at == std::string::npos ? -1 : std::stol(out.substr(at + needle.size()));
}

std::vector<std::string> RoceArgs(std::uint32_t psn, int opcode = 4, std::uint32_t qp = 0x12) {
    return {"--kind",           "roce",  "--opcode",          std::to_string(opcode), "--qp",
            std::to_string(qp), "--psn", std::to_string(psn), "--payload-size",       "32"};
}

std::optional<roceframes::RoceView> Roce(const Bytes& frame) {
    return roceframes::ParseRoceFrame(frame.data(), frame.size());
}

std::vector<Bytes> RoceOnly(std::vector<Bytes> frames) {
    frames.erase(std::remove_if(frames.begin(), frames.end(),
                                [](const Bytes& frame) { return !Roce(frame); }),
                 frames.end());
    return frames;
}

std::string LogLine(const Bytes& frame) {
    const auto view = Roce(frame);
    return "op:" + std::to_string(view->opcode) + " #" + std::to_string(view->psn) +
           " dest:" + std::to_string(view->destQp);
}

// Capture times, in microseconds, of the RoCE frames seen so far.
std::vector<long long> RoceTimes(const e2e::Capture& capture) {
    std::vector<long long> all, roce;
    const auto frames = capture.Frames(&all);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (Roce(frames[i])) {
            roce.push_back(all[i]);
        }
    }
    return roce;
}

class Wirebend : public e2e::RigTest {
protected:
    std::unique_ptr<e2e::BenchRun> Start(const std::vector<std::string>& args) {
        return RigTest::Start(e2e::kWirebend, args, kStartBanner);
    }
    Bytes FromClient(const std::vector<std::string>& kind) { return Send(kClient, kServer, kind); }
    static std::vector<std::string> Log(const e2e::BenchRun& bench) {
        return e2e::Lines(bench.Read(kLogName));
    }
    // Waits for the start line and `packets` packet lines.
    static bool WaitForLog(const e2e::BenchRun& bench, std::size_t packets) {
        return e2e::WaitUntil([&] { return Log(bench).size() >= packets + 1; }, e2e::seconds(5));
    }
};

TEST_F(Wirebend, PassingEverythingForwardsABurstInOrderByteForByteAndLogsEachPacket) {
    auto sent = Listen(kClient, "out");
    auto arrived = Listen(kServer, "in");
    auto bench = Start(kPassAll);
    const e2e::Finished burst = e2e::Run(
        {e2e::kRocepeer, "rate-send", "--dev", "eth0", "--peer-mac", kServer.mac, "--peer-ip",
         kServer.ip, "--rate", "300", "--frame-size", "120", "--seconds", "1"},
        rig_->ClientNs());
    ASSERT_EQ(burst.status, 0) << burst.err;
    const std::vector<Bytes> frames = RoceOnly(sent->Stop());
    ASSERT_GE(frames.size(), 100u);
    EXPECT_TRUE(arrived->WaitForCount(frames.size()));
    ASSERT_TRUE(WaitForLog(*bench, frames.size()));
    const e2e::Finished run = bench->Stop();

    EXPECT_EQ(arrived->Stop(), frames) << "the server gets exactly the client's packets";
    std::vector<std::string> expectedLog = {"Test start : "};
    std::transform(frames.begin(), frames.end(), std::back_inserter(expectedLog), LogLine);
    EXPECT_EQ(Log(*bench), expectedLog);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Output(frames.size(), 0, 0, 0));
    EXPECT_EQ(run.err, "") << "no loss may be reported";
}

TEST_F(Wirebend, DroppingEverythingForwardsNothingButLogsAndCountsEveryPacket) {
    auto arrived = Listen(kServer, "in");
    auto bench = Start({"0", "100", "0", "0", "0", "50"});
    constexpr std::uint32_t kPackets = 8;
    std::vector<std::string> expectedLog = {"Test start : "};
    for (std::uint32_t psn = 1; psn <= kPackets; ++psn) {
        ASSERT_FALSE(FromClient(RoceArgs(psn)).empty());
        expectedLog.push_back("op:4 #" + std::to_string(psn) + " dest:18");
    }
    ASSERT_TRUE(WaitForLog(*bench, kPackets)) << bench->Read(kLogName);
    const e2e::Finished run = bench->Stop();

    EXPECT_EQ(arrived->Stop(), std::vector<e2e::Frame>{});
    EXPECT_EQ(Log(*bench), expectedLog);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Output(0, kPackets, 0, 0));
}

TEST_F(Wirebend, ClientSendsOnlyRocePortFramesWhileEveryServerFrameIsForwarded) {
    auto atServer = Listen(kServer, "in");
    auto atClient = Listen(kClient, "in");
    auto bench = Start(kPassAll);
    std::vector<Bytes> toServer;
    std::vector<Bytes> toClient;
    for (const e2e::FrameCase& frame : e2e::FramesOfEveryKind(kClient, kServer, e2e::kServerQp)) {
        ASSERT_EQ(Send(frame), frame.expected) << frame.name;
        // Port 4791 frames too short for a BTH are drawn for and forwarded, but not logged.
        if (frame.toRocePort) {
            toServer.push_back(frame.expected);
        }
    }
    toServer.push_back(FromClient(RoceArgs(100, 17, 26)));
    for (const e2e::FrameCase& frame : e2e::FramesOfEveryKind(kServer, kClient, e2e::kClientQp)) {
        toClient.push_back(Send(frame));
        ASSERT_EQ(toClient.back(), frame.expected) << frame.name;
    }
    EXPECT_TRUE(atServer->WaitForCount(toServer.size()));
    EXPECT_TRUE(atClient->WaitForCount(toClient.size()));
    ASSERT_TRUE(WaitForLog(*bench, 4));
    const e2e::Finished run = bench->Stop();

    EXPECT_EQ(atServer->Stop(), toServer);
    EXPECT_EQ(atClient->Stop(), toClient);
    // In decimal.
    EXPECT_EQ(bench->Read(kLogName),
              "Test start : \nop:17 #11259375 dest:18\nop:255 #16777215 dest:1193046\n"
              "op:4 #16 dest:18\nop:17 #100 dest:26\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Output(toServer.size(), 0, 0, 0));
}

TEST_F(Wirebend, RequesterCompletesThroughDropsDelaysAndReorderingByRetransmission) {
    auto bench = Start({"70", "10", "10", "10", "5", "20"});
    const e2e::Exchange exchange = e2e::RunExchange(*rig_, {"--window", "16"});
    const std::string& out = exchange.request.out;
    ASSERT_EQ(exchange.request.status, 0) << out << exchange.request.err;
    const long long packets = e2e::NumberOf(out, "packets");
    ASSERT_TRUE(WaitForLog(*bench, static_cast<std::size_t>(packets)));
    const e2e::Finished run = bench->Stop();

    EXPECT_EQ(e2e::NumberOf(out, "delivered"), 60);
    EXPECT_GT(e2e::NumberOf(out, "retransmissions"), 0) << out;
    EXPECT_GT(e2e::NumberOf(out, "naks") + e2e::NumberOf(out, "timeouts"), 0) << out;
    EXPECT_EQ(e2e::NumberOf(exchange.responder, "messages"), 60) << exchange.responder;
    EXPECT_EQ(e2e::NumberOf(exchange.responder, "bad_icrc"), 0) << exchange.responder;
    EXPECT_EQ(static_cast<long long>(Log(*bench).size()), packets + 1);
    EXPECT_EQ(run.status, 0) << run.err;
    long drawn = 0;
    for (const char* label : {"None", "Drop", "Delay", "Reoeder"}) {
        EXPECT_GT(Counter(run.out, label), 0) << label << "\n" << run.out;
        drawn += Counter(run.out, label);
    }
    EXPECT_LE(drawn, packets) << run.out;
}

TEST_F(Wirebend, DelayedPacketIsHeldAtLeastTheDrawnDelay) {
    auto left = Listen(kClient, "out");
    auto arrived = Listen(kServer, "in");
    auto bench = Start({"0", "0", "100", "0", "30", "30"});
    constexpr std::size_t kPackets = 3;
    for (std::size_t i = 0; i < kPackets; ++i) {
        FromClient(RoceArgs(static_cast<std::uint32_t>(i)));
        ASSERT_TRUE(e2e::WaitUntil(
            [&] { return RoceTimes(*left).size() > i && RoceTimes(*arrived).size() > i; },
            e2e::seconds(5)));
        // Time stamps are whole microseconds, so a true 30 ms may read 1 us short.
        EXPECT_GE(RoceTimes(*arrived)[i] - RoceTimes(*left)[i], 30000 - 1) << "packet " << i;
    }
    EXPECT_EQ(bench->Stop().out, Output(0, 0, kPackets, 0));
}

TEST_F(Wirebend, TwoRunsWithTheSameArgumentsDropTheSamePackets) {
    constexpr std::uint32_t kPackets = 12;
    std::vector<std::set<std::uint32_t>> dropped(2);
    for (auto& psns : dropped) {
        auto atServer = Listen(kServer, "in");
        auto bench = Start({"50", "50", "0", "0", "0", "50"});
        // One at a time, each after its log line, so that every run draws in the same order.
        for (std::uint32_t psn = 0; psn < kPackets; ++psn) {
            FromClient(RoceArgs(psn));
            EXPECT_TRUE(WaitForLog(*bench, psn + 1));
            psns.insert(psn);
        }
        const std::string out = bench->Stop().out;
        for (const Bytes& frame : RoceOnly(atServer->Stop())) {
            psns.erase(Roce(frame)->psn);
        }
        EXPECT_EQ(Counter(out, "Drop"), static_cast<long>(psns.size())) << out;
        EXPECT_EQ(Counter(out, "None"), static_cast<long>(kPackets - psns.size())) << out;
    }
    EXPECT_EQ(dropped[0], dropped[1]);
    EXPECT_FALSE(dropped[0].empty());
    EXPECT_LT(dropped[0].size(), kPackets);
}

TEST_F(Wirebend, EndOfInputAtOnceEndsCleanlyAndBadStartsAreRefused) {
    e2e::BenchRun bench(e2e::kWirebend, kPassAll, rig_->BenchNs());
    const e2e::Finished run = bench.Stop();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Output(0, 0, 0, 0));
    EXPECT_EQ(bench.Read(kLogName), "Test start : \n");

    // The client namespace has no bench ports: arguments are judged before a port is opened.
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;  // the whole of it for a missing port; usage may go on
    } refused[] = {{{}, 2, "usage: wirebend"},
                   {{"100", "0", "0", "0", "0"}, 2, "usage: wirebend"},
                   {kPassAll, 3, "wirebend: enp1s0f0: no such interface\n"}};
    for (const auto& start : refused) {
        SCOPED_TRACE(start.err);
        const e2e::Finished end = e2e::Run(
            [&] {
                std::vector<std::string> argv = {e2e::kWirebend};
                argv.insert(argv.end(), start.args.begin(), start.args.end());
                return argv;
            }(),
            rig_->ClientNs());
        EXPECT_EQ(end.status, start.status);
        EXPECT_EQ(start.status == 3 ? end.err : end.err.substr(0, start.err.size()), start.err);
        EXPECT_EQ(end.out, "");
    }
    const e2e::Finished inverted =
        e2e::Run({e2e::kWirebend, "0", "0", "100", "0", "40", "30"}, rig_->ClientNs());
    EXPECT_EQ(inverted.status, 2);
    EXPECT_NE(inverted.err.find("40"), std::string::npos) << inverted.err;
    EXPECT_NE(inverted.err.find("30"), std::string::npos) << inverted.err;
    EXPECT_EQ(inverted.out, "");
}

}  // namespace
