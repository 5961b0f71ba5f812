// What the three programs share, frame by frame, and midwire's faulted exchange between the
// peers: the cases that also run against programs built with a sanitizer.
#include "tests/e2e/harness/Harness.h"
#include "tools/rocepeer/ReliableConnection.h"
#include "tools/rocepeer/RoceFrames.h"

namespace {

using namespace e2e;

enum Way { kNowhere = 0, kFromClient = 1, kFromServer = 2, kBothWays = 3 };

struct Kind {
    const char* name;
    Way forwardedBy[3];  // wirewatch, midwire, wirebend
    bool logged;         // a whole BTH
    std::string args;    // of rocepeer frame
    const char* peerIp = nullptr;
};

// Every kind of frame that may cross the bench, to the queue pair `qp`. The last is RoCE: once
// it is logged, each frame before it from the same side was handled.
std::vector<Kind> KindsTo(const std::string& qp) {
    // clang-format off
    return {
        // Nobody holds the address asked for, so nobody answers behind the test's back.
        {"arp request", {kBothWays, kNowhere, kFromServer}, false, "--kind arp", "10.47.0.99"},
        {"udp to port 5000", {kBothWays, kNowhere, kFromServer}, false,
         "--kind udp --dst-port 5000 --payload-size 30"},
        {"acknowledge", {kBothWays, kBothWays, kBothWays}, true,
         "--kind roce --opcode 17 --psn 0xabcdef --payload-size 4 --qp " + qp},
        {"port 4791, 5 bytes: a runt shorter than a BTH", {kBothWays, kBothWays, kBothWays}, false,
         "--kind udp --dst-port 4791 --payload-size 5 --no-udp-checksum"},
        {"opcode 255, reserved ackreq bits, udp checksum", {kBothWays, kBothWays, kBothWays}, true,
         "--kind roce --opcode 255 --qp 0x123456 --psn 0xffffff --ackreq-byte 0x41"
         " --payload-size 16 --udp-checksum --ip-id 7"},
        {"send only, ackreq", {kBothWays, kBothWays, kBothWays}, true,
         "--kind roce --psn 16 --ackreq-byte 0x80 --payload-size 64 --qp " + qp},
    };
    // clang-format on
}

using EveryProgram = ProgramTest;

TEST_P(EveryProgram, RefusesTooFewArgumentsAndAMissingPortWithoutALog) {
    const Program& program = GetParam();
    TempDir dir;
    const Args tooFew(program.passAll.begin(), program.passAll.end() - 1);
    const Finished usage = Launch(program, tooFew, dir, "client")->Finish();
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err, "");
    const Finished missing = Launch(program, program.passAll, dir, "client")->Finish();
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(Split(missing.err).size(), 1u) << missing.err;
    EXPECT_TRUE(std::regex_search(missing.err, std::regex("enp1s0f[01]"))) << missing.err;
    EXPECT_EQ(usage.out + missing.out, "");
    EXPECT_FALSE(std::filesystem::exists(dir.At(program.log)));
}

