#pragma once

#include <cstdint>

// PSNs and queue pair numbers are 24 bits wide; PSN arithmetic wraps with this mask.
constexpr std::uint32_t kPsnMask = 0xFFFFFF;

// Transport opcodes of the reliable-connection service that the bench knows.
// The underlying byte type lets an object carry any opcode read off the wire,
// also one without an enumerator.
enum BthOpcode : std::uint8_t {
    SEND_FIRST = 0,
    SEND_MIDLLE = 1,
    SEND_LAST = 2,
    SEND_ONLY = 4,
    ACKNOWLEDGE = 17,
};

// The four Base Transport Header fields the bench reads. Immutable once built;
// the values are stored exactly as given, without masking.
class Bth {
public:
    Bth(BthOpcode bthOpcode, unsigned int destQp, unsigned int psn, bool ackreq)
        : bthOpcode(bthOpcode), destinationQp(destQp), psn(psn), ackreq(ackreq) {}

    BthOpcode GetBthOpcode() const { return bthOpcode; }
    unsigned int GetDestinationQp() const { return destinationQp; }
    unsigned int GetPsn() const { return psn; }
    bool IsAckReq() const { return ackreq; }

private:
    BthOpcode bthOpcode;
    std::uint32_t destinationQp;
    std::uint32_t psn;
    bool ackreq;
};
