// wirebend in the rig without a bridge: the program alone joins the two bench ports, so every
// frame that reaches a host went through it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

#include "tests/e2e/BenchProgram.h"
#include "tests/e2e/harness/Capture.h"
#include "tests/e2e/harness/Testbed.h"
#include "tests/e2e/harness/Text.h"
#include "tests/e2e/harness/Wait.h"
#include "tools/rocepeer/RoceFrames.h"

namespace {

using roceframes::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kStartBanner = "***MODIFIER STARTED";
constexpr const char* kEndBanner = "\n*** THE END***\n\n";
constexpr milliseconds kArrival = seconds(5);

std::string Rocepeer() {
    return *e2e::ProgramPath("rocepeer");
}

std::string WirebendPath() {
    return *e2e::ProgramPath("wirebend");
}

Bytes FromHex(const std::string& text) {
    Bytes bytes;
    for (std::size_t at = 0; at + 1 < text.size(); at += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The value printed after "Number of <label>: ", or -1 when the line is missing.
long Counter(const std::string& out, const std::string& label) {
    const std::string needle = "Number of " + label + ": ";
    const std::size_t at = out.find(needle);
    return at == std::string::npos ? -1 : std::stol(out.substr(at + needle.size()));
}

// The whole standard output of a run that drew these operations.
std::string ExpectedOutput(long none, long drop, long delay, long reorder) {
    return "\n***MODIFIER STARTED\nNumber of None: " + std::to_string(none) +
           "\nNumber of Drop: " + std::to_string(drop) +
           "\nNumber of Delay: " + std::to_string(delay) +
           "\nNumber of Reoeder: " + std::to_string(reorder) + "\n" + kEndBanner;
}

std::vector<std::string> RoceArgs(std::uint32_t psn, int opcode = 4, std::uint32_t qp = 0x12) {
    return {"--kind",         "roce",
            "--opcode",       std::to_string(opcode),
            "--qp",           std::to_string(qp),
            "--psn",          std::to_string(psn),
            "--payload-size", "32",
            "--ip-id",        std::to_string(psn & 0xFFFF)};
}

std::vector<Bytes> RoceOnly(const std::vector<e2e::Frame>& frames) {
    std::vector<Bytes> roce;
    std::copy_if(frames.begin(), frames.end(), std::back_inserter(roce), [](const Bytes& f) {
        return roceframes::ParseRoceFrame(f.data(), f.size()).has_value();
    });
    return roce;
}

std::string LogLineOf(const Bytes& frame) {
    const auto view = roceframes::ParseRoceFrame(frame.data(), frame.size());
    return "op:" + std::to_string(view->opcode) + " #" + std::to_string(view->psn) +
           " dest:" + std::to_string(view->destQp);
}

// tcpdump's own time stamps, in microseconds, of the RoCE frames on one interface and
// direction: the harness capture keeps bytes only.
class RoceTimes {
public:
    RoceTimes(const std::string& netns, const std::string& direction)
        : tcpdump_({"tcpdump", "-i", e2e::Testbed::kHostInterface, "-Q", direction, "-l", "-n",
                    "-tt", "--immediate-mode", "udp dst port 4791"},
                   netns) {
        listening_ = tcpdump_.Started() && tcpdump_.WaitForOutput("listening on", seconds(10));
    }
    bool Listening() const { return listening_; }
    std::vector<long long> Micros() const {
        std::vector<long long> micros;
        for (const std::string& line : Lines(tcpdump_.Stdout())) {
            const std::size_t dot = line.find('.');
            const std::size_t blank = line.find(' ');
            if (dot != std::string::npos && blank == dot + 7) {
                micros.push_back(std::stoll(line.substr(0, dot)) * 1000000 +
                                 std::stoll(line.substr(dot + 1, 6)));
            }
        }
        return micros;
    }
    bool WaitForCount(std::size_t count) const {
        return e2e::WaitUntil([&] { return Micros().size() >= count; }, kArrival);
    }

private:
    e2e::Process tcpdump_;
    bool listening_ = false;
};

class Wirebend : public ::testing::Test {
protected:
    void SetUp() override {
        E2E_SKIP_UNLESS_POSSIBLE();
        rig_ = std::make_unique<e2e::Testbed>();
        ASSERT_TRUE(rig_->Up()) << rig_->Error();
    }

    // A run that has printed its banner, so its captures are open.
    std::unique_ptr<e2e::BenchProgram> Start(const std::vector<std::string>& args) {
        auto bench = std::make_unique<e2e::BenchProgram>(*rig_, "wirebend", args, kStartBanner);
        EXPECT_TRUE(bench->WaitUntilStarted()) << bench->process().Stderr();
        return bench;
    }

    std::unique_ptr<e2e::Capture> Listen(const std::string& netns, const char* direction) {
        auto capture =
            std::make_unique<e2e::Capture>(netns, e2e::Testbed::kHostInterface, direction);
        EXPECT_TRUE(capture->Listening()) << capture->Error();
        return capture;
    }

    // Sends one frame with rocepeer's frame command and returns its bytes.
    Bytes Send(const std::string& netns, const char* peerMac, const char* peerIp,
               const std::vector<std::string>& kind) {
        std::vector<std::string> args = {Rocepeer(),   "frame", "--dev",     "eth0",
                                         "--peer-mac", peerMac, "--peer-ip", peerIp};
        args.insert(args.end(), kind.begin(), kind.end());
        const e2e::Finished sent = e2e::Run(args, netns);
        EXPECT_EQ(sent.status, 0) << sent.err;
        return FromHex(sent.out.substr(0, sent.out.find('\n')));
    }
    Bytes FromClient(const std::vector<std::string>& kind) {
        return Send(rig_->ClientNs(), e2e::Testbed::kServerMac, e2e::Testbed::kServerIp, kind);
    }
    Bytes FromServer(const std::vector<std::string>& kind) {
        return Send(rig_->ServerNs(), e2e::Testbed::kClientMac, e2e::Testbed::kClientIp, kind);
    }

    static std::vector<std::string> LogLines(const e2e::BenchProgram& bench) {
        return Lines(bench.ReadFile("Log.txt"));
    }
    static bool WaitForLogLines(const e2e::BenchProgram& bench, std::size_t packets) {
        return e2e::WaitUntil([&] { return LogLines(bench).size() >= packets + 1; }, kArrival);
    }

    std::unique_ptr<e2e::Testbed> rig_;
};

TEST_F(Wirebend, PassingEverythingForwardsABurstInOrderByteForByteAndLogsEachPacket) {
    auto sent = Listen(rig_->ClientNs(), "out");
    auto arrived = Listen(rig_->ServerNs(), "in");
    auto bench = Start({"100", "0", "0", "0", "0", "50"});
    const e2e::Finished burst =
        e2e::Run({Rocepeer(), "rate-send", "--dev", "eth0", "--peer-mac", e2e::Testbed::kServerMac,
                  "--peer-ip", e2e::Testbed::kServerIp, "--rate", "300", "--frame-size", "120",
                  "--seconds", "1"},
                 rig_->ClientNs(), seconds(30));
    ASSERT_EQ(burst.status, 0) << burst.err;
    const std::vector<Bytes> frames = RoceOnly(sent->Stop());
    ASSERT_GE(frames.size(), 100u);
    EXPECT_TRUE(
        arrived->WaitFor([&](const auto& got) { return got.size() >= frames.size(); }, kArrival));
    ASSERT_TRUE(WaitForLogLines(*bench, frames.size()));
    const e2e::Finished run = bench->Stop();

    EXPECT_EQ(arrived->Stop(), frames) << "the server gets exactly the client's packets";
    std::vector<std::string> expectedLog = {"Test start : "};
    std::transform(frames.begin(), frames.end(), std::back_inserter(expectedLog), LogLineOf);
    EXPECT_EQ(LogLines(*bench), expectedLog);
    EXPECT_EQ(run.status, 0) << run.err;
    const long n = static_cast<long>(frames.size());
    EXPECT_EQ(run.out, ExpectedOutput(n, 0, 0, 0));
    EXPECT_EQ(run.err, "") << "no loss may be reported";
}

TEST_F(Wirebend, DroppingEverythingForwardsNothingButLogsAndCountsEveryPacket) {
    auto arrived = Listen(rig_->ServerNs(), "in");
    auto bench = Start({"0", "100", "0", "0", "0", "50"});
    constexpr std::uint32_t kPackets = 8;
    for (std::uint32_t psn = 1; psn <= kPackets; ++psn) {
        FromClient(RoceArgs(psn));
    }
    ASSERT_TRUE(WaitForLogLines(*bench, kPackets)) << bench->ReadFile("Log.txt");
    const e2e::Finished run = bench->Stop();

    EXPECT_EQ(arrived->Stop(), std::vector<e2e::Frame>{});
    const auto log = LogLines(*bench);
    ASSERT_EQ(log.size(), kPackets + 1);
    for (std::uint32_t psn = 1; psn <= kPackets; ++psn) {
        EXPECT_EQ(log[psn], "op:4 #" + std::to_string(psn) + " dest:18");
    }
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, ExpectedOutput(0, kPackets, 0, 0));
}

TEST_F(Wirebend, ClientSendsOnlyRocePortFramesWhileEveryServerFrameIsForwarded) {
    auto atServer = Listen(rig_->ServerNs(), "in");
    auto atClient = Listen(rig_->ClientNs(), "in");
    auto bench = Start({"100", "0", "0", "0", "0", "50"});

    FromClient({"--kind", "arp"});
    FromClient({"--kind", "udp", "--dst-port", "5000", "--payload-size", "30"});
    FromClient({"--kind", "udp", "--src-port", "4791", "--dst-port", "5001"});
    // Too short for a BTH: forwarded, since the injector only looks at the port, but not logged.
    const std::vector<Bytes> shortRoce = {
        FromClient({"--kind", "udp", "--dst-port", "4791", "--payload-size", "0"}),
        FromClient(
            {"--kind", "udp", "--dst-port", "4791", "--payload-size", "11", "--no-udp-checksum"})};
    const Bytes marker = FromClient(RoceArgs(7));
    std::vector<Bytes> toServer = shortRoce;
    toServer.push_back(marker);
    EXPECT_TRUE(atServer->WaitFor([&](const auto& got) { return got.size() >= 3; }, kArrival));

    const std::vector<Bytes> toClient = {
        FromServer({"--kind", "roce", "--opcode", "17", "--qp", "0x11", "--psn", "5"}),
        FromServer({"--kind", "arp"}),
        FromServer({"--kind", "udp", "--dst-port", "5000", "--payload-size", "30"}),
        FromServer({"--kind", "udp", "--dst-port", "4791", "--payload-size", "0"})};
    EXPECT_TRUE(atClient->WaitFor([&](const auto& got) { return got.size() >= 4; }, kArrival));
    const e2e::Finished run = bench->Stop();

    EXPECT_EQ(atServer->Stop(), toServer);
    EXPECT_EQ(atClient->Stop(), toClient);
    EXPECT_EQ(LogLines(*bench), (std::vector<std::string>{"Test start : ", "op:4 #7 dest:18"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, ExpectedOutput(3, 0, 0, 0)) << "the short port-4791 frames are drawn for";
}

TEST_F(Wirebend, LogsOpcodePsnAndDestinationQpInDecimal) {
    auto bench = Start({"100", "0", "0", "0", "0", "50"});
    FromClient(RoceArgs(100, 17, 26));
    FromClient(RoceArgs(0xFFFFFF, 255, 0xABCDEF));
    ASSERT_TRUE(WaitForLogLines(*bench, 2));
    EXPECT_EQ(bench->Stop().status, 0);
    EXPECT_EQ(bench->ReadFile("Log.txt"),
              "Test start : \nop:17 #100 dest:26\nop:255 #16777215 dest:11259375\n");
}

TEST_F(Wirebend, RequesterCompletesThroughDropsDelaysAndReorderingByRetransmission) {
    auto bench = Start({"70", "10", "10", "10", "5", "20"});
    e2e::Process responder({Rocepeer(), "respond", "--dev", "eth0", "--idle-ms", "5000"},
                           rig_->ServerNs());
    ASSERT_TRUE(responder.WaitForOutput("ready", seconds(10))) << responder.Stderr();
    const e2e::Finished request =
        e2e::Run({Rocepeer(), "request", "--dev", "eth0", "--peer-mac", e2e::Testbed::kServerMac,
                  "--peer-ip", e2e::Testbed::kServerIp, "--count", "60", "--size",
                  "200,1024,2500,5000", "--mtu", "1024", "--window", "16", "--limit-ms", "60000"},
                 rig_->ClientNs(), seconds(90));
    responder.Signal(SIGTERM);
    responder.WaitOrKill(seconds(10));
    ASSERT_EQ(request.status, 0) << request.out << request.err;
    const long long packets = e2e::NumberOf(request.out, "packets");
    ASSERT_TRUE(WaitForLogLines(*bench, static_cast<std::size_t>(packets)));
    const e2e::Finished run = bench->Stop();

    EXPECT_EQ(e2e::NumberOf(request.out, "delivered"), 60);
    EXPECT_GT(e2e::NumberOf(request.out, "retransmissions"), 0) << request.out;
    EXPECT_GT(e2e::NumberOf(request.out, "naks") + e2e::NumberOf(request.out, "timeouts"), 0)
        << request.out;
    EXPECT_EQ(e2e::NumberOf(responder.Stdout(), "messages"), 60) << responder.Stdout();
    EXPECT_EQ(e2e::NumberOf(responder.Stdout(), "bad_icrc"), 0) << responder.Stdout();
    EXPECT_EQ(static_cast<long long>(LogLines(*bench).size()), packets + 1);
    EXPECT_EQ(run.status, 0) << run.err;
    for (const char* label : {"None", "Drop", "Delay", "Reoeder"}) {
        EXPECT_GT(Counter(run.out, label), 0) << label << "\n" << run.out;
    }
    EXPECT_LE(Counter(run.out, "None") + Counter(run.out, "Drop") + Counter(run.out, "Delay") +
                  Counter(run.out, "Reoeder"),
              packets)
        << run.out;
}

TEST_F(Wirebend, DelayedPacketIsHeldAtLeastTheDrawnDelay) {
    RoceTimes left(rig_->ClientNs(), "out");
    RoceTimes arrived(rig_->ServerNs(), "in");
    ASSERT_TRUE(left.Listening() && arrived.Listening());
    auto bench = Start({"0", "0", "100", "0", "30", "30"});
    constexpr std::size_t kPackets = 3;
    for (std::size_t i = 0; i < kPackets; ++i) {
        FromClient(RoceArgs(static_cast<std::uint32_t>(i)));
        ASSERT_TRUE(left.WaitForCount(i + 1) && arrived.WaitForCount(i + 1));
        // Time stamps are whole microseconds, so a true 30 ms may read 1 us short.
        EXPECT_GE(arrived.Micros()[i] - left.Micros()[i], 30000 - 1) << "packet " << i;
    }
    const e2e::Finished run = bench->Stop();
    EXPECT_EQ(run.out, ExpectedOutput(0, 0, kPackets, 0));
}

// Sends numbered packets one at a time, each only after its log line, and returns the PSNs
// that never reached the server, along with the run's output.
std::pair<std::set<std::uint32_t>, std::string> DroppedPsns(
    e2e::BenchProgram& bench, e2e::Capture& atServer,
    const std::function<void(std::uint32_t)>& send, std::uint32_t packets) {
    for (std::uint32_t psn = 0; psn < packets; ++psn) {
        send(psn);
        EXPECT_TRUE(e2e::WaitUntil(
            [&] { return Lines(bench.ReadFile("Log.txt")).size() >= psn + 2; }, kArrival));
    }
    const e2e::Finished run = bench.Stop();
    std::set<std::uint32_t> dropped;
    for (std::uint32_t psn = 0; psn < packets; ++psn) {
        dropped.insert(psn);
    }
    for (const Bytes& frame : RoceOnly(atServer.Stop())) {
        dropped.erase(roceframes::ParseRoceFrame(frame.data(), frame.size())->psn);
    }
    return {dropped, run.out};
}

TEST_F(Wirebend, TwoRunsWithTheSameArgumentsDropTheSamePackets) {
    constexpr std::uint32_t kPackets = 12;
    std::vector<std::set<std::uint32_t>> dropped;
    for (int runIndex = 0; runIndex < 2; ++runIndex) {
        auto atServer = Listen(rig_->ServerNs(), "in");
        auto bench = Start({"50", "50", "0", "0", "0", "50"});
        const auto [psns, out] = DroppedPsns(
            *bench, *atServer, [&](std::uint32_t psn) { FromClient(RoceArgs(psn)); }, kPackets);
        EXPECT_EQ(Counter(out, "Drop"), static_cast<long>(psns.size())) << out;
        EXPECT_EQ(Counter(out, "None"), static_cast<long>(kPackets - psns.size())) << out;
        dropped.push_back(psns);
    }
    EXPECT_EQ(dropped[0], dropped[1]);
    EXPECT_FALSE(dropped[0].empty());
    EXPECT_LT(dropped[0].size(), kPackets);
}

TEST_F(Wirebend, EndOfInputAtOnceShutsDownCleanly) {
    e2e::BenchProgram bench(*rig_, "wirebend", {"100", "0", "0", "0", "0", "50"}, kStartBanner);
    const e2e::Finished run = bench.Stop();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, ExpectedOutput(0, 0, 0, 0));
    EXPECT_EQ(bench.ReadFile("Log.txt"), "Test start : \n");
}

TEST_F(Wirebend, MissingInterfaceIsNamedOnOneLineWithStatusThree) {
    // The client namespace has only eth0.
    const e2e::Finished run =
        e2e::Run({WirebendPath(), "100", "0", "0", "0", "0", "50"}, rig_->ClientNs(), seconds(30));
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "wirebend: enp1s0f0: no such interface\n");
    EXPECT_EQ(run.out, "");
}

TEST(WirebendCommandLine, BadArgumentsAreRefusedWithStatusTwoBeforeAnyPortIsOpened) {
    // Run where the bench ports do not exist: a program that opened them first would exit 3.
    const std::vector<std::vector<std::string>> tooFew = {{}, {"100", "0", "0", "0", "0"}};
    for (const auto& args : tooFew) {
        std::vector<std::string> argv = {WirebendPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        const e2e::Finished run = e2e::Run(argv);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(run.err.rfind("usage: wirebend", 0), 0u) << run.err;
        EXPECT_EQ(run.out, "");
    }
    const e2e::Finished inverted = e2e::Run({WirebendPath(), "0", "0", "100", "0", "40", "30"});
    EXPECT_EQ(inverted.status, 2);
    EXPECT_NE(inverted.err.find("40"), std::string::npos) << inverted.err;
    EXPECT_NE(inverted.err.find("30"), std::string::npos) << inverted.err;
    EXPECT_EQ(inverted.out, "");
}

}  // namespace
