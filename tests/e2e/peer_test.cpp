// rocepeer's two ends against each other through the rig's plain bridge, no bench between: the
// mix of operations across the PSN wrap, and congestion marks answered.
#include <algorithm>

#include "tests/e2e/harness/Harness.h"
#include "tools/rocepeer/ReliableConnection.h"
#include "tools/rocepeer/RoceFrames.h"
#include "transport/Opcode.h"

namespace {

using namespace e2e;

std::uint32_t Counter(const std::string& out, const std::string& name) {
    const auto values = Numbers(out, " " + name + "=(\\d+)");
    return values.empty() ? UINT32_MAX : values.front();
}

std::vector<roceframes::RoceView> Roce(const std::vector<Frame>& frames) {
    std::vector<roceframes::RoceView> views;
    for (const Frame& frame : frames) {
        if (const auto view = roceframes::ParseRoceFrame(frame.data(), frame.size())) {
            views.push_back(*view);
        }
    }
    return views;
}

std::size_t CountOpcode(const std::vector<roceframes::RoceView>& views, std::uint8_t value) {
    return std::count_if(views.begin(), views.end(),
                         [value](const auto& view) { return view.opcode == value; });
}

class Peers : public RigTest {
protected:
    void SetUp() override {
        RigTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        // The rig again, converged to a bridge between the bench ports.
        const std::string bench = Ns("bench");
        const std::string prefix = bench.substr(0, bench.size() - std::string("-bench").size());
        const Finished up =
            RunCommand({BENCH_TESTBED_SCRIPT, "up", "--prefix", prefix, "--bridge"});
        ASSERT_EQ(up.status, 0) << up.err;
    }

    // Sets CE on every RoCE packet to the server as it crosses the bridge.
    void MarkTowardsServer() {
        for (const Args& command :
             {Words("nft add table bridge congest"),
              Args{"nft", "add", "chain", "bridge", "congest", "marking",
                   "{ type filter hook forward priority 0 ; }"},
              Words("nft add rule bridge congest marking ip daddr " + std::string(kServer.ip) +
                    " udp dport 4791 ip ecn set ce")}) {
            const Finished done = RunCommand(command, Ns("bench"));
            ASSERT_EQ(done.status, 0) << done.err;
        }
    }
};

// Four kinds of message of one to five packets, READs of 1, 3 and 5 response packets among them,
// from 16 below the wrap. Nothing is lost on the bridge, so nothing may be sent twice; a
// resend after no answer would take longer than the run.
TEST_F(Peers, CarryWritesReadsAndSendsAcrossThePsnWrapInOrderWithoutLoss) {
    const std::vector<roceframes::Operation> operations = {
        roceframes::Operation::Write, roceframes::Operation::Read, roceframes::Operation::Send,
        roceframes::Operation::WriteImmediate};
    const auto plan = roceframes::PlanMessages(40, {200, 3000, 5000}, 1024, operations);
    auto atServer = Listen(kServer);
    auto atClient = Listen(kClient);
    const auto responder = Respond("--psn 0xfffff0 --mtu 1024 --count 40");
    const Finished request = Request(
        "--psn 0xfffff0 --ops write,read,send,write-imm --size 200,3000,5000 --count 40 "
        "--mtu 1024 --timeout-ms 10000");
    ASSERT_EQ(request.status, 0) << request.out << request.err;
    const Finished responded = responder->Finish();
    for (const char* none : {"retransmissions", "naks", "timeouts", "bad_read_responses"}) {
        EXPECT_EQ(Counter(request.out, none), 0u) << none << ": " << request.out;
    }
    for (const char* kind : {"sends", "writes", "writes_with_immediate", "reads"}) {
        EXPECT_EQ(Counter(request.out, kind), 10u) << kind << ": " << request.out;
    }
    EXPECT_EQ(Counter(request.out, "read_responses"), 30u) << request.out;
    EXPECT_EQ(Counter(responded.out, "messages"), 40u) << responded.out;
    for (const char* none : {"duplicates", "out_of_order", "naks", "ce_marked", "cnps_sent"}) {
        EXPECT_EQ(Counter(responded.out, none), 0u) << none << ": " << responded.out;
    }
    EXPECT_EQ(Counter(responded.out, "read_responses"), 30u) << responded.out;

    // The requests on the wire are the plan, each READ taking the PSNs of its response, all
    // ECN-capable; so are the answers.
    ASSERT_TRUE(atServer->WaitForCount(plan.size()));
    const auto requests = Roce(atServer->Stop());
    ASSERT_EQ(requests.size(), plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests[i].opcode, plan[i].opcode);
        const auto psnOffset = static_cast<std::uint32_t>(plan[i].psnOffset);
        EXPECT_EQ(requests[i].psn, roceframes::PsnAdd(0xfffff0, psnOffset));
        EXPECT_EQ(requests[i].ecn, roceframes::kEcnEct0);
        EXPECT_TRUE(requests[i].icrcValid);
    }
    EXPECT_GT(plan.back().psnOffset, 16u) << "across the wrap";
    EXPECT_TRUE(WaitUntil([&] {
        return CountOpcode(Roce(atClient->Frames()), opcode::kRdmaReadResponseMiddle) >= 10;
    }));
    for (const auto& answer : Roce(atClient->Stop())) {
        EXPECT_EQ(answer.ecn, roceframes::kEcnEct0);
    }
}

