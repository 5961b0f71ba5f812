#include "wire/InjectorPath.h"

#include <tins/pdu.h>
#include <tins/udp.h>

#include <utility>

#include "transport/RoceFrame.h"
#include "wire/LossReport.h"

namespace wire {

InjectorPath::InjectorPath(Modifier& modifier, Sender& target, std::string label, int limit)
    : modifier_(modifier), target_(target), label_(std::move(label)), limit_(limit) {}

void InjectorPath::Configure(ModifierParams params) {
    modifier_.Init(std::move(params));
}

void InjectorPath::Start(const std::atomic<bool>& running) {
    if (!forwarder_) {
        forwarder_.emplace(modifier_, target_, running);
    }
}

void InjectorPath::Offer(Tins::PDU& frame) {
    // Only this thread adds to the injector, so it cannot grow between the check and the offer.
    if (modifier_.GetPacketBufferSize() >= limit_ &&
        frame.rfind_pdu<Tins::UDP>().dport() == kRocePort) {
        refused_.fetch_add(1);
        return;
    }
    modifier_.InjectPacket(&frame);
}

void InjectorPath::RequestStop() {
    if (forwarder_) {
        forwarder_->RequestStop();
    }
}

void InjectorPath::Join() {
    if (forwarder_) {
        forwarder_->Join();
    }
}

void InjectorPath::WriteReport(std::ostream& out) const {
    const int held = modifier_.GetPacketBufferSize();
    for (const std::string& line :
         InjectorLines(label_, Refused(), limit_, static_cast<std::uint64_t>(held))) {
        out << line << std::endl;
    }
}

}  // namespace wire
