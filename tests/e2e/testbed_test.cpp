// The rig itself: what other end-to-end tests take for granted.
#include <gtest/gtest.h>

#include "tests/e2e/harness/Testbed.h"
#include "tests/e2e/harness/Text.h"

namespace {

using std::chrono::seconds;

e2e::Finished Script(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {e2e::TestbedScript()};
    argv.insert(argv.end(), args.begin(), args.end());
    return e2e::Run(argv, "", seconds(60));
}

TEST(Testbed, NamesPortsAndAddressesAsTheProgramsExpect) {
    E2E_SKIP_UNLESS_POSSIBLE();
    e2e::Testbed rig;
    ASSERT_TRUE(rig.Up()) << rig.Error();
    const e2e::Finished status = Script({"status", "--prefix", rig.Prefix()});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(e2e::FieldOf(status.out, "client_ip"), e2e::Testbed::kClientIp);
    EXPECT_EQ(e2e::FieldOf(status.out, "server_mac"), e2e::Testbed::kServerMac);
    EXPECT_EQ(e2e::FieldOf(status.out, "bridge"), "0");
    for (const char* port : {e2e::Testbed::kBenchClientPort, e2e::Testbed::kBenchServerPort}) {
        const e2e::Finished link = e2e::Run({"ip", "link", "show", port, "up"}, rig.BenchNs());
        EXPECT_NE(link.out.find("state UP"), std::string::npos) << port << link.out << link.err;
        const e2e::Finished offloads = e2e::Run({"ethtool", "-k", port}, rig.BenchNs());
        EXPECT_NE(offloads.out.find("generic-segmentation-offload: off"), std::string::npos);
        EXPECT_NE(offloads.out.find("tx-checksumming: off"), std::string::npos);
    }
    const e2e::Finished neighbour =
        e2e::Run({"ip", "neigh", "show", e2e::Testbed::kServerIp}, rig.ClientNs());
    EXPECT_NE(neighbour.out.find("PERMANENT"), std::string::npos) << neighbour.out;
    const e2e::Finished ipv6 =
        e2e::Run({"sysctl", "-n", "net.ipv6.conf.all.disable_ipv6"}, rig.BenchNs());
    EXPECT_EQ(ipv6.out, "1\n");
}

TEST(Testbed, UpConvergesToTheOptionsAndDownRemovesEverything) {
    E2E_SKIP_UNLESS_POSSIBLE();
    std::string prefix;
    {
        e2e::Testbed rig({true, 25});
        ASSERT_TRUE(rig.Up()) << rig.Error();
        prefix = rig.Prefix();
        ASSERT_TRUE(rig.Reconfigure({true, 25})) << "up twice: " << rig.Error();
        e2e::Finished status = Script({"status", "--prefix", prefix});
        EXPECT_EQ(e2e::FieldOf(status.out, "bridge"), "1");
        EXPECT_EQ(e2e::FieldOf(status.out, "drop_percent"), "25");
        ASSERT_TRUE(rig.Reconfigure({})) << rig.Error();
        status = Script({"status", "--prefix", prefix});
        EXPECT_EQ(e2e::FieldOf(status.out, "bridge"), "0");
        EXPECT_EQ(e2e::FieldOf(status.out, "drop_percent"), "0");
    }
    EXPECT_EQ(e2e::Run({"ip", "netns", "list"}).out.find(prefix + "-"), std::string::npos);
    EXPECT_NE(Script({"status", "--prefix", prefix}).status, 0);
    EXPECT_EQ(Script({"down", "--prefix", prefix}).status, 0) << "down of nothing is fine";
    EXPECT_EQ(Script({"up", "--prefix", prefix, "--drop", "5"}).status, 2)
        << "dropping needs the bridge";
}

}  // namespace
