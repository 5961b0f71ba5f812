#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "modifier/Modifier.h"
#include "wire/ForwardingThread.h"
#include "wire/Sender.h"

namespace Tins {
class PDU;
}

namespace wire {

// One traffic direction through its fault injector: captured frames enter by Offer, and what the
// injector releases leaves by `target`, sent by a forwarding thread of its own. (Releasing on the
// capturing thread when no delay or reorder can be drawn was measured: it saved no round-trip
// time and lost a sixth of the loss-free rate, as one thread then did all of a frame's work.)
//
// The injector refuses, and counts, a RoCE packet while it already holds `limit`: a direction
// whose delays outrun its traffic must not take all memory during a long run.
//
// Configure and Start run on one controlling thread before any Offer; Offer runs on one capture
// thread; RequestStop, Join and the counters on the controlling thread again.
class InjectorPath {
public:
    // About 100 MB of typical frames.
    static constexpr int kDefaultLimit = 1 << 16;

    // `label` names the port and direction that feed the injector, e.g. "enp1s0f1 in".
    InjectorPath(Modifier& modifier, Sender& target, std::string label, int limit = kDefaultLimit);
    InjectorPath(const InjectorPath&) = delete;
    InjectorPath& operator=(const InjectorPath&) = delete;

    // Configures the injector (Modifier::Init).
    void Configure(ModifierParams params);
    // Starts the forwarding thread, which releases while `running` is set. Throws wire::Error
    // when the thread cannot start.
    void Start(const std::atomic<bool>& running);

    // Hands a captured frame to the injector as Modifier::InjectPacket does (other UDP packets
    // are ignored; a frame without a UDP layer throws Tins::pdu_not_found).
    void Offer(Tins::PDU& frame);

    // Ends releasing after the packet in hand; packets still held are never sent. Call after
    // clearing `running`. RequestStop does not wait; Join does, and is idempotent.
    void RequestStop();
    void Join();

    [[nodiscard]] std::uint64_t Refused() const { return refused_.load(); }
    // One line each on the packets refused during the run and on those the injector still holds
    // at its end; nothing when there are none.
    void WriteReport(std::ostream& out) const;

private:
    Modifier& modifier_;
    Sender& target_;
    const std::string label_;
    const int limit_;
    std::optional<ForwardingThread> forwarder_;
    std::atomic<std::uint64_t> refused_{0};
};

}  // namespace wire
