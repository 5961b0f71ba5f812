#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "modifier/AimedFaults.h"
#include "transport/FrameView.h"

// One RoCE packet as a port of the bench saw it.
struct Sighting {
    std::int64_t timeNs = 0;
    FaultDirection direction = FaultDirection::ClientToServer;
    // Arriving at the bench (before any fault) or leaving it. Only arrivals are timed, so every
    // figure runs from arrival to arrival and the bench's own holding time stays out of it.
    bool arriving = true;
    std::uint32_t qp = 0;  // destination queue pair
    std::uint32_t psn = 0;
    std::uint8_t opcode = 0;
    std::optional<std::uint8_t> aethSyndrome;  // for opcodes that carry an AETH
};

// The sighting of a frame with a BTH; nothing for a frame without one.
[[nodiscard]] std::optional<Sighting> SightingOf(const FrameView& frame, FaultDirection direction,
                                                 bool arriving, std::int64_t timeNs);

enum class Retransmission : std::uint8_t { NotSeen, AfterNak, AfterTimeout };

// How the connection recovered from one firing; times in nanoseconds from the firing.
struct Recovery {
    Firing firing;
    // A drop or corruption of a request: the responder's PSN-sequence NAK naming the fired PSN,
    // and the next packet with the same queue pair and PSN that arrived (the retransmission).
    // It followed a NAK when, before it, a NAK to the requester named the fired PSN or an
    // earlier one (go-back-N resends from the named PSN on), and a timeout otherwise.
    std::optional<std::int64_t> nakNs;
    std::optional<std::int64_t> retransmitNs;
    Retransmission retransmission = Retransmission::NotSeen;
    // An ecn mark: the next congestion notification to the marked packet's sender.
    std::optional<std::int64_t> cnpNs;
};

struct FigureStats {
    std::size_t samples = 0;
    std::int64_t medianNs = 0;  // of an even number of samples, the mean of the middle two
    std::int64_t maxNs = 0;
};

// One rule's figures over its followed firings.
struct RuleRecovery {
    std::size_t followed = 0;
    std::uint64_t unfollowed = 0;  // firings past the tracker's capacity
    FigureStats nak;
    FigureStats retransmit;
    std::size_t afterNak = 0;
    std::size_t afterTimeout = 0;
    FigureStats cnp;
};

// The queue pair on the other end of a connection from `qp`; nothing when unknown. Called from
// the threads that report firings.
using PeerLookup = std::function<std::optional<std::uint32_t>(std::uint32_t qp)>;

// Times the recovery of the transport from aimed faults. Followed are drops and corruptions
// of requests (other packets have no NAK or retransmission of their own) and ecn marks; other
// firings are ignored. Feed each arriving packet to Observe before its own firing, if any, goes
// to Fired (the frame path logs before it injects), so that a firing's packet is not taken for
// its own retransmission. The first `keptRecoveries` followed firings are kept, which bounds
// memory and the work per packet. Every member may be called from any thread.
class RecoveryTracker {
public:
    explicit RecoveryTracker(PeerLookup peerOf, std::size_t keptRecoveries = std::size_t{1} << 16);
    RecoveryTracker(const RecoveryTracker&) = delete;
    RecoveryTracker& operator=(const RecoveryTracker&) = delete;

    void Observe(const Sighting& sighting);
    void Fired(const Firing& firing);

    // Followed firings in the order they were fired, with what has been seen so far.
    [[nodiscard]] std::vector<Recovery> Recoveries() const;
    // Index 0 for rule 1; rules never followed get zeros.
    [[nodiscard]] std::vector<RuleRecovery> PerRule(std::size_t ruleCount) const;

private:
    struct Entry {
        Recovery recovery;
        std::uint64_t nakKey = 0;  // where the NAK would go; valid when waiting for one
        bool waitsForNak = false;
        bool nakSeen = false;
    };
    using Waiting = std::unordered_map<std::uint64_t, std::vector<std::size_t>>;

    void ResolveRetransmission(const Sighting& sighting);
    void NoteNak(const Sighting& sighting);
    void ResolveCongestionNotice(const Sighting& sighting);

    const PeerLookup peerOf_;
    const std::size_t keptRecoveries_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::vector<std::uint64_t> unfollowed_;  // per rule, index 0 for rule 1
    Waiting retransmissions_;                // by direction, queue pair and PSN of the request
    Waiting naks_;                           // by direction and queue pair of the requester
    Waiting congestionNotices_;              // by direction and queue pair of the sender
};
