// Capture and sending on veth pairs (root only), in a private network namespace that has no
// name and vanishes with its last user: nothing is left behind, even when a test dies by its
// alarm.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "tests/unit/wire/WireTest.h"
#include "wire/CaptureSet.h"
#include "wire/Sender.h"

namespace {

using namespace wiretest;
using std::chrono::steady_clock;

// From 02:..:01 to 02:..:02; `tail` starts at the ether type.
Bytes Frame(size_t size, Bytes tail = {0x88, 0xb5}) {
    tail.insert(tail.begin(), {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1});
    tail.resize(size, 0xa5);
    return tail;
}

// Sends as any other program on the host would, through the port's queueing discipline.
bool SendAsAnotherProgram(const std::string& port, const Bytes& frame) {
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(if_nametoindex(port.c_str()));
    const bool sent =
        sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&address),
               sizeof(address)) == static_cast<ssize_t>(frame.size());
    close(fd);
    return sent;
}

// Client wwa - wwb bench wwc - wwd server.
class Veth : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace and raw sockets";
        }
        home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(unshare(CLONE_NEWNET), 0);
        alarm(60);
        // Without IPv6 no router solicitation disturbs the frames.
        ASSERT_EQ(std::system("sysctl -qw net.ipv6.conf.default.disable_ipv6=1 && "
                              "ip link add wwa type veth peer name wwb && "
                              "ip link add wwc type veth peer name wwd && "
                              "for l in wwa wwb wwc wwd; do ip link set $l up mtu 9500; done"),
                  0);
        client_.Open();
        server_.Open();
    }
    void TearDown() override {
        alarm(0);
        setns(home_, CLONE_NEWNET);
        close(home_);
    }
    int home_ = -1;
    wire::Sender client_{"wwa"};
    wire::Sender server_{"wwc"};
};

// Not padded, a wrong UDP checksum kept, whole beyond the usual snapshot length; sent between
// Open and Start, yet delivered, the first one too.
TEST_F(Veth, ForwardsTheCapturedBytesExactly) {
    const Bytes udp = {8, 0, 0x45, 0,  0, 40, 0, 0,    0, 0,    64,   17, 0,  0,    10,
                       0, 0, 1,    10, 0, 0,  2, 0xc0, 0, 0x12, 0xb7, 0,  20, 0xde, 0xad};
    const std::vector<Bytes> sent = {Frame(42), Frame(54, udp), Frame(14 + 9500)};
    std::mutex mutex;
    std::vector<Bytes> atServer;
    wire::CaptureSet captures;
    captures.Add("wwb", PCAP_D_IN,
                 [&](const wire::RawFrame& f) { return server_.Send(f.data, f.size); });
    captures.Add("wwd", PCAP_D_IN, [&](const wire::RawFrame& frame) {
        std::lock_guard<std::mutex> lock(mutex);
        atServer.emplace_back(frame.data, frame.data + frame.size);
        return true;
    });
    captures.OpenAll();
    for (const Bytes& frame : sent) {
        EXPECT_TRUE(client_.Send(frame.data(), frame.size()));
    }
    captures.StartAll();
    EXPECT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return atServer.size() >= sent.size();
    }));
    captures.StopAll();
    EXPECT_EQ(atServer, sent);
    EXPECT_FALSE(server_.Send(Frame(9600).data(), 9600)) << "longer than the MTU";
    EXPECT_EQ(server_.UnsentFrames(), 1u);
}

// A batch the kernel takes only in part: the frame it refuses is counted, those after it still
// leave. Nothing the bench sends comes back into a capture of the port it leaves by; a leaving
// capture sees what another program sends.
TEST_F(Veth, ABatchCountsEachFrameItCouldNotSendAndOwnSendsAreNotCapturedArriving) {
    std::atomic<int> capturedAtBench{0};
    std::atomic<int> capturedLeaving{0};
    wire::CaptureSet captures;
    captures.Add("wwc", PCAP_D_IN, [&](const wire::RawFrame&) { return ++capturedAtBench > 0; });
    captures.Add("wwc", PCAP_D_OUT, [&](const wire::RawFrame&) { return ++capturedLeaving > 0; });
    captures.OpenAll();
    captures.StartAll();
    const Bytes fits = Frame(1000), tooLong = Frame(9600);
    wire::SendBatch batch(server_);
    for (const Bytes* frame : {&fits, &tooLong, &fits, &tooLong}) {
        batch.Add(frame->data(), frame->size());
    }
    batch.Send();
    EXPECT_TRUE(batch.Sent(0) && !batch.Sent(1) && batch.Sent(2) && !batch.Sent(3));
    EXPECT_EQ(server_.SentFrames(), 2u);
    EXPECT_EQ(server_.UnsentFrames(), 2u);
    // The frames reached the far end of the link before the capture is asked again.
    wire::CaptureSet atServer;
    std::atomic<int> arrived{0};
    atServer.Add("wwd", PCAP_D_IN, [&](const wire::RawFrame&) { return ++arrived > 0; });
    atServer.OpenAll();
    atServer.StartAll();
    EXPECT_TRUE(server_.Send(fits.data(), fits.size()));
    EXPECT_TRUE(SendAsAnotherProgram("wwc", fits));
    EXPECT_TRUE(WaitFor([&] { return arrived.load() >= 2 && capturedLeaving.load() >= 1; }));
    atServer.StopAll();
    captures.StopAll();
    EXPECT_EQ(capturedAtBench.load(), 0);
    EXPECT_EQ(capturedLeaving.load(), 1);
}

// Whether or not the handler keeps up, the stop keeps to its budget and accounts for every
// frame the kernel took in: handled, left unhandled or dropped (so none came in after it). The
// programs' end-to-end tests show a burst beyond the ring reported as dropped.
TEST_F(Veth, AStopUnderAFloodKeepsToItsBudgetAndAccountsForEveryFrame) {
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        for (const Bytes frame = Frame(1100); flooding.load();) {
            client_.Send(frame.data(), frame.size());
        }
    });
    for (int handlingUs : {0, 200}) {
        std::atomic<uint64_t> handled{0};
        wire::CaptureSet captures;
        captures.Add("wwb", PCAP_D_IN, [&](const wire::RawFrame&) {
            std::this_thread::sleep_for(std::chrono::microseconds(handlingUs));
            handled.fetch_add(1);
            return true;
        });
        captures.OpenAll();
        captures.StartAll();
        EXPECT_TRUE(WaitFor([&] { return handled.load() > 1000; }));
        const auto begin = steady_clock::now();
        captures.StopAll(std::chrono::milliseconds(300));
        const std::chrono::duration<double, std::milli> took = steady_clock::now() - begin;
        const wire::CaptureLosses losses = captures.Captures()[0]->Losses();
        EXPECT_LT(took.count(), 5000);
        EXPECT_EQ(handled + losses.unhandledAtStop + losses.kernelDrops,
                  captures.Captures()[0]->FramesTakenIn());
        EXPECT_TRUE(handlingUs == 0 || losses.unhandledAtStop > 0);
    }
    flooding.store(false);
    flood.join();
}

}  // namespace
