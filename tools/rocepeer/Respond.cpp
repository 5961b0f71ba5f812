#include <chrono>
#include <iostream>

#include "tools/rocepeer/Options.h"
#include "tools/rocepeer/PacketPort.h"
#include "tools/rocepeer/ReliableConnection.h"

namespace rocepeer {
namespace {

using Clock = std::chrono::steady_clock;
using roceframes::kPsnMask;

// How long a responder that has seen every message lingers by default, so
// that a requester whose last acknowledgement was lost can still get it.
constexpr std::chrono::milliseconds kDefaultLinger{500};
constexpr std::chrono::milliseconds kPollSlice{100};

struct RespondCounters {
    std::uint64_t received = 0;
    std::uint64_t badIcrc = 0;
    std::uint64_t otherQp = 0;
};

struct RespondConfig {
    std::uint32_t qp;
    std::uint32_t peerQp;
    std::uint64_t count;
    std::chrono::milliseconds idle;
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

bool ShouldStop(const RespondConfig& config, const roceframes::ResponderQp& qp,
                Clock::time_point lastActivity) {
    const bool allSeen = config.count != 0 && qp.Messages() >= config.count;
    if (config.idle.count() == 0 && !allSeen) {
        return false;
    }
    const auto quiet = config.idle.count() != 0 ? config.idle : kDefaultLinger;
    return Clock::now() - lastActivity >= quiet;
}

}  // namespace

int RunRespond(const Options& options) {
    const RespondConfig config{
        static_cast<std::uint32_t>(options.Number("qp", 0x12, kPsnMask)),
        static_cast<std::uint32_t>(options.Number("peer-qp", 0x11, kPsnMask)),
        options.Number("count", 0), std::chrono::milliseconds(options.Number("idle-ms", 0))};
    std::optional<std::uint32_t> startPsn;
    if (options.Has("psn")) {
        startPsn = static_cast<std::uint32_t>(options.Number("psn", 0, kPsnMask));
    }
    roceframes::PacketPort port(options.Required("dev"));
    // Tells scripts and tests that frames sent from now on will be seen.
    std::cout << "rocepeer respond: ready" << std::endl;
    roceframes::ResponderQp qp(startPsn);
    RespondCounters counters;
    std::uint16_t ipId = 0;
    auto lastActivity = Clock::now();
    while (!StopRequested() && !ShouldStop(config, qp, lastActivity)) {
        const auto frame = port.Receive(kPollSlice);
        const auto view =
            frame ? roceframes::ParseRoceFrame(frame->data(), frame->size()) : std::nullopt;
        if (!view || view->opcode == roceframes::kOpcodeAcknowledge) {
            continue;
        }
        if (view->destQp != config.qp) {
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
            Answer(port, *view, *reply, config.peerQp, ipId++);
        }
    }
    PrintSummary(qp, counters);
    return 0;
}

}  // namespace rocepeer