TEST_P(EveryProgram, ForwardsAndLogsEachKindOfFrameAsTheTableSaysInAFreshLog) {
    const Program& program = GetParam();
    TempDir dir;
    dir.Write(program.log, "a line of an earlier run\n");
    const std::unique_ptr<Capture> atHost[2] = {Listen(kServer), Listen(kClient)};
    const auto bench = Start(program, program.passAll, dir);
    std::size_t lines = Split(dir.Read(program.log)).size();
    std::vector<Frame> expected[2];
    for (int side = 0; side < 2; ++side) {
        const Host& from = side == 0 ? kClient : kServer;
        const Host& to = side == 0 ? kServer : kClient;
        for (const Kind& kind : KindsTo(std::to_string(to.qp))) {
            SCOPED_TRACE(std::string("from the ") + from.role + ": " + kind.name);
            const Frame sent = Send(from, to, kind.args, kind.peerIp);
            ASSERT_FALSE(sent.empty());
            if (kind.forwardedBy[program.column] & (side == 0 ? kFromClient : kFromServer)) {
                expected[side].push_back(sent);
                EXPECT_TRUE(atHost[side]->WaitForCount(expected[side].size()));
            }
            // One at a time, so that the order of the log is fixed.
            lines += kind.logged ? program.linesPerRoce[side] : 0;
            EXPECT_TRUE(WaitUntil([&] { return Split(dir.Read(program.log)).size() >= lines; }));
        }
    }
    const Finished run = bench->Finish();
    for (int side = 0; side < 2; ++side) {
        EXPECT_EQ(atHost[side]->Stop(), expected[side]) << "frames changed, added or reordered";
    }
    EXPECT_EQ(run.status, program.exitStatus);
    EXPECT_EQ(run.err, "");
    ExpectGolden(program.name + "-frames-stdout", run.out);
    ExpectGolden(program.name + "-frames-log", Masked(dir.Read(program.log), Mask::kTimes));
}

TEST_P(EveryProgram, AnswersHelpAndVersionOnStandardOutput) {
    const Program& program = GetParam();
    TempDir dir;
    const Finished help = Launch(program, {"--help"}, dir, "client")->Finish();
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_TRUE(std::regex_search(help.out, std::regex("usage", std::regex::icase))) << help.out;
    EXPECT_NE(help.out.find(program.name), std::string::npos) << help.out;
    const Finished version = Launch(program, {"--version"}, dir, "client")->Finish();
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_TRUE(std::regex_match(version.out, std::regex(program.name + " \\S*[0-9]\\S*\n")))
        << version.out;
    EXPECT_FALSE(std::filesystem::exists(dir.At(program.log)));
}

TEST_P(EveryProgram, RefusesTextWhereANumberBelongsBeforeOpeningAPort) {
    const Program& program = GetParam();
    TempDir dir;
    for (const auto& [index, text] : program.badNumbers) {
        SCOPED_TRACE(text + " as argument " + std::to_string(index));
        Args args = program.passAll;
        args[index] = text;
        // There are no bench ports here: a port opened first would end it with 3.
        const Finished run = Launch(program, args, dir, "client")->Finish();
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(Split(run.err).size(), 1u) << run.err;
        EXPECT_FALSE(std::filesystem::exists(dir.At(program.log)));
    }
}

TEST_P(EveryProgram, UsesThePortsItIsToldToUse) {
    const Program& program = GetParam();
    const std::string rename =
        "for p in enp1s0f0:toserver enp1s0f1:toclient; do ip link set ${p%:*}"
        " down && ip link set ${p%:*} name ${p#*:} && ip link set ${p#*:} up"
        " || exit 1; done";
    ASSERT_EQ(RunCommand({"sh", "-c", rename}, Ns("bench")).status, 0);
    TempDir dir;
    const std::unique_ptr<Capture> atHost[2] = {Listen(kServer), Listen(kClient)};
    Args args = Words("--server-port toserver --client-port toclient");
    args.insert(args.end(), program.passAll.begin(), program.passAll.end());
    const auto bench = Start(program, args, dir);
    ASSERT_TRUE(bench->WaitForOutput(program.banner));
    const Frame sent[2] = {Send(kClient, kServer, "--kind roce"),
                           Send(kServer, kClient, "--kind roce --qp 17")};
    EXPECT_TRUE(atHost[0]->WaitForCount(1) && atHost[1]->WaitForCount(1));
    const Finished run = bench->Finish();
    EXPECT_EQ(atHost[0]->Stop(), std::vector<Frame>{sent[0]});
    EXPECT_EQ(atHost[1]->Stop(), std::vector<Frame>{sent[1]});
    EXPECT_EQ(run.status, program.exitStatus) << run.err;
}

