#include "wire/FrameDispatcher.h"

#include <gtest/gtest.h>
#include <tins/exceptions.h>
#include <tins/packet_writer.h>
#include <tins/sniffer.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/unit/wire/TestFrames.h"

namespace {

using wire::CapturedFrame;
using wire::FrameDispatcher;

bool Dispatch(FrameDispatcher& dispatcher, const std::vector<uint8_t>& bytes) {
    return dispatcher.Dispatch(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

TEST(FrameDispatcher, HandsTheExactBytesToTheCallbackAndGoesOnWhileItReturnsTrue) {
    std::vector<std::vector<uint8_t>> seen;
    FrameDispatcher dispatcher([&](CapturedFrame& frame) {
        seen.push_back(frame.bytes());
        return seen.size() < 2;
    });
    EXPECT_TRUE(Dispatch(dispatcher, wire_test::RoceFrameWithZeroChecksum()));
    EXPECT_FALSE(Dispatch(dispatcher, wire_test::ShortArpFrame()));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], wire_test::RoceFrameWithZeroChecksum());
    EXPECT_EQ(seen[1], wire_test::ShortArpFrame());
    EXPECT_EQ(dispatcher.FramesSeen(), 2u);
}

TEST(FrameDispatcher, CountsUnparsableFramesWithoutCallingBack) {
    int calls = 0;
    FrameDispatcher dispatcher([&](CapturedFrame&) { return ++calls > 0; });
    EXPECT_TRUE(Dispatch(dispatcher, std::vector<uint8_t>(9, 0)));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(dispatcher.Losses().unparsed, 1u);
}

TEST(FrameDispatcher, LibtinsLookupErrorsDropTheFrameQuietly) {
    FrameDispatcher dispatcher([](CapturedFrame& frame) -> bool {
        frame.rfind_pdu<Tins::UDP>();  // an ARP frame has none
        throw Tins::malformed_packet();
    });
    EXPECT_TRUE(Dispatch(dispatcher, wire_test::ShortArpFrame()));
    EXPECT_TRUE(Dispatch(dispatcher, wire_test::RoceFrameWithZeroChecksum()));
    const auto losses = dispatcher.Losses();
    EXPECT_EQ(losses.callbackErrors, 0u);
    EXPECT_EQ(losses.unparsed, 0u);
}

TEST(FrameDispatcher, OtherCallbackErrorsAreCountedAndTheFirstMessageKept) {
    int calls = 0;
    FrameDispatcher dispatcher([&](CapturedFrame&) -> bool {
        if (++calls == 1) {
            throw std::runtime_error("log stream closed");
        }
        throw 42;
    });
    EXPECT_TRUE(Dispatch(dispatcher, wire_test::ShortArpFrame()));
    EXPECT_TRUE(Dispatch(dispatcher, wire_test::ShortArpFrame()));
    const auto losses = dispatcher.Losses();
    EXPECT_EQ(losses.callbackErrors, 2u);
    EXPECT_EQ(losses.firstCallbackError, "log stream closed");
}

// A frame captured before the stop must still be handled: it is forwarded, not lost.
TEST(FrameDispatcher, AStopRequestEndsTheLoopAfterHandlingTheFrameInHand) {
    int calls = 0;
    FrameDispatcher dispatcher([&](CapturedFrame&) { return ++calls > 0; });
    dispatcher.RequestStop();
    EXPECT_FALSE(Dispatch(dispatcher, wire_test::ShortArpFrame()));
    EXPECT_EQ(calls, 1);
}

TEST(FrameDispatcher, AcceptsRawAndParsedLibtinsFrames) {
    std::vector<std::vector<uint8_t>> seen;
    FrameDispatcher dispatcher([&](CapturedFrame& frame) {
        seen.push_back(frame.bytes());
        return true;
    });
    Tins::RawPDU raw(wire_test::RoceFrameWithZeroChecksum());
    EXPECT_TRUE(dispatcher(raw));
    CapturedFrame captured(wire_test::Odd46ByteFrame());
    EXPECT_TRUE(dispatcher(captured));
    Tins::EthernetII parsed(wire_test::Odd46ByteFrame().data(), 46);
    EXPECT_TRUE(dispatcher(parsed));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], wire_test::RoceFrameWithZeroChecksum());
    EXPECT_EQ(seen[1], wire_test::Odd46ByteFrame());
    // libtins pads what it serialises itself; only the frame's own bytes are comparable.
    const auto odd = wire_test::Odd46ByteFrame();
    ASSERT_GE(seen[2].size(), odd.size());
    EXPECT_TRUE(std::equal(odd.begin(), odd.end(), seen[2].begin()));
}

// A capture file read with raw extraction reaches the callback byte for byte, short frames too.
TEST(FrameDispatcher, ReplaysACaptureFileExactly) {
    const std::string path = "/tmp/wire_dispatch_" + std::to_string(getpid()) + ".pcap";
    const std::vector<std::vector<uint8_t>> frames = {wire_test::RoceFrameWithZeroChecksum(),
                                                      wire_test::ShortArpFrame(),
                                                      wire_test::Odd46ByteFrame()};
    {
        Tins::PacketWriter writer(path, Tins::DataLinkType<Tins::EthernetII>());
        for (const auto& bytes : frames) {
            Tins::RawPDU raw(bytes);
            writer.write(raw);
        }
    }
    std::vector<std::vector<uint8_t>> seen;
    FrameDispatcher dispatcher([&](CapturedFrame& frame) {
        seen.push_back(frame.bytes());
        return true;
    });
    Tins::FileSniffer file(path);
    file.set_extract_raw_pdus(true);
    file.sniff_loop([&](Tins::PDU& pdu) { return dispatcher(pdu); });
    std::remove(path.c_str());
    EXPECT_EQ(seen, frames);
}

}  // namespace
