#include "apps/wirebend/BendLogLine.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

TEST(BendLogLine, WritesEveryNumberInDecimal) {
    EXPECT_EQ(BendLogLine(Bth(ACKNOWLEDGE, 26, 100, true)), "op:17 #100 dest:26");
    EXPECT_EQ(BendLogLine(Bth(static_cast<BthOpcode>(0xff), 0xffffff, 0, false)),
              "op:255 #0 dest:16777215");
}

TEST(BendLogLine, IgnoresTheBaseLeftOnStandardOutput) {
    std::cout << std::hex;
    EXPECT_EQ(BendLogLine(Bth(SEND_ONLY, 0x1a, 0x2ab, false)), "op:4 #683 dest:26");
    std::cout << std::dec;
}

}  // namespace
