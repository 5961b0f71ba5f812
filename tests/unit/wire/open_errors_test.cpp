#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "wire/Capture.h"
#include "wire/CaptureSet.h"
#include "wire/Error.h"
#include "wire/Sender.h"

namespace {

const char* const kNoCapture = "lo: capture not permitted (need root or CAP_NET_RAW)";

bool AlwaysGoOn(wire::CapturedFrame&) {
    return true;
}

std::string OpenError(const std::function<void()>& open) {
    try {
        open();
    } catch (const wire::Error& e) {
        return e.what();
    }
    return "(opened)";
}

TEST(OpenErrors, AMissingInterfaceIsNamedInOneClearError) {
    wire::Sender sender("wh4-missing0");
    EXPECT_EQ(OpenError([&] { sender.Open(); }), "wh4-missing0: no such interface");
    wire::Capture capture("wh4-missing1", PCAP_D_OUT, AlwaysGoOn);
    EXPECT_EQ(OpenError([&] { capture.Open(); }), "wh4-missing1: no such interface");
    capture.Start();  // nothing to start: must neither crash nor hang
    capture.Stop();

    // A set names its first port that fails, before any capture runs.
    wire::CaptureSet captures;
    captures.Add("lo", PCAP_D_IN, AlwaysGoOn);
    captures.Add("wh4-missing2", PCAP_D_IN, AlwaysGoOn);
    EXPECT_EQ(OpenError([&] { captures.OpenAll(); }),
              geteuid() == 0 ? "wh4-missing2: no such interface" : kNoCapture);
    captures.StopAll();
}

// Run as root, the check runs in a child that gives up root first.
TEST(OpenErrors, MissingPrivilegesAreExplained) {
    const auto check = [] {
        wire::Capture capture("lo", PCAP_D_IN, AlwaysGoOn);
        wire::Sender sender("lo");
        return OpenError([&] { capture.Open(); }) == kNoCapture &&
               OpenError([&] {
                   sender.Open();
               }).rfind("lo: sending not permitted (need root or CAP_NET_RAW)", 0) == 0;
    };
    if (geteuid() != 0) {
        EXPECT_TRUE(check());
        return;
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(setgid(65534) == 0 && setuid(65534) == 0 && check() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
