// The three programs' packet lines, whose fields scripts read, at their widest; the end-to-end
// tests' expected logs hold the ordinary lines.
#include <gtest/gtest.h>

#include <iostream>

#include "apps/midwire/MidwireLogLine.h"
#include "apps/wirebend/BendLogLine.h"
#include "apps/wirewatch/WatchLogLine.h"

namespace {

TEST(LogLines, EachProgramWritesEveryFieldInItsOwnBase) {
    const Bth widest(static_cast<BthOpcode>(0xff), 0xffffff, 0xabcdef, true);
    EXPECT_EQ(MidwireLogLine(widest, 9223372036854775807),
              "[9223372036854775807]\t #abcdef\topcode:ff\t dest QP:ffffff\t ackreq:1");
    EXPECT_EQ(WatchLogLine(widest), "op:ff #abcdef dest:ffffff ackreq:1");
    // Whatever base standard output was left in.
    std::cout << std::hex;
    EXPECT_EQ(BendLogLine(widest), "op:255 #11259375 dest:16777215");
    std::cout << std::dec;
}

}  // namespace
