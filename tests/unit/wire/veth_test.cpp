// Capture and forwarding on real veth ports in a private network namespace; needs root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/wire/TestFrames.h"
#include "wire/Capture.h"
#include "wire/CaptureSet.h"
#include "wire/Sender.h"

namespace {

using wire::CapturedFrame;
using Bytes = std::vector<uint8_t>;

const std::string kLinks = "wh4c wh4b1 wh4b0 wh4s";

bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// Frames a capture saw, readable from the test thread while the capture runs.
class Recorder {
public:
    wire::FrameCallback Callback() {
        return [this](CapturedFrame& frame) {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(frame.bytes());
            return true;
        };
    }
    std::vector<Bytes> Frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Bytes> frames_;
};

// The test thread, and the threads it starts, run in a private namespace: client "wh4c" <->
// bench "wh4b1", bench "wh4b0" <-> server "wh4s". A guard process deletes the namespace when the
// test ends, or when the process dies, as it does by the alarm if a step hangs.
class Veth : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for network namespaces and raw sockets";
        }
        Shell("ip netns del " + name_ + " 2>/dev/null");
        ASSERT_TRUE(Shell("ip netns add " + name_));
        StartGuard();
        // No IPv6 chatter (router solicitations) to disturb frame counts.
        ASSERT_TRUE(Shell("ip netns exec " + name_ +
                          " sh -ec 'sysctl -qw net.ipv6.conf.all.disable_ipv6=1"
                          " net.ipv6.conf.default.disable_ipv6=1;"
                          " ip link add wh4c type veth peer name wh4b1;"
                          " ip link add wh4b0 type veth peer name wh4s;"
                          " for l in wh4c wh4b1 wh4b0 wh4s; do ip link set $l up; done'"));
        originalNs_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(setns(target, CLONE_NEWNET), 0);
        close(target);
        alarm(60);
    }
    void TearDown() override {
        alarm(0);
        if (originalNs_ >= 0) {
            setns(originalNs_, CLONE_NEWNET);
            close(originalNs_);
        }
        if (guard_ > 0) {
            close(guardPipe_);
            waitpid(guard_, nullptr, 0);
        }
    }

private:
    void StartGuard() {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        guard_ = fork();
        if (guard_ == 0) {
            close(fds[1]);
            char byte;
            while (read(fds[0], &byte, 1) > 0) {
            }
            execlp("ip", "ip", "netns", "del", name_.c_str(), static_cast<char*>(nullptr));
            _exit(1);
        }
        close(fds[0]);
        guardPipe_ = fds[1];
    }

    const std::string name_ = "wh4-" + std::to_string(getpid());
    int originalNs_ = -1;
    pid_t guard_ = -1;
    int guardPipe_ = -1;
};

using wire_test::WaitFor;

TEST_F(Veth, StopReturnsOnAQuietPortRightAfterStartAndLater) {
    for (int round = 0; round < 20; ++round) {
        wire::Capture capture("wh4b0", round % 2 ? PCAP_D_IN : PCAP_D_OUT,
                              [](CapturedFrame&) { return true; });
        capture.Open();
        capture.Start();
        if (round % 4 >= 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // to block in poll
        }
        capture.Stop();
        EXPECT_EQ(capture.FramesSeen(), 0u);
    }
}

// A frame that reaches the port after Open is captured even before Start (the kernel direction
// filter must not lose the first), and one that comes after a stop request is handled by Stop.
TEST_F(Veth, NoFrameBetweenOpenAndStopIsLost) {
    wire::Sender client("wh4c");
    wire::Sender bench("wh4b0");
    client.Open();
    bench.Open();
    for (uint8_t round = 0; round < 10; ++round) {
        Recorder arriving;
        Recorder leaving;
        wire::CaptureSet captures;
        captures.Add("wh4b1", PCAP_D_IN, arriving.Callback());
        captures.Add("wh4b0", PCAP_D_OUT, leaving.Callback());
        captures.OpenAll();
        std::vector<Bytes> sent = {wire_test::RoceFrameWithZeroChecksum(round)};
        ASSERT_TRUE(client.Send(CapturedFrame(sent[0])) && bench.Send(CapturedFrame(sent[0])));
        captures.StartAll();
        for (const auto& capture : captures.Captures()) {
            capture->RequestStop();
        }
        // Observers on the same ports tell when the kernel has handed the last frame to every
        // capture socket (under load its delivery can lag the send).
        Recorder observedIn;
        Recorder observedOut;
        wire::CaptureSet observers;
        observers.Add("wh4b1", PCAP_D_IN, observedIn.Callback());
        observers.Add("wh4b0", PCAP_D_OUT, observedOut.Callback());
        observers.OpenAll();
        observers.StartAll();
        for (uint8_t i = 0; i < 20; ++i) {
            sent.push_back(wire_test::RoceFrameWithZeroChecksum(100 + i));
            ASSERT_TRUE(client.Send(CapturedFrame(sent.back())));
            ASSERT_TRUE(bench.Send(CapturedFrame(sent.back())));
        }
        ASSERT_TRUE(WaitFor(
            [&] { return observedIn.Frames().size() == 20 && observedOut.Frames().size() == 20; }));
        captures.StopAll();
        EXPECT_EQ(arriving.Frames(), sent) << "round " << int{round};
        EXPECT_EQ(leaving.Frames(), sent) << "round " << int{round};
    }
}

// The bench path: arriving on the client port, forwarded out of the server port unchanged,
// a zero UDP checksum, short frames and a jumbo longer than the default snapshot included.
TEST_F(Veth, ForwardingReproducesTheCapturedBytesExactly) {
    ASSERT_TRUE(Shell("for l in " + kLinks + "; do ip link set $l mtu 9500; done"));
    wire::Sender client("wh4c");
    wire::Sender toServer("wh4b0");
    client.Open();
    toServer.Open();
    // Larger than the MTU: counted as unsent, not thrown, and the sender goes on.
    EXPECT_FALSE(toServer.Send(CapturedFrame(wire_test::OddFrame(9600))));
    Recorder atServer;
    Recorder benchServerIn;
    wire::CaptureSet captures;
    captures.Add("wh4b1", PCAP_D_IN, [&](CapturedFrame& frame) { return toServer.Send(frame); });
    captures.Add("wh4s", PCAP_D_IN, atServer.Callback());
    captures.Add("wh4b0", PCAP_D_IN, benchServerIn.Callback());
    captures.OpenAll();
    captures.StartAll();

    const std::vector<Bytes> frames = {wire_test::RoceFrameWithZeroChecksum(),
                                       wire_test::ShortArpFrame(), wire_test::OddFrame(),
                                       wire_test::OddFrame(14 + 9500)};
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
        ASSERT_TRUE(client.Send(CapturedFrame(frames[i])));
    }
    // Any other frame goes out as libtins serialises it: for this one, its own bytes.
    const Bytes& jumbo = frames.back();
    ASSERT_TRUE(client.Send(Tins::EthernetII(jumbo.data(), static_cast<uint32_t>(jumbo.size()))));
    EXPECT_TRUE(WaitFor([&] { return atServer.Frames().size() >= frames.size(); }));
    captures.StopAll();
    EXPECT_EQ(atServer.Frames(), frames);
    EXPECT_TRUE(benchServerIn.Frames().empty()) << "an arriving capture saw the bench's own sends";
    EXPECT_EQ(toServer.UnsentFrames(), 1u);
    for (const auto& capture : captures.Captures()) {
        EXPECT_EQ(capture->Losses().kernelDrops, 0u) << capture->Label();
    }
}

}  // namespace
