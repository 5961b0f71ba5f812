#include "wire/InjectorPath.h"

#include <tins/pdu.h>
#include <tins/udp.h>

#include <utility>

#include "transport/RoceFrame.h"

namespace wire {

namespace {

std::string Packets(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " packet" : " packets");
}

}  // namespace

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
    if (const std::uint64_t refused = Refused()) {
        out << label_ << ": " << Packets(refused) << " refused by the full fault injector ("
            << limit_ << " held), not sent" << std::endl;
    }
    if (const int held = modifier_.GetPacketBufferSize(); held > 0) {
        out << label_ << ": " << Packets(static_cast<std::uint64_t>(held))
            << " held by the fault injector at the stop, not sent" << std::endl;
    }
}

}  // namespace wire
