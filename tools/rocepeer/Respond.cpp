#include <chrono>
#include <iostream>

#include "tools/rocepeer/Options.h"
#include "tools/rocepeer/PacketPort.h"
#include "tools/rocepeer/ReliableConnection.h"
#include "transport/Opcode.h"

namespace rocepeer {
namespace {

using Clock = std::chrono::steady_clock;

// How long a responder that has seen every message lingers by default, so
// that a requester whose last acknowledgement was lost can still get it.
constexpr std::chrono::milliseconds kDefaultLinger{500};
constexpr std::chrono::milliseconds kPollSlice{100};

struct RespondCounters {
    std::uint64_t received = 0;
    std::uint64_t badIcrc = 0;
    std::uint64_t otherQp = 0;
    std::uint64_t ceMarked = 0;
    std::uint64_t cnpsSent = 0;
    std::uint64_t readResponses = 0;  // packets
};

void PrintSummary(const roceframes::ResponderQp& qp, const RespondCounters& counters) {
    std::cout << "rocepeer respond: received=" << counters.received << " accepted=" << qp.Accepted()
              << " messages=" << qp.Messages() << " duplicates=" << qp.Duplicates()
              << " naks=" << qp.Naks() << " out_of_order=" << qp.OutOfOrder()
              << " bad_icrc=" << counters.badIcrc << " other_qp=" << counters.otherQp << "\n"
              << "rocepeer respond: ce_marked=" << counters.ceMarked
              << " cnps_sent=" << counters.cnpsSent << " read_responses=" << counters.readResponses
              << std::endl;
}

// Answers the requester of one queue pair from the port it came in on.
class Responder {
public:
    Responder(roceframes::PacketPort& port, const RespondOptions& options)
        : port_(port),
          options_(options),
          qp_(options.psn, options.mtu),
          pacer_(std::chrono::microseconds(options.cnpIntervalUs)) {}

    void Handle(const roceframes::Bytes& frame);
    const roceframes::ResponderQp& Qp() const { return qp_; }
    const RespondCounters& Counters() const { return counters_; }
    Clock::time_point LastActivity() const { return lastActivity_; }

private:
    roceframes::Endpoints Back(const roceframes::RoceView& view) const {
        return {port_.LocalMac(), view.srcMac, port_.LocalIp(), view.srcIp};
    }
    roceframes::RoceOptions NextOptions() {
        roceframes::RoceOptions options;
        options.ipId = ipId_++;
        return options;
    }
    void NotifyCongestion(const roceframes::RoceView& view);
    void Answer(const roceframes::RoceView& view, const roceframes::Reply& reply);

    roceframes::PacketPort& port_;
    const RespondOptions& options_;
    roceframes::ResponderQp qp_;
    roceframes::CnpPacer pacer_;
    RespondCounters counters_;
    std::uint16_t ipId_ = 0;
    Clock::time_point lastActivity_ = Clock::now();
};

void Responder::Handle(const roceframes::Bytes& frame) {
    const auto view = roceframes::ParseRoceFrame(frame.data(), frame.size());
    const opcode::Info* info = view ? opcode::Find(view->opcode) : nullptr;
    // Answers, notifications and the like are not ours to answer.
    if (!view || (info != nullptr && !info->IsRequest())) {
        return;
    }
    if (view->destQp != options_.qp) {
        ++counters_.otherQp;
        return;
    }
    lastActivity_ = Clock::now();
    ++counters_.received;
    // A corrupted packet is discarded silently, as the transport requires.
    if (!view->icrcValid) {
        ++counters_.badIcrc;
        return;
    }
    if (view->ecn == roceframes::kEcnCe) {
        NotifyCongestion(*view);
    }
    const auto readLength = view->headers.reth
                                ? std::optional<std::uint32_t>(view->headers.reth->dmaLength)
                                : std::nullopt;
    if (const auto reply = qp_.OnPacket(view->opcode, view->psn, view->ackReq, readLength)) {
        Answer(*view, *reply);
    }
}

void Responder::NotifyCongestion(const roceframes::RoceView& view) {
    ++counters_.ceMarked;
    if (pacer_.Allow(options_.peerQp, Clock::now())) {
        port_.Send(roceframes::BuildCnpFrame(Back(view), options_.peerQp, NextOptions()));
        ++counters_.cnpsSent;
    }
}

void Responder::Answer(const roceframes::RoceView& view, const roceframes::Reply& reply) {
    if (reply.kind == roceframes::Reply::Kind::Acknowledge) {
        port_.Send(roceframes::BuildAckFrame(Back(view), options_.peerQp, reply.psn, reply.syndrome,
                                             reply.msn, NextOptions()));
        return;
    }
    const roceframes::Reth& reth = *view.headers.reth;
    const auto frames = roceframes::BuildReadResponse(
        Back(view), options_.peerQp, reply.psn, reply.msn,
        roceframes::RemoteBytes(reth.virtualAddress, reth.dmaLength), options_.mtu, NextOptions());
    ipId_ = static_cast<std::uint16_t>(ipId_ + frames.size() - 1);
    for (const roceframes::Bytes& frame : frames) {
        port_.Send(frame);
    }
    counters_.readResponses += frames.size();
}

bool ShouldStop(const RespondOptions& options, const Responder& responder) {
    const bool allSeen = options.count != 0 && responder.Qp().Messages() >= options.count;
    if (options.idleMs == 0 && !allSeen) {
        return false;
    }
    const auto quiet =
        options.idleMs != 0 ? std::chrono::milliseconds(options.idleMs) : kDefaultLinger;
    return Clock::now() - responder.LastActivity() >= quiet;
}

}  // namespace

int RunRespond(const RespondOptions& options) {
    roceframes::PacketPort port(options.dev);
    // Tells scripts and tests that frames sent from now on will be seen.
    std::cout << "rocepeer respond: ready" << std::endl;
    Responder responder(port, options);
    while (!StopRequested() && !ShouldStop(options, responder)) {
        if (const auto frame = port.Receive(kPollSlice)) {
            responder.Handle(*frame);
        }
    }
    PrintSummary(responder.Qp(), responder.Counters());
    return 0;
}

}  // namespace rocepeer
