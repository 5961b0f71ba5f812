// The verifier under the reliable-connection rules between two peers exchanging SEND, RDMA WRITE
// and RDMA READ across the PSN wrap: clean through wirewatch, and under midwire's faults
// counting what the peers counted.
#include <nlohmann/json.hpp>

#include "tests/e2e/harness/Harness.h"

namespace {

using namespace e2e;
using nlohmann::json;

// Forty messages of every kind and size, across the wrap: every READ response is split at the
// path MTU and takes the requester's PSNs.
const std::string kMixedRequests =
    " --psn 0xffffe0 --count 40 --ops send,write,read,write-imm"
    " --size 200,1024,2500,5000 --mtu 1024 --window 16";

class Verification : public RigTest {
protected:
    // The entry of the queue pair `qp` on `device`.
    static json QueuePair(const json& summary, unsigned device, std::uint32_t qp) {
        for (const json& entry : summary.at("queue_pairs")) {
            if (entry.at("device") == device && entry.at("qp") == qp) {
                return entry;
            }
        }
        ADD_FAILURE() << "no queue pair " << qp << " on device " << device;
        return json::object();
    }
    static std::uint64_t Refused(const json& entry, const std::string& kind) {
        return entry.at("refused").value(kind, std::uint64_t{0});
    }
};

TEST_F(Verification, AMixedExchangeAcrossTheWrapPassesWirewatchWithoutARefusal) {
    TempDir dir;
    const Program& wirewatch = kPrograms[0];
    const auto bench = Start(wirewatch, Words("--rules rc --summary summary.json 11 12"), dir);
    const auto responder = Respond("--psn 0xffffe0 --mtu 1024");
    const Finished request = Request(kMixedRequests);
    ASSERT_EQ(request.status, 0) << request.out << request.err;
    const Finished run = bench->Finish();
    ASSERT_EQ(run.status, wirewatch.exitStatus) << run.err;
    EXPECT_NE(run.err.find(" packets, none refused\n"), std::string::npos) << run.err;

    const json summary = json::parse(dir.Read("summary.json"));
    EXPECT_EQ(summary.at("program"), "wirewatch");
    EXPECT_EQ(summary.at("ports").at("client"), "enp1s0f1");
    EXPECT_EQ(summary.at("verification").at("rules"), "rc");
    EXPECT_EQ(summary.at("verification").at("refused"), 0);
    // The requester's packets reach the server, READ requests counted by their response's PSNs.
    const json toServer = QueuePair(summary, 0, kServer.qp);
    EXPECT_EQ(toServer.at("registered"), true);
    EXPECT_EQ(toServer.at("peer"), kClient.qp);
    EXPECT_EQ(toServer.at("accepted"), Numbers(request.out, " packets=(\\d+)").at(0));
    EXPECT_EQ(toServer.at("duplicates"), 0);
    const json toClient = QueuePair(summary, 1, kClient.qp);
    EXPECT_EQ(toClient.at("accepted"), toClient.at("packets"));
    EXPECT_EQ(summary.at("frames").at("client").at("in").at("captured"),
              summary.at("frames").at("server").at("out").at("captured"));
}

TEST_F(Verification, UnderMidwiresDropsTheRefusalsAndDuplicatesAreWhatTheResponderCounted) {
    TempDir dir;
    const Program& midwire = kPrograms[1];
    const auto bench =
        Start(midwire, Words("--rules rc --summary summary.json 11 12 85 10 0 5 90 10 0 0"), dir);
    const auto responder = Respond("--psn 0xffffe0 --mtu 1024");
    const Finished request = Request(kMixedRequests);
    ASSERT_EQ(request.status, 0) << request.out << request.err;
    responder->Signal(SIGTERM);
    const std::string responded = responder->Finish().out;
    // SIGTERM ends the run as a key would, with the whole summary.
    bench->Signal(SIGTERM);
    const Finished run = bench->Finish();
    ASSERT_EQ(run.status, midwire.exitStatus) << run.err;

    const json summary = json::parse(dir.Read("summary.json"));
    const auto decisions = Numbers(run.out, "Number of \\w+: (\\d+)");  // client's, server's
    ASSERT_EQ(decisions.size(), 8u);
    EXPECT_EQ(summary.at("injectors").at("c2s").at("decisions").at("drop"), decisions[1]);
    EXPECT_EQ(summary.at("injectors").at("s2c").at("decisions").at("drop"), decisions[5]);
    ASSERT_GT(decisions[1], 0u) << "no request dropped: nothing to check";

    // What left the server's port is what the responder received: a request ahead of the
    // expected PSN follows a loss, one behind it is a retransmission.
    const json atServer = QueuePair(summary, 0, kServer.qp);
    EXPECT_EQ(Refused(atServer, "bad_psn"), Numbers(responded, " out_of_order=(\\d+)").at(0))
        << atServer.dump() << "\n"
        << responded;
    EXPECT_EQ(atServer.at("duplicates"), Numbers(responded, " duplicates=(\\d+)").at(0));
    EXPECT_EQ(Refused(atServer, "bad_opcode_sequence"), 0u);
    // The responder's NAKs as they reached the requester, through the server's injector.
    const json atClient = QueuePair(summary, 1, kClient.qp);
    EXPECT_EQ(atClient.at("naks").at("psn_sequence_error"),
              Numbers(request.out, " naks=(\\d+)").at(0));
    EXPECT_NE(run.err.find("refused under the rc rules"), std::string::npos) << run.err;
}

}  // namespace
