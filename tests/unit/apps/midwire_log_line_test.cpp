#include "apps/midwire/MidwireLogLine.h"

#include <gtest/gtest.h>

namespace {

TEST(MidwireLogLine, TimeInDecimalThenHexadecimalFieldsSeparatedByTabs) {
    EXPECT_EQ(MidwireLogLine(Bth(SEND_ONLY, 0xd1, 0x2ab, true), 1796598373590),
              "[1796598373590]\t #2ab\topcode:4\t dest QP:d1\t ackreq:1");
    // An acknowledgement's opcode reads 11; a PSN of 0 is the single digit.
    EXPECT_EQ(MidwireLogLine(Bth(ACKNOWLEDGE, 0x1a, 0, false), 10),
              "[10]\t #0\topcode:11\t dest QP:1a\t ackreq:0");
}

TEST(MidwireLogLine, FullWidthFieldsHaveNeitherPaddingNorPrefix) {
    EXPECT_EQ(MidwireLogLine(Bth(static_cast<BthOpcode>(0xff), 0xffffff, 0xabcdef, true),
                             9223372036854775807),
              "[9223372036854775807]\t #abcdef\topcode:ff\t dest QP:ffffff\t ackreq:1");
}

}  // namespace
