#include <algorithm>
#include <chrono>
#include <iomanip>
#include <iostream>
#include <thread>

#include "tools/rocepeer/Options.h"
#include "tools/rocepeer/PacketPort.h"
#include "tools/rocepeer/ReliableConnection.h"
#include "transport/Bth.h"

namespace rocepeer {
namespace {

using Clock = std::chrono::steady_clock;

// How long the sender keeps listening for acknowledgements after its last frame.
constexpr std::chrono::milliseconds kAckDrain{500};
// Below this the sender spins instead of sleeping in poll, to keep its pace.
constexpr std::chrono::microseconds kSpinBelow{200};
constexpr std::uint64_t kDrainEvery = 32;

// Round-trip samples by packet index, for the acknowledged ones.
class RoundTrips {
public:
    explicit RoundTrips(std::size_t total) : sentAt_(total), matched_(total, false) {}
    void Sent(std::size_t index) { sentAt_[index] = Clock::now(); }
    void Acked(std::size_t index) {
        if (index < sentAt_.size() && !matched_[index] && sentAt_[index] != Clock::time_point{}) {
            matched_[index] = true;
            samples_.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - sentAt_[index]).count());
        }
    }
    std::size_t Count() const { return samples_.size(); }
    double Percentile(double share) {
        if (samples_.empty()) {
            return 0;
        }
        std::sort(samples_.begin(), samples_.end());
        const auto at = static_cast<std::size_t>(share * static_cast<double>(samples_.size() - 1));
        return samples_[at];
    }

private:
    std::vector<Clock::time_point> sentAt_;
    std::vector<bool> matched_;
    std::vector<double> samples_;
};

void DrainAcks(roceframes::PacketPort& port, const RateSendOptions& config, RoundTrips& trips,
               std::chrono::microseconds wait) {
    for (auto frame = port.Receive(wait); frame;
         frame = port.Receive(std::chrono::microseconds(0))) {
        const auto view = roceframes::ParseRoceFrame(frame->data(), frame->size());
        if (view && view->opcode == ACKNOWLEDGE && view->destQp == config.qp) {
            trips.Acked(roceframes::PsnDistance(config.psn, view->psn));
        }
    }
}

// Waits for the acknowledgements still on their way after the last frame: until `expected`
// have come or `limit` has passed, so a slow path does not count its last ones as lost.
void AwaitLastAcks(roceframes::PacketPort& port, const RateSendOptions& config, RoundTrips& trips,
                   std::uint64_t expected, std::chrono::microseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (trips.Count() < expected) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return;
        }
        DrainAcks(port, config, trips, left);
    }
    DrainAcks(port, config, trips, std::chrono::microseconds(0));
}

roceframes::Bytes RateFrame(const roceframes::Endpoints& ends, const RateSendOptions& config,
                            std::uint64_t index, const roceframes::Bytes& payload) {
    roceframes::BthFields bth;
    bth.opcode = SEND_ONLY;
    bth.destQp = config.peerQp;
    bth.psn = roceframes::PsnAdd(config.psn, static_cast<std::uint32_t>(index & kPsnMask));
    const bool ask = config.ackReqEvery != 0 && (index + 1) % config.ackReqEvery == 0;
    bth.ackReqByte = ask ? roceframes::kAckReqBit : 0;
    roceframes::RoceOptions options;
    options.ipId = static_cast<std::uint16_t>(index);
    return roceframes::BuildRoceFrame(ends, bth, payload, options);
}

}  // namespace

int RunRateSend(const RateSendOptions& config) {
    roceframes::PacketPort port(config.dev);
    const auto ends = ResolveEndpoints(config.peer, port.LocalMac(), port.LocalIp());
    const auto total = static_cast<std::uint64_t>(static_cast<double>(config.rate) *
                                                  static_cast<double>(config.seconds));
    const roceframes::Bytes payload(config.frameSize - roceframes::kRoceOverhead, 0x5A);
    const std::chrono::nanoseconds interval(1'000'000'000 / config.rate);
    RoundTrips trips(total);
    const auto start = Clock::now();
    std::uint64_t sent = 0;
    while (sent < total && !StopRequested()) {
        // Signed, or a due time in the past would wrap to the far future.
        const auto due = start + interval * static_cast<std::int64_t>(sent);
        const auto early =
            std::chrono::duration_cast<std::chrono::microseconds>(due - Clock::now());
        if (early.count() > 0) {
            DrainAcks(port, config, trips, early > kSpinBelow ? early - kSpinBelow : early * 0);
            continue;
        }
        // Behind schedule the loop never waits, so acknowledgements are read
        // here too, before they overflow the socket buffer.
        if (sent % kDrainEvery == 0) {
            DrainAcks(port, config, trips, std::chrono::microseconds(0));
        }
        trips.Sent(sent);
        if (!port.Send(RateFrame(ends, config, sent, payload))) {
            throw std::runtime_error("send failed");
        }
        ++sent;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const std::uint64_t asked = config.ackReqEvery ? sent / config.ackReqEvery : 0;
    AwaitLastAcks(port, config, trips, asked,
                  std::chrono::duration_cast<std::chrono::microseconds>(kAckDrain));
    std::cout << "rocepeer rate-send: sent=" << sent << " ack_requests=" << asked
              << " acks=" << trips.Count() << std::fixed << std::setprecision(1)
              << " elapsed_ms=" << elapsed * 1e3 << " achieved_pps=" << sent / elapsed
              << " rtt_median_us=" << trips.Percentile(0.5)
              << " rtt_p99_us=" << trips.Percentile(0.99) << std::endl;
    return 0;
}

int RunRateReceive(const RateReceiveOptions& options) {
    const std::chrono::milliseconds idle(options.idleMs);
    const std::chrono::seconds limit(options.seconds);
    roceframes::PacketPort port(options.dev);
    std::cout << "rocepeer rate-recv: ready" << std::endl;
    std::uint64_t received = 0, acks = 0, badIcrc = 0, gaps = 0;
    std::optional<std::uint32_t> lastPsn;
    const auto start = Clock::now();
    auto lastFrame = start;
    while (!StopRequested() && Clock::now() - start < limit &&
           (received == 0 || Clock::now() - lastFrame < idle)) {
        const auto frame = port.Receive(std::chrono::milliseconds(50));
        const auto view =
            frame ? roceframes::ParseRoceFrame(frame->data(), frame->size()) : std::nullopt;
        if (!view || view->destQp != options.qp || view->opcode == ACKNOWLEDGE) {
            continue;
        }
        lastFrame = Clock::now();
        ++received;
        badIcrc += view->icrcValid ? 0 : 1;
        gaps += lastPsn && view->psn != roceframes::PsnAdd(*lastPsn, 1) ? 1 : 0;
        lastPsn = view->psn;
        if (options.ack && view->ackReq) {
            roceframes::Endpoints back{port.LocalMac(), view->srcMac, port.LocalIp(), view->srcIp};
            port.Send(roceframes::BuildAckFrame(back, options.peerQp, view->psn,
                                                roceframes::kSyndromeAck,
                                                static_cast<std::uint32_t>(received)));
            ++acks;
        }
    }
    std::cout << "rocepeer rate-recv: received=" << received << " acks=" << acks
              << " psn_gaps=" << gaps << " bad_icrc=" << badIcrc << std::endl;
    return 0;
}

}  // namespace rocepeer
