// Capture and forwarding on real veth ports in a private namespace; needs root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

#include "tests/unit/wire/NetnsBed.h"
#include "tests/unit/wire/TestFrames.h"
#include "wire/Capture.h"
#include "wire/CaptureSet.h"
#include "wire/Sender.h"

namespace {

using Clock = std::chrono::steady_clock;
using wire::CapturedFrame;
using wire_test::WaitFor;

// Frames a capture saw, safe to read from the test thread while the capture runs.
class Recorder {
public:
    wire::FrameCallback Callback() {
        return [this](CapturedFrame& frame) {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(frame.bytes());
            return true;
        };
    }
    std::vector<std::vector<uint8_t>> Frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    bool Saw(const std::vector<uint8_t>& bytes) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::find(frames_.begin(), frames_.end(), bytes) != frames_.end();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> frames_;
};

class Veth : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for network namespaces and raw sockets";
        }
        bed_ = std::make_unique<wire_test::NetnsBed>();
        ASSERT_TRUE(bed_->ready()) << "could not build namespace " << bed_->name();
        watchdog_ = std::make_unique<wire_test::Watchdog>(std::chrono::seconds(60), bed_->name());
    }
    void TearDown() override {
        watchdog_.reset();
        bed_.reset();
    }

    std::unique_ptr<wire_test::NetnsBed> bed_;
    std::unique_ptr<wire_test::Watchdog> watchdog_;
};

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST_F(Veth, StopReturnsOnAQuietPortRightAfterStartAndLater) {
    double slowest = 0;
    for (int round = 0; round < 20; ++round) {
        for (pcap_direction_t direction : {PCAP_D_IN, PCAP_D_OUT}) {
            wire::Capture capture("wh4b0", direction, [](CapturedFrame&) { return true; });
            capture.Open();
            capture.Start();
            if (round % 2 == 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));  // blocked in poll
            }
            const auto start = Clock::now();
            capture.Stop();
            slowest = std::max(slowest, MillisecondsSince(start));
            EXPECT_EQ(capture.FramesSeen(), 0u);
        }
    }
    std::cout << "[measure] slowest Stop on a quiet port: " << slowest << " ms\n";
}

// Frames that reach the port after Open returns are captured, also by a capture that has not
// started yet; the kernel direction filter must not lose the first of them.
TEST_F(Veth, TheFirstFrameAfterOpenIsNeverLost) {
    wire::Sender client("wh4c");
    wire::Sender bench("wh4b0");
    client.Open();
    bench.Open();
    int missed = 0;
    const int rounds = 25;
    for (int round = 0; round < rounds; ++round) {
        const auto frame = wire_test::RoceFrameWithZeroChecksum(static_cast<uint8_t>(round));
        Recorder arriving;
        Recorder leaving;
        wire::CaptureSet captures;
        captures.Add("wh4b1", PCAP_D_IN, arriving.Callback());
        captures.Add("wh4b0", PCAP_D_OUT, leaving.Callback());
        captures.OpenAll();
        ASSERT_TRUE(client.Send(CapturedFrame(frame)));
        ASSERT_TRUE(bench.Send(CapturedFrame(frame)));
        captures.StartAll();
        const auto both = [&] { return arriving.Saw(frame) && leaving.Saw(frame); };
        missed += WaitFor(both, std::chrono::seconds(2)) ? 0 : 1;
        captures.StopAll();
    }
    std::cout << "[measure] first frame missed in " << missed << " of " << rounds
              << " rounds (in and out)\n";
    EXPECT_EQ(missed, 0);
}

// Frames that reach the port while the run is being stopped are handled before the capture
// closes: the bench loses none of what it captured.
TEST_F(Veth, StopHandlesTheFramesCapturedBeforeIt) {
    wire::Sender client("wh4c");
    client.Open();
    Recorder arriving;
    wire::Capture capture("wh4b1", PCAP_D_IN, arriving.Callback());
    capture.Open();
    capture.Start();
    capture.RequestStop();
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < 20; ++i) {
        sent.push_back(wire_test::RoceFrameWithZeroChecksum(static_cast<uint8_t>(i)));
        ASSERT_TRUE(client.Send(CapturedFrame(sent.back())));
    }
    capture.Stop();
    EXPECT_EQ(arriving.Frames(), sent);
}

