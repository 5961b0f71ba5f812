#include <algorithm>
#include <chrono>
#include <iomanip>
#include <iostream>

#include "tools/rocepeer/Options.h"
#include "tools/rocepeer/PacketPort.h"
#include "tools/rocepeer/ReliableConnection.h"
#include "transport/Opcode.h"

namespace rocepeer {
namespace {

using Clock = std::chrono::steady_clock;

struct RequestStats {
    std::uint64_t packets = 0;
    std::uint64_t retransmissions = 0;
    std::uint64_t naks = 0;
    std::uint64_t timeouts = 0;
    std::uint64_t readResponses = 0;
    std::uint64_t badReadResponses = 0;
    std::uint64_t cnpsReceived = 0;
};

roceframes::Bytes PayloadOf(const roceframes::PlannedPacket& packet) {
    roceframes::Bytes payload(packet.length);
    for (std::uint32_t i = 0; i < packet.length; ++i) {
        payload[i] = static_cast<std::uint8_t>(packet.message * 31 + packet.offset + i);
    }
    return payload;
}

// The RETH of a WRITE's first packet and of a READ, the immediate data of a WRITE's last.
roceframes::ExtendedHeaders HeadersOf(const roceframes::PlannedPacket& packet) {
    const opcode::Info& info = *opcode::Find(packet.opcode);
    roceframes::ExtendedHeaders headers;
    if (info.Has(opcode::kReth)) {
        headers.reth = roceframes::Reth{roceframes::RemoteAddressOf(packet.message),
                                        roceframes::kRemoteKey, packet.messageLength};
    }
    if (info.Has(opcode::kImmediate)) {
        headers.immediate = packet.message;
    }
    return headers;
}

class Requester {
public:
    Requester(roceframes::PacketPort& port, const roceframes::Endpoints& ends,
              const RequestOptions& options)
        : port_(port),
          ends_(ends),
          options_(options),
          timeout_(options.timeoutMs),
          plan_(roceframes::PlanMessages(options.count, options.sizes, options.mtu,
                                         options.operations)),
          window_(plan_, options.psn, options.window) {}

    // Runs until every packet is acknowledged or the time limit passes.
    bool Run();
    void PrintSummary(Clock::duration elapsed) const;

private:
    void SendWhatTheWindowAllows();
    void HandleFrame(const roceframes::Bytes& frame, Clock::time_point& lastProgress);
    bool OnAcknowledge(const roceframes::RoceView& view);
    bool OnReadResponse(const roceframes::RoceView& view, const roceframes::Bytes& frame);
    std::uint64_t DeliveredMessages() const;
    std::uint64_t Delivered(roceframes::Operation operation) const;
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
        // stalling a long message that has not reached its last packet. A READ
        // is answered by its response.
        const bool read = packet.operation == roceframes::Operation::Read;
        const bool ask = !read && (packet.lastOfMessage || window_.WindowFull());
        bth.ackReqByte = ask ? roceframes::kAckReqBit : 0;
        roceframes::RoceOptions options;
        options.ipId = ipId_++;
        if (!port_.Send(roceframes::BuildRoceFrame(ends_, bth, HeadersOf(packet), PayloadOf(packet),
                                                   options))) {
            throw std::runtime_error("send failed");
        }
        ++stats_.packets;
    }
}

void Requester::HandleFrame(const roceframes::Bytes& frame, Clock::time_point& lastProgress) {
    const auto view = roceframes::ParseRoceFrame(frame.data(), frame.size());
    if (!view || view->destQp != options_.qp || !view->icrcValid) {
        return;
    }
    const opcode::Info* info = opcode::Find(view->opcode);
    bool progress = false;
    if (view->opcode == opcode::kAcknowledge) {
        progress = OnAcknowledge(*view);
    } else if (info != nullptr && info->kind == opcode::Kind::ReadResponse) {
        progress = OnReadResponse(*view, frame);
    } else if (view->opcode == opcode::kCnp) {
        ++stats_.cnpsReceived;
    }
    if (progress) {
        lastProgress = Clock::now();
    }
}

bool Requester::OnAcknowledge(const roceframes::RoceView& view) {
    if (!view.headers.aeth) {
        return false;
    }
    const std::uint8_t syndrome = view.headers.aeth->syndrome;
    if (syndrome == roceframes::kSyndromePsnSequenceError) {
        const bool inWindow = window_.OnNak(view.psn);
        stats_.naks += inWindow ? 1 : 0;
        return inWindow;
    }
    return (syndrome >> 5) == 0 && window_.OnAck(view.psn);
}

// A response counts once its bytes are those of the remote memory at its place in the READ.
bool Requester::OnReadResponse(const roceframes::RoceView& view, const roceframes::Bytes& frame) {
    const auto index = window_.Outstanding(view.psn);
    const bool acknowledging = !view.headers.aeth || (view.headers.aeth->syndrome >> 5) == 0;
    if (!index || plan_[*index].operation != roceframes::Operation::Read || !acknowledging) {
        return false;
    }
    // Its PSN tells its place: the READ takes one per MTU of the data, so it lies within.
    const roceframes::PlannedPacket& read = plan_[*index];
    const std::uint32_t offset =
        roceframes::PsnDistance(window_.PsnOf(*index), view.psn) * options_.mtu;
    const auto expected =
        roceframes::RemoteBytes(roceframes::RemoteAddressOf(read.message) + offset,
                                std::min(options_.mtu, read.messageLength - offset));
    const auto data = frame.begin() + static_cast<std::ptrdiff_t>(view.payloadOffset);
    if (view.payloadSize != expected.size() ||
        !std::equal(expected.begin(), expected.end(), data)) {
        ++stats_.badReadResponses;
        return false;
    }
    ++stats_.readResponses;
    return window_.OnReadResponse(view.psn, view.opcode);
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

std::uint64_t Requester::Delivered(roceframes::Operation operation) const {
    std::uint64_t delivered = 0;
    for (std::size_t i = 0; i < window_.Acked(); ++i) {
        delivered += plan_[i].lastOfMessage && plan_[i].operation == operation ? 1 : 0;
    }
    return delivered;
}

std::uint64_t Requester::DeliveredBytes() const {
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < window_.Acked(); ++i) {
        const bool read = plan_[i].operation == roceframes::Operation::Read;
        bytes += read ? plan_[i].messageLength : plan_[i].length;
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
              << " throughput_mbps=" << mbps << "\n"
              << "rocepeer request: sends=" << Delivered(roceframes::Operation::Send)
              << " writes=" << Delivered(roceframes::Operation::Write)
              << " writes_with_immediate=" << Delivered(roceframes::Operation::WriteImmediate)
              << " reads=" << Delivered(roceframes::Operation::Read)
              << " read_responses=" << stats_.readResponses
              << " bad_read_responses=" << stats_.badReadResponses
              << " cnps_received=" << stats_.cnpsReceived << std::endl;
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
