#pragma once

#include <tins/ethernetII.h>
#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/udp.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "modifier/Modifier.h"
#include "transport/RoceFrame.h"

namespace modifier_test {

// An Ethernet layer that counts how many of its kind exist, so a test can
// prove that a buffer of owned pointers neither leaks nor frees twice.
class TrackedFrame : public Tins::EthernetII {
public:
    static inline std::atomic<int> constructed{0};
    static inline std::atomic<int> destroyed{0};
    static inline std::atomic<int> cloned{0};

    static void ResetCounts() {
        constructed = 0;
        destroyed = 0;
        cloned = 0;
    }
    static int Alive() { return constructed - destroyed; }

    TrackedFrame() { ++constructed; }
    TrackedFrame(const TrackedFrame& other) : Tins::EthernetII(other) { ++constructed; }
    TrackedFrame& operator=(const TrackedFrame&) = delete;
    ~TrackedFrame() override { ++destroyed; }

    TrackedFrame* clone() const override {
        ++cloned;
        return new TrackedFrame(*this);
    }
};

// A complete Ethernet/IP/UDP frame to `dport` whose UDP source port tags it.
inline std::unique_ptr<Tins::PDU> MakeFrame(std::uint16_t tag, std::uint16_t dport = kRocePort) {
    auto frame = std::make_unique<Tins::EthernetII>();
    *frame /=
        Tins::IP("10.0.0.2", "10.0.0.1") / Tins::UDP(dport, tag) /
        Tins::RawPDU(std::vector<std::uint8_t>{0x04, 0x00, 0xff, 0xff, 0x00, 0x00, 0x01, 0x02, 0x80,
                                               0x00, 0x00, 0x07, static_cast<std::uint8_t>(tag)});
    return frame;
}

// As MakeFrame, but with a lifetime-counting outer layer.
inline std::unique_ptr<TrackedFrame> MakeTrackedFrame(std::uint16_t tag,
                                                      std::uint16_t dport = kRocePort) {
    auto frame = std::make_unique<TrackedFrame>();
    *frame /= Tins::IP("10.0.0.2", "10.0.0.1") / Tins::UDP(dport, tag) /
              Tins::RawPDU(std::vector<std::uint8_t>{0x00, 0x01, 0x02});
    return frame;
}

inline std::uint16_t TagOf(const Tins::PDU& packet) {
    return packet.rfind_pdu<Tins::UDP>().sport();
}

// Buffers one RoCE frame per tag, in the order given.
inline void InjectTags(Modifier& modifier, const std::vector<std::uint16_t>& tags) {
    for (std::uint16_t tag : tags) {
        modifier.InjectPacket(MakeFrame(tag).get());
    }
}

struct Release {
    std::uint16_t tag;
    bool valid;
};

// Takes one packet out, frees it, and says which packet it was and whether it
// was to be sent.
inline Release ReleaseOne(Modifier& modifier) {
    bool valid = false;
    std::unique_ptr<Tins::PDU> packet(modifier.GetPacket(&valid));
    if (!packet) {
        return {0, false};
    }
    return {TagOf(*packet), valid};
}

// The next `count` values of the process generator after seeding it with `seed`.
inline std::vector<int> RawDraws(unsigned seed, std::size_t count) {
    std::srand(seed);
    std::vector<int> draws(count);
    for (int& draw : draws) {
        draw = std::rand();
    }
    return draws;
}

// A draw from lo..hi as the modifier makes it from the raw value `raw`.
inline int Between(int raw, int lo, int hi) {
    return lo + raw % (hi - lo + 1);
}

// The first seed whose first `count` raw draws satisfy `wanted`. Seeding the
// generator from the test is how the cases reach specific decisions.
inline unsigned FindSeed(std::size_t count,
                         const std::function<bool(const std::vector<int>&)>& wanted) {
    for (unsigned seed = 1; seed < 2000000; ++seed) {
        if (wanted(RawDraws(seed, count))) {
            return seed;
        }
    }
    return 0;
}

inline ModifierParams WithDistribution(std::int32_t none, std::int32_t drop, std::int32_t delay,
                                       std::int32_t reorder) {
    ModifierParams params;
    params.distribution = {none, drop, delay, reorder};
    return params;
}

}  // namespace modifier_test
