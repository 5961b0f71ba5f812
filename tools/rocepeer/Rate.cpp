#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "tools/rocepeer/Options.h"
#include "tools/rocepeer/PacketPort.h"
#include "tools/rocepeer/ReliableConnection.h"
#include "transport/Bth.h"
#include "transport/FrameView.h"

namespace rocepeer {
namespace {

using Clock = std::chrono::steady_clock;

// How long the sender keeps listening for acknowledgements after its last frame.
constexpr std::chrono::milliseconds kAckDrain{500};
// Below this the sender spins instead of sleeping in poll, to keep its pace.
constexpr std::chrono::microseconds kSpinBelow{200};
// Frames per system call, each way.
constexpr std::size_t kBatch = 64;
constexpr std::size_t kReceiveBytes = 16384;
// The receiver checks the ICRC of one frame in this many: a full check costs more than the rest of
// a frame's handling, and the frames of a run differ only in fields it covers.
constexpr std::uint64_t kIcrcSampleEvery = 16;

// The rate modes' port: frames leave in batches past the queueing discipline,
// and arriving IPv4 frames (none this host sends) come in in batches.
class RatePort {
public:
    explicit RatePort(const std::string& interface)
        : socket_(interface, roceframes::PacketSocket::Queueing::Bypass) {
        for (auto& buffer : received_) {
            buffer.resize(kReceiveBytes);
        }
    }

    const roceframes::Mac& LocalMac() const { return socket_.LocalMac(); }
    std::uint32_t LocalIp() const { return socket_.LocalIp(); }