// The bench path: arriving on the client port, forwarded out of the server port unchanged.
TEST_F(Veth, ForwardingReproducesTheCapturedBytesExactly) {
    wire::Sender client("wh4c");
    wire::Sender toServer("wh4b0");
    client.Open();
    toServer.Open();
    Recorder atServer;
    Recorder benchServerIn;
    wire::CaptureSet captures;
    captures.Add("wh4b1", PCAP_D_IN, [&](CapturedFrame& frame) { return toServer.Send(frame); });
    captures.Add("wh4s", PCAP_D_IN, atServer.Callback());
    captures.Add("wh4b0", PCAP_D_IN, benchServerIn.Callback());
    captures.OpenAll();
    captures.StartAll();

    const std::vector<std::vector<uint8_t>> frames = {wire_test::RoceFrameWithZeroChecksum(),
                                                      wire_test::ShortArpFrame(),
                                                      wire_test::Odd46ByteFrame()};
    for (const auto& frame : frames) {
        ASSERT_TRUE(client.Send(CapturedFrame(frame)));
    }
    EXPECT_TRUE(WaitFor([&] { return atServer.Frames().size() >= frames.size(); },
                        std::chrono::seconds(5)));
    captures.StopAll();
    EXPECT_EQ(atServer.Frames(), frames);
    EXPECT_TRUE(benchServerIn.Frames().empty()) << "an arriving capture saw the bench's own sends";
    EXPECT_EQ(toServer.UnsentFrames(), 0u);
    for (const auto& capture : captures.Captures()) {
        EXPECT_EQ(capture->Losses().kernelDrops, 0u) << capture->Label();
    }
}

// A jumbo frame longer than the default snapshot must be captured and forwarded whole.
TEST_F(Veth, JumboFramesAreForwardedWhole) {
    ASSERT_EQ(std::system("for l in wh4c wh4b1 wh4b0 wh4s; do ip link set $l mtu 9500; done"), 0);
    wire::Sender client("wh4c");
    wire::Sender toServer("wh4b0");
    client.Open();
    toServer.Open();
    Recorder atServer;
    wire::CaptureSet captures;
    captures.Add("wh4b1", PCAP_D_IN, [&](CapturedFrame& frame) { return toServer.Send(frame); });
    captures.Add("wh4s", PCAP_D_IN, atServer.Callback());
    captures.OpenAll();
    captures.StartAll();
    std::vector<uint8_t> jumbo = wire_test::Odd46ByteFrame();
    jumbo.resize(14 + 9500, 0x5a);
    ASSERT_TRUE(client.Send(CapturedFrame(jumbo)));
    EXPECT_TRUE(WaitFor([&] { return !atServer.Frames().empty(); }, std::chrono::seconds(5)));
    captures.StopAll();
    ASSERT_EQ(atServer.Frames().size(), 1u);
    EXPECT_EQ(atServer.Frames().front().size(), jumbo.size());
    EXPECT_EQ(atServer.Frames().front(), jumbo);
}

TEST_F(Veth, AnyOtherFrameGoesOutAsLibtinsSerialisesIt) {
    wire::Sender bench("wh4b0");
    bench.Open();
    Recorder atServer;
    wire::Capture capture("wh4s", PCAP_D_IN, atServer.Callback());
    capture.Open();
    capture.Start();
    const auto odd = wire_test::Odd46ByteFrame();
    const Tins::EthernetII parsed(odd.data(), static_cast<uint32_t>(odd.size()));
    ASSERT_TRUE(bench.Send(parsed));
    ASSERT_TRUE(WaitFor([&] { return !atServer.Frames().empty(); }, std::chrono::seconds(5)));
    capture.Stop();
    const auto seen = atServer.Frames().front();
    ASSERT_GE(seen.size(), odd.size());
    EXPECT_TRUE(std::equal(odd.begin(), odd.end(), seen.begin()));
}

TEST_F(Veth, AFrameLargerThanTheMtuIsCountedNotThrown) {
    wire::Sender sender("wh4b0");
    sender.Open();
    std::vector<uint8_t> jumbo = wire_test::Odd46ByteFrame();
    jumbo.resize(4000, 0xee);
    EXPECT_FALSE(sender.Send(CapturedFrame(jumbo)));
    EXPECT_TRUE(sender.Send(CapturedFrame(wire_test::Odd46ByteFrame())));
    EXPECT_EQ(sender.UnsentFrames(), 1u);
}

}  // namespace
