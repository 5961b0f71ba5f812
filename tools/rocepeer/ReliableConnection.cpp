#include "tools/rocepeer/ReliableConnection.h"

#include <algorithm>

#include "tools/rocepeer/RoceFrames.h"
#include "transport/Bth.h"
#include "transport/Opcode.h"

namespace roceframes {
namespace {

// PSNs less than half the space behind the expected one count as old.
constexpr std::uint32_t kHalfPsnSpace = 1u << 23;

bool EndsMessage(std::uint8_t value) {
    const opcode::Info* info = opcode::Find(value);
    return info != nullptr && info->IsRequest() &&
           (info->position == opcode::Position::Last || info->position == opcode::Position::Only);
}

bool Answerable(std::optional<std::uint32_t> readLength) {
    return readLength && *readLength <= kMaxReadLength;
}

opcode::Position PositionOf(std::uint32_t packet, std::uint32_t packets) {
    if (packets == 1) {
        return opcode::Position::Only;
    }
    return packet == 0             ? opcode::Position::First
           : packet + 1 == packets ? opcode::Position::Last
                                   : opcode::Position::Middle;
}

std::uint8_t OpcodeFor(Operation operation, opcode::Position position) {
    using namespace opcode;
    // By operation, then by position: first, middle, last, only.
    static constexpr std::uint8_t kOpcodes[4][4] = {
        {kSendFirst, kSendMiddle, kSendLast, kSendOnly},
        {kRdmaWriteFirst, kRdmaWriteMiddle, kRdmaWriteLast, kRdmaWriteOnly},
        {kRdmaWriteFirst, kRdmaWriteMiddle, kRdmaWriteLastWithImmediate,
         kRdmaWriteOnlyWithImmediate},
        {kRdmaReadRequest, kRdmaReadRequest, kRdmaReadRequest, kRdmaReadRequest},
    };
    return kOpcodes[static_cast<int>(operation)][static_cast<int>(position)];
}

}  // namespace

std::uint32_t PsnAdd(std::uint32_t psn, std::uint32_t n) {
    return (psn + n) & kPsnMask;
}

std::uint32_t PsnDistance(std::uint32_t from, std::uint32_t to) {
    return (to - from) & kPsnMask;
}

std::uint32_t PsnSpan(std::uint8_t value, std::uint32_t readLength, std::uint32_t mtu) {
    if (value != opcode::kRdmaReadRequest || mtu == 0) {
        return 1;
    }
    const std::uint64_t packets = (std::uint64_t{readLength} + mtu - 1) / mtu;
    return static_cast<std::uint32_t>(std::max<std::uint64_t>(1, packets));
}

std::uint8_t RemoteByte(std::uint64_t address) {
    // Mixed, so that a piece of data at the wrong place does not look right.
    return static_cast<std::uint8_t>(((address ^ (address >> 11)) * 0x9E3779B97F4A7C15ull) >> 56);
}

std::vector<std::uint8_t> RemoteBytes(std::uint64_t address, std::uint32_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::uint32_t i = 0; i < length; ++i) {
        bytes[i] = RemoteByte(address + i);
    }
    return bytes;
}

Reply ResponderQp::AckFor(std::uint32_t psn) const {
    return Reply{Reply::Kind::Acknowledge, psn, kSyndromeAck, msn_ & kPsnMask};
}

std::optional<Reply> ResponderQp::OnPacket(std::uint8_t opcode, std::uint32_t psn, bool ackReq,
                                           std::optional<std::uint32_t> readLength) {
    if (!started_) {
        expected_ = psn & kPsnMask;
        started_ = true;
    }
    if (PsnDistance(expected_, psn) != 0) {
        return PsnDistance(psn, expected_) <= kHalfPsnSpace ? OnDuplicate(opcode, psn, readLength)
                                                            : OnOutOfOrder();
    }
    const bool read = opcode == opcode::kRdmaReadRequest;
    if (read && !Answerable(readLength)) {
        ++naks_;
        return Reply{Reply::Kind::Acknowledge, psn, kSyndromeInvalidRequest, msn_ & kPsnMask};
    }
    ++accepted_;
    nakSent_ = false;
    if (EndsMessage(opcode)) {
        ++msn_;
    }
    expected_ = PsnAdd(expected_, PsnSpan(opcode, readLength.value_or(0), mtu_));
    if (read) {
        return Reply{Reply::Kind::ReadResponse, psn, kSyndromeAck, msn_ & kPsnMask};
    }
    return ackReq ? std::optional<Reply>(AckFor(psn)) : std::nullopt;
}

