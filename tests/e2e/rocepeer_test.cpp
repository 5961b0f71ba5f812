// rocepeer through the kernel-bridge baseline: the peer must work before it can judge the bench
// programs.
#include <gtest/gtest.h>

#include "tests/e2e/harness/Peers.h"

namespace {

using e2e::NumberOf;

class RocepeerThroughBridge : public e2e::RigTest {
protected:
    RocepeerThroughBridge() { options_.bridge = true; }
};

TEST_F(RocepeerThroughBridge, MixedMessagesCrossThePsnWrapWithoutLoss) {
    const e2e::Exchange run = e2e::RunExchange(*rig_);
    // 60 messages of 1, 1, 3 and 5 packets: 150 packets from 0xfffff0 on.
    ASSERT_EQ(run.request.status, 0) << run.request.out << run.request.err;
    EXPECT_EQ(e2e::FieldOf(run.request.out, "result"), "ok");
    EXPECT_EQ(NumberOf(run.request.out, "delivered"), 60);
    EXPECT_EQ(NumberOf(run.request.out, "packets"), 150);
    EXPECT_EQ(NumberOf(run.request.out, "retransmissions"), 0);
    EXPECT_EQ(NumberOf(run.responder, "messages"), 60) << run.responder;
    EXPECT_EQ(NumberOf(run.responder, "accepted"), 150) << run.responder;
    EXPECT_EQ(NumberOf(run.responder, "bad_icrc"), 0) << run.responder;
}

class RocepeerThroughLossyBridge : public RocepeerThroughBridge {
protected:
    RocepeerThroughLossyBridge() { options_.dropPercent = 10; }
};

TEST_F(RocepeerThroughLossyBridge, CompletesByRetransmissionAndSaysSo) {
    const e2e::Exchange run = e2e::RunExchange(*rig_, {"--window", "16"});
    ASSERT_EQ(run.request.status, 0) << run.request.out << run.request.err;
    EXPECT_EQ(NumberOf(run.request.out, "delivered"), 60);
    EXPECT_GT(NumberOf(run.request.out, "retransmissions"), 0) << run.request.out;
    EXPECT_GT(NumberOf(run.request.out, "naks") + NumberOf(run.request.out, "timeouts"), 0);
    EXPECT_EQ(NumberOf(run.responder, "messages"), 60) << run.responder;
}

TEST_F(RocepeerThroughBridge, SingleFramesOfEveryKindArriveByteForByte) {
    auto server = Listen(e2e::kServer, "in");
    std::vector<e2e::Frame> sent;
    for (const e2e::FrameCase& kind : e2e::FramesOfEveryKind(e2e::kClient, e2e::kServer, 0x12)) {
        ASSERT_EQ(Send(kind), kind.expected) << kind.name;
        sent.push_back(kind.expected);
        EXPECT_TRUE(server->WaitForCount(sent.size())) << kind.name;
    }
    EXPECT_EQ(server->Stop(), sent);
}

TEST_F(RocepeerThroughBridge, FailuresEndWithTheirOwnStatus) {
    const std::vector<std::vector<std::string>> usage = {
        {},
        {"fly"},
        {"request", "--count"},
        {"request", "--dev", "eth0", "--peer-mac", "02:47:00:00:00:02", "--peer-ip", "10.47.0.2",
         "--psn", "0x1000000"},
        {"rate-send", "--frame-size", "10"},
        {"frame", "--unknown", "1"},
    };
    for (const auto& args : usage) {
        std::vector<std::string> argv = {e2e::kRocepeer};
        argv.insert(argv.end(), args.begin(), args.end());
        const e2e::Finished run = e2e::Run(argv);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find("usage: rocepeer"), std::string::npos) << run.err;
    }
    const e2e::Finished missing = e2e::Run({e2e::kRocepeer, "respond", "--dev", "nosuchif0"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("nosuchif0"), std::string::npos) << missing.err;

    // Nobody answers: the requester gives up within its limit.
    const e2e::Finished alone =
        e2e::Run({e2e::kRocepeer, "request", "--dev", "eth0", "--peer-mac", e2e::kServer.mac,
                  "--peer-ip", e2e::kServer.ip, "--limit-ms", "300", "--timeout-ms", "50"},
                 rig_->ClientNs());
    EXPECT_EQ(alone.status, 1) << alone.out << alone.err;
    EXPECT_EQ(e2e::FieldOf(alone.out, "result"), "failed");
    EXPECT_EQ(NumberOf(alone.out, "delivered"), 0);
    EXPECT_GT(NumberOf(alone.out, "timeouts"), 0);
}

}  // namespace
