// Aimed faults between two peers: each rule takes the packet it names and no other, the summary
// times the transport's recovery from it, seeded draws repeat, and a bad rule ends a run before
// it starts.
#include <nlohmann/json.hpp>

#include <bitset>
#include <set>

#include "tests/e2e/harness/Harness.h"

namespace {

using namespace e2e;
using nlohmann::json;

const Program& kMidwire = kPrograms[1];
const Program& kWirebend = kPrograms[2];

// What both peers and the bench said about one exchange.
struct Exchange {
    Finished request;
    std::string responded;
    Finished bench;
    json summary;
};

class Faults : public RigTest {
protected:
    // The requester's messages through midwire, passing everything the rules leave alone.
    Exchange ExchangeThroughMidwire(const std::string& faults, const std::string& requestOptions,
                                    const std::string& respondOptions = "") {
        TempDir dir;
        const auto bench = Start(
            kMidwire, Words("--rules rc --summary summary.json " + faults + " " + kPassAll), dir);
        Process responder(Words(kRocepeer + " respond --dev eth0" + respondOptions), Ns("server"));
        EXPECT_TRUE(responder.WaitForOutput("ready")) << responder.Err();
        Exchange exchange;
        exchange.request = Request(requestOptions);
        responder.Signal(SIGTERM);
        exchange.responded = responder.Finish().out;
        // SIGTERM ends the run as a key would, with the whole summary.
        bench->Signal(SIGTERM);
        exchange.bench = bench->Finish();
        EXPECT_EQ(exchange.request.status, 0) << exchange.request.out << exchange.request.err;
        EXPECT_EQ(exchange.bench.status, kMidwire.exitStatus) << exchange.bench.err;
        exchange.summary = json::parse(dir.Read("summary.json"), nullptr, false);
        EXPECT_TRUE(exchange.summary.contains("faults")) << dir.Read("summary.json");
        return exchange;
    }
    static std::uint32_t Counted(const std::string& printed, const std::string& name) {
        const auto numbers = Numbers(printed, " " + name + "=(\\d+)");
        EXPECT_EQ(numbers.size(), 1u) << name << " in: " << printed;
        return numbers.empty() ? 0 : numbers[0];
    }
    static json Firings(const Exchange& exchange, std::size_t rule) {
        json firings = json::array();
        for (const json& firing : exchange.summary.at("faults").at("firings")) {
            if (firing.at("rule") == rule) {
                firings.push_back(firing);
            }
        }
        return firings;
    }
    static std::uint64_t Fired(const Exchange& exchange, std::size_t rule) {
        return exchange.summary.at("faults").at("rules").at(rule - 1).at("fired");
    }
    // The PSNs of the frames, sent one at a time, that wirebend under `seed` let through.
    std::set<std::uint32_t> PassedUnderSeed(int seed) {
        TempDir dir;
        auto atServer = Listen(kServer);
        const auto bench =
            Start(kWirebend, Words("--seed " + std::to_string(seed) + " 50 50 0 0 0 0"), dir);
        const std::size_t lines = Split(dir.Read(kWirebend.log)).size();
        std::vector<Frame> sent;
        for (std::uint32_t psn = 1; psn <= kSeededFrames; ++psn) {
            sent.push_back(Send(kClient, kServer, "--kind roce --psn " + std::to_string(psn)));
            EXPECT_FALSE(sent.back().empty());
            // One at a time, so that the draws meet the frames in the order they were sent.
            EXPECT_TRUE(
                WaitUntil([&] { return Split(dir.Read(kWirebend.log)).size() >= lines + psn; }));
        }
        const Finished run = bench->Finish();
        EXPECT_EQ(run.status, kWirebend.exitStatus) << run.err;
        EXPECT_EQ(run.err.find("held by the fault injector"), std::string::npos) << run.err;
        const auto decisions = Numbers(run.out, "Number of \\w+: (\\d+)");
        EXPECT_EQ(decisions.size(), 4u) << run.out;
        const std::uint32_t passed = decisions.empty() ? 0 : decisions[0];
        std::set<std::uint32_t> psns;
        const auto arrived = [&] {
            psns.clear();
            for (const Frame& frame : atServer->Frames()) {
                for (std::size_t i = 0; i < sent.size(); ++i) {
                    if (frame == sent[i]) {
                        psns.insert(static_cast<std::uint32_t>(i + 1));
                    }
                }
            }
            return psns.size() >= passed;
        };
        EXPECT_TRUE(WaitUntil(arrived)) << psns.size() << " of " << passed;
        atServer->Stop();
        EXPECT_EQ(psns.size(), passed);
        return psns;
    }
    Finished RunRefused(const Program& program, const std::string& rule) {
        TempDir dir;
        Args args = {"--fault", rule};
        args.insert(args.end(), program.passAll.begin(), program.passAll.end());
        return Launch(program, args, dir)->Finish();
    }

