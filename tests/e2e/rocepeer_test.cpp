// rocepeer through the kernel-bridge baseline: the peer must work before it
// can judge the bench programs.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/e2e/harness/Capture.h"
#include "tests/e2e/harness/Frames.h"
#include "tests/e2e/harness/Testbed.h"
#include "tests/e2e/harness/Text.h"
#include "tools/rocepeer/RoceFrames.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::string Rocepeer() {
    return *e2e::ProgramPath("rocepeer");
}

std::vector<std::string> Responder() {
    return {Rocepeer(), "respond", "--dev", "eth0", "--psn", "0xfffff0", "--idle-ms", "3000"};
}

std::vector<std::string> Requester(std::vector<std::string> extra) {
    std::vector<std::string> args = {Rocepeer(),   "request",
                                     "--dev",      "eth0",
                                     "--peer-mac", e2e::Testbed::kServerMac,
                                     "--peer-ip",  e2e::Testbed::kServerIp,
                                     "--psn",      "0xfffff0",
                                     "--count",    "60",
                                     "--size",     "200,1024,2500,5000",
                                     "--mtu",      "1024",
                                     "--limit-ms", "60000"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// Runs a requester against a responder that is already listening; returns the
// requester's exit status and summary.
e2e::Finished RunExchange(const e2e::Testbed& rig, const std::vector<std::string>& requester,
                          std::string& responderSummary) {
    e2e::Process responder(Responder(), rig.ServerNs());
    EXPECT_TRUE(responder.WaitForOutput("ready", seconds(10))) << responder.Stderr();
    const e2e::Finished result = e2e::Run(requester, rig.ClientNs(), seconds(90));
    responder.Signal(SIGTERM);
    responder.WaitOrKill(seconds(10));
    responderSummary = responder.Stdout();
    return result;
}

TEST(RocepeerThroughBridge, MixedMessagesCrossThePsnWrapWithoutLoss) {
    E2E_SKIP_UNLESS_POSSIBLE();
    e2e::Testbed rig({true, 0});
    ASSERT_TRUE(rig.Up()) << rig.Error();
    std::string responder;
    const e2e::Finished request = RunExchange(rig, Requester({}), responder);
    // 60 messages of 1, 1, 3 and 5 packets: 150 packets from 0xfffff0 on.
    ASSERT_EQ(request.status, 0) << request.out << request.err;
    EXPECT_EQ(e2e::FieldOf(request.out, "result"), "ok");
    EXPECT_EQ(e2e::NumberOf(request.out, "delivered"), 60);
    EXPECT_EQ(e2e::NumberOf(request.out, "packets"), 150);
    EXPECT_EQ(e2e::NumberOf(request.out, "retransmissions"), 0);
    EXPECT_EQ(e2e::NumberOf(responder, "messages"), 60) << responder;
    EXPECT_EQ(e2e::NumberOf(responder, "accepted"), 150) << responder;
    EXPECT_EQ(e2e::NumberOf(responder, "bad_icrc"), 0) << responder;
}

TEST(RocepeerThroughBridge, LossyPathCompletesByRetransmissionAndSaysSo) {
    E2E_SKIP_UNLESS_POSSIBLE();
    e2e::Testbed rig({true, 10});
    ASSERT_TRUE(rig.Up()) << rig.Error();
    std::string responder;
    const e2e::Finished request = RunExchange(rig, Requester({"--window", "16"}), responder);
    ASSERT_EQ(request.status, 0) << request.out << request.err;
    EXPECT_EQ(e2e::NumberOf(request.out, "delivered"), 60);
    EXPECT_GT(e2e::NumberOf(request.out, "retransmissions"), 0) << request.out;
    EXPECT_GT(e2e::NumberOf(request.out, "naks") + e2e::NumberOf(request.out, "timeouts"), 0);
    EXPECT_EQ(e2e::NumberOf(responder, "messages"), 60) << responder;
}

TEST(RocepeerThroughBridge, RequesterFailsWithinItsLimitWhenNobodyAnswers) {
    E2E_SKIP_UNLESS_POSSIBLE();
    e2e::Testbed rig({true, 0});
    ASSERT_TRUE(rig.Up()) << rig.Error();
    const e2e::Finished request = e2e::Run(Requester({"--limit-ms", "300", "--timeout-ms", "50"}),
                                           rig.ClientNs(), seconds(30));
    EXPECT_EQ(request.status, 1) << request.out << request.err;
    EXPECT_EQ(e2e::FieldOf(request.out, "result"), "failed");
    EXPECT_EQ(e2e::NumberOf(request.out, "delivered"), 0);
    EXPECT_GT(e2e::NumberOf(request.out, "timeouts"), 0);
}

// A kind of frame as the tool's command line names it and as the test builds it.
struct FrameCase {
    const char* name;
    std::vector<std::string> args;
    roceframes::Bytes expected;
};

roceframes::Endpoints ClientToServer() {
    return e2e::EndpointsOf(e2e::Testbed::kClientMac, e2e::Testbed::kClientIp,
                            e2e::Testbed::kServerMac, e2e::Testbed::kServerIp);
}

std::vector<FrameCase> FrameCases() {
    const auto ends = ClientToServer();
    roceframes::BthFields bth{2, 0x123456, 0xFFFFFF, 0xC0, 0xFFFF};
    roceframes::RoceOptions plain;
    plain.ipId = 7;
    roceframes::RoceOptions checked = plain;
    checked.udpChecksum = true;
    return {
        {"roce",
         {"--kind", "roce", "--opcode", "2", "--qp", "0x123456", "--psn", "0xffffff",
          "--ackreq-byte", "0xc0", "--payload-size", "64", "--ip-id", "7"},
         roceframes::BuildRoceFrame(ends, bth, e2e::Pattern(64), plain)},
        {"roce with UDP checksum",
         {"--kind", "roce", "--opcode", "2", "--qp", "0x123456", "--psn", "0xffffff",
          "--ackreq-byte", "0xc0", "--payload-size", "64", "--ip-id", "7", "--udp-checksum"},
         roceframes::BuildRoceFrame(ends, bth, e2e::Pattern(64), checked)},
        {"arp", {"--kind", "arp"}, roceframes::BuildArpRequest(ends)},
        {"udp to another port",
         {"--kind", "udp", "--dst-port", "5000", "--payload-size", "30"},
         roceframes::BuildUdpFrame(ends, 49152, 5000, e2e::Pattern(30))},
        {"udp from port 4791",
         {"--kind", "udp", "--src-port", "4791", "--dst-port", "5001", "--payload-size", "30"},
         roceframes::BuildUdpFrame(ends, 4791, 5001, e2e::Pattern(30))},
        {"port 4791, empty payload",
         {"--kind", "udp", "--dst-port", "4791", "--payload-size", "0"},
         roceframes::BuildUdpFrame(ends, 49152, 4791, e2e::Pattern(0))},
        {"port 4791, 5-byte payload",
         {"--kind", "udp", "--dst-port", "4791", "--payload-size", "5", "--no-udp-checksum"},
         roceframes::BuildUdpFrame(ends, 49152, 4791, e2e::Pattern(5), false)},
    };
}

bool Contains(const std::vector<e2e::Frame>& frames, const roceframes::Bytes& frame) {
    return std::find(frames.begin(), frames.end(), frame) != frames.end();
}

TEST(RocepeerThroughBridge, SingleFramesOfEveryKindArriveByteForByte) {
    E2E_SKIP_UNLESS_POSSIBLE();
    e2e::Testbed rig({true, 0});
    ASSERT_TRUE(rig.Up()) << rig.Error();
    e2e::Capture server(rig.ServerNs(), e2e::Testbed::kHostInterface, "in");
    ASSERT_TRUE(server.Listening()) << server.Error();
    for (const FrameCase& kind : FrameCases()) {
        SCOPED_TRACE(kind.name);
        std::vector<std::string> args = {Rocepeer(),   "frame",
                                         "--dev",      "eth0",
                                         "--peer-mac", e2e::Testbed::kServerMac,
                                         "--peer-ip",  e2e::Testbed::kServerIp};
        args.insert(args.end(), kind.args.begin(), kind.args.end());
        const e2e::Finished sent = e2e::Run(args, rig.ClientNs());
        ASSERT_EQ(sent.status, 0) << sent.err;
        EXPECT_EQ(sent.out, roceframes::ToHex(kind.expected) + "\n");
        EXPECT_TRUE(server.WaitFor(
            [&](const auto& frames) { return Contains(frames, kind.expected); }, seconds(5)))
            << "expected " << roceframes::ToHex(kind.expected);
    }
    for (const e2e::Frame& frame : server.Stop()) {
        const auto cases = FrameCases();
        EXPECT_TRUE(std::any_of(cases.begin(), cases.end(),
                                [&](const FrameCase& kind) { return kind.expected == frame; }))
            << "unexpected frame at the server: " << roceframes::ToHex(frame);
    }
}

TEST(RocepeerCommandLine, BadArgumentsGiveUsageAndStatusTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"fly"},
        {"request", "--count"},
        {"request", "--dev", "eth0", "--peer-mac", "02:47:00:00:00:02", "--peer-ip", "10.47.0.2",
         "--psn", "0x1000000"},
        {"rate-send", "--frame-size", "10"},
        {"frame", "--unknown", "1"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv = {Rocepeer()};
        argv.insert(argv.end(), args.begin(), args.end());
        const e2e::Finished run = e2e::Run(argv);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find("usage: rocepeer"), std::string::npos) << run.err;
    }
    const e2e::Finished missing = e2e::Run({Rocepeer(), "respond", "--dev", "nosuchif0"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("nosuchif0"), std::string::npos) << missing.err;
}

}  // namespace
