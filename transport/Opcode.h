#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Every transport opcode the bench recognises, beyond the few the send rules name: what
// service it belongs to, what kind of operation it carries, where it stands in a message, and
// which extended headers follow its BTH.
namespace opcode {

enum class Service : std::uint8_t { Reliable, Unreliable, Datagram, Congestion };

enum class Kind : std::uint8_t {
    Send,
    Write,
    ReadRequest,
    ReadResponse,
    Acknowledge,
    AtomicAcknowledge,
    Atomic,
    Cnp,
};

enum class Position : std::uint8_t { First, Middle, Last, Only };

// Extended headers, in the order they follow the BTH.
enum ExtendedHeader : std::uint8_t {
    kDeth = 1u << 0,          // 8 bytes, datagram
    kReth = 1u << 1,          // 16 bytes: virtual address, R_Key, DMA length
    kAtomicEth = 1u << 2,     // 28 bytes
    kAeth = 1u << 3,          // 4 bytes: syndrome, MSN
    kAtomicAckEth = 1u << 4,  // 8 bytes
    kImmediate = 1u << 5,     // 4 bytes
    kInvalidate = 1u << 6,    // 4 bytes
};

struct Info {
    std::uint8_t value;
    const char* name;
    Service service;
    Kind kind;
    Position position;
    std::uint8_t headers;  // ExtendedHeader bits

    [[nodiscard]] bool Has(ExtendedHeader header) const { return (headers & header) != 0; }
    // A request carries PSNs of the requester; every other opcode answers one.
    [[nodiscard]] bool IsRequest() const {
        return kind == Kind::Send || kind == Kind::Write || kind == Kind::ReadRequest ||
               kind == Kind::Atomic;
    }
};

constexpr std::uint8_t kSendFirst = 0x00;
constexpr std::uint8_t kSendMiddle = 0x01;
constexpr std::uint8_t kSendLast = 0x02;
constexpr std::uint8_t kSendLastWithImmediate = 0x03;
constexpr std::uint8_t kSendOnly = 0x04;
constexpr std::uint8_t kSendOnlyWithImmediate = 0x05;
constexpr std::uint8_t kRdmaWriteFirst = 0x06;
constexpr std::uint8_t kRdmaWriteMiddle = 0x07;
constexpr std::uint8_t kRdmaWriteLast = 0x08;
constexpr std::uint8_t kRdmaWriteLastWithImmediate = 0x09;
constexpr std::uint8_t kRdmaWriteOnly = 0x0A;
constexpr std::uint8_t kRdmaWriteOnlyWithImmediate = 0x0B;
constexpr std::uint8_t kRdmaReadRequest = 0x0C;
constexpr std::uint8_t kRdmaReadResponseFirst = 0x0D;
constexpr std::uint8_t kRdmaReadResponseMiddle = 0x0E;
constexpr std::uint8_t kRdmaReadResponseLast = 0x0F;
constexpr std::uint8_t kRdmaReadResponseOnly = 0x10;
constexpr std::uint8_t kAcknowledge = 0x11;
constexpr std::uint8_t kAtomicAcknowledge = 0x12;
constexpr std::uint8_t kCompareSwap = 0x13;
constexpr std::uint8_t kFetchAdd = 0x14;
constexpr std::uint8_t kSendLastWithInvalidate = 0x16;
constexpr std::uint8_t kSendOnlyWithInvalidate = 0x17;
constexpr std::uint8_t kUcSendFirst = 0x20;
constexpr std::uint8_t kUcRdmaWriteOnlyWithImmediate = 0x2B;
constexpr std::uint8_t kUdSendOnly = 0x64;
constexpr std::uint8_t kUdSendOnlyWithImmediate = 0x65;
constexpr std::uint8_t kCnp = 0x81;

// The opcode's entry, or null for a value the bench does not know.
[[nodiscard]] const Info* Find(std::uint8_t value) noexcept;
// By its name as Info::name spells it ("SEND_ONLY", "RDMA_WRITE_FIRST", "UC_SEND_FIRST",
// "UD_SEND_ONLY", "CNP"), case-insensitively; null when there is none.
[[nodiscard]] const Info* Find(std::string_view name) noexcept;
// Bytes of extended headers between the BTH and the data.
[[nodiscard]] std::size_t ExtendedHeadersSize(const Info& info) noexcept;
// Bytes between the end of the BTH and the start of `header`: the sizes of the opcode's
// extended headers that come before it.
[[nodiscard]] std::size_t ExtendedHeaderOffset(const Info& info, ExtendedHeader header) noexcept;

}  // namespace opcode