    static constexpr const char* kPassAll = "11 12 100 0 0 0 100 0 0 0";
    static constexpr std::uint32_t kSeededFrames = 24;
};

TEST_F(Faults, ADroppedRequestIsNakedAndRetransmittedAfterTheNak) {
    const Exchange run =
        ExchangeThroughMidwire("--fault psn=5,action=drop", "--count 20 --size 1000 --window 4");
    EXPECT_GT(Counted(run.request.out, "retransmissions"), 0u) << run.request.out;
    EXPECT_EQ(Fired(run, 1), 1u);
    const json firings = run.summary.at("faults").at("firings");
    ASSERT_EQ(firings.size(), 1u) << firings.dump(2);
    const json& firing = firings.at(0);
    EXPECT_EQ(firing.at("rule"), 1);
    EXPECT_EQ(firing.at("psn"), 5);
    EXPECT_EQ(firing.at("direction"), "c2s");
    EXPECT_EQ(firing.at("action"), "drop");
    EXPECT_TRUE(firing.at("nak_ns").is_number()) << firing.dump(2);
    EXPECT_TRUE(firing.at("retransmit_ns").is_number()) << firing.dump(2);
    EXPECT_EQ(firing.at("retransmitted_after"), "nak");
    EXPECT_NE(
        run.bench.err.find("fault rule 1 (dir=c2s,psn=0x5,count=1,action=drop): fired 1 time;"),
        std::string::npos)
        << run.bench.err;
}

TEST_F(Faults, ASeenRuleTakesTheRetransmissionAndLetsTheFirstTransmissionPass) {
    const Exchange run =
        ExchangeThroughMidwire("--fault psn=4,action=drop --fault psn=5,seen=2,action=drop",
                               "--count 20 --size 1000 --window 4");
    ASSERT_EQ(Fired(run, 1), 1u);
    ASSERT_EQ(Fired(run, 2), 1u);
    const json first = Firings(run, 1).at(0);
    const json second = Firings(run, 2).at(0);
    EXPECT_EQ(first.at("psn"), 4);
    EXPECT_EQ(second.at("psn"), 5);
    EXPECT_GT(second.at("time_ns"), first.at("time_ns"));
    // Psn 5 went out once before it was taken: the server got it ahead of the lost 4.
    bool firstTransmissionArrived = false;
    for (const json& entry : run.summary.at("queue_pairs")) {
        if (entry.at("device") == 0 && entry.at("qp") == kServer.qp) {
            for (const json& refused : entry.at("first_refused")) {
                firstTransmissionArrived |=
                    refused.at("kind") == "bad_psn" && refused.at("psn") == 5;
            }
        }
    }
    EXPECT_TRUE(firstTransmissionArrived) << run.summary.at("queue_pairs").dump(2);
    // Go-back-N from 4, then again from 5.
    EXPECT_GE(Counted(run.request.out, "retransmissions"), 2u) << run.request.out;
}

TEST_F(Faults, EveryCongestionMarkReachesTheResponderAndIsAnsweredByANotification) {
    const Exchange run = ExchangeThroughMidwire(
        "--fault every=10,action=ecn", "--count 35 --size 1000 --window 4", " --cnp-interval-us 0");
    EXPECT_GT(Counted(run.request.out, "cnps_received"), 0u) << run.request.out;
    EXPECT_EQ(Counted(run.responded, "ce_marked"), Fired(run, 1)) << run.responded;
    // A mark changes no order: what left before the marked packet arrives before it.
    EXPECT_EQ(Counted(run.responded, "out_of_order"), 0u) << run.responded;
    const json firings = Firings(run, 1);
    ASSERT_GE(firings.size(), 1u);
    for (const json& firing : firings) {
        EXPECT_EQ(firing.at("action"), "ecn");
        EXPECT_TRUE(firing.value("cnp_ns", json()).is_number()) << firing.dump(2);
    }
}

TEST_F(Faults, ACorruptedRequestFailsTheResponderIcrcCheck) {
    const Exchange run =
        ExchangeThroughMidwire("--fault psn=7,action=corrupt", "--count 20 --size 1000 --window 4");
    EXPECT_EQ(Fired(run, 1), 1u);
    EXPECT_EQ(Counted(run.responded, "bad_icrc"), 1u) << run.responded;
}

TEST_F(Faults, ACorruptedFrameDiffersFromTheSentOneInExactlyOneBit) {
    TempDir dir;
    auto atServer = Listen(kServer);
    const auto bench =
        Start(kMidwire, Words("--fault psn=7,action=corrupt " + std::string(kPassAll)), dir);
    const Frame sent = Send(kClient, kServer, "--kind roce --psn 7 --qp 0x12");
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(atServer->WaitForCount(1));
    const Finished run = bench->Finish();
    EXPECT_EQ(run.status, kMidwire.exitStatus) << run.err;
    const std::vector<Frame> arrived = atServer->Stop();
    ASSERT_EQ(arrived.size(), 1u);
    ASSERT_EQ(arrived[0].size(), sent.size());
    std::size_t flipped = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        flipped += std::bitset<8>(sent[i] ^ arrived[0][i]).count();
    }
    EXPECT_EQ(flipped, 1u);
}

TEST_F(Faults, ADuplicatedRequestIsTheResponderOnlyDuplicate) {
    const Exchange run = ExchangeThroughMidwire("--fault psn=6,action=duplicate",
                                                "--count 20 --size 1000 --window 4");
    EXPECT_EQ(Fired(run, 1), 1u);
    EXPECT_EQ(Counted(run.responded, "duplicates"), 1u)
        << run.responded << run.summary.at("queue_pairs").dump(2);
}

TEST_F(Faults, TheSameSeedDropsTheSameFramesAndAnotherSeedOthers) {
    const std::set<std::uint32_t> seven = PassedUnderSeed(7);
    EXPECT_EQ(PassedUnderSeed(7), seven);
    EXPECT_NE(PassedUnderSeed(8), seven);
}

TEST_F(Faults, ABadRuleEndsTheRunAtOnceWithOneLineNamingItsKey) {
    for (const Program* program : {&kMidwire, &kWirebend}) {
        const Finished run = RunRefused(*program, "qp=zz,action=drop");
        EXPECT_EQ(run.status, 2) << program->name << ": " << run.err;
        EXPECT_EQ(Split(run.err).size(), 1u) << program->name << ": " << run.err;
        EXPECT_NE(run.err.find("qp"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }
    // Wirebend injects into the client's packets only.
    const Finished run = RunRefused(kWirebend, "dir=s2c,action=drop");
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(Split(run.err).size(), 1u) << run.err;
}

}  // namespace
