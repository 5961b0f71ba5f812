#include "tools/rocepeer/ReliableConnection.h"

#include <algorithm>

#include "tools/rocepeer/RoceFrames.h"
#include "transport/Bth.h"

namespace roceframes {
namespace {

// PSNs less than half the space behind the expected one count as old.
constexpr std::uint32_t kHalfPsnSpace = 1u << 23;

bool EndsMessage(std::uint8_t opcode) {
    return opcode == SEND_LAST || opcode == SEND_ONLY;
}

}  // namespace

std::uint32_t PsnAdd(std::uint32_t psn, std::uint32_t n) {
    return (psn + n) & kPsnMask;
}

std::uint32_t PsnDistance(std::uint32_t from, std::uint32_t to) {
    return (to - from) & kPsnMask;
}

AckReply ResponderQp::AckFor(std::uint32_t psn) const {
    return AckReply{psn, kSyndromeAck, msn_ & kPsnMask};
}

std::optional<AckReply> ResponderQp::OnPacket(std::uint8_t opcode, std::uint32_t psn, bool ackReq) {
    if (!started_) {
        expected_ = psn & kPsnMask;
        started_ = true;
    }
    const std::uint32_t ahead = PsnDistance(expected_, psn);
    if (ahead == 0) {
        ++accepted_;
        nakSent_ = false;
        if (EndsMessage(opcode)) {
            ++msn_;
        }
        expected_ = PsnAdd(expected_, 1);
        return ackReq ? std::optional<AckReply>(AckFor(psn)) : std::nullopt;
    }
    if (PsnDistance(psn, expected_) <= kHalfPsnSpace) {
        // The requester missed our acknowledgement: repeat the newest one.
        ++duplicates_;
        return AckFor(PsnAdd(expected_, kPsnMask));
    }
    ++outOfOrder_;
    if (nakSent_) {
        return std::nullopt;
    }
    nakSent_ = true;
    ++naks_;
    return AckReply{expected_, kSyndromePsnSequenceError, msn_ & kPsnMask};
}

std::vector<PlannedPacket> PlanMessages(std::uint32_t count,
                                        const std::vector<std::uint32_t>& sizes,
                                        std::uint32_t mtu) {
    std::vector<PlannedPacket> plan;
    for (std::uint32_t m = 0; m < count && !sizes.empty() && mtu > 0; ++m) {
        const std::uint32_t size = sizes[m % sizes.size()];
        const std::uint32_t packets = std::max<std::uint32_t>(1, (size + mtu - 1) / mtu);
        for (std::uint32_t p = 0; p < packets; ++p) {
            PlannedPacket packet;
            packet.message = m;
            packet.offset = p * mtu;
            packet.length = std::min(mtu, size - packet.offset);
            packet.lastOfMessage = p + 1 == packets;
            if (packets == 1) {
                packet.opcode = SEND_ONLY;
            } else {
                packet.opcode = p == 0                 ? SEND_FIRST
                                : packet.lastOfMessage ? SEND_LAST
                                                       : SEND_MIDLLE;
            }
            plan.push_back(packet);
        }
    }
    return plan;
}

bool GoBackN::MarkSent() {
    const bool again = next_ < highestSent_;
    ++next_;
    highestSent_ = std::max(highestSent_, next_);
    return again;
}

std::uint32_t GoBackN::PsnOf(std::size_t index) const {
    return PsnAdd(startPsn_, static_cast<std::uint32_t>(index & kPsnMask));
}

std::optional<std::size_t> GoBackN::OutstandingIndex(std::uint32_t psn) const {
    const std::size_t offset = PsnDistance(PsnOf(base_), psn);
    if (offset >= highestSent_ - base_) {
        return std::nullopt;
    }
    return base_ + offset;
}

bool GoBackN::OnAck(std::uint32_t psn) {
    const auto index = OutstandingIndex(psn);
    if (!index) {
        return false;
    }
    base_ = *index + 1;
    next_ = std::max(next_, base_);
    return true;
}

bool GoBackN::OnNak(std::uint32_t psn) {
    // The NAK names the first missing packet, which may be the next unsent one
    // only if everything before it arrived; both lie in [base, highestSent].
    const std::size_t offset = PsnDistance(PsnOf(base_), psn);
    if (offset > highestSent_ - base_) {
        return false;
    }
    base_ += offset;
    next_ = base_;
    return true;
}

}  // namespace roceframes
