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
    EXPECT_TRUE(Dispatch(dispatcher, roce));
    EXPECT_TRUE(Dispatch(dispatcher, odd));
    goOn = false;
    EXPECT_FALSE(Dispatch(dispatcher, arp));
    goOn = true;
    dispatcher.RequestStop();
    // A stop still hands over the frame in hand: it is forwarded, not lost.
    EXPECT_FALSE(Dispatch(dispatcher, roce));

    EXPECT_EQ(dispatcher.FramesSeen(), 4u);
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
