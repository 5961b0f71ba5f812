// The programs stopped under a flood, run by an ordinary user, and dropping.
#include <iostream>
#include <numeric>
#include <set>

#include "tests/e2e/harness/Harness.h"

namespace {

using namespace e2e;

TEST_P(EveryProgram, StopsSoonUnderAFloodWithFullReportsAndEveryLossReported) {
    const Program& program = GetParam();
    TempDir dir;
    const auto bench = Start(program, program.passAll, dir);
    const auto received = [&](const std::string& port) {
        const std::string count = "/sys/class/net/" + port + "/statistics/rx_packets";
        return std::stoll("0" + RunCommand({"cat", count}, Ns("bench")).out);
    };
    const long long before[2] = {received("enp1s0f0"), received("enp1s0f1")};
    const auto flood = [&](const Host& from, const Host& to) {
        return Words(kRocepeer + " rate-send --dev eth0 --peer-mac " + to.mac + " --peer-ip " +
                     to.ip + " --qp " + std::to_string(from.qp) + " --peer-qp " +
                     std::to_string(to.qp) + " --rate 10000000 --seconds 1 --frame-size 200");
    };
    Process fromClient(flood(kClient, kServer), Ns("client"));
    Process fromServer(flood(kServer, kClient), Ns("server"));
    ASSERT_TRUE(WaitUntil([&] {
        return received("enp1s0f0") > before[0] + 20000 && received("enp1s0f1") > before[1] + 20000;
    }));
    const long long fromClientSoFar = received("enp1s0f1") - before[1];
    const auto stop = std::chrono::steady_clock::now();
    const Finished run = bench->Finish();
    const auto took = std::chrono::steady_clock::now() - stop;
    std::cout << program.name << " stopped under a flood in "
              << std::chrono::duration_cast<milliseconds>(took).count() << " ms\n";
    EXPECT_LT(took, std::chrono::seconds(1));
    EXPECT_EQ(run.status, program.exitStatus);
    ExpectGoldenShape(program.name + "-frames-stdout", run.out);
    // Every frame from the client that came before the stop is in the log (a line in each
    // direction it was logged in, the same but for a time stamp), or reported lost.
    std::set<std::string> fromClientHandled;
    for (const std::string& line : Split(dir.Read(program.log))) {
        if (line.find(program.toServerQp) != std::string::npos) {
            fromClientHandled.insert(line.substr(line.find(']') + 1));
        }
    }
    const auto lost = Numbers(run.err, "enp1s0f1 in: ([0-9]+) frames? ");
    EXPECT_GE(fromClientHandled.size() + std::accumulate(lost.begin(), lost.end(), 0ull),
              static_cast<unsigned long long>(fromClientSoFar))
        << run.err;
}

// A bench that cannot run while a burst comes fills its ring; what did not fit is reported.
TEST_P(EveryProgram, ABurstLargerThanItsRingsIsReportedAsLossNeverSilent) {
    const Program& program = GetParam();
    TempDir dir;
    const auto bench = Start(program, program.passAll, dir);
    const auto received = [&] {
        const std::string count = "/sys/class/net/enp1s0f1/statistics/rx_packets";
        return std::stoll("0" + RunCommand({"cat", count}, Ns("bench")).out);
    };
    const long long before = received();
    bench->Signal(SIGSTOP);
    const Finished burst =
        Process(Words(kRocepeer + " rate-send --dev eth0 --peer-mac " + kServer.mac +
                      " --peer-ip " + kServer.ip + " --rate 60000 --seconds 1 --frame-size 200"),
                Ns("client"))
            .Finish();
    bench->Signal(SIGCONT);
    ASSERT_EQ(burst.status, 0) << burst.err;
    const long long arrived = received() - before;
    ASSERT_GT(arrived, 40000) << "the burst must outgrow a ring of some 20,000 frames";
    const Finished run = bench->Finish();
    EXPECT_EQ(run.status, program.exitStatus);
    const auto dropped = Numbers(run.err, "enp1s0f1 in: ([0-9]+) frames? dropped by the kernel");
    ASSERT_EQ(dropped.size(), 1u) << run.err;
    const auto lost = Numbers(run.err, "enp1s0f1 in: ([0-9]+) frames? ");
    // Every frame of the burst has a PSN of its own; its lines are the same but for a time stamp.
    std::set<std::string> handled;
    for (const std::string& line : Split(dir.Read(program.log))) {
        if (line.find(program.toServerQp) != std::string::npos) {
            handled.insert(line.substr(line.find(']') + 1));
        }
    }
    EXPECT_GE(handled.size() + std::accumulate(lost.begin(), lost.end(), 0ull),
              static_cast<unsigned long long>(arrived))
        << run.err;
}

// As installed for an ordinary user, on ports of other names.
TEST_P(EveryProgram, RunsForAnOrdinaryUserGivenFileCapabilitiesOnThePortsItIsTold) {
    const Program& program = GetParam();
    TempDir dir;
    const std::string copy = dir.At(program.name);
    std::filesystem::copy_file(program.path, copy);
    if (RunCommand({"setcap", "cap_net_raw,cap_net_admin+ep", copy}).status != 0) {
        GTEST_SKIP() << "file capabilities cannot be set on the file system of " << copy;
    }
    std::filesystem::permissions(dir.Path(), std::filesystem::perms(0711));
    std::filesystem::create_directory(dir.At("run"));
    ASSERT_EQ(::chown(dir.At("run").c_str(), 65534, 65534), 0);
    for (const std::string rename :
         {"enp1s0f0 down name toserver", "enp1s0f1 down name toclient"}) {
        ASSERT_EQ(RunCommand(Words("ip link set " + rename + " up"), Ns("bench")).status, 0);
    }
    auto atServer = Listen(kServer);
    Args argv = Words("setpriv --reuid=65534 --regid=65534 --clear-groups " + copy +
                      " --server-port toserver --client-port toclient");
    argv.insert(argv.end(), program.passAll.begin(), program.passAll.end());
    Process bench(argv, Ns("bench"), dir.At("run"));
    ASSERT_TRUE(bench.WaitForOutput(program.banner)) << bench.Err();
    const Frame sent = Send(kClient, kServer, "--kind roce");
    EXPECT_TRUE(atServer->WaitForCount(1));
    const Finished run = bench.Finish();
    EXPECT_EQ(atServer->Stop(), std::vector<Frame>{sent});
    EXPECT_EQ(run.status, program.exitStatus);
    EXPECT_EQ(WithoutCleanVerification(run.err), "");
}

INSTANTIATE_TEST_SUITE_P(Programs, EveryProgram, ::testing::ValuesIn(kPrograms),
                         [](const auto& info) { return info.param.name; });

using Wirebend = RigTest;

TEST_F(Wirebend, DroppingEverythingFromTheClientForwardsNoneButLogsAndCountsEach) {
    const Program& wirebend = kPrograms[2];
    TempDir dir;
    auto atServer = Listen(kServer);
    const auto bench = Start(wirebend, Words("0 100 0 0 0 50"), dir);
    const std::size_t lines = Split(dir.Read(wirebend.log)).size();
    for (int psn = 1; psn <= 3; ++psn) {
        ASSERT_FALSE(Send(kClient, kServer, "--kind roce --psn " + std::to_string(psn)).empty());
    }
    EXPECT_TRUE(WaitUntil([&] { return Split(dir.Read(wirebend.log)).size() >= lines + 3; }));
    const Finished run = bench->Finish();
    EXPECT_EQ(atServer->Stop(), std::vector<Frame>{});
    EXPECT_EQ(run.status, wirebend.exitStatus);
    // Those not drawn for yet are held at the stop.
    const auto held = Numbers(run.err, "enp1s0f1 in: (\\d+) packets? held by the fault injector");
    const std::uint32_t drawn = 3 - (held.empty() ? 0 : held[0]);
    EXPECT_EQ(Numbers(run.out, "Number of \\w+: (\\d+)"),
              (std::vector<std::uint32_t>{0, drawn, 0, 0}))
        << run.err;
    EXPECT_EQ(Split(run.err).size(), held.size()) << run.err;
    ExpectGolden("wirebend-drop-log", dir.Read(wirebend.log));
}

}  // namespace
