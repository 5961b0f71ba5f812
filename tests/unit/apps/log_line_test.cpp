// The three programs' packet lines, whose fields scripts read.
#include <gtest/gtest.h>

#include <iostream>

#include "apps/midwire/MidwireLogLine.h"
#include "apps/wirebend/BendLogLine.h"
#include "apps/wirewatch/WatchLogLine.h"

namespace {

const Bth kAck(ACKNOWLEDGE, 0x1a, 0, false);
const Bth kFullWidth(static_cast<BthOpcode>(0xff), 0xffffff, 0xabcdef, true);

TEST(LogLines, MidwireWritesTheTimeInDecimalAndTheFieldsInHexadecimalBetweenTabs) {
    EXPECT_EQ(MidwireLogLine(Bth(SEND_ONLY, 0xd1, 0x2ab, true), 1796598373590),
              "[1796598373590]\t #2ab\topcode:4\t dest QP:d1\t ackreq:1");
    EXPECT_EQ(MidwireLogLine(kAck, 10), "[10]\t #0\topcode:11\t dest QP:1a\t ackreq:0");
    EXPECT_EQ(MidwireLogLine(kFullWidth, 9223372036854775807),
              "[9223372036854775807]\t #abcdef\topcode:ff\t dest QP:ffffff\t ackreq:1");
}

TEST(LogLines, WirewatchWritesHexadecimalOnEveryLine) {
    EXPECT_EQ(WatchLogLine(kAck), "op:11 #0 dest:1a ackreq:0");
    EXPECT_EQ(WatchLogLine(kAck), "op:11 #0 dest:1a ackreq:0");
    EXPECT_EQ(WatchLogLine(kFullWidth), "op:ff #abcdef dest:ffffff ackreq:1");
}

TEST(LogLines, WirebendWritesDecimalWhateverBaseStandardOutputHas) {
    std::cout << std::hex;
    EXPECT_EQ(BendLogLine(Bth(ACKNOWLEDGE, 26, 100, true)), "op:17 #100 dest:26");
    EXPECT_EQ(BendLogLine(kFullWidth), "op:255 #11259375 dest:16777215");
    std::cout << std::dec;
}

}  // namespace
