#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// The reliable-connection rules of rocepeer, free of sockets so that they can
// be tested on their own.
namespace roceframes {

// 24-bit PSN arithmetic.
std::uint32_t PsnAdd(std::uint32_t psn, std::uint32_t n);
// How far `to` lies after `from`, modulo 2^24.
std::uint32_t PsnDistance(std::uint32_t from, std::uint32_t to);

// An acknowledgement the responder owes: AETH syndrome, PSN and message count.
struct AckReply {
    std::uint32_t psn = 0;
    std::uint8_t syndrome = 0;
    std::uint32_t msn = 0;
};

// Receiving side of one queue pair: accepts packets in PSN order only.
class ResponderQp {
public:
    // Without a start PSN the first packet's PSN is taken as the expected one.
    explicit ResponderQp(std::optional<std::uint32_t> startPsn = std::nullopt)
        : expected_(startPsn.value_or(0)), started_(startPsn.has_value()) {}

    // Applies one request packet; returns the acknowledgement or NAK to send.
    std::optional<AckReply> OnPacket(std::uint8_t opcode, std::uint32_t psn, bool ackReq);

    std::uint32_t ExpectedPsn() const { return expected_; }
    std::uint64_t Accepted() const { return accepted_; }
    std::uint64_t Messages() const { return msn_; }
    std::uint64_t Duplicates() const { return duplicates_; }
    std::uint64_t Naks() const { return naks_; }
    std::uint64_t OutOfOrder() const { return outOfOrder_; }

private:
    AckReply AckFor(std::uint32_t psn) const;

    std::uint32_t expected_;
    bool started_;
    bool nakSent_ = false;
    std::uint32_t msn_ = 0;
    std::uint64_t accepted_ = 0;
    std::uint64_t duplicates_ = 0;
    std::uint64_t naks_ = 0;
    std::uint64_t outOfOrder_ = 0;
};

// One packet of a planned message stream.
struct PlannedPacket {
    std::uint32_t message = 0;
    std::uint8_t opcode = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    bool lastOfMessage = false;
};

// Splits `count` messages, with sizes taken from `sizes` in turn, into packets
// of at most `mtu` payload bytes (SEND_ONLY, or SEND_FIRST/MIDDLE.../LAST).
std::vector<PlannedPacket> PlanMessages(std::uint32_t count,
                                        const std::vector<std::uint32_t>& sizes, std::uint32_t mtu);

// Sending side of one queue pair: a go-back-N window over planned packets.
class GoBackN {
public:
    GoBackN(std::size_t total, std::uint32_t startPsn, std::size_t window)
        : total_(total), startPsn_(startPsn), window_(window) {}

    bool CanSend() const { return next_ < total_ && next_ - base_ < window_; }
    // Index of the packet to send now; call only when CanSend().
    std::size_t Next() const { return next_; }
    // Records that Next() went out; true when it was sent before.
    bool MarkSent();
    // True when the packet just sent fills the window (it should ask for an ACK).
    bool WindowFull() const { return next_ - base_ >= window_; }
    std::uint32_t PsnOf(std::size_t index) const;

    // A cumulative ACK; true when it acknowledged something new.
    bool OnAck(std::uint32_t psn);
    // A NAK naming the PSN the responder expects; true when it was in the window.
    bool OnNak(std::uint32_t psn);
    // Nothing heard in time: resend everything outstanding.
    void OnTimeout() { next_ = base_; }

    bool Done() const { return base_ == total_; }
    // Number of packets acknowledged, in order from the first.
    std::size_t Acked() const { return base_; }

private:
    // Index of `psn` within the packets sent and not acknowledged, if it is one.
    std::optional<std::size_t> OutstandingIndex(std::uint32_t psn) const;

    std::size_t total_;
    std::uint32_t startPsn_;
    std::size_t window_;
    std::size_t base_ = 0;
    std::size_t next_ = 0;
    std::size_t highestSent_ = 0;
};

}  // namespace roceframes
