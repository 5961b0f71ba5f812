#include "wire/LossReport.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "wire/Error.h"

namespace {

using Lines = std::vector<std::string>;

// A failing callback costs only its frame: the loop goes on and the loss is counted, its first
// message kept. The callback's own false still ends the loop.
TEST(FrameDispatcher, HandsOverTheFrameAndContainsWhatTheCallbackThrows) {
    const std::uint8_t bytes[] = {1, 2, 3};
    int calls = 0;
    wire::FrameDispatcher dispatcher([&](const wire::RawFrame& frame) -> bool {
        EXPECT_TRUE(frame.data == bytes && frame.size == 3 && frame.captureTimeNs == 7);
        switch (++calls) {
            case 1:
                throw std::runtime_error("log closed");
            case 2:
                throw 42;
            default:
                return calls == 3;
        }
    });
    for (bool goOn : {true, true, true, false}) {
        EXPECT_EQ(dispatcher.Dispatch({bytes, 3, 7}), goOn);
    }
    EXPECT_EQ(dispatcher.FramesSeen(), 4u);
    EXPECT_EQ(dispatcher.Losses().callbackErrors, 2u);
    EXPECT_EQ(dispatcher.Losses().firstCallbackError, "log closed");
}

TEST(LossReport, NamesEachKindOfLossOnItsOwnLineAndNothingElse) {
    wire::CaptureLosses losses{12, 3, 1, "boom"};
    EXPECT_EQ(wire::CaptureLossLines("enp1s0f1 in", losses),
              (Lines{"enp1s0f1 in: 12 frames dropped by the kernel",
                     "enp1s0f1 in: 3 frames abandoned after an error in its handler (first: boom)",
                     "enp1s0f1 in: 1 frame left unhandled at the stop"}));
    EXPECT_EQ(wire::InjectorLines("enp1s0f1 in", 0, 8, 1),
              Lines{"enp1s0f1 in: 1 packet held by the fault injector at the stop, not sent"});
    wire::CaptureSet captures;
    captures.Add("wh4-never", PCAP_D_IN, [](const wire::RawFrame&) { return true; });
    std::string refusal = "(opened)";
    try {
        captures.OpenAll();
    } catch (const wire::Error& e) {
        refusal = e.what();
    }
    EXPECT_EQ(refusal, "wh4-never: no such interface");
    wire::Sender idle("wh4-idle");
    wire::Sender unopened("wh4-never");
    const std::uint8_t frame[60] = {};
    EXPECT_FALSE(unopened.Send(frame, sizeof(frame)));
    std::ostringstream out;
    wire::WriteLossReport(out, captures, {&idle, &unopened});
    EXPECT_EQ(out.str(), "wh4-never out: 1 frame could not be sent\n");
}

}  // namespace
