#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>

#include "modifier/Modifier.h"

namespace Tins {
class PDU;
}

namespace wire {

// The way from a capture into a fault injector. Offers every frame to the modifier, but refuses,
// and counts, a RoCE packet while the modifier already holds `limit`: a direction whose delays
// outrun its traffic must not take all memory during a long run. One capture thread offers;
// the counters may be read from any thread.
class InjectorInlet {
public:
    // About 100 MB of typical frames.
    static constexpr int kDefaultLimit = 1 << 16;

    // `label` names the port and direction that feed the modifier, e.g. "enp1s0f1 in".
    InjectorInlet(Modifier& modifier, std::string label, int limit = kDefaultLimit);

    // As Modifier::InjectPacket, which it calls: other UDP packets are ignored, and a frame
    // without a UDP layer throws Tins::pdu_not_found.
    void Offer(Tins::PDU& frame);

    [[nodiscard]] std::uint64_t Refused() const { return refused_.load(); }

    // One line each on the packets refused during the run and on those the modifier still holds
    // at its end, never to be sent; nothing when there are none.
    void WriteReport(std::ostream& out) const;

private:
    Modifier& modifier_;
    const std::string label_;
    const int limit_;
    std::atomic<std::uint64_t> refused_{0};
};

}  // namespace wire
