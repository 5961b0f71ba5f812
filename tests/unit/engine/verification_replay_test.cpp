// A reliable-connection exchange over IPv4, IPv6 and a tagged frame, written to a capture file
// and replayed through the frame path, then counted by the verifier and read back from the JSON
// summary.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "engine/FramePath.h"
#include "engine/Summary.h"
#include "tests/unit/engine/CaptureFile.h"
#include "tools/rocepeer/RoceFrames.h"
#include "transport/Connection.h"
#include "transport/Opcode.h"

namespace {

using engine::Direction;
using engine::Port;
using roceframes::Bytes;

constexpr std::uint32_t kClientQp = 0x11;
constexpr std::uint32_t kServerQp = 0x22;

const roceframes::Endpoints kFromClient{*roceframes::ParseMac("02:47:00:00:00:01"),
                                        *roceframes::ParseMac("02:47:00:00:00:02"), 0x0a2f0001,
                                        0x0a2f0002};

Bytes Be32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// A RETH for `length` bytes, then that much data (as far as one packet takes it).
Bytes Reth(std::uint32_t length) {
    Bytes reth(12, 0xab);  // virtual address and R_Key
    const Bytes dma = Be32(length);
    reth.insert(reth.end(), dma.begin(), dma.end());
    reth.resize(reth.size() + 64, 0x5a);
    return reth;
}

Bytes Aeth(std::uint8_t syndrome) {
    return {syndrome, 0, 0, 1};
}

Bytes Frame(std::uint8_t opcode, std::uint32_t destQp, std::uint32_t psn, Bytes afterBth = {}) {
    afterBth.resize(std::max<std::size_t>(afterBth.size(), 16), 0);
    return roceframes::BuildRoceFrame(kFromClient, {opcode, destQp, psn, 0}, afterBth);
}

// The same packet behind an 802.1Q tag.
Bytes Tagged(Bytes frame) {
    const Bytes tag = {0x81, 0x00, 0x00, 0x07};
    frame.insert(frame.begin() + 12, tag.begin(), tag.end());
    return frame;
}

// The same UDP datagram over IPv6.
Bytes OverIpv6(const Bytes& ipv4Frame) {
    constexpr std::size_t kEthernet = 14, kIpv4 = 20;
    const Bytes udp(ipv4Frame.begin() + kEthernet + kIpv4, ipv4Frame.end());
    Bytes frame(ipv4Frame.begin(), ipv4Frame.begin() + kEthernet);
    frame[12] = 0x86;
    frame[13] = 0xdd;
    const Bytes header = {0x60,
                          0,
                          0,
                          0,
                          static_cast<std::uint8_t>(udp.size() >> 8),
                          static_cast<std::uint8_t>(udp.size()),
                          17,
                          64};
    frame.insert(frame.end(), header.begin(), header.end());
    frame.resize(frame.size() + 32, 0xfe);  // source and destination addresses
    frame.insert(frame.end(), udp.begin(), udp.end());
    return frame;
}

using testing_support::ThroughCaptureFile;

// The client's requests and the server's answers, as the client's port sees both, across the
// 24-bit PSN wrap; each line notes what the rc rules make of it.
std::vector<Bytes> Exchange() {
    using namespace opcode;
    constexpr std::uint8_t kNakPsnSequence = 0x60, kRnrNak = 0x20 | 0x05;
    return {
        Frame(kSendOnly, kServerQp, 0xfffffe),                                // accepted
        Tagged(Frame(kRdmaWriteFirst, kServerQp, 0xffffff, Reth(2048))),      // accepted
        OverIpv6(Frame(kRdmaWriteLast, kServerQp, 0)),                        // accepted
        Tagged(OverIpv6(Frame(kRdmaReadRequest, kServerQp, 1, Reth(3000)))),  // PSNs 1 to 3
        Frame(kRdmaReadResponseFirst, kClientQp, 1, Aeth(0x1f)),              // accepted
        OverIpv6(Frame(kRdmaReadResponseMiddle, kClientQp, 2)),               // accepted
        Frame(kRdmaReadResponseLast, kClientQp, 3, Aeth(0x1f)),               // accepted
        Frame(kSendOnly, kServerQp, 5),                                       // bad PSN: 4 due
        Frame(kSendMiddle, kServerQp, 4),                                     // bad opcode sequence
        Frame(kAcknowledge, kClientQp, 4, Aeth(kNakPsnSequence)),             // a NAK asking for 4
        Frame(kSendOnly, kServerQp, 4),                                       // accepted
        Tagged(Frame(kSendOnly, kServerQp, 4)),                               // a duplicate
        Frame(kCnp, kClientQp, 0),                                            // a CNP
        OverIpv6(Frame(kAcknowledge, kClientQp, 5, Aeth(kRnrNak))),           // an RNR NAK
        Frame(kRdmaReadResponseOnly, kClientQp, 9, Aeth(0x1f)),               // no read wants it
    };
}

class Replay : public ::testing::TestWithParam<RuleSet> {
protected:
    void Run() {
        engine::BenchConfig config;
        config.observations = {{Port::Client, Direction::In, {1}}};
        verifier_.SetRules(GetParam(), 1024);
        RegisterConnection(verifier_, kClientQp, kServerQp);
        engine::FramePath path(config, &verifier_, {}, [] { return std::int64_t{42}; });
        const std::vector<Bytes> frames = ThroughCaptureFile(Exchange());
        ASSERT_EQ(frames.size(), Exchange().size());
        for (const Bytes& frame : frames) {
            path.Handle(Port::Client, Direction::In, frame.data(), frame.size(), 0);
        }
    }
    // The device 1 entry of the queue pair, from the JSON summary.
    nlohmann::json QueuePair(std::uint32_t qp) const {
        engine::RunSummary summary;
        summary.program = "test";
        summary.verification = verifier_.Report();
        const nlohmann::json document = nlohmann::json::parse(engine::SummaryJson(summary));
        for (const nlohmann::json& entry : document.at("queue_pairs")) {
            if (entry.at("qp") == qp && entry.at("device") == 1) {
                return entry;
            }
        }
        ADD_FAILURE() << "no entry for " << qp << " in " << document.dump();
        return {};
    }

