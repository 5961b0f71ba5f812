#pragma once

#include <cstdint>

// The ACK extended transport header that follows the BTH of an acknowledgement.
// The bench declares it for completeness; the extraction never reads it.
class Aeth {
public:
    Aeth(std::uint32_t syndrome, std::uint32_t msn) : syndrome(syndrome), msn(msn) {}

    std::uint32_t GetSyndrome() const { return syndrome; }
    std::uint32_t GetMsn() const { return msn; }

private:
    std::uint32_t syndrome;
    std::uint32_t msn;
};