std::optional<Reply> ResponderQp::OnDuplicate(std::uint8_t opcode, std::uint32_t psn,
                                              std::optional<std::uint32_t> readLength) {
    ++duplicates_;
    // A READ whose response was lost is answered again: the memory it reads has not changed.
    if (opcode == opcode::kRdmaReadRequest && Answerable(readLength) &&
        PsnDistance(psn, expected_) >= PsnSpan(opcode, *readLength, mtu_)) {
        return Reply{Reply::Kind::ReadResponse, psn, kSyndromeAck, msn_ & kPsnMask};
    }
    // The requester missed our acknowledgement: repeat the newest one.
    return AckFor(PsnAdd(expected_, kPsnMask));
}

std::optional<Reply> ResponderQp::OnOutOfOrder() {
    ++outOfOrder_;
    if (nakSent_) {
        return std::nullopt;
    }
    nakSent_ = true;
    ++naks_;
    return Reply{Reply::Kind::Acknowledge, expected_, kSyndromePsnSequenceError, msn_ & kPsnMask};
}

std::uint64_t RemoteAddressOf(std::uint32_t message) {
    return (std::uint64_t{message} + 1) << 32;
}

std::vector<PlannedPacket> PlanMessages(std::uint32_t count,
                                        const std::vector<std::uint32_t>& sizes, std::uint32_t mtu,
                                        const std::vector<Operation>& operations) {
    std::vector<PlannedPacket> plan;
    if (sizes.empty() || operations.empty() || mtu == 0) {
        return plan;
    }
    std::uint64_t psnOffset = 0;
    for (std::uint32_t m = 0; m < count; ++m) {
        const std::uint32_t size = sizes[m % sizes.size()];
        const Operation operation = operations[m % operations.size()];
        const bool read = operation == Operation::Read;
        const std::uint32_t packets = read ? 1 : std::max<std::uint32_t>(1, (size + mtu - 1) / mtu);
        for (std::uint32_t p = 0; p < packets; ++p) {
            PlannedPacket packet;
            packet.message = m;
            packet.operation = operation;
            packet.opcode = OpcodeFor(operation, PositionOf(p, packets));
            packet.offset = p * mtu;
            packet.length = read ? 0 : std::min(mtu, size - packet.offset);
            packet.lastOfMessage = p + 1 == packets;
            packet.messageLength = size;
            packet.psnOffset = psnOffset;
            packet.psnSpan = PsnSpan(packet.opcode, size, mtu);
            psnOffset += packet.psnSpan;
            plan.push_back(packet);
        }
    }
    return plan;
}

GoBackN::GoBackN(const std::vector<PlannedPacket>& plan, std::uint32_t startPsn, std::size_t window)
    : startPsn_(startPsn), window_(window) {
    slots_.reserve(plan.size());
    for (const PlannedPacket& packet : plan) {
        slots_.push_back(
            Slot{packet.psnOffset, packet.psnSpan, packet.opcode == opcode::kRdmaReadRequest});
    }
}

bool GoBackN::CanSend() const {
    // Beyond half the PSN space an old PSN could not be told from a new one.
    return next_ < slots_.size() && next_ - base_ < window_ &&
           slots_[next_].End() - slots_[base_].psnOffset <= kHalfPsnSpace;
}

bool GoBackN::MarkSent() {
    const bool again = next_ < highestSent_;
    ++next_;
    highestSent_ = std::max(highestSent_, next_);
    return again;
}

