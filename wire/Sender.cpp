#include "wire/Sender.h"

#include <linux/if_packet.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "wire/Error.h"

namespace wire {

namespace {

// Room for bursts of jumbo frames before a send has to wait for the port.
constexpr int kSendBufferBytes = 4 << 20;

}  // namespace

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
    // The bench forwards, it does not shape: a queueing discipline would only add a hop. Both are
    // optimisations; a kernel that refuses them still sends.
    const int one = 1;
    static_cast<void>(setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof(one)));
    static_cast<void>(
        setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBufferBytes, sizeof(kSendBufferBytes)));
    fd_.store(fd);
}

bool Sender::Send(const std::uint8_t* data, std::size_t size) {
    iovec buffer{const_cast<std::uint8_t*>(data), size};
    mmsghdr message{};
    message.msg_hdr.msg_iov = &buffer;
    message.msg_hdr.msg_iovlen = 1;
    bool sent = false;
    SendMany(&message, 1, &sent);
    return sent;
}

std::size_t Sender::SendMany(mmsghdr* messages, std::size_t count, bool* sent) {
    const int fd = fd_.load();
    std::size_t done = 0;
    std::size_t whole = 0;
    while (done < count) {
        const iovec& buffer = *messages[done].msg_hdr.msg_iov;
        const int result =
            fd < 0 || buffer.iov_base == nullptr || buffer.iov_len == 0
                ? -1
                : sendmmsg(fd, messages + done, static_cast<unsigned>(count - done), 0);
        if (result < 0 && errno == EINTR && fd >= 0) {
            continue;
        }
        if (result <= 0) {
            // The first message not taken is the one the kernel refused; the rest are tried again.
            sent[done++] = false;
            continue;
        }
        // A short count is not all sent: the kernel stopped at the first it could not take.
        for (std::size_t end = done + static_cast<std::size_t>(result); done < end; ++done) {
            sent[done] = messages[done].msg_len == messages[done].msg_hdr.msg_iov->iov_len;
            whole += sent[done] ? 1 : 0;
        }
    }
    sent_.fetch_add(whole, std::memory_order_relaxed);
    unsent_.fetch_add(count - whole, std::memory_order_relaxed);
    return whole;
}

void SendBatch::Add(const std::uint8_t* data, std::size_t size) {
    buffers_[size_] = iovec{const_cast<std::uint8_t*>(data), size};
    mmsghdr& message = messages_[size_];
    message = mmsghdr{};
    message.msg_hdr.msg_iov = &buffers_[size_];
    message.msg_hdr.msg_iovlen = 1;
    ++size_;
}

void SendBatch::Send() {
    if (size_ > 0) {
        sender_.SendMany(messages_.data(), size_, sent_.data());
    }
}

}  // namespace wire
