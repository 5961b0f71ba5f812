#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/rocepeer/RoceFrames.h"

namespace roceframes {

// A raw Ethernet port: sends frames exactly as given and receives the IPv4
// frames that arrive (not the ones this host sends).
class PacketPort {
public:
    // Opens the named interface; throws std::runtime_error with the reason.
    explicit PacketPort(const std::string& interface);
    ~PacketPort();
    PacketPort(const PacketPort&) = delete;
    PacketPort& operator=(const PacketPort&) = delete;

    // Sends one whole frame; false when the kernel refused it.
    bool Send(const Bytes& frame);
    // Waits up to `timeout` for an arriving frame; nothing on timeout.
    std::optional<Bytes> Receive(std::chrono::microseconds timeout);

    const Mac& LocalMac() const { return mac_; }
    // The interface's first IPv4 address in host byte order, 0 when it has none.
    std::uint32_t LocalIp() const { return ip_; }

private:
    int fd_ = -1;
    int ifindex_ = 0;
    Mac mac_{};
    std::uint32_t ip_ = 0;
    Bytes buffer_;
};

}  // namespace roceframes