    // Sends every frame, waiting out a full transmit queue; false when the kernel refused one.
    bool Send(const std::vector<roceframes::Bytes>& frames, std::size_t count) {
        std::array<iovec, kBatch> buffers{};
        std::array<mmsghdr, kBatch> messages{};
        for (std::size_t i = 0; i < count; ++i) {
            buffers[i] = {const_cast<std::uint8_t*>(frames[i].data()), frames[i].size()};
            messages[i].msg_hdr.msg_iov = &buffers[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        for (std::size_t done = 0; done < count;) {
            const int sent = ::sendmmsg(socket_.Fd(), messages.data() + done,
                                        static_cast<unsigned>(count - done), 0);
            if (sent > 0) {
                done += static_cast<std::size_t>(sent);
            } else if (sent < 0 && (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)) {
                // A full queue is back pressure, not a failure.
                ::usleep(50);
            } else {
                return false;
            }
        }
        return true;
    }

    // Waits up to `timeout` for arriving frames and hands each one there is then, a batch at
    // most, to `handle(data, size)`; returns how many.
    template <class Handle>
    std::size_t Receive(std::chrono::microseconds timeout, Handle handle) {
        if (timeout.count() > 0) {
            const timespec wait{static_cast<time_t>(timeout.count() / 1'000'000),
                                static_cast<long>(timeout.count() % 1'000'000) * 1000};
            pollfd waiter{socket_.Fd(), POLLIN, 0};
            ::ppoll(&waiter, 1, &wait, nullptr);
        }
        std::array<iovec, kBatch> buffers{};
        std::array<mmsghdr, kBatch> messages{};
        for (std::size_t i = 0; i < kBatch; ++i) {
            buffers[i] = {received_[i].data(), received_[i].size()};
            messages[i].msg_hdr.msg_iov = &buffers[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = ::recvmmsg(socket_.Fd(), messages.data(), kBatch, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < got; ++i) {
            handle(received_[static_cast<std::size_t>(i)].data(),
                   static_cast<std::size_t>(messages[static_cast<std::size_t>(i)].msg_len));
        }
        return got > 0 ? static_cast<std::size_t>(got) : 0;
    }

private:
    roceframes::PacketSocket socket_;
    std::array<roceframes::Bytes, kBatch> received_;
};

// The rate sender's frames: one built in full, then for each index only the fields that differ
// (IP identification and checksum, acknowledge-request byte, PSN) are written and the ICRC is
// corrected for them. The CRC is linear, so a changed byte changes it by a value that depends
// only on the byte's position and its new bits, worked out once per position and value.
class RateFrames {
public:
    RateFrames(const roceframes::Endpoints& ends, const RateSendOptions& config)
        : ends_(ends),
          config_(config),
          payload_(config.frameSize - roceframes::kRoceOverhead, 0x5A),
          template_(Build(0)) {
        const std::size_t covered = template_.size() - kIp - roceframes::kIcrcSize;
        for (std::size_t k = 0; k < kVarying.size(); ++k) {
            const std::size_t length = covered - (kVarying[k] - kIp);
            for (std::uint32_t value = 1; value < 256; ++value) {
                // Linear in the byte's bits too: a value's change is that of its lowest bit
                // and that of the rest.
                const std::uint32_t lowest = value & (~value + 1);
                corrections_[k][value] =
                    value == lowest ? CrcOfOneByte(static_cast<std::uint8_t>(value), length)
                                    : corrections_[k][lowest] ^ corrections_[k][value ^ lowest];
            }
        }
        baseIcrc_ = StoredIcrc(template_);
        // The shortcut must give what the frame builder gives.
        roceframes::Bytes check;
        for (std::uint64_t index : {1ull, 0x1234567ull, 0xffffffull}) {
            Write(index, check);
            if (check != Build(index)) {
                throw std::runtime_error(
                    "rate frames: the ICRC shortcut disagrees with the builder");
            }
        }
    }

    void Write(std::uint64_t index, roceframes::Bytes& frame) const {
        frame = template_;
        const auto ipId = static_cast<std::uint16_t>(index);
        const std::uint32_t psn =
            roceframes::PsnAdd(config_.psn, static_cast<std::uint32_t>(index & kPsnMask));
        frame[kIp + 4] = static_cast<std::uint8_t>(ipId >> 8);
        frame[kIp + 5] = static_cast<std::uint8_t>(ipId);
        frame[kBth + 8] = AsksForAck(index) ? roceframes::kAckReqBit : 0;
        frame[kBth + 9] = static_cast<std::uint8_t>(psn >> 16);
        frame[kBth + 10] = static_cast<std::uint8_t>(psn >> 8);
        frame[kBth + 11] = static_cast<std::uint8_t>(psn);
        roceframes::RewriteIpv4Checksum(frame);
        std::uint32_t icrc = baseIcrc_;
        for (std::size_t k = 0; k < kVarying.size(); ++k) {
            // The template holds the value the same field has for index 0.
            icrc ^= corrections_[k][frame[kVarying[k]] ^ template_[kVarying[k]]];
        }
        const std::size_t at = frame.size() - roceframes::kIcrcSize;
        for (std::size_t i = 0; i < roceframes::kIcrcSize; ++i) {
            frame[at + i] = static_cast<std::uint8_t>(icrc >> (8 * i));
        }
    }

    bool AsksForAck(std::uint64_t index) const {
        return config_.ackReqEvery != 0 && (index + 1) % config_.ackReqEvery == 0;
    }

private:
    static constexpr std::size_t kIp = roceframes::kEthHeaderSize;
    static constexpr std::size_t kBth =
        kIp + roceframes::kIpv4HeaderSize + roceframes::kUdpHeaderSize;
    static constexpr std::array<std::size_t, 6> kVarying = {kIp + 4,  kIp + 5,   kBth + 8,
                                                            kBth + 9, kBth + 10, kBth + 11};

    roceframes::Bytes Build(std::uint64_t index) const {
        roceframes::BthFields bth;
        bth.opcode = SEND_ONLY;
        bth.destQp = config_.peerQp;
        bth.psn = roceframes::PsnAdd(config_.psn, static_cast<std::uint32_t>(index & kPsnMask));
        bth.ackReqByte = AsksForAck(index) ? roceframes::kAckReqBit : 0;
        roceframes::RoceOptions options;
        options.ipId = static_cast<std::uint16_t>(index);
        return roceframes::BuildRoceFrame(ends_, bth, payload_, options);
    }

    // The CRC register's change from one byte of `value` followed by zeros up to `length` bytes,
    // without the initial and final inversions (which cancel out of a difference).
    static std::uint32_t CrcOfOneByte(std::uint8_t value, std::size_t length) {
        std::uint32_t crc = value;
        for (std::size_t bit = 0; bit < 8 * length; ++bit) {
            crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
        }
        return crc;
    }

    static std::uint32_t StoredIcrc(const roceframes::Bytes& frame) {
        std::uint32_t icrc = 0;
        const std::size_t at = frame.size() - roceframes::kIcrcSize;
        for (std::size_t i = 0; i < roceframes::kIcrcSize; ++i) {
            icrc |= static_cast<std::uint32_t>(frame[at + i]) << (8 * i);
        }
        return icrc;
    }

    const roceframes::Endpoints ends_;
    const RateSendOptions config_;
    const roceframes::Bytes payload_;
    const roceframes::Bytes template_;
    std::array<std::array<std::uint32_t, 256>, kVarying.size()> corrections_{};
    std::uint32_t baseIcrc_ = 0;
};

// Round-trip samples by packet index, for the acknowledged ones.
class RoundTrips {
public:
    explicit RoundTrips(std::size_t total) : sentAt_(total), matched_(total, false) {}
    void Sent(std::size_t index, Clock::time_point at) { sentAt_[index] = at; }
    void Acked(std::size_t index, Clock::time_point at) {
        if (index < sentAt_.size() && !matched_[index] && sentAt_[index] != Clock::time_point{}) {
            matched_[index] = true;
            samples_.push_back(
                std::chrono::duration<double, std::micro>(at - sentAt_[index]).count());
        }
    }
    std::size_t Count() const { return samples_.size(); }
    double Percentile(double share) {
        if (samples_.empty()) {
            return 0;
        }
        std::sort(samples_.begin(), samples_.end());
        const auto at = static_cast<std::size_t>(share * static_cast<double>(samples_.size() - 1));
        return samples_[at];
    }

private:
    std::vector<Clock::time_point> sentAt_;
    std::vector<bool> matched_;
    std::vector<double> samples_;
};

void DrainAcks(RatePort& port, const RateSendOptions& config, RoundTrips& trips,
               std::chrono::microseconds wait) {
    while (port.Receive(wait, [&](const std::uint8_t* data, std::size_t size) {
        const auto view = roceframes::ParseRoceFrame(data, size);
        if (view && view->opcode == ACKNOWLEDGE && view->destQp == config.qp) {
            trips.Acked(roceframes::PsnDistance(config.psn, view->psn), Clock::now());
        }
    }) == kBatch) {
        wait = std::chrono::microseconds(0);
    }
}

// Waits for the acknowledgements still on their way after the last frame: until `expected`
// have come or `limit` has passed, so a slow path does not count its last ones as lost.
void AwaitLastAcks(RatePort& port, const RateSendOptions& config, RoundTrips& trips,
                   std::uint64_t expected, std::chrono::microseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (trips.Count() < expected) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return;
        }
        DrainAcks(port, config, trips, left);
    }
    DrainAcks(port, config, trips, std::chrono::microseconds(0));
}

}  // namespace

// Sends what is due in one batch: at a light load one frame at a time, as its time comes; when the
// schedule runs ahead of the sender, up to a batch of the frames due at once.
int RunRateSend(const RateSendOptions& config) {
    RatePort port(config.dev);
    const auto ends = ResolveEndpoints(config.peer, port.LocalMac(), port.LocalIp());
    const auto total = static_cast<std::uint64_t>(static_cast<double>(config.rate) *
                                                  static_cast<double>(config.seconds));
    const RateFrames frames(ends, config);
    std::vector<roceframes::Bytes> batch(kBatch);
    const double perNs = static_cast<double>(config.rate) / 1e9;
    RoundTrips trips(total);
    const auto start = Clock::now();
    std::uint64_t sent = 0;
    while (sent < total && !StopRequested()) {
        const auto now = Clock::now();
        const auto due = std::min<std::uint64_t>(
            total, static_cast<std::uint64_t>(
                       static_cast<double>(std::chrono::nanoseconds(now - start).count()) * perNs) +
                       1);
        if (due <= sent) {
            const auto next = start + std::chrono::nanoseconds(static_cast<std::int64_t>(
                                          static_cast<double>(sent) / perNs));
            const auto early = std::chrono::duration_cast<std::chrono::microseconds>(next - now);
            DrainAcks(port, config, trips, early > kSpinBelow ? early - kSpinBelow : early * 0);
            continue;
        }
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(due - sent, kBatch));
        for (std::size_t i = 0; i < count; ++i) {
            frames.Write(sent + i, batch[i]);
            trips.Sent(sent + i, now);
        }
        if (!port.Send(batch, count)) {
            throw std::runtime_error("send failed");
        }
        sent += count;
        // Behind schedule the loop never waits, so acknowledgements are read here too, before
        // they overflow the socket buffer.
        DrainAcks(port, config, trips, std::chrono::microseconds(0));
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const std::uint64_t asked = config.ackReqEvery ? sent / config.ackReqEvery : 0;
    AwaitLastAcks(port, config, trips, asked,
                  std::chrono::duration_cast<std::chrono::microseconds>(kAckDrain));
    std::cout << "rocepeer rate-send: sent=" << sent << " ack_requests=" << asked
              << " acks=" << trips.Count() << std::fixed << std::setprecision(1)
              << " elapsed_ms=" << elapsed * 1e3 << " achieved_pps=" << sent / elapsed
              << " rtt_median_us=" << trips.Percentile(0.5)
              << " rtt_p99_us=" << trips.Percentile(0.99) << std::endl;
    return 0;
}

// Receives in batches and acknowledges a batch's requests together.
int RunRateReceive(const RateReceiveOptions& options) {
    const std::chrono::milliseconds idle(options.idleMs);
    const std::chrono::seconds limit(options.seconds);
    RatePort port(options.dev);
    std::cout << "rocepeer rate-recv: ready" << std::endl;
    std::uint64_t received = 0, acks = 0, badIcrc = 0, checked = 0, gaps = 0;
    std::optional<std::uint32_t> lastPsn;
    std::vector<roceframes::Bytes> answers(kBatch);
    const auto start = Clock::now();
    auto lastFrame = start;
    const auto handle = [&](const std::uint8_t* data, std::size_t size, std::size_t& answered) {
        const FrameView frame = ReadFrame(data, size);
        if (!frame.HasBth() || frame.ip.version != 4 ||
            frame.bth->GetDestinationQp() != options.qp ||
            frame.bth->GetBthOpcode() == ACKNOWLEDGE) {
            return;
        }
        ++received;
        if (received % kIcrcSampleEvery == 1) {
            const auto full = roceframes::ParseRoceFrame(data, size);
            ++checked;
            badIcrc += full && full->icrcValid ? 0 : 1;
        }
        const std::uint32_t psn = frame.bth->GetPsn();
        gaps += lastPsn && psn != roceframes::PsnAdd(*lastPsn, 1) ? 1 : 0;
        lastPsn = psn;
        if (options.ack && (data[frame.bthOffset + 8] & roceframes::kAckReqBit) != 0) {
            roceframes::Endpoints back{port.LocalMac(), {}, port.LocalIp(), 0};
            std::memcpy(back.dstMac.data(), data + 6, back.dstMac.size());
            const std::uint8_t* srcIp = data + frame.ip.offset + 12;
            back.dstIp = std::uint32_t{srcIp[0]} << 24 | std::uint32_t{srcIp[1]} << 16 |
                         std::uint32_t{srcIp[2]} << 8 | srcIp[3];
            answers[answered++] =
                roceframes::BuildAckFrame(back, options.peerQp, psn, roceframes::kSyndromeAck,
                                          static_cast<std::uint32_t>(received));
        }
    };
    while (!StopRequested() && Clock::now() - start < limit &&
           (received == 0 || Clock::now() - lastFrame < idle)) {
        std::size_t answered = 0;
        const std::uint64_t before = received;
        port.Receive(
            std::chrono::milliseconds(50),
            [&](const std::uint8_t* data, std::size_t size) { handle(data, size, answered); });
        if (received != before) {
            lastFrame = Clock::now();
        }
        if (answered > 0) {
            port.Send(answers, answered);
            acks += answered;
        }
    }
    std::cout << "rocepeer rate-recv: received=" << received << " acks=" << acks
              << " psn_gaps=" << gaps << " bad_icrc=" << badIcrc << " icrc_checked=" << checked
              << std::endl;
    return 0;
}

}  // namespace rocepeer
