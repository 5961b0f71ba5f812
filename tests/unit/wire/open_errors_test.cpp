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
}

TEST(OpenErrors, ASetReportsItsFirstMissingPortBeforeStartingAnything) {
    wire::CaptureSet captures;
    captures.Add("lo", PCAP_D_IN, AlwaysGoOn);
    captures.Add("wh4-missing2", PCAP_D_IN, AlwaysGoOn);
    const std::string error = OpenError([&] { captures.OpenAll(); });
    if (geteuid() == 0) {
        EXPECT_EQ(error, "wh4-missing2: no such interface");
    } else {
        EXPECT_EQ(error, "lo: capture not permitted (need root or CAP_NET_RAW)");
    }
    captures.StopAll();
}

// Opening lo without privileges, in a child that gives up root when the tests run as root.
TEST(OpenErrors, MissingPrivilegesAreExplained) {
    const auto check = [] {
        wire::Capture capture("lo", PCAP_D_IN, AlwaysGoOn);
        wire::Sender sender("lo");
        const std::string captureError = OpenError([&] { capture.Open(); });
        const std::string sendError = OpenError([&] { sender.Open(); });
        return captureError == "lo: capture not permitted (need root or CAP_NET_RAW)" &&
               sendError.rfind("lo: sending not permitted (need root or CAP_NET_RAW)", 0) == 0;
    };
    if (geteuid() != 0) {
        EXPECT_TRUE(check());
        return;
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool dropped = setgid(65534) == 0 && setuid(65534) == 0;
        _exit(dropped && check() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
