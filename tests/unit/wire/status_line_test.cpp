#include "wire/StatusLine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>

#include "tests/unit/wire/WireTest.h"

namespace {

wire::StatusSnapshot Snapshot(std::uint64_t clientIn, std::uint64_t serverIn,
                              std::uint64_t roce = 0) {
    return {{{"enp1s0f1 in", clientIn}, {"enp1s0f0 in", serverIn}}, roce, 1, 3, 2};
}

TEST(StatusLine, ShowsFrameRatesPerPortDirectionAndTheLatestTotals) {
    EXPECT_EQ(wire::FormatStatus(Snapshot(100, 50), Snapshot(2500, 850, 7), 2.0),
              "enp1s0f1 in 1200/s, enp1s0f0 in 400/s | RoCE 7 | refused 1 | injector 3 | "
              "kernel drops 2");
    // A counter that went back (a port reopened) shows no rate rather than a huge one.
    EXPECT_EQ(wire::FormatStatus(Snapshot(100, 50), Snapshot(10, 51), 0.5, 32),
              "enp1s0f1 in 0/s, enp1s0f0 in 2/s");
    EXPECT_EQ(wire::FormatStatus({}, {}, 1.0), "RoCE 0 | refused 0 | injector 0 | kernel drops 0");
}

TEST(StatusLine, WritesNothingAtAllWhenNotOnATerminal) {
    std::atomic<int> snapshots{0};
    std::ostringstream out;
    {
        wire::StatusLine line(
            [&] {
                ++snapshots;
                return Snapshot(0, 0);
            },
            out, false, std::chrono::milliseconds(1));
        line.Start();
        line.Stop();
    }
    EXPECT_EQ(snapshots.load(), 0);
    EXPECT_EQ(out.str(), "");
}

// Each redraw returns to the line's start and erases what the last one left; no line ends,
// and the stop leaves the line empty.
TEST(StatusLine, RewritesOneLineOnATerminalAndClearsItAtTheStop) {
    std::atomic<std::uint64_t> snapshots{0};
    std::ostringstream out;
    wire::StatusLine line(
        [&] {
            const std::uint64_t n = ++snapshots;
            return Snapshot(100 * n, 10 * n, n);
        },
        out, true, std::chrono::milliseconds(5), 60);
    line.Start();
    const bool drew = wiretest::WaitFor([&] { return snapshots.load() >= 4; });
    line.Stop();
    ASSERT_TRUE(drew);

    const std::string text = out.str();
    EXPECT_EQ(text.find('\n'), std::string::npos);
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ(text.substr(text.size() - 4), "\r\x1b[K");
    std::vector<std::string> draws;
    std::istringstream in(text.substr(1, text.size() - 4));
    for (std::string draw; std::getline(in, draw, '\r');) {
        draws.push_back(draw);
    }
    EXPECT_EQ(draws.size(), snapshots.load() - 1);  // the first snapshot is only a baseline
    const std::regex drawn(R"(enp1s0f1 in \d+/s, enp1s0f0 in \d+/s \| RoCE (\d+) \|.*\x1b\[K)");
    for (std::size_t i = 0; i < draws.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(draws[i], match, drawn)) << draws[i];
        EXPECT_EQ(match[1], std::to_string(i + 2));
        EXPECT_EQ(draws[i].size(), 59u + 3u);  // one column short of the terminal's 60
    }
}

}  // namespace
