#include "modifier/FrameMutators.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/unit/modifier/ModifierTest.h"

namespace {

using namespace modifiertest;

using Offsets = std::vector<std::size_t>;

constexpr std::size_t kIpv4Bth = kEthernetSize + kIpv4Size + kUdpSize;
constexpr std::size_t kIpv6Bth = kEthernetSize + kIpv6Size + kUdpSize;
constexpr std::size_t kUdpChecksum = kIpv4Bth - 2;
constexpr std::size_t kIpv4Checksum = kEthernetSize + 10;

// Offsets of the bytes that differ, but for those `ignored`.
Offsets Differences(const Bytes& a, const Bytes& b, const Offsets& ignored = {}) {
    Offsets at;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i] != b[i] && std::find(ignored.begin(), ignored.end(), i) == ignored.end()) {
            at.push_back(i);
        }
    }
    return at;
}

// Corrupts a copy of `frame`; the view is read from the original, as the bench reads it.
Bytes Corrupted(const Bytes& frame, bool expected = true) {
    Bytes copy = frame;
    EXPECT_EQ(CorruptAfterBth(copy.data(), copy.size(), ReadFrame(frame.data(), frame.size())),
              expected);
    return copy;
}

Bytes Marked(const Bytes& frame, bool expected = true) {
    Bytes copy = frame;
    const FrameView view = ReadFrame(frame.data(), frame.size());
    EXPECT_EQ(IsEcnCapable(view), expected);
    EXPECT_EQ(MarkCongestion(copy.data(), copy.size(), view), expected);
    return copy;
}

// With nothing else after the BTH, the ICRC's first byte; a UDP checksum in use stays valid
// whichever half of its word the flipped byte is.
TEST(CorruptAfterBth, FlipsOneBitOfTheFirstByteAfterTheBth) {
    for (int version : {4, 6}) {
        const Bytes frame = Build({version});
        const Bytes corrupted = Corrupted(frame);
        const std::size_t at = (version == 4 ? kIpv4Bth : kIpv6Bth) + 12;
        ASSERT_EQ(Differences(frame, corrupted), Offsets{at}) << version;
        EXPECT_EQ(frame[at] ^ corrupted[at], 0x01);
    }
    for (std::size_t afterBth : {0, 1, 2, 3}) {
        FrameShape shape;
        shape.udpChecksum = true;
        shape.afterBth = Bytes(afterBth, 0x5A);
        const Bytes frame = Build(shape);
        ASSERT_TRUE(UdpChecksumValid(frame));
        const Bytes corrupted = Corrupted(frame);
        EXPECT_TRUE(UdpChecksumValid(corrupted)) << afterBth;
        EXPECT_EQ(Differences(frame, corrupted, {kUdpChecksum, kUdpChecksum + 1}),
                  Offsets{kIpv4Bth + 12});
    }
}

TEST(CorruptAfterBth, RefusesFramesWithoutAByteAfterTheBth) {
    FrameShape bare;
    bare.afterBth = {};
    Bytes noIcrc = Build(bare);
    noIcrc.resize(noIcrc.size() - 4);
    noIcrc[kEthernetSize + 3] -= 4;  // IPv4 total length
    EXPECT_EQ(Corrupted(noIcrc, false), noIcrc);
    Bytes other = Build({});
    other[kEthernetSize + kIpv4Size + 3] = 0x35;  // to port 4661
    EXPECT_EQ(Corrupted(other, false), other);
    Bytes frame = Build({});
    const FrameView view = ReadFrame(frame.data(), frame.size());
    EXPECT_FALSE(CorruptAfterBth(frame.data(), kIpv4Bth + 12, view)) << "a shorter buffer";
}

// DSCP 46 kept, ECN 11; IPv4's header checksum follows, IPv6's flow label stays.
TEST(MarkCongestion, SetsCongestionExperiencedOnEcnCapablePacketsOnly) {
    for (std::uint8_t ect : {0b01, 0b10}) {
        const Bytes frame = Build({4, ect});
        const Bytes marked = Marked(frame);
        EXPECT_EQ(marked[15], 0xBB);
        EXPECT_TRUE(Ipv4HeaderChecksumValid(marked));
        EXPECT_EQ(Differences(frame, marked, {kIpv4Checksum, kIpv4Checksum + 1}), Offsets{15});
        EXPECT_FALSE(IsEcnCapable(ReadFrame(marked.data(), marked.size())));
    }
    const Bytes frame = Build({6, 0b10});
    const Bytes marked = Marked(frame);
    EXPECT_EQ(Differences(frame, marked), Offsets{15});
    EXPECT_EQ(marked[15], 0xBA);
    for (int version : {4, 6}) {
        for (std::uint8_t ecn : {0b00, 0b11}) {
            const Bytes notCapable = Build({version, ecn});
            EXPECT_EQ(Marked(notCapable, false), notCapable);
        }
    }
    Bytes arp(42, 0);
    arp[12] = 0x08;
    arp[13] = 0x06;
    EXPECT_EQ(Marked(arp, false), arp);
}

}  // namespace