    std::ostringstream registrationLines_;
    Verifier verifier_{registrationLines_};
};

TEST_P(Replay, CountsEveryOutcomePerQueuePairAsTheRulesSay) {
    Run();
    const nlohmann::json toServer = QueuePair(kServerQp);
    const nlohmann::json toClient = QueuePair(kClientQp);
    EXPECT_EQ(toServer.at("peer"), kClientQp);
    EXPECT_EQ(toServer.at("registered"), true);
    EXPECT_EQ(toServer.at("packets"), 8);
    EXPECT_EQ(toClient.at("packets"), 7);
    EXPECT_EQ(toClient.at("cnps"), 1);
    EXPECT_EQ(toClient.at("naks").at("psn_sequence_error"), 1);
    EXPECT_EQ(toClient.at("naks").at("rnr"), 1);
    EXPECT_EQ(toClient.at("naks").at("invalid_request"), 0);
    if (GetParam() == RuleSet::Rc) {
        EXPECT_EQ(toServer.at("duplicates"), 1);
        EXPECT_EQ(toServer.at("accepted"), 6);
        EXPECT_EQ(toServer.at("refused"),
                  (nlohmann::json{{"bad_psn", 1}, {"bad_opcode_sequence", 1}}));
        EXPECT_EQ(toClient.at("accepted"), 6);
        EXPECT_EQ(toClient.at("refused"), (nlohmann::json{{"bad_read_response", 1}}));
        const nlohmann::json& first = toServer.at("first_refused").at(0);
        EXPECT_EQ(first.at("kind"), "bad_psn");
        EXPECT_EQ(first.at("psn"), 5);
        EXPECT_EQ(first.at("expected_psn"), 4);
        EXPECT_EQ(first.at("opcode_name"), "SEND_ONLY");
        EXPECT_EQ(first.at("time_ns"), 42);
        EXPECT_EQ(first.at("direction"), "in");
    } else {
        // WRITE, READ and the CNP lie outside the send rules: neither accepted nor refused. The
        // sends run on from the first, 0xfffffe, so every later one is ahead of 0xffffff.
        EXPECT_EQ(toServer.at("duplicates"), 0);
        EXPECT_EQ(toServer.at("accepted"), 1);
        EXPECT_EQ(toServer.at("refused"), (nlohmann::json{{"bad_psn", 4}}));
        EXPECT_EQ(toServer.at("outside_rules"), 3);
        EXPECT_EQ(toClient.at("accepted"), 2);
        EXPECT_EQ(toClient.at("refused"), nlohmann::json::object());
        EXPECT_EQ(toClient.at("outside_rules"), 5);
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, Replay, ::testing::Values(RuleSet::Send, RuleSet::Rc),
                         [](const auto& info) {
                             return info.param == RuleSet::Rc ? "rc" : "send";
                         });

}  // namespace