std::uint32_t GoBackN::PsnOf(std::size_t index) const {
    return PsnAdd(startPsn_, static_cast<std::uint32_t>(slots_[index].psnOffset & kPsnMask));
}

std::optional<std::uint64_t> GoBackN::OutstandingOffset(std::uint32_t psn, bool orNext) const {
    if (base_ >= highestSent_) {
        return std::nullopt;
    }
    const std::uint64_t from = slots_[base_].psnOffset;
    const std::uint64_t sent = slots_[highestSent_ - 1].End() - from;
    const std::uint32_t distance = PsnDistance(PsnOf(base_), psn);
    if (distance < sent || (orNext && distance == sent)) {
        return from + distance;
    }
    return std::nullopt;
}

std::optional<std::size_t> GoBackN::Outstanding(std::uint32_t psn) const {
    const auto offset = OutstandingOffset(psn);
    if (!offset) {
        return std::nullopt;
    }
    const auto after = std::upper_bound(
        slots_.begin() + static_cast<std::ptrdiff_t>(base_),
        slots_.begin() + static_cast<std::ptrdiff_t>(highestSent_), *offset,
        [](std::uint64_t value, const Slot& slot) { return value < slot.psnOffset; });
    return static_cast<std::size_t>(after - slots_.begin()) - 1;
}

bool GoBackN::CompleteBefore(std::uint64_t end) {
    const std::size_t before = base_;
    while (base_ < highestSent_ && slots_[base_].End() <= end && !slots_[base_].read) {
        ++base_;
    }
    next_ = std::max(next_, base_);
    return base_ != before;
}

void GoBackN::RewindForLostResponse() {
    // Every later answer would rewind again while the first resend is on its way.
    if (rewoundAt_ != base_) {
        rewoundAt_ = base_;
        next_ = base_;
    }
}

bool GoBackN::OnAck(std::uint32_t psn) {
    const auto offset = OutstandingOffset(psn);
    if (!offset) {
        return false;
    }
    const bool progress = CompleteBefore(*offset + 1);
    if (base_ < highestSent_ && slots_[base_].read && slots_[base_].psnOffset <= *offset) {
        RewindForLostResponse();
    }
    return progress;
}

bool GoBackN::OnNak(std::uint32_t psn) {
    // The NAK names the first missing PSN, which may be the next unsent one only if everything
    // before it arrived.
    const auto offset = OutstandingOffset(psn, true);
    if (!offset) {
        return false;
    }
    CompleteBefore(*offset);
    next_ = base_;
    return true;
}

std::uint8_t GoBackN::ExpectedResponseOpcode() const {
    return ReadResponseOpcode(responsesIn_, slots_[base_].psnSpan);
}

bool GoBackN::OnReadResponse(std::uint32_t psn, std::uint8_t opcode) {
    const auto index = Outstanding(psn);
    if (!index || !slots_[*index].read) {
        return false;
    }
    // A response also acknowledges every request before its own.
    const bool acked = CompleteBefore(slots_[*index].psnOffset);
    if (base_ != *index) {
        RewindForLostResponse();  // that of an older READ
        return acked;
    }
    const std::uint32_t at = PsnDistance(PsnOf(base_), psn);
    if (at != responsesIn_ || opcode != ExpectedResponseOpcode()) {
        if (at > responsesIn_) {
            RewindForLostResponse();
        }
        return acked;
    }
    if (++responsesIn_ == slots_[base_].psnSpan) {
        responsesIn_ = 0;
        ++base_;
        next_ = std::max(next_, base_);
    }
    return true;
}

void GoBackN::OnTimeout() {
    next_ = base_;
    rewoundAt_.reset();
}

bool CnpPacer::Allow(std::uint32_t qp, Clock::time_point now) {
    const auto [last, first] = lastSent_.try_emplace(qp, now);
    if (first) {
        return true;
    }
    if (now - last->second < interval_) {
        return false;
    }
    last->second = now;
    return true;
}

}  // namespace roceframes
