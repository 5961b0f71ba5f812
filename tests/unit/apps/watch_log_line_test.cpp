#include "apps/wirewatch/WatchLogLine.h"

#include <gtest/gtest.h>

namespace {

TEST(WatchLogLine, WritesEveryNumberInHexadecimal) {
    EXPECT_EQ(WatchLogLine(Bth(SEND_ONLY, 0xd1, 0x2ab, true)), "op:4 #2ab dest:d1 ackreq:1");
    // An acknowledgement reads 11 on every line, so 17 and 0x17 can never be confused.
    EXPECT_EQ(WatchLogLine(Bth(ACKNOWLEDGE, 0x1a, 0, false)), "op:11 #0 dest:1a ackreq:0");
    EXPECT_EQ(WatchLogLine(Bth(ACKNOWLEDGE, 0x1a, 0, false)), "op:11 #0 dest:1a ackreq:0");
}

TEST(WatchLogLine, WritesFullWidthFieldsWithoutPaddingOrPrefix) {
    EXPECT_EQ(WatchLogLine(Bth(static_cast<BthOpcode>(0xff), 0xffffff, 0xabcdef, true)),
              "op:ff #abcdef dest:ffffff ackreq:1");
    EXPECT_EQ(WatchLogLine(Bth(SEND_FIRST, 0, 1, false)), "op:0 #1 dest:0 ackreq:0");
}

}  // namespace
