#include "transport/Verifier.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "tests/unit/transport/CoutCapture.h"
#include "tests/unit/transport/VerifierTestSupport.h"

namespace {

bool CoutIsHex() {
    return (std::cout.flags() & std::ios::basefield) == std::ios::hex;
}

TEST(Registration, WritesTheLineAndLeavesCoutInHex) {
    Verifier verifier;
    verifier.AddDevice(Device{1, 1024, {}});
    verifier.AddDevice(Device{26, 1024, {}});
    CoutCapture capture;
    std::cout << std::dec;
    Qp first(0x1a2, 0x3c4);
    verifier.AddQpToDevice(1, first);
    Qp second(0xabcdef, 0x10);
    verifier.AddQpToDevice(26, second);
    EXPECT_TRUE(CoutIsHex());
    std::cout << 255;
    EXPECT_EQ(capture.Text(),
              "QP 1a2 was added to device 1. Peer QP: 3c4.\n"
              "QP abcdef was added to device 1a. Peer QP: 10.\n"
              "ff");
}

TEST(Registration, UnknownDeviceStoresAndWritesNothing) {
    Verifier verifier;
    verifier.AddDevice(Device{0, 1024, {}});
    CoutCapture capture;
    std::cout << std::dec;
    Qp qp(0x1a2, 0x3c4);
    verifier.AddQpToDevice(7, qp);
    EXPECT_EQ(capture.Text(), "");
    EXPECT_FALSE(CoutIsHex());
    EXPECT_FALSE(verifier.FindQp(7, 0x1a2).has_value());
    EXPECT_FALSE(verifier.FindQp(0, 0x1a2).has_value());
}

// The state of the worked example: device 0 holds a queue pair in mid-run,
// device 1 its peer untouched.
void BuildExample(Verifier& verifier) {
    verifier.AddDevice(Device{0, 1024, {}});
    verifier.AddDevice(Device{1, 1024, {}});
    RegisterQuietly(verifier, 0, 0x1a2, 0x3b4);
    RegisterQuietly(verifier, 1, 0x3b4, 0x1a2);
    ASSERT_EQ(Verify(verifier, 0, SEND_ONLY, 0x3b4, 0x64), VerifierStatusOK);
    ASSERT_EQ(Verify(verifier, 0, ACKNOWLEDGE, 0x1a2, 0x63), VerifierStatusOK);
    ASSERT_EQ(Verify(verifier, 0, SEND_ONLY, 0x1a2, 0x11), VerifierStatusOK);
    ASSERT_EQ(Verify(verifier, 0, ACKNOWLEDGE, 0x3b4, 0x11), VerifierStatusOK);
}

const char* const kExampleReport =
    "Device ID:0\n"
    "\t1a2 sent to 3b4\n"
    "\t\tNext To Send psn:65 First Non-Acked psn:64\n"
    "\t\tExpected psn:12 Oldest Non-Acked psn:12\n"
    "Device ID:1\n"
    "\t3b4 sent to 1a2\n"
    "\t\tNext To Send psn:0 First Non-Acked psn:0\n"
    "\t\tExpected psn:0 Oldest Non-Acked psn:0\n";

TEST(IdleReport, WritesEveryQueuePairInHexAndChangesNothing) {
    Verifier verifier;
    BuildExample(verifier);
    CoutCapture capture;
    std::cout << std::dec;
    EXPECT_EQ(verifier.IdleChecker(), VerifierStatusOK);
    EXPECT_EQ(capture.Text(), kExampleReport);
    EXPECT_TRUE(CoutIsHex());

    capture.Clear();
    EXPECT_EQ(verifier.IdleChecker(), VerifierStatusOK);
    EXPECT_EQ(capture.Text(), kExampleReport);
}

TEST(IdleReport, DeviceIdFollowsTheBaseCoutHas) {
    Verifier verifier;
    verifier.AddDevice(Device{10, 1024, {}});
    CoutCapture capture;
    std::cout << std::dec;
    EXPECT_EQ(verifier.IdleChecker(), VerifierStatusOK);
    std::cout << std::hex;
    EXPECT_EQ(verifier.IdleChecker(), VerifierStatusOK);
    EXPECT_EQ(capture.Text(), "Device ID:10\nDevice ID:a\n");
}

TEST(IdleReport, EmptyVerifierWritesNothing) {
    Verifier verifier;
    CoutCapture capture;
    EXPECT_EQ(verifier.IdleChecker(), VerifierStatusOK);
    EXPECT_EQ(capture.Text(), "");
}

TEST(IdleReport, ShowsTheHighestPsnInFull) {
    Verifier verifier;
    verifier.AddDevice(Device{0, 1024, {}});
    RegisterQuietly(verifier, 0, 0xffffff, 0x1);
    ASSERT_EQ(Verify(verifier, 0, SEND_ONLY, 0xffffff, 0xfffffe), VerifierStatusOK);
    CoutCapture capture;
    EXPECT_EQ(verifier.IdleChecker(), VerifierStatusOK);
    EXPECT_EQ(capture.Text(),
              "Device ID:0\n"
              "\tffffff sent to 1\n"
              "\t\tNext To Send psn:0 First Non-Acked psn:0\n"
              "\t\tExpected psn:ffffff Oldest Non-Acked psn:0\n");
}

}  // namespace
