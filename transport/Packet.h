#pragma once

#include "transport/Aeth.h"
#include "transport/Bth.h"

// A transport header paired with its acknowledgement extension.
class RocePacket {
public:
    RocePacket(const Bth& bth, const Aeth& aeth) : bth(bth), aeth(aeth) {}
    // Bth has no default, so an empty packet holds an all-zero acknowledgement.
    RocePacket() : bth(ACKNOWLEDGE, 0, 0, false), aeth(0, 0) {}

    const Bth& GetBth() const { return bth; }
    const Aeth& GetAeth() const { return aeth; }

private:
    Bth bth;
    Aeth aeth;
};
