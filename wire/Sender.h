#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace wire {

// Sends frames out of one port exactly as given: no padding, no checksum touched, past the
// queueing discipline. Built unopened (so it can be a global that never throws before main)
// and opened explicitly. Send and SendMany may be called from several threads at once.
class Sender {
public:
    explicit Sender(std::string interfaceName);
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Opens a raw socket bound to the port; throws wire::Error naming the port and reason.
    // Opening twice does nothing. Call it before any Send.
    void Open();

    // Sends the frame's bytes; returns false and counts the frame as unsent when the sender is
    // not open or the kernel refuses it. Never throws.
    bool Send(const std::uint8_t* data, std::size_t size);
    // Sends `count` prepared messages, each one frame in one buffer, in as few system calls as
    // the kernel allows; sent[i] tells whether message i left whole. Returns how many did; the
    // others are counted as unsent. Never throws.
    std::size_t SendMany(mmsghdr* messages, std::size_t count, bool* sent);

    [[nodiscard]] uint64_t UnsentFrames() const { return unsent_.load(); }
    // Frames handed whole to the port.
    [[nodiscard]] uint64_t SentFrames() const { return sent_.load(); }
    const std::string& InterfaceName() const { return interfaceName_; }

private:
    const std::string interfaceName_;
    std::atomic<int> fd_{-1};
    std::atomic<uint64_t> unsent_{0};
    std::atomic<uint64_t> sent_{0};
};

// Frames collected on one thread and sent out of one port together. The bytes must stay valid
// until the batch is cleared. Not thread-safe: one per sending thread.
class SendBatch {
public:
    static constexpr std::size_t kCapacity = 64;

    explicit SendBatch(Sender& sender) : sender_(sender) {}
    SendBatch(const SendBatch&) = delete;
    SendBatch& operator=(const SendBatch&) = delete;

    [[nodiscard]] std::size_t Size() const { return size_; }
    [[nodiscard]] bool Full() const { return size_ == kCapacity; }
    // Adds a frame; the batch must not be full.
    void Add(const std::uint8_t* data, std::size_t size);
    // Sends every frame added since the last Clear; Sent then tells how each one fared.
    void Send();
    [[nodiscard]] bool Sent(std::size_t index) const { return sent_[index]; }
    void Clear() { size_ = 0; }

private:
    Sender& sender_;
    std::array<iovec, kCapacity> buffers_{};
    std::array<mmsghdr, kCapacity> messages_{};
    std::array<bool, kCapacity> sent_{};
    std::size_t size_ = 0;
};

}  // namespace wire
