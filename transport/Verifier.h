#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <ostream>
#include <utility>

#include "transport/Bth.h"
#include "transport/Packet.h"
#include "transport/Qp.h"
#include "transport/RocePacketInfo.h"
#include "transport/Rules.h"
#include "transport/VerificationLedger.h"
#include "transport/VerificationReport.h"
#include "transport/VerifierStatus.h"

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

    // Chooses the rules Verify applies; call it before registering queue pairs. A pathMtu
    // that IsPathMtu refuses is taken as 1024.
    void SetRules(RuleSet rules, std::uint32_t pathMtu = 1024);

    // Checks one packet seen on the device against its queue pairs and records it. Counts
    // nothing: the report does not see it.
    VerifierStatus VerifyPacket(unsigned int devId, const Bth& packetBth);

    // Checks one packet against the chosen rules and counts the outcome for the report. Under
    // the send rules it decides, and changes, what VerifyPacket does.
    rules::Outcome Verify(unsigned devId, const RoceHeaders& headers, const PacketContext& where);

    // Packets refused so far, without taking the lock.
    [[nodiscard]] std::uint64_t RefusedCount() const {
        return refused_.load(std::memory_order_relaxed);
    }

    // Every count so far, as one consistent snapshot.
    [[nodiscard]] VerificationReport Report() const;

    // Writes every queue pair's sequence state to std::cout or `out`, the device ids in the
    // stream's current base; always VerifierStatusOK.
    VerifierStatus IdleChecker();
    VerifierStatus IdleChecker(std::ostream& out);

    // A copy of the first queue pair numbered qpNum on the first device devId.
    [[nodiscard]] std::optional<Qp> FindQp(unsigned int devId, unsigned int qpNum) const;

private:
    // Caller holds `mutex_` for all of these.
    rules::Outcome Decide(Device* device, Qp* pair, const RoceHeaders& headers);
    static rules::Outcome DecideBySendRules(Device& device, const Qp* pair, const Bth& packetBth);

    // The first device with that id; caller holds `mutex_`.
    const Device* FindDevice(unsigned int devId) const;
    Device* FindDevice(unsigned int devId);
    // The first registered pair on the device holding qpNum on either side.
    static const Qp* FindPair(const Device& device, std::uint32_t qpNum);
    static Qp* FindPair(Device& device, std::uint32_t qpNum);

    // Held for the whole of every call: the send-sequence check reads, compares
    // and writes one queue pair, and the report must not see half an update.
    mutable std::mutex mutex_;
    std::list<Device> devices_;
    std::ostream& out_;
    RuleSet rules_ = RuleSet::Send;
    std::uint32_t pathMtu_ = 1024;
    VerificationLedger ledger_;
    std::atomic<std::uint64_t> refused_{0};
};

// The path MTUs a reliable connection may have: 256, 512, 1024, 2048 and 4096 bytes.
[[nodiscard]] bool IsPathMtu(std::uint32_t bytes);
