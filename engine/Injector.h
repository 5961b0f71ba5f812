#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "modifier/AimedFaults.h"
#include "modifier/FaultBuffer.h"
#include "modifier/RecoveryTracker.h"
#include "transport/FrameView.h"
#include "wire/Sender.h"
#include "wire/SpscRing.h"

namespace engine {

// Where an injector's releases go, a few at a time (at most wire::SendBatch::kCapacity): out of
// the other port. The views and their bytes are valid during the call only.
using ReleaseSink = std::function<void(const FrameView* frames, std::size_t count)>;
// Where an injector tells what it decided for a packet, with the packet as it arrived at
// `arrivalNs` (empty comment: passed on untouched).
using DecisionRecord =
    std::function<void(std::int64_t arrivalNs, const FrameView& frame, std::string_view comment)>;

// One direction's fault injector: RoCE packets enter by Offer on the capture thread of their port,
// pass to the injector's own forwarding thread through a ring that takes no lock, and what the
// injector releases (after any delay) goes to the sink. Configure, Place and Start run before any
// Offer; RequestStop, Join and the reports run on the controlling thread.
class Injector {
public:
    // `label` names the port direction that feeds the injector, e.g. "enp1s0f1 in".
    Injector(std::string label, ReleaseSink target, int limit,
             RandomSource random = CLibraryRandom);
    ~Injector();
    Injector(const Injector&) = delete;
    Injector& operator=(const Injector&) = delete;

    void Configure(const ModifierParams& params) { policy_.Configure(params); }
    // Aimed faults for the packets of `direction`, tried before the weights, each firing told
    // to `recovery` (may be null); `clock` gives the firings' times, nanoseconds since 1970.
    // Both objects outlive the injector.
    void Aim(AimedFaults* faults, RecoveryTracker* recovery, FaultDirection direction,
             std::int64_t (*clock)());
    // Tells every packet's fate to `record`, the verifier's note of its arrival after it; before
    // Start. A packet still undecided at the stop is told as held.
    void Record(DecisionRecord record) { record_ = std::move(record); }
    // The CPUs the forwarding thread may run on (none: wherever the scheduler puts it).
    void Place(std::vector<int> cpus) { cpus_ = std::move(cpus); }
    // Throws wire::Error when the forwarding thread cannot start.
    void Start();

    // Takes a copy of the frame, which arrived at `arrivalNs` and of which the verifier said
    // `note`; false when it is refused, counted, because `limit` are held. Only ever from one
    // thread, which calls Wake after a batch of offers.
    bool Offer(const FrameView& frame, std::int64_t arrivalNs = 0, std::string_view note = {});
    // Wakes the forwarding thread if it sleeps for want of packets.
    void Wake() { arrivals_.Wake(); }

    // Ends forwarding after the packets in hand (a packet in its delay leaves at once); packets
    // held then are never sent. RequestStop does not wait; Join does, and is idempotent.
    void RequestStop();
    void Join();

    [[nodiscard]] OperationCounters Counters() const;
    [[nodiscard]] std::uint64_t Refused() const { return refused_.load(); }
    [[nodiscard]] int Held() const;
    // One line each on refused packets and on packets held at the stop; nothing when none.
    void WriteReport(std::ostream& out) const;

private:
    // A copy of an offered frame; the view reads the copy.
    struct Packet {
        std::vector<std::uint8_t> bytes;
        FrameView view;
        // The aimed fault that took it, carried out when the packet's turn comes.
        std::optional<Firing> firing;
        std::int64_t arrivalNs = 0;
        std::string note;  // the verifier's, kept for the record
    };
    // The packets the forwarding thread holds, oldest first; a release may take any of them.
    class HeldPackets {
    public:
        explicit HeldPackets(std::size_t capacity) : slots_(capacity) {}
        [[nodiscard]] std::size_t Size() const { return size_; }
        [[nodiscard]] Packet* Front() { return At(0); }
        void Push(Packet* packet);
        Packet* Take(std::size_t index);

    private:
        Packet*& At(std::size_t index) { return slots_[(head_ + index) % slots_.size()]; }
        std::vector<Packet*> slots_;
        std::size_t head_ = 0;
        std::size_t size_ = 0;
    };

    Packet* FreePacket();
    void ForwardReleases();
    void TakeArrivals();
    void ReleaseOne();
    void WaitOut(std::chrono::steady_clock::time_point deadline);
    void SendInHand();
    void Recycle(Packet* packet);
    // Aimed faults: whether a rule took the packet, and what became of it then.
    bool TakenByRule(Packet* packet);
    void ApplyOwnFault(Packet* packet);
    void Apply(const Firing& firing, Packet* packet);
    void Duplicate(Packet* packet);
    void ReleaseDueDelays();
    void ReleaseDelays(std::chrono::steady_clock::time_point until);
    std::optional<std::chrono::steady_clock::time_point> NextDelayEnd() const;
    // Into the batch being sent; packets held for a reorder follow it.
    void Emit(Packet* packet);
    void EmitReordered();
    void AddToBatch(Packet* packet);
    // The record of the packet as it arrived, before a fault changes its bytes.
    void RecordDecision(const Packet& packet, std::string_view decision);
    void RecordWeighted(const Packet& packet, const ReleasePolicy::Decision& decision);
    void RecordFiring(const Packet& packet, const Firing& firing, std::string_view more = {});
    void RecordUndecided();

    const std::string label_;
    const ReleaseSink target_;
    DecisionRecord record_;
    std::string comment_;  // the record's, reused; forwarding thread only
    const int limit_;
    std::vector<int> cpus_;
    // Every packet buffer there is, made by the offering thread as it needs them and reused.
    std::vector<std::unique_ptr<Packet>> packets_;
    wire::SpscRing<Packet*> arrivals_;
    wire::SpscRing<Packet*> recycled_;
    // Forwarding thread only, once started.
    ReleasePolicy policy_;
    HeldPackets held_;
    std::vector<Packet*> inHand_;
    AimedFaults* aimed_ = nullptr;
    RecoveryTracker* recovery_ = nullptr;
    FaultDirection direction_ = FaultDirection::ClientToServer;
    std::int64_t (*clock_)() = nullptr;
    // Packets an aimed fault holds: until their time is up, or until the next packet has left.
    std::multimap<std::chrono::steady_clock::time_point, Packet*> delayed_;
    std::vector<Packet*> reordered_;
    // Draws of the weights that a rule's packet picked by a reorder episode overrode.
    OperationCounters overridden_{};
    std::array<FrameView, wire::SendBatch::kCapacity> inHandViews_{};
    std::array<std::atomic<std::int64_t>, OPERATION_LAST> counters_{};
    std::atomic<std::uint64_t> offered_{0};
    std::atomic<std::uint64_t> taken_{0};
    std::atomic<std::uint64_t> refused_{0};
    std::atomic<bool> running_{false};
    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    std::thread thread_;
};

}  // namespace engine
