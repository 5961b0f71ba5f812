#include "modifier/Modifier.h"

#include <tins/pdu.h>
#include <tins/udp.h>

#include <iostream>
#include <optional>
#include <utility>

#include "transport/RoceFrame.h"

Modifier::Modifier(RandomSource random) : buffer_(std::move(random)) {}

// Out of line: the buffered packets' type is complete only here.
Modifier::~Modifier() = default;

void Modifier::Init(ModifierParams params) {
    buffer_.Configure(params);
}

void Modifier::InjectPacket(Tins::PDU* p) {
    if (p->rfind_pdu<Tins::UDP>().dport() != kRocePort) {
        return;
    }
    // Cloned before the buffer is locked, so that a release never waits for a copy.
    buffer_.Add(std::unique_ptr<Tins::PDU>(p->clone()));
}

Tins::PDU* Modifier::GetPacket(bool* isValid) {
    std::optional<FaultBuffer<std::unique_ptr<Tins::PDU>>::Release> release = buffer_.Take();
    if (!release) {
        *isValid = false;
        return nullptr;
    }
    *isValid = release->IsValid();
    if (release->operation == OPERATION_DELAY) {
        WaitMilliseconds(release->delayMs);
    }
    return release->packet.release();
}

std::int64_t Modifier::GetOperationCounter(ModifierOperation operation) const {
    if (operation >= OPERATION_LAST) {
        return 0;
    }
    return buffer_.Counters()[operation];
}

void Modifier::printOperationCounters() {
    printOperationCounters(std::cout);
}

void Modifier::printOperationCounters(std::ostream& out) {
    WriteOperationCounters(out, buffer_.Counters());
}
