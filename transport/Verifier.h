#pragma once

#include <list>
#include <mutex>
#include <optional>
#include <ostream>
#include <utility>

#include "transport/Bth.h"
#include "transport/Packet.h"
#include "transport/Qp.h"

// Outcome of a verifier operation.
enum VerifierStatus {
    VerifierStatusOK = 0,
    VerifierBadQp = 1,
    VerifierUnsupportedOpcode = 2,
    VerifierNoActiveWork = 3,
    VerifierBadOpcodeSequence = 4,
    VerifierBadPsn = 5,
    VerifierStatusBad = 6,
};

// Tracks the sequence state of every registered queue pair. All members may be
// called from any thread; each call is one indivisible step.
class Verifier {
public:
    // Registration lines go to std::cout, or to `out`, which must outlive the verifier.
    Verifier();
    explicit Verifier(std::ostream& out) : out_(out) {}
    Verifier(const Verifier&) = delete;
    Verifier& operator=(const Verifier&) = delete;

    // Appends a copy of the device; an id registered twice is stored twice.
    void AddDevice(Device dev) {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.push_back(std::move(dev));
    }

    // Stores a copy of the queue pair in the first device with that id and writes
    // the registration line, leaving the stream in hexadecimal. Unknown id: no-op.
    void AddQpToDevice(unsigned int devId, Qp& qp);

    // Checks one packet seen on the device against its queue pairs and records it.
    VerifierStatus VerifyPacket(unsigned int devId, const Bth& packetBth);

    // Writes every queue pair's sequence state to std::cout or `out`, the device ids in the
    // stream's current base; always VerifierStatusOK.
    VerifierStatus IdleChecker();
    VerifierStatus IdleChecker(std::ostream& out);

    // A copy of the first queue pair numbered qpNum on the first device devId.
    [[nodiscard]] std::optional<Qp> FindQp(unsigned int devId, unsigned int qpNum) const;

private:
    VerifierStatus VerifyRequestor(Qp& qp, Bth& packetBth);
    VerifierStatus VerifyResponder(Qp& qp, RocePacket packet);

    // The first device with that id; caller holds `mutex_`.
    const Device* FindDevice(unsigned int devId) const;
    Device* FindDevice(unsigned int devId);

    // Held for the whole of every call: the send-sequence check reads, compares
    // and writes one queue pair, and the report must not see half an update.
    mutable std::mutex mutex_;
    std::list<Device> devices_;
    std::ostream& out_;
};
