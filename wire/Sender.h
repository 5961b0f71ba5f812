#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace wire {

// Sends frames out of one port exactly as given: no padding, no checksum touched. Built
// unopened (so it can be a global that never throws before main) and opened explicitly. Send
// may be called from several threads at once.
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

    [[nodiscard]] uint64_t SentFrames() const { return sent_.load(); }
    [[nodiscard]] uint64_t UnsentFrames() const { return unsent_.load(); }
    const std::string& InterfaceName() const { return interfaceName_; }

private:
    bool SendOnce(const std::uint8_t* data, std::size_t size) const;

    const std::string interfaceName_;
    std::atomic<int> fd_{-1};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> unsent_{0};
};

}  // namespace wire
