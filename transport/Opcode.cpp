#include "transport/Opcode.h"

#include <array>
#include <cctype>
#include <utility>

namespace opcode {
namespace {

using K = Kind;
using P = Position;
constexpr Service kRc = Service::Reliable;
constexpr Service kUc = Service::Unreliable;

// clang-format off
constexpr std::array<Info, 38> kOpcodes{{
    {0x00, "SEND_FIRST", kRc, K::Send, P::First, 0},
    {0x01, "SEND_MIDDLE", kRc, K::Send, P::Middle, 0},
    {0x02, "SEND_LAST", kRc, K::Send, P::Last, 0},
    {0x03, "SEND_LAST_WITH_IMMEDIATE", kRc, K::Send, P::Last, kImmediate},
    {0x04, "SEND_ONLY", kRc, K::Send, P::Only, 0},
    {0x05, "SEND_ONLY_WITH_IMMEDIATE", kRc, K::Send, P::Only, kImmediate},
    {0x06, "RDMA_WRITE_FIRST", kRc, K::Write, P::First, kReth},
    {0x07, "RDMA_WRITE_MIDDLE", kRc, K::Write, P::Middle, 0},
    {0x08, "RDMA_WRITE_LAST", kRc, K::Write, P::Last, 0},
    {0x09, "RDMA_WRITE_LAST_WITH_IMMEDIATE", kRc, K::Write, P::Last, kImmediate},
    {0x0A, "RDMA_WRITE_ONLY", kRc, K::Write, P::Only, kReth},
    {0x0B, "RDMA_WRITE_ONLY_WITH_IMMEDIATE", kRc, K::Write, P::Only, kReth | kImmediate},
    {0x0C, "RDMA_READ_REQUEST", kRc, K::ReadRequest, P::Only, kReth},
    {0x0D, "RDMA_READ_RESPONSE_FIRST", kRc, K::ReadResponse, P::First, kAeth},
    {0x0E, "RDMA_READ_RESPONSE_MIDDLE", kRc, K::ReadResponse, P::Middle, 0},
    {0x0F, "RDMA_READ_RESPONSE_LAST", kRc, K::ReadResponse, P::Last, kAeth},
    {0x10, "RDMA_READ_RESPONSE_ONLY", kRc, K::ReadResponse, P::Only, kAeth},
    {0x11, "ACKNOWLEDGE", kRc, K::Acknowledge, P::Only, kAeth},
    {0x12, "ATOMIC_ACKNOWLEDGE", kRc, K::AtomicAcknowledge, P::Only, kAeth | kAtomicAckEth},
    {0x13, "COMPARE_SWAP", kRc, K::Atomic, P::Only, kAtomicEth},
    {0x14, "FETCH_ADD", kRc, K::Atomic, P::Only, kAtomicEth},
    {0x16, "SEND_LAST_WITH_INVALIDATE", kRc, K::Send, P::Last, kInvalidate},
    {0x17, "SEND_ONLY_WITH_INVALIDATE", kRc, K::Send, P::Only, kInvalidate},
    {0x20, "UC_SEND_FIRST", kUc, K::Send, P::First, 0},
    {0x21, "UC_SEND_MIDDLE", kUc, K::Send, P::Middle, 0},
    {0x22, "UC_SEND_LAST", kUc, K::Send, P::Last, 0},
    {0x23, "UC_SEND_LAST_WITH_IMMEDIATE", kUc, K::Send, P::Last, kImmediate},
    {0x24, "UC_SEND_ONLY", kUc, K::Send, P::Only, 0},
    {0x25, "UC_SEND_ONLY_WITH_IMMEDIATE", kUc, K::Send, P::Only, kImmediate},
    {0x26, "UC_RDMA_WRITE_FIRST", kUc, K::Write, P::First, kReth},
    {0x27, "UC_RDMA_WRITE_MIDDLE", kUc, K::Write, P::Middle, 0},
    {0x28, "UC_RDMA_WRITE_LAST", kUc, K::Write, P::Last, 0},
    {0x29, "UC_RDMA_WRITE_LAST_WITH_IMMEDIATE", kUc, K::Write, P::Last, kImmediate},
    {0x2A, "UC_RDMA_WRITE_ONLY", kUc, K::Write, P::Only, kReth},
    {0x2B, "UC_RDMA_WRITE_ONLY_WITH_IMMEDIATE", kUc, K::Write, P::Only, kReth | kImmediate},
    {0x64, "UD_SEND_ONLY", Service::Datagram, K::Send, P::Only, kDeth},
    {0x65, "UD_SEND_ONLY_WITH_IMMEDIATE", Service::Datagram, K::Send, P::Only, kDeth | kImmediate},
    {0x81, "CNP", Service::Congestion, K::Cnp, P::Only, 0},
}};
// clang-format on

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

const Info* Find(std::uint8_t value) noexcept {
    for (const Info& info : kOpcodes) {
        if (info.value == value) {
            return &info;
        }
    }
    return nullptr;
}

const Info* Find(std::string_view name) noexcept {
    for (const Info& info : kOpcodes) {
        if (SameName(info.name, name)) {
            return &info;
        }
    }
    return nullptr;
}

// The extended headers in the order they follow the BTH, with their sizes.
constexpr std::array<std::pair<ExtendedHeader, std::size_t>, 7> kHeaderSizes{{
    {kDeth, 8},
    {kReth, 16},
    {kAtomicEth, 28},
    {kAeth, 4},
    {kAtomicAckEth, 8},
    {kImmediate, 4},
    {kInvalidate, 4},
}};

std::size_t ExtendedHeadersSize(const Info& info) noexcept {
    std::size_t size = 0;
    for (const auto& [header, bytes] : kHeaderSizes) {
        size += info.Has(header) ? bytes : 0;
    }
    return size;
}

std::size_t ExtendedHeaderOffset(const Info& info, ExtendedHeader header) noexcept {
    std::size_t offset = 0;
    for (const auto& [preceding, bytes] : kHeaderSizes) {
        if (preceding == header) {
            break;
        }
        offset += info.Has(preceding) ? bytes : 0;
    }
    return offset;
}

}  // namespace opcode
