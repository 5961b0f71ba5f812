#include "modifier/FrameMutators.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/unit/modifier/TestFrames.h"

namespace {

using testframes::Build;
using testframes::Bytes;
using testframes::FrameShape;

constexpr std::size_t kIpv4Bth = testframes::kEthernetSize + testframes::kIpv4Size + 8;
constexpr std::size_t kIpv6Bth = testframes::kEthernetSize + testframes::kIpv6Size + 8;
constexpr std::size_t kUdpChecksum = kIpv4Bth - 2;

// Offsets of the bytes that differ.
std::vector<std::size_t> Differences(const Bytes& a, const Bytes& b) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i] != b[i]) {
            at.push_back(i);
        }
    }
    return at;
}

// The first offset is among the differences, and nothing outside the listed ones.
bool OnlyAmong(const std::vector<std::size_t>& differences, std::vector<std::size_t> allowed) {
    if (std::find(differences.begin(), differences.end(), allowed[0]) == differences.end()) {
        return false;
    }
    for (std::size_t at : differences) {
        if (std::find(allowed.begin(), allowed.end(), at) == allowed.end()) {
            return false;
        }
    }
    return true;
}

unsigned BitsDiffering(std::uint8_t a, std::uint8_t b) {
    return static_cast<unsigned>(__builtin_popcount(a ^ b));
}

// Corrupts a copy of `frame`; the view is read from the original, as the bench reads it.
Bytes Corrupted(const Bytes& frame, bool expected = true) {
    Bytes copy = frame;
    EXPECT_EQ(CorruptAfterBth(copy.data(), copy.size(), ReadFrame(frame.data(), frame.size())),
              expected);
    return copy;
}

TEST(CorruptAfterBth, FlipsOneBitOfTheFirstByteAfterTheBth) {
    for (int version : {4, 6}) {
        const Bytes frame = Build({version});
        const Bytes corrupted = Corrupted(frame);
        const std::size_t at = (version == 4 ? kIpv4Bth : kIpv6Bth) + 12;
        ASSERT_EQ(Differences(frame, corrupted), std::vector<std::size_t>{at}) << version;
        EXPECT_EQ(BitsDiffering(frame[at], corrupted[at]), 1u);
        EXPECT_EQ(frame[at], 0xA0) << "the first byte after the BTH";
    }
    FrameShape bare;
    bare.afterBth = {};
    const Bytes onlyIcrc = Build(bare);
    EXPECT_EQ(Differences(onlyIcrc, Corrupted(onlyIcrc)), std::vector<std::size_t>{kIpv4Bth + 12})
        << "the first ICRC byte when nothing else follows the BTH";
}

TEST(CorruptAfterBth, KeepsAUdpChecksumInUseValid) {
    for (std::size_t afterBth : {0, 1, 2, 3}) {  // the flipped byte on either half of a word
        FrameShape shape;
        shape.udpChecksum = true;
        shape.afterBth = Bytes(afterBth, 0x5A);
        const Bytes frame = Build(shape);
        ASSERT_TRUE(testframes::UdpChecksumValid(frame));
        const Bytes corrupted = Corrupted(frame);
        EXPECT_TRUE(testframes::UdpChecksumValid(corrupted)) << afterBth;
        EXPECT_TRUE(OnlyAmong(Differences(frame, corrupted),
                              {kIpv4Bth + 12, kUdpChecksum, kUdpChecksum + 1}));
    }
}

TEST(CorruptAfterBth, RefusesFramesWithoutAByteAfterTheBth) {
    FrameShape bare;
    bare.afterBth = {};
    Bytes noIcrc = Build(bare);
    noIcrc.resize(noIcrc.size() - 4);
    noIcrc[testframes::kEthernetSize + 3] -= 4;  // IPv4 total length
    EXPECT_EQ(Corrupted(noIcrc, false), noIcrc);
    Bytes other = Build({});
    other[testframes::kEthernetSize + testframes::kIpv4Size + 3] = 0x35;  // to port 4661
    EXPECT_EQ(Corrupted(other, false), other);
    Bytes frame = Build({});
    const FrameView view = ReadFrame(frame.data(), frame.size());
    EXPECT_FALSE(CorruptAfterBth(frame.data(), kIpv4Bth + 12, view)) << "a shorter buffer";
}

TEST(MarkCongestion, SetsCongestionExperiencedOnIpv4AndFixesTheHeaderChecksum) {
    for (std::uint8_t ect : {0b01, 0b10}) {
        const Bytes frame = Build({4, ect});
        Bytes marked = frame;
        const FrameView view = ReadFrame(frame.data(), frame.size());
        EXPECT_TRUE(IsEcnCapable(view));
        ASSERT_TRUE(MarkCongestion(marked.data(), marked.size(), view));
        EXPECT_EQ(marked[15], 0xBB) << "DSCP kept, ECN 11";
        EXPECT_TRUE(testframes::Ipv4HeaderChecksumValid(marked));
        EXPECT_TRUE(OnlyAmong(Differences(frame, marked), {15, 24, 25}));
        EXPECT_FALSE(IsEcnCapable(ReadFrame(marked.data(), marked.size())));
    }
}

TEST(MarkCongestion, SetsTheIpv6TrafficClassAlike) {
    const Bytes frame = Build({6, 0b10});
    Bytes marked = frame;
    ASSERT_TRUE(
        MarkCongestion(marked.data(), marked.size(), ReadFrame(frame.data(), frame.size())));
    EXPECT_EQ(Differences(frame, marked), std::vector<std::size_t>{15});
    EXPECT_EQ(marked[14], 0x6B);
    EXPECT_EQ(marked[15], 0xBA) << "traffic class B8|CE = BB, flow label's A kept";
}

TEST(MarkCongestion, LeavesPacketsThatAreNotEcnCapable) {
    for (int version : {4, 6}) {
        for (std::uint8_t ecn : {0b00, 0b11}) {
            const Bytes frame = Build({version, ecn});
            Bytes copy = frame;
            const FrameView view = ReadFrame(frame.data(), frame.size());
            EXPECT_FALSE(IsEcnCapable(view));
            EXPECT_FALSE(MarkCongestion(copy.data(), copy.size(), view));
            EXPECT_EQ(copy, frame);
        }
    }
    Bytes arp(42, 0);
    arp[12] = 0x08;
    arp[13] = 0x06;
    EXPECT_FALSE(MarkCongestion(arp.data(), arp.size(), ReadFrame(arp.data(), arp.size())));
}

}  // namespace
