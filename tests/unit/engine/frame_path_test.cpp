// An exchange, recorded in a capture file and replayed through the bench's frame path.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "apps/midwire/MidwireLogLine.h"
#include "engine/FramePath.h"
#include "tests/unit/engine/CaptureFile.h"
#include "tools/rocepeer/RoceFrames.h"
#include "transport/Connection.h"

namespace {

using engine::Direction;
using engine::Port;
using roceframes::Bytes;

constexpr std::uint32_t kClientQp = 0x11;
constexpr std::uint32_t kServerQp = 0x22;

using testing_support::ThroughCaptureFile;

// Each frame recorded as "<port><direction> <time> <comment>".
engine::FrameRecord RecordInto(std::vector<std::string>& recorded) {
    return [&recorded](Port port, Direction direction, std::int64_t timeNs, const FrameView&,
                       std::string_view comment) {
        recorded.push_back(std::to_string(engine::Index(port)) +
                           std::to_string(engine::Index(direction)) + " " + std::to_string(timeNs) +
                           " " + std::string(comment));
    };
}

// The frame path of a bench that injects the client's frames, logging and verifying them as
// they arrive. The injector's forwarding thread is never started, so it keeps what it takes.
TEST(Replay, InjectsOnlyRocePortDatagramsLogsAndVerifiesEachAndAFullInjectorRefuses) {
    engine::BenchConfig config;
    config.arrivals[engine::Index(Port::Client)].arrival = engine::Arrival::Inject;
    config.observations = {{Port::Client, Direction::In, {1}}};
    config.log.format = MidwireLogLine;
    std::ostringstream registrationLines;
    Verifier verifier{registrationLines};
    RegisterConnection(verifier, kClientQp, kServerQp);
    engine::Injector injector("client in", nullptr, 2);
    std::vector<std::string> log;
    engine::FrameOutlets outlets;
    outlets.injectors[engine::Index(Port::Client)] = &injector;
    outlets.log = [&log](const std::string& line) { log.push_back(line); };
    std::vector<std::string> recorded;
    outlets.record = RecordInto(recorded);
    engine::FramePath path(config, &verifier, std::move(outlets),
                           [] { return std::int64_t{7'000'000}; });
    // One message of three packets from the client, acknowledged, with the frames that share
    // the wire: ARP, another UDP port, and a RoCE datagram too short for a BTH.
    const roceframes::Endpoints ends{*roceframes::ParseMac("02:47:00:00:00:01"),
                                     *roceframes::ParseMac("02:47:00:00:00:02"), 0x0a2f0001,
                                     0x0a2f0002};
    const std::vector<Bytes> frames = {
        roceframes::BuildArpRequest(ends),
        roceframes::BuildRoceFrame(ends, {0, kServerQp, 0x100, 0}, Bytes(64, 1)),
        roceframes::BuildUdpFrame(ends, 1000, 4792, Bytes(16, 2)),
        roceframes::BuildRoceFrame(ends, {1, kServerQp, 0x101, 0}, Bytes(64, 3)),
        roceframes::BuildUdpFrame(ends, 1000, 4791, Bytes(8, 4)),
        roceframes::BuildRoceFrame(ends, {2, kServerQp, 0x102, 0x80}, Bytes(64, 5)),
        roceframes::BuildAckFrame(ends, kClientQp, 0x102, 0x1f, 1)};
    const std::vector<Bytes> replayed = ThroughCaptureFile(frames);
    ASSERT_EQ(replayed, frames);
    for (std::size_t i = 0; i < replayed.size(); ++i) {
        path.Handle(Port::Client, Direction::In, replayed[i].data(), replayed[i].size(),
                    static_cast<std::int64_t>(i));
    }
    // The four packets with a BTH and the short one to the RoCE port, no ARP, no other port:
    // two taken, the rest refused; every packet with a BTH is logged.
    EXPECT_EQ(injector.Held(), 2);
    EXPECT_EQ(injector.Refused(), 3u);
    EXPECT_EQ(log, (std::vector<std::string>{"[7]\t #100\topcode:0\t dest QP:22\t ackreq:0",
                                             "[7]\t #101\topcode:1\t dest QP:22\t ackreq:0",
                                             "[7]\t #102\topcode:2\t dest QP:22\t ackreq:1",
                                             "[7]\t #102\topcode:11\t dest QP:11\t ackreq:0"}));
    // What the injector took it tells once it decides; what it refused is told here.
    EXPECT_EQ(recorded, (std::vector<std::string>{"10 0 not forwarded: not RoCE",
                                                  "10 2 not forwarded: not RoCE",
                                                  "10 4 not injected: the injector was full",
                                                  "10 5 not injected: the injector was full",
                                                  "10 6 not injected: the injector was full"}));
    // The client's sends moved its own queue pair on device 1.
    EXPECT_EQ(verifier.FindQp(1, kClientQp)->nextToSendPsn, 0x103u);
    std::ostringstream report;
    injector.WriteReport(report);
    EXPECT_EQ(report.str(),
              "client in: 3 packets refused by the full fault injector (2 held), not sent\n"
              "client in: 2 packets held by the fault injector at the stop, not sent\n");
}

// Forwarded frames are told arriving with what the verifier refused of them, and leaving only
// once they left, at the time they were handed to the port.
TEST(Replay, ForwardedFramesAreToldArrivingWithTheirRefusalsAndLeavingOnlyOnceSent) {
    engine::BenchConfig config;
    config.arrivals[engine::Index(Port::Client)].arrival = engine::Arrival::Forward;
    config.observations = {{Port::Client, Direction::In, {1}}};
    std::ostringstream registrationLines;
    Verifier verifier{registrationLines};
    RegisterConnection(verifier, kClientQp, kServerQp);
    engine::FrameOutlets outlets;
    // The kernel refuses the second frame of every batch.
    outlets.send[engine::Index(Port::Server)] = [](const FrameView*, std::size_t count,
                                                   bool* sent) {
        for (std::size_t i = 0; i < count; ++i) {
            sent[i] = i != 1;
        }
    };
    std::vector<std::string> recorded;
    outlets.record = RecordInto(recorded);
    engine::FramePath path(config, &verifier, std::move(outlets), [] { return std::int64_t{9}; });
    const roceframes::Endpoints ends{};
    const std::vector<Bytes> frames = {
        roceframes::BuildRoceFrame(ends, {4, kServerQp, 0x100, 0}, Bytes(16, 1)),
        roceframes::BuildRoceFrame(ends, {4, kServerQp, 0x101, 0}, Bytes(16, 2)),
        roceframes::BuildRoceFrame(ends, {4, kServerQp, 0x105, 0}, Bytes(16, 3))};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        path.Handle(Port::Client, Direction::In, frames[i].data(), frames[i].size(),
                    static_cast<std::int64_t>(i + 1));
    }
    path.EndOfBatch(Port::Client);
    EXPECT_EQ(recorded, (std::vector<std::string>{"01 9 ", "01 9 ", "10 1 ", "10 2 ",
                                                  "10 3 bad PSN, expected 0x102"}));
}

}  // namespace
