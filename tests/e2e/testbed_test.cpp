// The rig itself: what the other end-to-end tests take for granted.
#include <gtest/gtest.h>

#include "tests/e2e/harness/Testbed.h"

namespace {

using e2e::Testbed;

e2e::Finished Script(const std::string& action, const std::string& prefix,
                     std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {e2e::kTestbedScript, action, "--prefix", prefix};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return e2e::Run(argv, "", e2e::seconds(60));
}

TEST(Testbed, NamesPortsAndAddressesAsTheProgramsExpect) {
    E2E_SKIP_UNLESS_POSSIBLE();
    Testbed rig;
    ASSERT_TRUE(rig.Up()) << rig.Error();
    const e2e::Finished status = Script("status", rig.Prefix());
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(e2e::FieldOf(status.out, "client_ip"), Testbed::kClientIp);
    EXPECT_EQ(e2e::FieldOf(status.out, "server_mac"), Testbed::kServerMac);
    EXPECT_EQ(e2e::FieldOf(status.out, "bridge"), "0");
    for (const char* port : {Testbed::kBenchClientPort, Testbed::kBenchServerPort}) {
        const e2e::Finished link = e2e::Run({"ip", "link", "show", port, "up"}, rig.BenchNs());
        EXPECT_NE(link.out.find("state UP"), std::string::npos) << port << link.out << link.err;
        const std::string offloads = e2e::Run({"ethtool", "-k", port}, rig.BenchNs()).out;
        EXPECT_NE(offloads.find("generic-segmentation-offload: off"), std::string::npos);
        EXPECT_NE(offloads.find("tx-checksumming: off"), std::string::npos);
    }
    const std::string neighbour =
        e2e::Run({"ip", "neigh", "show", Testbed::kServerIp}, rig.ClientNs()).out;
    EXPECT_NE(neighbour.find("PERMANENT"), std::string::npos) << neighbour;
    EXPECT_EQ(e2e::Run({"sysctl", "-n", "net.ipv6.conf.all.disable_ipv6"}, rig.BenchNs()).out,
              "1\n");
}

TEST(Testbed, UpConvergesToTheOptionsAndDownRemovesEverything) {
    E2E_SKIP_UNLESS_POSSIBLE();
    std::string prefix;
    {
        Testbed rig({true, 25});
        ASSERT_TRUE(rig.Up()) << rig.Error();
        prefix = rig.Prefix();
        ASSERT_TRUE(rig.Reconfigure({true, 25})) << "up twice: " << rig.Error();
        std::string status = Script("status", prefix).out;
        EXPECT_EQ(e2e::FieldOf(status, "bridge"), "1");
        EXPECT_EQ(e2e::FieldOf(status, "drop_percent"), "25");
        ASSERT_TRUE(rig.Reconfigure({})) << rig.Error();
        status = Script("status", prefix).out;
        EXPECT_EQ(e2e::FieldOf(status, "bridge"), "0");
        EXPECT_EQ(e2e::FieldOf(status, "drop_percent"), "0");
    }
    EXPECT_EQ(e2e::Run({"ip", "netns", "list"}).out.find(prefix + "-"), std::string::npos);
    EXPECT_NE(Script("status", prefix).status, 0);
    EXPECT_EQ(Script("down", prefix).status, 0) << "down of nothing is fine";
    EXPECT_EQ(Script("up", prefix, {"--drop", "5"}).status, 2) << "dropping needs the bridge";
}

}  // namespace
