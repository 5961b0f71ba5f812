#pragma once

#include <cstdint>

// The ACK extended transport header that follows the BTH of an acknowledgement and of the
// first and last READ responses.
class Aeth {
public:
    // What the syndrome's bits 6-5 say the acknowledgement is.
    enum class Type : std::uint8_t { Ack = 0, ReceiverNotReady = 1, Reserved = 2, Nak = 3 };
    // A NAK's code, the syndrome's low five bits.
    enum NakCode : std::uint8_t {
        kPsnSequenceError = 0,
        kInvalidRequest = 1,
        kRemoteAccessError = 2,
        kRemoteOperationalError = 3,
    };

    Aeth(std::uint32_t syndrome, std::uint32_t msn) : syndrome(syndrome), msn(msn) {}

    std::uint32_t GetSyndrome() const { return syndrome; }
    std::uint32_t GetMsn() const { return msn; }

    Type GetType() const { return static_cast<Type>((syndrome >> 5) & 0x3u); }
    std::uint8_t GetCode() const { return static_cast<std::uint8_t>(syndrome & 0x1Fu); }
    bool IsNak(NakCode code) const { return GetType() == Type::Nak && GetCode() == code; }

private:
    std::uint32_t syndrome;
    std::uint32_t msn;
};
