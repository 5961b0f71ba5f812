// What the three programs share, frame by frame, and midwire's faulted exchange between the
// peers: the cases that also run against programs built with a sanitizer.
#include <tuple>

#include "tests/e2e/harness/Harness.h"
#include "tools/rocepeer/ReliableConnection.h"
#include "tools/rocepeer/RoceFrames.h"

namespace {

using namespace e2e;

enum Way { kNowhere = 0, kFromClient = 1, kFromServer = 2, kBothWays = 3 };

struct Kind {
    const char* name;
    Way forwardedBy[3];  // wirewatch, midwire, wirebend
    std::string args;    // of rocepeer frame
    const char* peerIp = nullptr;
};

// Every kind of frame that may cross the bench, to the queue pair `qp`. The last is RoCE: once
// it is logged, each frame before it from the same side was handled.
std::vector<Kind> KindsTo(const std::string& qp) {
    // clang-format off
    return {
        // Nobody holds the address asked for, so nobody answers behind the test's back.
        {"arp request", {kBothWays, kNowhere, kFromServer}, "--kind arp", "10.47.0.99"},
        {"acknowledge", {kBothWays, kBothWays, kBothWays},
         "--kind roce --opcode 17 --psn 0xabcdef --payload-size 4 --qp " + qp},
        {"port 4791, 5 bytes: a runt shorter than a BTH", {kBothWays, kBothWays, kBothWays},
         "--kind udp --dst-port 4791 --payload-size 5 --no-udp-checksum"},
        {"opcode 255, reserved ackreq bits, udp checksum", {kBothWays, kBothWays, kBothWays},
         "--kind roce --opcode 255 --qp 0x123456 --psn 0xffffff --ackreq-byte 0x41"
         " --payload-size 16 --udp-checksum --ip-id 7"},
        {"send only, ackreq", {kBothWays, kBothWays, kBothWays},
         "--kind roce --psn 16 --ackreq-byte 0x80 --payload-size 64 --qp " + qp},
    };
    // clang-format on
}

TEST_P(EveryProgram, ForwardsAndLogsEachKindOfFrameAsTheTableSaysInAFreshLog) {
    const Program& program = GetParam();
    TempDir dir;
    std::ofstream(dir.At(program.log)) << "a line of an earlier run\n";
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
            // One at a time, so that the order of the log is fixed; RoCE with a BTH is logged.
            lines += kind.args.rfind("--kind roce", 0) == 0 ? program.linesPerRoce[side] : 0;
            EXPECT_TRUE(WaitUntil([&] { return Split(dir.Read(program.log)).size() >= lines; }));
        }
    }
    const Finished run = bench->Finish();
    for (int side = 0; side < 2; ++side) {
        EXPECT_EQ(atHost[side]->Stop(), expected[side]) << "frames changed, added or reordered";
    }
    EXPECT_EQ(run.status, program.exitStatus);
    // The refusals of a packet to an unknown queue pair, each with the time it was seen.
    ExpectGoldenShape(program.name + "-frames-stderr", run.err);
    ExpectGolden(program.name + "-frames-stdout", run.out);
    ExpectGolden(program.name + "-frames-log",
                 std::regex_replace(dir.Read(program.log), std::regex("\\[[0-9]+\\]"), "[N]"));
}

// None of these gets as far as the log, save the last, which refuses to follow its link.
TEST_P(EveryProgram, EndsAtOnceOnHelpVersionBadArgumentsAMissingPortOrALinkedLog) {
    const Program& program = GetParam();
    TempDir dir;
    std::ofstream(dir.At("other.txt")) << "not the program's\n";
    std::filesystem::create_symlink("other.txt", dir.At(program.log));
    const Args& good = program.passAll;
    Args bad = good;
    bad[0] = "x";  // a queue pair or a weight
    // Arguments, namespace (the client's has no bench ports: a port opened too early ends it with
    // 3), status, and what it says: on stdout for status 0, else in its one line on stderr.
    const std::tuple<Args, const char*, int, std::string> endings[] = {
        {{"--help"}, "client", 0, "Usage: " + program.name},
        {{"--version"}, "client", 0, program.name + " "},
        {Args(good.begin(), good.end() - 1), "client", 2, program.name + ": "},
        {bad, "client", 2, "'x'"},
        {good, "client", 3, program.name + ": enp1s0f0: no such interface\n"},
        {good, "bench", 3, program.log},
    };
    for (const auto& [args, role, status, says] : endings) {
        SCOPED_TRACE(role + ::testing::PrintToString(args));
        const Finished run = Launch(program, args, dir, role)->Finish();
        EXPECT_EQ(run.status, status);
        const std::string& said = status == 0 ? run.out : run.err;
        EXPECT_NE(said.find(says), std::string::npos) << said;
        EXPECT_TRUE(status == 0 || Split(said).size() == 1u) << said;
        EXPECT_EQ(status == 0 ? run.err : run.out, "");
    }
    EXPECT_EQ(dir.Read("other.txt"), "not the program's\n");
}

