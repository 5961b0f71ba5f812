#include <chrono>
#include <iostream>

#include "tools/rocepeer/Options.h"
#include "tools/rocepeer/PacketPort.h"
#include "tools/rocepeer/ReliableConnection.h"

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
};

void PrintSummary(const roceframes::ResponderQp& qp, const RespondCounters& counters) {
    std::cout << "rocepeer respond: received=" << counters.received << " accepted=" << qp.Accepted()
              << " messages=" << qp.Messages() << " duplicates=" << qp.Duplicates()
              << " naks=" << qp.Naks() << " out_of_order=" << qp.OutOfOrder()
              << " bad_icrc=" << counters.badIcrc << " other_qp=" << counters.otherQp << std::endl;
}

void Answer(roceframes::PacketPort& port, const roceframes::RoceView& view,
            const roceframes::AckReply& reply, std::uint32_t peerQp, std::uint16_t ipId) {
    roceframes::Endpoints back;
    back.srcMac = port.LocalMac();
    back.dstMac = view.srcMac;
    back.srcIp = port.LocalIp();
    back.dstIp = view.srcIp;
    roceframes::RoceOptions options;
    options.ipId = ipId;
    port.Send(
        roceframes::BuildAckFrame(back, peerQp, reply.psn, reply.syndrome, reply.msn, options));
}

bool ShouldStop(const RespondOptions& options, const roceframes::ResponderQp& qp,
                Clock::time_point lastActivity) {
    const bool allSeen = options.count != 0 && qp.Messages() >= options.count;
    if (options.idleMs == 0 && !allSeen) {
        return false;
    }
    const auto quiet =
        options.idleMs != 0 ? std::chrono::milliseconds(options.idleMs) : kDefaultLinger;
    return Clock::now() - lastActivity >= quiet;
}

}  // namespace

int RunRespond(const RespondOptions& options) {
    roceframes::PacketPort port(options.dev);
    // Tells scripts and tests that frames sent from now on will be seen.
    std::cout << "rocepeer respond: ready" << std::endl;
    roceframes::ResponderQp qp(options.psn);
    RespondCounters counters;
    std::uint16_t ipId = 0;
    auto lastActivity = Clock::now();
    while (!StopRequested() && !ShouldStop(options, qp, lastActivity)) {
        const auto frame = port.Receive(kPollSlice);
        const auto view =
            frame ? roceframes::ParseRoceFrame(frame->data(), frame->size()) : std::nullopt;
        if (!view || view->opcode == ACKNOWLEDGE) {
            continue;
        }
        if (view->destQp != options.qp) {
            ++counters.otherQp;
            continue;
        }
        lastActivity = Clock::now();
        ++counters.received;
        // A corrupted packet is discarded silently, as the transport requires.
        if (!view->icrcValid) {
            ++counters.badIcrc;
            continue;
        }
        if (const auto reply = qp.OnPacket(view->opcode, view->psn, view->ackReq)) {
            Answer(port, *view, *reply, options.peerQp, ipId++);
        }
    }
    PrintSummary(qp, counters);
    return 0;
}

}  // namespace rocepeer
