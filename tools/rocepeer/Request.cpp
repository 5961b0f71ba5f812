#include <algorithm>
#include <chrono>
#include <iomanip>
#include <iostream>

#include "tools/rocepeer/Options.h"
#include "tools/rocepeer/PacketPort.h"
#include "tools/rocepeer/ReliableConnection.h"

namespace rocepeer {
namespace {

using Clock = std::chrono::steady_clock;

struct RequestStats {
    std::uint64_t packets = 0;
    std::uint64_t retransmissions = 0;
    std::uint64_t naks = 0;
    std::uint64_t timeouts = 0;
};

roceframes::Bytes PayloadOf(const roceframes::PlannedPacket& packet) {
    roceframes::Bytes payload(packet.length);
    for (std::uint32_t i = 0; i < packet.length; ++i) {
        payload[i] = static_cast<std::uint8_t>(packet.message * 31 + packet.offset + i);
    }
    return payload;
}

class Requester {
public:
    Requester(roceframes::PacketPort& port, const roceframes::Endpoints& ends,
              const RequestOptions& options)
        : port_(port),
          ends_(ends),
          options_(options),
          timeout_(options.timeoutMs),
          plan_(roceframes::PlanMessages(options.count, options.sizes, options.mtu)),
          window_(plan_.size(), options.psn, options.window) {}

    // Runs until every packet is acknowledged or the time limit passes.
    bool Run();
    void PrintSummary(Clock::duration elapsed) const;

private:
    void SendWhatTheWindowAllows();
    void HandleFrame(const roceframes::Bytes& frame, Clock::time_point& lastProgress);
    std::uint64_t DeliveredMessages() const;
    std::uint64_t DeliveredBytes() const;

    roceframes::PacketPort& port_;
    const roceframes::Endpoints ends_;
    const RequestOptions options_;
    const std::chrono::milliseconds timeout_;
    const std::vector<roceframes::PlannedPacket> plan_;
    roceframes::GoBackN window_;
    RequestStats stats_;
    std::uint16_t ipId_ = 0;
};

void Requester::SendWhatTheWindowAllows() {
    while (window_.CanSend()) {
        const std::size_t index = window_.Next();
        const auto& packet = plan_[index];
        if (window_.MarkSent()) {
            ++stats_.retransmissions;
        }
        roceframes::BthFields bth;
        bth.opcode = packet.opcode;
        bth.destQp = options_.peerQp;
        bth.psn = window_.PsnOf(index);
        // Asking at a full window too keeps a lost acknowledgement from
        // stalling a long message that has not reached its last packet.
        const bool ask = packet.lastOfMessage || window_.WindowFull();
        bth.ackReqByte = ask ? roceframes::kAckReqBit : 0;
        roceframes::RoceOptions options;
        options.ipId = ipId_++;
        if (!port_.Send(roceframes::BuildRoceFrame(ends_, bth, PayloadOf(packet), options))) {
            throw std::runtime_error("send failed");
        }
        ++stats_.packets;
    }
}

void Requester::HandleFrame(const roceframes::Bytes& frame, Clock::time_point& lastProgress) {
    const auto view = roceframes::ParseRoceFrame(frame.data(), frame.size());
    if (!view || view->opcode != ACKNOWLEDGE || view->destQp != options_.qp ||
        !view->aethSyndrome || !view->icrcValid) {
        return;
    }
    bool progress = false;
    if (*view->aethSyndrome == roceframes::kSyndromePsnSequenceError) {
        progress = window_.OnNak(view->psn);
        stats_.naks += progress ? 1 : 0;
    } else if ((*view->aethSyndrome >> 5) == 0) {
        progress = window_.OnAck(view->psn);
    }
    if (progress) {
        lastProgress = Clock::now();
    }
}

bool Requester::Run() {
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(options_.limitMs);
    auto lastProgress = start;
    while (!window_.Done() && !StopRequested()) {
        const auto now = Clock::now();
        if (now >= deadline) {
            break;
        }
        if (now - lastProgress >= timeout_) {
            window_.OnTimeout();
            ++stats_.timeouts;
            lastProgress = now;
        }
        SendWhatTheWindowAllows();
        const auto until = std::min(lastProgress + timeout_, deadline);
        const auto wait =
            std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
        if (const auto frame = port_.Receive(std::max(wait, std::chrono::microseconds(0)))) {
            HandleFrame(*frame, lastProgress);
        }
    }
    return window_.Done();
}

std::uint64_t Requester::DeliveredMessages() const {
    std::uint64_t delivered = 0;
    for (std::size_t i = 0; i < window_.Acked(); ++i) {
        delivered += plan_[i].lastOfMessage ? 1 : 0;
    }
    return delivered;
}

std::uint64_t Requester::DeliveredBytes() const {
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < window_.Acked(); ++i) {
        bytes += plan_[i].length;
    }
    return bytes;
}

void Requester::PrintSummary(Clock::duration elapsed) const {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    const double mbps = seconds > 0 ? DeliveredBytes() * 8.0 / seconds / 1e6 : 0.0;
    const bool ok = window_.Done();
    std::cout << "rocepeer request: result=" << (ok ? "ok" : "failed")
              << " messages=" << options_.count << " delivered=" << DeliveredMessages()
              << " packets=" << stats_.packets << " retransmissions=" << stats_.retransmissions
              << " naks=" << stats_.naks << " timeouts=" << stats_.timeouts << std::fixed
              << std::setprecision(3) << " elapsed_ms=" << seconds * 1e3
              << " throughput_mbps=" << mbps << std::endl;
}

}  // namespace

int RunRequest(const RequestOptions& options) {
    roceframes::PacketPort port(options.dev);
    const auto ends = ResolveEndpoints(options.peer, port.LocalMac(), port.LocalIp());
    Requester requester(port, ends, options);
    const auto start = Clock::now();
    const bool ok = requester.Run();
    requester.PrintSummary(Clock::now() - start);
    return ok ? 0 : 1;
}

}  // namespace rocepeer
