#include "wire/LossReport.h"

#include <gtest/gtest.h>

#include <sstream>

#include "wire/Console.h"

namespace {

using Lines = std::vector<std::string>;

TEST(LossReport, NamesEachKindOfLossOnItsOwnLineAndNothingElse) {
    wire::CaptureLosses losses;
    losses.kernelDrops = 12;
    losses.unparsed = 1;
    losses.callbackErrors = 3;
    losses.firstCallbackError = "boom";
    EXPECT_EQ(
        wire::CaptureLossLines("enp1s0f1 in", losses),
        (Lines{"enp1s0f1 in: 12 frames dropped by the kernel",
               "enp1s0f1 in: 1 frame not parsable as Ethernet",
               "enp1s0f1 in: 3 frames abandoned after an error in its handler (first: boom)"}));
    EXPECT_EQ(wire::UnsentLines("enp1s0f0", 2), Lines{"enp1s0f0 out: 2 frames could not be sent"});
    EXPECT_TRUE(wire::CaptureLossLines("enp1s0f0 out", {}).empty());
    EXPECT_TRUE(wire::UnsentLines("enp1s0f0", 0).empty());
}

TEST(LossReport, ReportsOnlyWhatWasLost) {
    wire::CaptureSet captures;
    captures.Add("wh4-never", PCAP_D_IN, [](wire::CapturedFrame&) { return true; });
    wire::Sender idle("wh4-idle");
    wire::Sender unopened("wh4-never");
    EXPECT_FALSE(unopened.Send(wire::CapturedFrame(std::vector<uint8_t>(60, 0xff))));
    std::ostringstream out;
    wire::WriteLossReport(out, captures, {&idle, &unopened});
    EXPECT_EQ(out.str(), "wh4-never out: 1 frame could not be sent\n");
}

TEST(ParseHexQp, ReadsLeadingHexDigitsWithOrWithoutPrefix) {
    EXPECT_EQ(wire::ParseHexQp("0x1a"), 0x1au);
    EXPECT_EQ(wire::ParseHexQp("1A"), 0x1au);
    EXPECT_EQ(wire::ParseHexQp("ffffff"), 0xffffffu);
    EXPECT_EQ(wire::ParseHexQp("12zz"), 0x12u);
    EXPECT_EQ(wire::ParseHexQp("qp"), 0u);
}

}  // namespace
