#include "wire/Sender.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <tins/exceptions.h>
#include <tins/rawpdu.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "wire/CapturedFrame.h"
#include "wire/Error.h"

namespace wire {

namespace {

sockaddr_ll LinkAddress(int interfaceIndex, const std::vector<uint8_t>& frame) {
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = interfaceIndex;
    address.sll_halen = ETH_ALEN;
    std::memcpy(address.sll_addr, frame.data(), ETH_ALEN);
    return address;
}

}  // namespace

Sender::Sender(std::string interfaceName) : interfaceName_(std::move(interfaceName)) {}

Sender::~Sender() = default;

void Sender::Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (if_nametoindex(interfaceName_.c_str()) == 0) {
        throw Error(interfaceName_, "no such interface");
    }
    try {
        auto iface = std::make_unique<Tins::NetworkInterface>(interfaceName_);
        auto sender =
            std::make_unique<Tins::PacketSender>(*iface, Tins::PacketSender::DEFAULT_TIMEOUT, 0);
        // Opening the socket now reports a missing privilege at start-up, not at the first frame.
        sender->open_l2_socket(*iface);
        interface_ = std::move(iface);
        sender_ = std::move(sender);
    } catch (const Tins::invalid_interface&) {
        throw Error(interfaceName_, "no such interface");
    } catch (const Tins::socket_open_error& e) {
        throw Error(interfaceName_,
                    std::string("sending not permitted (need root or CAP_NET_RAW): ") + e.what());
    }
}

bool Sender::Send(const Tins::PDU& frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        SendLocked(frame);
        return true;
    } catch (...) {
        unsent_.fetch_add(1);
        return false;
    }
}

void Sender::SendLocked(const Tins::PDU& frame) {
    if (!sender_) {
        throw Tins::socket_write_error("sender not open");
    }
    if (const auto* captured = dynamic_cast<const CapturedFrame*>(&frame)) {
        SendBytes(captured->bytes());
        return;
    }
    // libtins' send prepares the chain (lengths, checksums) in place, so send a private copy.
    std::unique_ptr<Tins::PDU> copy(frame.clone());
    sender_->send(*copy, *interface_);
}

void Sender::SendBytes(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < ETH_HLEN) {
        throw Tins::socket_write_error("frame too short");
    }
    // A bare RawPDU goes out as it is: EthernetII would pad short frames and recompute checksums.
    Tins::RawPDU raw(bytes.data(), static_cast<uint32_t>(bytes.size()));
    sockaddr_ll address = LinkAddress(static_cast<int>(interface_->id()), bytes);
    sender_->send_l2(raw, reinterpret_cast<sockaddr*>(&address), sizeof(address), *interface_);
}

}  // namespace wire
