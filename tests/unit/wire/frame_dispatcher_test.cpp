#include "wire/FrameDispatcher.h"

#include <gtest/gtest.h>
#include <tins/exceptions.h>

#include <stdexcept>
#include <vector>

#include "tests/unit/wire/TestFrames.h"

namespace {

using wire::CapturedFrame;
using wire::FrameDispatcher;
using Bytes = std::vector<uint8_t>;

bool Dispatch(FrameDispatcher& dispatcher, const Bytes& bytes) {
    return dispatcher.Dispatch(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

TEST(FrameDispatcher, HandsOverExactBytesUntilTheCallbackOrAStopRequestEndsTheLoop) {
    const Bytes roce = wire_test::RoceFrameWithZeroChecksum();
    const Bytes arp = wire_test::ShortArpFrame();
    const Bytes odd = wire_test::OddFrame();
    std::vector<Bytes> seen;
    bool goOn = true;
    FrameDispatcher dispatcher([&](CapturedFrame& frame) {
        seen.push_back(frame.bytes());
        return goOn;
    });
    Tins::RawPDU raw(roce);
    CapturedFrame captured(odd);
    Tins::EthernetII parsed(odd.data(), static_cast<uint32_t>(odd.size()));
    EXPECT_TRUE(dispatcher(raw));
    EXPECT_TRUE(dispatcher(captured));
    EXPECT_TRUE(dispatcher(parsed));
    goOn = false;
    EXPECT_FALSE(Dispatch(dispatcher, arp));
    goOn = true;
    dispatcher.RequestStop();
    // A stop still hands over the frame in hand: it is forwarded, not lost.
    EXPECT_FALSE(Dispatch(dispatcher, roce));

    EXPECT_EQ(dispatcher.FramesSeen(), 5u);
    ASSERT_EQ(seen.size(), 5u);
    // libtins pads what it serialises itself; only the frame's own bytes are comparable.
    ASSERT_GE(seen[2].size(), odd.size());
    EXPECT_EQ(Bytes(seen[2].begin(), seen[2].begin() + odd.size()), odd);
    seen.erase(seen.begin() + 2);
    EXPECT_EQ(seen, (std::vector<Bytes>{roce, odd, arp, roce}));
}

// libtins' own lookup errors drop the frame silently, as its capture loop does; anything else
// is counted with its first message kept. Either way the loop goes on.
TEST(FrameDispatcher, ParseAndCallbackErrorsDropOnlyTheFrame) {
    int calls = 0;
    FrameDispatcher dispatcher([&](CapturedFrame& frame) -> bool {
        switch (++calls) {
            case 1:
                return frame.rfind_pdu<Tins::UDP>().dport() > 0;  // an ARP frame has none
            case 2:
                throw Tins::malformed_packet();
            case 3:
                throw std::runtime_error("log stream closed");
            default:
                throw 42;
        }
    });
    EXPECT_TRUE(Dispatch(dispatcher, Bytes(9, 0)));
    EXPECT_EQ(calls, 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(Dispatch(dispatcher, wire_test::ShortArpFrame()));
    }
    const wire::CaptureLosses losses = dispatcher.Losses();
    EXPECT_EQ(losses.unparsed, 1u);
    EXPECT_EQ(losses.callbackErrors, 2u);
    EXPECT_EQ(losses.firstCallbackError, "log stream closed");
}

}  // namespace
