#include "wire/Sender.h"

#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "wire/Error.h"

namespace wire {

Sender::Sender(std::string interfaceName) : interfaceName_(std::move(interfaceName)) {}

Sender::~Sender() {
    const int fd = fd_.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
}

void Sender::Open() {
    if (fd_.load() >= 0) {
        return;
    }
    const unsigned index = if_nametoindex(interfaceName_.c_str());
    if (index == 0) {
        throw Error(interfaceName_, "no such interface");
    }
    // Protocol 0: the socket only sends, so the kernel queues none of the port's traffic to it.
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int error = errno;
        const bool denied = error == EPERM || error == EACCES;
        throw Error(interfaceName_, std::string(denied ? "sending not permitted (need root or "
                                                         "CAP_NET_RAW): "
                                                       : "cannot open a raw socket: ") +
                                        std::strerror(error));
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(index);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        close(fd);
        throw Error(interfaceName_,
                    std::string("cannot bind for sending: ") + std::strerror(error));
    }
    fd_.store(fd);
}

bool Sender::Send(const std::uint8_t* data, std::size_t size) {
    if (SendOnce(data, size)) {
        sent_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    unsent_.fetch_add(1);
    return false;
}

bool Sender::SendOnce(const std::uint8_t* data, std::size_t size) const {
    const int fd = fd_.load();
    if (fd < 0 || data == nullptr || size == 0) {
        return false;
    }
    ssize_t sent;
    do {
        sent = send(fd, data, size, 0);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(size);
}

}  // namespace wire