// Every marked packet is counted; with no interval each gets a notification, with one longer
// than the run (at most one per 10 s, by the requester's clock) only the first does. The
// requester counts what arrived: all, on the bridge.
TEST_F(Peers, AnswerCongestionMarksWithNotificationsPacedPerQueuePair) {
    MarkTowardsServer();
    for (const std::uint32_t intervalUs : {0u, 10'000'000u}) {
        SCOPED_TRACE(intervalUs);
        auto atClient = Listen(kClient);
        const auto responder =
            Respond("--count 20 --cnp-interval-us " + std::to_string(intervalUs));
        const Finished request =
            Request("--ops write,read --size 3000 --count 20 --timeout-ms 10000");
        ASSERT_EQ(request.status, 0) << request.out << request.err;
        const Finished responded = responder->Finish();
        const std::uint32_t sent = Counter(responded.out, "cnps_sent");
        EXPECT_EQ(Counter(responded.out, "ce_marked"), Counter(responded.out, "received"))
            << responded.out;
        if (intervalUs == 0) {
            EXPECT_EQ(sent, Counter(responded.out, "received")) << responded.out;
        } else {
            EXPECT_GE(sent, 1u);
            EXPECT_LE(sent, 1 + Counter(request.out, "elapsed_ms") / 10'000) << responded.out;
        }
        EXPECT_EQ(Counter(request.out, "cnps_received"), sent) << request.out;
        EXPECT_EQ(Counter(request.out, "retransmissions"), 0u) << request.out;

        // Each notification as it arrived: to the requester's queue pair, PSN 0, 16 zero bytes,
        // a valid ICRC, not itself ECN-capable.
        EXPECT_TRUE(
            WaitUntil([&] { return CountOpcode(Roce(atClient->Frames()), opcode::kCnp) >= sent; }));
        const std::vector<Frame> frames = atClient->Stop();
        EXPECT_EQ(CountOpcode(Roce(frames), opcode::kCnp), sent);
        for (const Frame& frame : frames) {
            const auto view = roceframes::ParseRoceFrame(frame.data(), frame.size());
            if (view && view->opcode == opcode::kCnp) {
                EXPECT_EQ(view->destQp, kClient.qp);
                EXPECT_EQ(view->psn, 0u);
                EXPECT_TRUE(view->icrcValid);
                EXPECT_EQ(view->ecn, roceframes::kEcnNotEct);
                EXPECT_EQ(Frame(frame.begin() + view->payloadOffset, frame.end() - 4),
                          Frame(16, 0));
            }
        }
    }
}

}  // namespace