TEST_P(EveryProgram, RefusesALogNameThatIsASymbolicLink) {
    const Program& program = GetParam();
    TempDir dir;
    dir.Write("other.txt", "not the program's\n");
    std::filesystem::create_symlink("other.txt", dir.At(program.log));
    const Finished run = Launch(program, program.passAll, dir)->Finish();
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(Split(run.err).size(), 1u) << run.err;
    EXPECT_EQ(dir.Read("other.txt"), "not the program's\n");
}

INSTANTIATE_TEST_SUITE_P(Programs, EveryProgram, ::testing::ValuesIn(kPrograms),
                         [](const auto& info) { return info.param.name; });

// The PSN after that of the last RoCE frame among `frames`, and how many RoCE frames there are.
std::pair<std::uint32_t, std::size_t> NextPsnAndCount(const std::vector<Frame>& frames) {
    std::pair<std::uint32_t, std::size_t> result{0, 0};
    for (const Frame& frame : frames) {
        if (const auto roce = roceframes::ParseRoceFrame(frame.data(), frame.size())) {
            result = {roceframes::PsnAdd(roce->psn, 1), result.second + 1};
        }
    }
    return result;
}

using MidwireExchange = RigTest;

TEST_F(MidwireExchange, CompletesThroughFaultsBothWaysAndTheReportAgreesWithThePeers) {
    const Program& midwire = kPrograms[1];
    TempDir dir;
    auto atServer = Listen(kServer);
    auto atClient = Listen(kClient);
    const auto bench = Start(midwire, Words("11 12 80 10 5 5 80 10 5 5"), dir);
    const Exchange exchange = RunExchange({"--window", "16"});
    const std::string& out = exchange.request.out;
    ASSERT_EQ(exchange.request.status, 0) << out << exchange.request.err;
    EXPECT_GT(Numbers(out, " retransmissions=(\\d+)").at(0), 0u) << out;
    EXPECT_EQ(Numbers(exchange.responder, " messages=(\\d+)").at(0), 60u) << exchange.responder;
    const std::uint32_t accepted = Numbers(exchange.responder, " accepted=(\\d+)").at(0);
    const Finished run = bench->Finish();
    ASSERT_EQ(run.status, midwire.exitStatus) << run.err;
    // Late duplicates of a retransmission may still be held at the stop: not a loss.
    const std::regex held(".* held by the fault injector at the stop, not sent\n");
    EXPECT_EQ(std::regex_replace(run.err, held, ""), "");
    EXPECT_EQ(Masked(run.out, Mask::kNumbers),
              Masked(Golden("midwire-frames-stdout"), Mask::kNumbers));

    // What each injector did not drop reached the far host, and nothing else did.
    const auto counts = Numbers(run.out, "Number of \\w+: (\\d+)");  // client's, server's
    ASSERT_EQ(counts.size(), 8u);
    const std::size_t toServer = counts[0] + counts[2] + counts[3];
    const std::size_t toClient = counts[4] + counts[6] + counts[7];
    EXPECT_TRUE(atServer->WaitForCount(toServer) && atClient->WaitForCount(toClient));
    const auto [afterLastRequest, requests] = NextPsnAndCount(atServer->Stop());
    const auto [afterLastAck, acks] = NextPsnAndCount(atClient->Stop());
    EXPECT_EQ(requests, toServer);
    EXPECT_EQ(acks, toClient);
    // Each request is logged arriving, and again leaving when it was forwarded.
    EXPECT_EQ(Numbers(dir.Read(midwire.log), "dest QP:(12)\t").size(),
              Numbers(out, " packets=(\\d+)").at(0) + toServer);
    // The client sent every PSN in order, resending only behind, and the server acknowledged
    // them all last. Which request and which acknowledgement came last depends on the faults
    // near the end, so the frames that arrived tell. No packet here moves the other fields.
    const std::uint32_t last = roceframes::PsnAdd(0xfffff0, accepted);
    const std::vector<std::uint32_t> psns = {0, 0, afterLastRequest, last, last, afterLastAck,
                                             0, 0};
    EXPECT_EQ(Numbers(run.out, "psn:([0-9a-f]+)", 16), psns) << run.out;
}

}  // namespace
