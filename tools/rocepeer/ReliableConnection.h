#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

// The reliable-connection rules of rocepeer, free of sockets so that they can
// be tested on their own.
namespace roceframes {

// 24-bit PSN arithmetic.
std::uint32_t PsnAdd(std::uint32_t psn, std::uint32_t n);
// How far `to` lies after `from`, modulo 2^24.
std::uint32_t PsnDistance(std::uint32_t from, std::uint32_t to);

// How many PSNs a packet takes: one, or for an RDMA READ request one per `mtu` bytes of the
// response, at least one.
std::uint32_t PsnSpan(std::uint8_t opcode, std::uint32_t readLength, std::uint32_t mtu);

// The responder's memory, as both ends know it without sharing it: the byte at `address`.
std::uint8_t RemoteByte(std::uint64_t address);
// The `length` bytes from `address` on.
std::vector<std::uint8_t> RemoteBytes(std::uint64_t address, std::uint32_t length);
// The key both ends use for it.
constexpr std::uint32_t kRemoteKey = 0x5EED;
// The largest READ the responder answers.
constexpr std::uint32_t kMaxReadLength = 1u << 20;

// What the responder owes a request: an acknowledgement (or NAK) with an AETH syndrome, or an
// RDMA READ response starting at `psn`. `msn` is the message count so far.
struct Reply {
    enum class Kind { Acknowledge, ReadResponse };
    Kind kind = Kind::Acknowledge;
    std::uint32_t psn = 0;
    std::uint8_t syndrome = 0;
    std::uint32_t msn = 0;
};

// Receiving side of one queue pair: accepts packets in PSN order only.
class ResponderQp {
public:
    // Without a start PSN the first packet's PSN is taken as the expected one. READ responses
    // are split at `mtu` bytes.
    explicit ResponderQp(std::optional<std::uint32_t> startPsn = std::nullopt,
                         std::uint32_t mtu = 1024)
        : expected_(startPsn.value_or(0)), started_(startPsn.has_value()), mtu_(mtu) {}

    // Applies one request packet; `readLength` is an RDMA READ request's DMA length, nothing
    // when it came without one. Returns what to send back.
    std::optional<Reply> OnPacket(std::uint8_t opcode, std::uint32_t psn, bool ackReq,
                                  std::optional<std::uint32_t> readLength = std::nullopt);

    std::uint32_t ExpectedPsn() const { return expected_; }
    std::uint64_t Accepted() const { return accepted_; }
    std::uint64_t Messages() const { return msn_; }
    std::uint64_t Duplicates() const { return duplicates_; }
    std::uint64_t Naks() const { return naks_; }
    std::uint64_t OutOfOrder() const { return outOfOrder_; }

private:
    Reply AckFor(std::uint32_t psn) const;
    std::optional<Reply> OnDuplicate(std::uint8_t opcode, std::uint32_t psn,
                                     std::optional<std::uint32_t> readLength);
    std::optional<Reply> OnOutOfOrder();

    std::uint32_t expected_;
    bool started_;
    std::uint32_t mtu_;
    bool nakSent_ = false;
    std::uint32_t msn_ = 0;
    std::uint64_t accepted_ = 0;
    std::uint64_t duplicates_ = 0;
    std::uint64_t naks_ = 0;
    std::uint64_t outOfOrder_ = 0;
};

// The kinds of message a requester posts.
enum class Operation { Send, Write, WriteImmediate, Read };

// One packet of a planned message stream.
struct PlannedPacket {
    std::uint32_t message = 0;
    Operation operation = Operation::Send;
    std::uint8_t opcode = 0;
    std::uint32_t offset = 0;  // of its payload in the message
    std::uint32_t length = 0;  // of its payload; a READ request carries none
    bool lastOfMessage = false;
    std::uint32_t messageLength = 0;  // the RETH's DMA length, where there is one
    std::uint64_t psnOffset = 0;      // from the first PSN, not wrapped
    std::uint32_t psnSpan = 1;
};

// Splits `count` messages, with sizes from `sizes` and operations from `operations` each taken
// in turn, into packets of at most `mtu` payload bytes: an ONLY packet, or FIRST, MIDDLE...,
// LAST; a READ is one request whatever its size.
std::vector<PlannedPacket> PlanMessages(std::uint32_t count,
                                        const std::vector<std::uint32_t>& sizes, std::uint32_t mtu,
                                        const std::vector<Operation>& operations = {
                                            Operation::Send});
// The remote address of message `message`'s data.
std::uint64_t RemoteAddressOf(std::uint32_t message);

// Sending side of one queue pair: a go-back-N window over planned packets. A READ request is
// done only once its whole response has come in order; an acknowledgement or NAK beyond one
// that is not done means its response was lost, and sends it again.
class GoBackN {
public:
    GoBackN(const std::vector<PlannedPacket>& plan, std::uint32_t startPsn, std::size_t window);

    bool CanSend() const;
    // Index of the packet to send now; call only when CanSend().
    std::size_t Next() const { return next_; }
    // Records that Next() went out; true when it was sent before.
    bool MarkSent();
    // True when the packet just sent fills the window (it should ask for an ACK).
    bool WindowFull() const { return next_ - base_ >= window_; }
    std::uint32_t PsnOf(std::size_t index) const;
    // The packet sent and not done whose PSNs hold `psn`, if there is one.
    std::optional<std::size_t> Outstanding(std::uint32_t psn) const;

    // A cumulative ACK; true when it acknowledged something new.
    bool OnAck(std::uint32_t psn);
    // A NAK naming the PSN the responder expects; true when it was in the window.
    bool OnNak(std::uint32_t psn);
    // A READ response packet; true when it acknowledged something new.
    bool OnReadResponse(std::uint32_t psn, std::uint8_t opcode);
    // Nothing heard in time: resend everything outstanding.
    void OnTimeout();

    bool Done() const { return base_ == slots_.size(); }
    // Number of packets done, in order from the first.
    std::size_t Acked() const { return base_; }

private:
    struct Slot {
        std::uint64_t psnOffset;
        std::uint32_t psnSpan;
        bool read;
        std::uint64_t End() const { return psnOffset + psnSpan; }
    };

    // Where `psn` lies in the unwrapped PSNs from the oldest outstanding packet on, if it is
    // one sent (or, with `orNext`, the one after them).
    std::optional<std::uint64_t> OutstandingOffset(std::uint32_t psn, bool orNext = false) const;
    // Completes the packets whose PSNs all lie before `end`, up to the first unfinished READ.
    bool CompleteBefore(std::uint64_t end);
    // Goes back to the oldest outstanding packet, once for each one found lost this way.
    void RewindForLostResponse();
    std::uint8_t ExpectedResponseOpcode() const;

    std::vector<Slot> slots_;
    std::uint32_t startPsn_;
    std::size_t window_;
    std::size_t base_ = 0;
    std::size_t next_ = 0;
    std::size_t highestSent_ = 0;
    std::uint32_t responsesIn_ = 0;  // of the READ at base_
    std::optional<std::size_t> rewoundAt_;
};

// Congestion notifications sent at most once per queue pair per interval (every time with 0).
class CnpPacer {
public:
    using Clock = std::chrono::steady_clock;
    explicit CnpPacer(std::chrono::microseconds interval) : interval_(interval) {}
    // True when a notification to `qp` may go out at `now`; it is then counted as sent.
    bool Allow(std::uint32_t qp, Clock::time_point now);

private:
    std::chrono::microseconds interval_;
    std::map<std::uint32_t, Clock::time_point> lastSent_;
};

}  // namespace roceframes
