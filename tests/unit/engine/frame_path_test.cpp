// Replays a capture file through the bench's frame path, with the ports replaced by recorders:
// what a port sends is fed back as that port's leaving frame, as the leaving capture sees it.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/FramePath.h"
#include "tools/rocepeer/RoceFrames.h"
#include "transport/Connection.h"

namespace {

using engine::Direction;
using engine::Port;
using roceframes::Bytes;

const roceframes::Endpoints kFromClient{*roceframes::ParseMac("02:47:00:00:00:01"),
                                        *roceframes::ParseMac("02:47:00:00:00:02"), 0x0a2f0001,
                                        0x0a2f0002};
const roceframes::Endpoints kFromServer{kFromClient.dstMac, kFromClient.srcMac, kFromClient.dstIp,
                                        kFromClient.srcIp};
constexpr std::uint32_t kClientQp = 0x11;
constexpr std::uint32_t kServerQp = 0x22;

// One message of three packets from the client, acknowledged by the server, with the frames
// that share the wire: ARP, another UDP port, and a RoCE datagram too short for a BTH.
std::vector<Bytes> Exchange() {
    return {roceframes::BuildArpRequest(kFromClient),
            roceframes::BuildRoceFrame(kFromClient, {0, kServerQp, 0x100, 0}, Bytes(64, 1)),
            roceframes::BuildUdpFrame(kFromClient, 1000, 4792, Bytes(16, 2)),
            roceframes::BuildRoceFrame(kFromClient, {1, kServerQp, 0x101, 0}, Bytes(64, 3)),
            roceframes::BuildUdpFrame(kFromClient, 1000, 4791, Bytes(8, 4)),
            roceframes::BuildRoceFrame(kFromClient, {2, kServerQp, 0x102, 0x80}, Bytes(64, 5)),
            roceframes::BuildAckFrame(kFromServer, kClientQp, 0x102, 0x1f, 1)};
}

// Writes the frames to a capture file and reads them back, as a recorded run would give them.
std::vector<Bytes> ThroughCaptureFile(const std::vector<Bytes>& frames) {
    char path[] = "/tmp/frame_path_testXXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path);
    for (const Bytes& frame : frames) {
        pcap_pkthdr header{
            {0, 0}, static_cast<bpf_u_int32>(frame.size()), static_cast<bpf_u_int32>(frame.size())};
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* file = pcap_open_offline(path, error);
    std::vector<Bytes> read;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (file != nullptr && pcap_next_ex(file, &header, &data) == 1) {
        read.emplace_back(data, data + header->caplen);
    }
    if (file != nullptr) {
        pcap_close(file);
    }
    std::remove(path);
    return read;
}

std::string TestLine(const Bth& bth, std::int64_t) {
    std::ostringstream line;
    line << std::hex << "op:" << +bth.GetBthOpcode() << " #" << bth.GetPsn()
         << " dest:" << bth.GetDestinationQp();
    return line.str();
}

// The frame path of a forwarding bench observed in every port direction.
struct Replay : ::testing::Test {
    std::ostringstream registrationLines;
    engine::BenchConfig config;
    Verifier verifier{registrationLines};
    std::mutex mutex;
    std::vector<std::string> log;
    std::vector<Bytes> sentToServer;
    std::unique_ptr<engine::FramePath> path;

    void Build(engine::Arrival clientArrival, engine::FrameOutlets outlets = {}) {
        config.arrivals[engine::Index(Port::Client)].arrival = clientArrival;
        config.observations = {{Port::Client, Direction::In, {1}},
                               {Port::Server, Direction::Out, {0}}};
        config.log.format = TestLine;
        RegisterConnection(verifier, kClientQp, kServerQp);
        outlets.send[engine::Index(Port::Server)] = [this](const std::uint8_t* data,
                                                           std::size_t size) {
            sentToServer.emplace_back(data, data + size);
            path->Handle(Port::Server, Direction::Out, data, size);
            return true;
        };
        outlets.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            log.push_back(line);
        };
        path = std::make_unique<engine::FramePath>(config, &verifier, std::move(outlets));
    }

    void ReplayFromClient(const std::vector<Bytes>& frames) {
        for (const Bytes& frame : ThroughCaptureFile(frames)) {
            path->Handle(Port::Client, Direction::In, frame.data(), frame.size());
        }
    }
};

TEST_F(Replay, ForwardsEveryFrameAsItCameAndLogsAndVerifiesEachRocePacketOncePerObservation) {
    Build(engine::Arrival::Forward);
    std::vector<Bytes> fromClient = Exchange();
    fromClient.pop_back();
    ReplayFromClient(fromClient);

    EXPECT_EQ(sentToServer, fromClient);
    const std::vector<std::string> expected = {"op:0 #100 dest:22", "op:0 #100 dest:22",
                                               "op:1 #101 dest:22", "op:1 #101 dest:22",
                                               "op:2 #102 dest:22", "op:2 #102 dest:22"};
    EXPECT_EQ(log, expected);
    // The client's sends moved its own queue pair on device 1 and its peer's on device 0.
    EXPECT_EQ(verifier.FindQp(1, kClientQp)->nextToSendPsn, 0x103u);
    EXPECT_EQ(verifier.FindQp(0, kServerQp)->expectedPsn, 0x103u);
}

TEST_F(Replay, InjectsOnlyRocePortDatagramsWhoseReleasesLeaveTheOtherPort) {
    engine::Injector injector("client in", nullptr, 1 << 16);
    engine::FrameOutlets outlets;
    outlets.injectors[engine::Index(Port::Client)] = &injector;
    Build(engine::Arrival::Inject, outlets);
    ReplayFromClient(Exchange());
    // The three packets with a BTH and the short one to the RoCE port; no ARP, no other port.
    EXPECT_EQ(injector.Held(), 5);
    EXPECT_TRUE(sentToServer.empty());
    EXPECT_EQ(log.size(), 4u);  // the acknowledgement too: a frame from the client port
}

TEST_F(Replay, AFullInjectorRefusesAndCounts) {
    engine::Injector injector("client in", nullptr, 2);
    engine::FrameOutlets outlets;
    outlets.injectors[engine::Index(Port::Client)] = &injector;
    Build(engine::Arrival::Inject, outlets);
    ReplayFromClient(Exchange());
    EXPECT_EQ(injector.Held(), 2);
    EXPECT_EQ(injector.Refused(), 3u);
    std::ostringstream report;
    injector.WriteReport(report);
    EXPECT_EQ(report.str(),
              "client in: 3 packets refused by the full fault injector (2 held), not sent\n"
              "client in: 2 packets held by the fault injector at the stop, not sent\n");
}

}  // namespace
