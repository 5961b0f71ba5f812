#include "tools/rocepeer/PacketPort.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace roceframes {
namespace {

constexpr int kSocketBufferBytes = 8 << 20;
constexpr std::size_t kMaxFrame = 65536;

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

ifreq RequestFor(const std::string& interface) {
    ifreq request{};
    std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    return request;
}

// A packet socket for IPv4 frames on the interface; throws when it cannot have one.
int OpenBound(const std::string& interface, int ifindex) {
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (fd < 0) {
        throw SystemError("packet socket");
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_IP);
    address.sll_ifindex = ifindex;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const auto error = SystemError("bind to " + interface);
        ::close(fd);
        throw error;
    }
    return fd;
}

void Tune(int fd, PacketSocket::Queueing queueing) {
    // Bursts at benchmark rates must not overflow the default buffers; the
    // forced variants ignore the system limits (we run as root).
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kSocketBufferBytes, sizeof kSocketBufferBytes);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSocketBufferBytes, sizeof kSocketBufferBytes);
    // Our own frames would only take room in the receive buffer.
    const int one = 1;
    ::setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    if (queueing == PacketSocket::Queueing::Bypass) {
        ::setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
    }
}

Mac QueryMac(int fd, const std::string& interface) {
    Mac mac{};
    ifreq request = RequestFor(interface);
    if (::ioctl(fd, SIOCGIFHWADDR, &request) == 0) {
        std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
    }
    return mac;
}

std::uint32_t QueryIp(const std::string& interface) {
    // A packet socket cannot answer SIOCGIFADDR; a throwaway datagram socket can.
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return 0;
    }
    ifreq request = RequestFor(interface);
    std::uint32_t ip = 0;
    if (::ioctl(probe, SIOCGIFADDR, &request) == 0) {
        ip = ntohl(reinterpret_cast<sockaddr_in*>(&request.ifr_addr)->sin_addr.s_addr);
    }
    ::close(probe);
    return ip;
}

// Sleeps until the socket has data or `left` has passed, at microsecond
// resolution (poll alone would round short waits to whole milliseconds).
void WaitReadable(int fd, std::chrono::steady_clock::duration left) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    timespec wait{static_cast<time_t>(micros / 1'000'000),
                  static_cast<long>(micros % 1'000'000) * 1000};
    pollfd waiter{fd, POLLIN, 0};
    ::ppoll(&waiter, 1, &wait, nullptr);
}

}  // namespace

PacketSocket::PacketSocket(const std::string& interface, Queueing queueing) {
    if (interface.size() >= IFNAMSIZ) {
        throw std::runtime_error("interface name too long: " + interface);
    }
    ifindex_ = static_cast<int>(::if_nametoindex(interface.c_str()));
    if (ifindex_ == 0) {
        throw SystemError("no interface " + interface);
    }
    fd_ = OpenBound(interface, ifindex_);
    Tune(fd_, queueing);
    mac_ = QueryMac(fd_, interface);
    ip_ = QueryIp(interface);
}

PacketSocket::~PacketSocket() {
    ::close(fd_);
}

PacketPort::PacketPort(const std::string& interface)
    : socket_(interface, PacketSocket::Queueing::Kernel), buffer_(kMaxFrame) {}

bool PacketPort::Send(const Bytes& frame) {
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = socket_.InterfaceIndex();
    address.sll_halen = 6;
    std::memcpy(address.sll_addr, frame.data(), 6);
    for (;;) {
        ssize_t sent = ::sendto(socket_.Fd(), frame.data(), frame.size(), 0,
                                reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (sent == static_cast<ssize_t>(frame.size())) {
            return true;
        }
        // A full transmit queue is back pressure, not a failure.
        if (sent < 0 && (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)) {
            ::usleep(50);
            continue;
        }
        return false;
    }
}

std::optional<Bytes> PacketPort::Receive(std::chrono::microseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        sockaddr_ll from{};
        socklen_t fromSize = sizeof from;
        ssize_t got = ::recvfrom(socket_.Fd(), buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (got >= 0 && from.sll_pkttype != PACKET_OUTGOING) {
            return Bytes(buffer_.begin(), buffer_.begin() + got);
        }
        if (got >= 0) {
            continue;
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return std::nullopt;
        }
        WaitReadable(socket_.Fd(), left);
    }
}

}  // namespace roceframes
