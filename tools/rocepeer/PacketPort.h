#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/rocepeer/RoceFrames.h"

namespace roceframes {

// A packet socket bound to one interface for the IPv4 frames that arrive there (not the ones
// this host sends), with buffers sized for bursts, and the interface's addresses.
class PacketSocket {
public:
    // Bypass sends past the interface's queueing discipline, straight to the driver.
    enum class Queueing { Kernel, Bypass };

    // Throws std::runtime_error with the reason when the interface cannot be opened.
    PacketSocket(const std::string& interface, Queueing queueing);
    ~PacketSocket();
    PacketSocket(const PacketSocket&) = delete;
    PacketSocket& operator=(const PacketSocket&) = delete;

    int Fd() const { return fd_; }
    int InterfaceIndex() const { return ifindex_; }
    const Mac& LocalMac() const { return mac_; }
    // The interface's first IPv4 address in host byte order, 0 when it has none.
    std::uint32_t LocalIp() const { return ip_; }

private:
    int fd_ = -1;
    int ifindex_ = 0;
    Mac mac_{};
    std::uint32_t ip_ = 0;
};

// A raw Ethernet port: sends frames exactly as given and receives the IPv4
// frames that arrive (not the ones this host sends).
class PacketPort {
public:
    // Opens the named interface; throws std::runtime_error with the reason.
    explicit PacketPort(const std::string& interface);

    // Sends one whole frame; false when the kernel refused it.
    bool Send(const Bytes& frame);
    // Waits up to `timeout` for an arriving frame; nothing on timeout.
    std::optional<Bytes> Receive(std::chrono::microseconds timeout);

    const Mac& LocalMac() const { return socket_.LocalMac(); }
    // The interface's first IPv4 address in host byte order, 0 when it has none.
    std::uint32_t LocalIp() const { return socket_.LocalIp(); }

private:
    PacketSocket socket_;
    Bytes buffer_;
};

}  // namespace roceframes
