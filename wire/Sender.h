#pragma once

#include <tins/network_interface.h>
#include <tins/packet_sender.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace wire {

// Sends frames out of one port. Built unopened (so it can be a global that never throws before
// main) and opened explicitly. Send may be called from several threads at once: calls are
// serialised by an internal lock.
class Sender {
public:
    explicit Sender(std::string interfaceName);
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Binds to the port and opens its raw socket; throws wire::Error naming the port and reason.
    void Open();

    // Sends a CapturedFrame byte for byte, any other PDU as libtins serialises it. Returns false
    // and counts the frame as unsent when the sender is not open or the send fails; never throws.
    bool Send(const Tins::PDU& frame);

    [[nodiscard]] uint64_t UnsentFrames() const { return unsent_.load(); }
    const std::string& InterfaceName() const { return interfaceName_; }

private:
    void SendLocked(const Tins::PDU& frame);
    void SendBytes(const std::vector<uint8_t>& bytes);

    const std::string interfaceName_;
    std::mutex mutex_;
    std::unique_ptr<Tins::NetworkInterface> interface_;
    std::unique_ptr<Tins::PacketSender> sender_;
    std::atomic<uint64_t> unsent_{0};
};

}  // namespace wire