// Jumbo frames on every link: the client's RoCE packet crosses whole, through an injector or not.
TEST_P(EveryProgram, ForwardsAJumboFrameWholeWhenThePortsCarryThem) {
    const Program& program = GetParam();
    const std::pair<const char*, const char*> links[] = {
        {"client", "eth0"}, {"bench", "enp1s0f1"}, {"bench", "enp1s0f0"}, {"server", "eth0"}};
    for (const auto& [role, link] : links) {
        ASSERT_EQ(
            RunCommand(Words(std::string("ip link set mtu 9000 dev ") + link), Ns(role)).status, 0);
    }
    TempDir dir;
    auto atServer = Listen(kServer);
    const auto bench = Start(program, program.passAll, dir);
    const Frame sent = Send(kClient, kServer, "--kind roce --psn 5 --payload-size 8900 --qp 0x12");
    ASSERT_EQ(sent.size(), 8958u);
    EXPECT_TRUE(atServer->WaitForCount(1));
    const Finished run = bench->Finish();
    EXPECT_EQ(atServer->Stop(), std::vector<Frame>{sent});
    EXPECT_EQ(run.status, program.exitStatus);
    EXPECT_EQ(WithoutCleanVerification(run.err), "");
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
    const auto bench =
        Start(midwire, Words("--pcap capture.pcapng 11 12 80 10 5 5 80 10 5 5"), dir);
    // 60 messages of 1 to 5 packets from the client to the server, across the 24-bit PSN wrap.
    Process responder(Words(kRocepeer + " respond --dev eth0 --psn 0xfffff0"), Ns("server"));
    ASSERT_TRUE(responder.WaitForOutput("ready")) << responder.Err();
    const std::string requester = kRocepeer + " request --dev eth0 --peer-mac " + kServer.mac +
                                  " --peer-ip " + kServer.ip +
                                  " --psn 0xfffff0 --count 60 --size 200,1024,2500,5000 --mtu 1024"
                                  " --window 16 --limit-ms 60000";
    const Finished request = Process(Words(requester), Ns("client")).Finish(milliseconds(90'000));
    ASSERT_EQ(request.status, 0) << request.out << request.err;
    EXPECT_GT(Numbers(request.out, " retransmissions=(\\d+)").at(0), 0u) << request.out;
    responder.Signal(SIGTERM);
    const std::string responded = responder.Finish().out;
    EXPECT_EQ(Numbers(responded, " messages=(\\d+)").at(0), 60u) << responded;
    const std::uint32_t accepted = Numbers(responded, " accepted=(\\d+)").at(0);
    const Finished run = bench->Finish();
    ASSERT_EQ(run.status, midwire.exitStatus) << run.err;
    // Late duplicates of a retransmission may still be held at the stop: not a loss.
    const std::regex held(".* held by the fault injector at the stop, not sent\n");
    EXPECT_EQ(WithoutCleanVerification(std::regex_replace(run.err, held, "")), "");
    ExpectGoldenShape("midwire-frames-stdout", run.out);

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
              Numbers(request.out, " packets=(\\d+)").at(0) + toServer);
    // The client sent every PSN in order, resending only behind, and the server acknowledged
    // them all last. Which request and which acknowledgement came last depends on the faults
    // near the end, so the frames that arrived tell. No packet here moves the other fields.
    const std::uint32_t last = roceframes::PsnAdd(0xfffff0, accepted);
    const std::vector<std::uint32_t> psns = {0, 0, afterLastRequest, last, last, afterLastAck,
                                             0, 0};
    EXPECT_EQ(Numbers(run.out, "psn:([0-9a-f]+)", 16), psns) << run.out;

    // The capture file tells each drop on its packet.
    const Finished read = RunCommand(
        {"tshark", "-r", dir.At("capture.pcapng"), "-T", "fields", "-e", "frame.comment"});
    ASSERT_EQ(read.status, 0) << read.err;
    const std::regex drop("\\bdrop\\b");
    const auto drops = std::distance(std::sregex_iterator(read.out.begin(), read.out.end(), drop),
                                     std::sregex_iterator());
    EXPECT_EQ(static_cast<std::size_t>(drops), std::size_t{counts[1]} + counts[5]);
}

}  // namespace
