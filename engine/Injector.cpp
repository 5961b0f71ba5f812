#include "engine/Injector.h"

#include <array>
#include <system_error>
#include <utility>

#include "engine/Notes.h"
#include "modifier/FrameMutators.h"
#include "wire/Error.h"
#include "wire/LossReport.h"
#include "wire/Placement.h"

namespace engine {

namespace {

// A delay sleeps until this long before its end and spins the rest, since a sleeping thread
// wakes some tens of microseconds late.
constexpr std::chrono::microseconds kSpinBeforeDeadline{200};

std::size_t RingCapacity(int limit) {
    return static_cast<std::size_t>(limit > 0 ? limit : 1);
}

}  // namespace

void Injector::HeldPackets::Push(Packet* packet) {
    At(size_++) = packet;
}

// Releases take from near the front (a reorder's pop point is at most 10), so the packets before
// the one taken move up by one.
Injector::Packet* Injector::HeldPackets::Take(std::size_t index) {
    Packet* packet = At(index);
    for (std::size_t i = index; i > 0; --i) {
        At(i) = At(i - 1);
    }
    head_ = (head_ + 1) % slots_.size();
    --size_;
    return packet;
}

Injector::Injector(std::string label, ReleaseSink target, int limit, RandomSource random)
    : label_(std::move(label)),
      target_(std::move(target)),
      limit_(limit),
      arrivals_(RingCapacity(limit)),
      // A batch in hand may be on its way back while the offering side already fills up again.
      recycled_(RingCapacity(limit) + 2 * wire::SendBatch::kCapacity),
      policy_(std::move(random)),
      held_(arrivals_.Capacity()) {
    inHand_.reserve(wire::SendBatch::kCapacity);
}

Injector::~Injector() {
    Join();
}

void Injector::Start() {
    if (thread_.joinable()) {
        return;
    }
    running_ = true;
    try {
        thread_ = std::thread([this] { ForwardReleases(); });
    } catch (const std::system_error& e) {
        running_ = false;
        throw wire::Error(label_, std::string("cannot start its forwarding thread: ") + e.what());
    }
}

bool Injector::Offer(const FrameView& frame, std::int64_t arrivalNs, std::string_view note) {
    // Only the one offering thread adds, so what is held cannot grow between check and add.
    if (offered_.load(std::memory_order_relaxed) - taken_.load(std::memory_order_acquire) >=
        static_cast<std::uint64_t>(limit_)) {
        refused_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    Packet* packet = FreePacket();
    packet->bytes.assign(frame.data, frame.data + frame.size);
    packet->view = frame;
    packet->firing.reset();
    packet->view.data = packet->bytes.data();
    packet->arrivalNs = arrivalNs;
    packet->note.assign(note);
    // Counted before the push publishes it, so what is held never reads below zero.
    offered_.fetch_add(1, std::memory_order_relaxed);
    // Cannot fail: the ring holds `limit` and fewer than that are on their way.
    static_cast<void>(arrivals_.TryPush(packet));
    return true;
}

// Buffers come back once sent or dropped; new ones are made only while the traffic's high
// water mark rises.
Injector::Packet* Injector::FreePacket() {
    if (auto reused = recycled_.TryPop()) {
        return *reused;
    }
    packets_.push_back(std::make_unique<Packet>());
    return packets_.back().get();
}

void Injector::ForwardReleases() {
    if (!cpus_.empty()) {
        // Unplaced it still forwards; Bench checked the CPUs beforehand.
        static_cast<void>(wire::PinCurrentThread(cpus_));
    }
    while (running_.load()) {
        TakeArrivals();
        ReleaseDueDelays();
        if (held_.Size() == 0) {
            SendInHand();
            if (!arrivals_.WaitForItem(NextDelayEnd())) {
                break;
            }
            continue;
        }
        ReleaseOne();
    }
    // A packet in an aimed delay leaves at once, as one in a weighted delay does.
    ReleaseDelays(std::chrono::steady_clock::time_point::max());
    SendInHand();
    RecordUndecided();
}

void Injector::TakeArrivals() {
    while (auto packet = arrivals_.TryPop()) {
        if (!TakenByRule(*packet)) {
            held_.Push(*packet);
        }
    }
}

void Injector::Aim(AimedFaults* faults, RecoveryTracker* recovery, FaultDirection direction,
                   std::int64_t (*clock)()) {
    aimed_ = faults;
    recovery_ = recovery;
    direction_ = direction;
    clock_ = clock;
}

bool Injector::TakenByRule(Packet* packet) {
    if (aimed_ == nullptr) {
        return false;
    }
    const std::optional<PacketKey> key = KeyOf(packet->view, direction_);
    if (!key) {
        return false;
    }
    const std::optional<Firing> firing = aimed_->Match(*key, clock_());
    if (!firing) {
        return false;
    }
    if (recovery_ != nullptr) {
        recovery_->Fired(*firing);
    }
    // Behind packets still waiting for the weights it waits its turn, so that a fault that
    // passes it on never makes it overtake them.
    if (held_.Size() > 0) {
        packet->firing = firing;
        held_.Push(packet);
    } else {
        Apply(*firing, packet);
    }
    return true;
}

void Injector::ApplyOwnFault(Packet* packet) {
    const Firing firing = *packet->firing;
    packet->firing.reset();
    Apply(firing, packet);
}

// A packet a rule holds still counts as held until it leaves, so the limit covers it too.
void Injector::Apply(const Firing& firing, Packet* packet) {
    std::uint8_t* bytes = packet->bytes.data();
    const std::size_t size = packet->bytes.size();
    // Told once it is carried out, as it arrived; a reordered packet once it leaves.
    if (firing.action != FaultAction::Reorder) {
        RecordFiring(*packet, firing);
    }
    switch (firing.action) {
        case FaultAction::Drop:
            taken_.fetch_add(1, std::memory_order_release);
            Recycle(packet);
            return;
        case FaultAction::Delay:
            delayed_.emplace(
                std::chrono::steady_clock::now() + std::chrono::milliseconds(firing.delayMs),
                packet);
            return;
        case FaultAction::Reorder:
            packet->firing = firing;
            reordered_.push_back(packet);
            return;
        case FaultAction::Duplicate:
            Duplicate(packet);
            return;
        case FaultAction::Corrupt:
            static_cast<void>(CorruptAfterBth(bytes, size, packet->view));
            break;
        case FaultAction::Ecn:
            static_cast<void>(MarkCongestion(bytes, size, packet->view));
            break;
    }
    taken_.fetch_add(1, std::memory_order_release);
    Emit(packet);
}

// Both copies leave in one batch of their own, after what was released before.
void Injector::Duplicate(Packet* packet) {
    SendInHand();
    taken_.fetch_add(1, std::memory_order_release);
    const std::array<FrameView, 2> twice{packet->view, packet->view};
    if (target_) {
        target_(twice.data(), twice.size());
    }
    Recycle(packet);
    EmitReordered();
}

void Injector::Emit(Packet* packet) {
    AddToBatch(packet);
    EmitReordered();
}

void Injector::EmitReordered() {
    for (Packet* held : std::exchange(reordered_, {})) {
        RecordFiring(*held, *held->firing);
        held->firing.reset();
        taken_.fetch_add(1, std::memory_order_release);
        AddToBatch(held);
    }
}

void Injector::AddToBatch(Packet* packet) {
    inHand_.push_back(packet);
    if (inHand_.size() == wire::SendBatch::kCapacity) {
        SendInHand();
    }
}

void Injector::ReleaseDueDelays() {
    ReleaseDelays(std::chrono::steady_clock::now());
}

void Injector::ReleaseDelays(std::chrono::steady_clock::time_point until) {
    while (!delayed_.empty() && delayed_.begin()->first <= until) {
        Packet* packet = delayed_.begin()->second;
        delayed_.erase(delayed_.begin());
        taken_.fetch_add(1, std::memory_order_release);
        Emit(packet);
    }
}

std::optional<std::chrono::steady_clock::time_point> Injector::NextDelayEnd() const {
    if (delayed_.empty()) {
        return std::nullopt;
    }
    return delayed_.begin()->first;
}

void Injector::ReleaseOne() {
    // A packet a rule took is not drawn for.
    if (held_.Front()->firing) {
        ApplyOwnFault(held_.Take(0));
        return;
    }
    const OperationCounters before = policy_.Counters();
    const ReleasePolicy::Decision decision = policy_.Decide(held_.Size());
    Packet* packet = held_.Take(decision.index);
    if (packet->firing) {
        // Picked out of order by a reordering episode: the rule still decides, and the draw,
        // which did not take effect, is not counted.
        for (std::size_t i = 0; i < OPERATION_LAST; ++i) {
            overridden_[i] += policy_.Counters()[i] - before[i];
        }
        ApplyOwnFault(packet);
        return;
    }
    for (std::size_t i = 0; i < OPERATION_LAST; ++i) {
        counters_[i].store(policy_.Counters()[i] - overridden_[i], std::memory_order_relaxed);
    }
    RecordWeighted(*packet, decision);
    taken_.fetch_add(1, std::memory_order_release);
    if (decision.delayMs > 0) {
        // What was released before leaves before the delay, not after it.
        SendInHand();
        WaitOut(std::chrono::steady_clock::now() + std::chrono::milliseconds(decision.delayMs));
    }
    if (decision.operation == OPERATION_DROP) {
        Recycle(packet);
        return;
    }
    Emit(packet);
}

// Sleeps through most of the delay, spins the rest; a stop ends it at once.
void Injector::WaitOut(std::chrono::steady_clock::time_point deadline) {
    {
        std::unique_lock<std::mutex> lock(stopMutex_);
        stopSignal_.wait_until(lock, deadline - kSpinBeforeDeadline,
                               [this] { return !running_.load(); });
    }
    while (running_.load(std::memory_order_relaxed) &&
           std::chrono::steady_clock::now() < deadline) {
    }
}

void Injector::SendInHand() {
    if (inHand_.empty()) {
        return;
    }
    for (std::size_t i = 0; i < inHand_.size(); ++i) {
        inHandViews_[i] = inHand_[i]->view;
    }
    if (target_) {
        target_(inHandViews_.data(), inHand_.size());
    }
    for (Packet* packet : inHand_) {
        Recycle(packet);
    }
    inHand_.clear();
}

void Injector::Recycle(Packet* packet) {
    // A ring that is full only means that buffer stays unused until the end.
    static_cast<void>(recycled_.TryPush(packet));
}

void Injector::RecordDecision(const Packet& packet, std::string_view decision) {
    comment_.assign(decision);
    AppendNote(comment_, packet.note);
    record_(packet.arrivalNs, packet.view, comment_);
}

// A packet that leaves before older ones was reordered, whatever the draw was.
void Injector::RecordWeighted(const Packet& packet, const ReleasePolicy::Decision& decision) {
    if (!record_) {
        return;
    }
    std::string decided;
    if (decision.operation == OPERATION_DROP) {
        decided = "drop";
    } else if (decision.operation == OPERATION_DELAY) {
        decided = "delay " + std::to_string(decision.delayMs) + " ms";
    }
    if (decision.index > 0 && decision.operation != OPERATION_DROP) {
        AppendNote(decided, "reorder");
    }
    RecordDecision(packet, decided);
}

void Injector::RecordFiring(const Packet& packet, const Firing& firing, std::string_view more) {
    if (!record_) {
        return;
    }
    std::string decided = "rule " + std::to_string(firing.rule) + ": ";
    decided += Name(firing.action);
    if (firing.action == FaultAction::Delay) {
        decided += " " + std::to_string(firing.delayMs) + " ms";
    }
    AppendNote(decided, more);
    RecordDecision(packet, decided);
}

// The packets no decision reached before the stop: they were never sent.
void Injector::RecordUndecided() {
    if (!record_) {
        return;
    }
    constexpr std::string_view kHeld = "held at the stop, not sent";
    for (std::size_t i = 0; i < held_.Size(); ++i) {
        Packet* packet = held_.Take(0);
        if (packet->firing) {
            RecordFiring(*packet, *packet->firing, kHeld);
        } else {
            RecordDecision(*packet, kHeld);
        }
        held_.Push(packet);
    }
    for (const Packet* packet : reordered_) {
        RecordFiring(*packet, *packet->firing, kHeld);
    }
    // Left in the ring, they still count as held.
    while (auto packet = arrivals_.TryPop()) {
        RecordDecision(**packet, kHeld);
        held_.Push(*packet);
    }
}

void Injector::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        running_ = false;
    }
    stopSignal_.notify_all();
    arrivals_.Interrupt();
}

void Injector::Join() {
    if (thread_.joinable()) {
        RequestStop();
        thread_.join();
    }
}

OperationCounters Injector::Counters() const {
    OperationCounters counters{};
    for (std::size_t i = 0; i < OPERATION_LAST; ++i) {
        counters[i] = counters_[i].load(std::memory_order_relaxed);
    }
    return counters;
}

int Injector::Held() const {
    return static_cast<int>(offered_.load(std::memory_order_acquire) -
                            taken_.load(std::memory_order_acquire));
}

void Injector::WriteReport(std::ostream& out) const {
    for (const std::string& line :
         wire::InjectorLines(label_, Refused(), limit_, static_cast<std::uint64_t>(Held()))) {
        out << line << std::endl;
    }
}

}  // namespace engine
