#include "apps/common/CommandLine.h"

#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <vector>

namespace {

template <class Args>
using Parser = cli::Parsed<Args> (*)(int, const char* const*, std::ostream&, std::ostream&);

class CommandLine : public testing::Test {
protected:
    // `line` is split at spaces, '' stands for an empty argument; the first word is the program.
    // Nothing when the program is to end at once with status_.
    template <class Args>
    std::optional<Args> Parse(Parser<Args> parse, const std::string& line) {
        std::istringstream in(line);
        std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
        std::vector<const char*> argv;
        for (const std::string& word : words) {
            argv.push_back(word == "''" ? "" : word.c_str());
        }
        std::ostringstream out, err;
        const auto parsed = parse(static_cast<int>(argv.size()), argv.data(), out, err);
        out_ = out.str();
        err_ = err.str();
        status_ = std::holds_alternative<int>(parsed) ? std::get<int>(parsed) : -1;
        return status_ == -1 ? std::optional<Args>(std::get<Args>(parsed)) : std::nullopt;
    }

    int Status(const std::string& line) {
        line.rfind("midwire", 0) == 0    ? (void)Parse(cli::ParseMidwire, line)
        : line.rfind("wirebend", 0) == 0 ? (void)Parse(cli::ParseWirebend, line)
                                         : (void)Parse(cli::ParseWirewatch, line);
        return status_;
    }

    int status_ = -1;
    std::string out_, err_;
};

TEST_F(CommandLine, RefusesEveryKindOfBadValueInOneLine) {
    const std::pair<std::string, std::string> cases[] = {
        // the command line, and what the message must point at
        {"wirewatch zz 1", "CLIENT_QP: 'zz'"},
        {"wirewatch 1 12zz", "SERVER_QP: '12zz'"},
        {"wirewatch '' 1", "''"},
        {"wirewatch 0x 1", "'0x'"},
        {"wirewatch 1000000 1", "'1000000'"},
        {"wirewatch 1", "SERVER_QP"},
        {"wirewatch 1 2 -x", "-x"},
        {"wirewatch 1 2 --no", "--no"},
        {"midwire 1 2 x 0 0 0 100 0 0 0", "C_NONE: 'x'"},
        {"midwire 1 2 100 0 0 0 0 12x 0 0", "S_DROP: '12x'"},
        {"midwire 1 2 0 0 -1 0 100 0 0 0", "C_DELAY: '-1'"},
        {"midwire 1 2 100 0 0 0 0 0 0 101", "S_REORDER: '101'"},
        {"wirebend 100 0 0 0 40 30", "the smallest delay (40 ms) exceeds the largest (30 ms)"},
        {"wirebend 100 0 0 0 0 -5", "MAX_MS: '-5'"},
        {"wirebend 100 0 0 0 0 1 --server-port", "--server-port"},
        {"wirebend 100 0 0 0 0 1 --client-port enp1s0f0", "enp1s0f0"},
        {"wirewatch 1 2 --cpu 3-1", "'3-1' is not a CPU list"},
        {"midwire 1 2 100 0 0 0 100 0 0 0 --cpu 0,,1", "'0,,1'"},
        {"wirebend 100 0 0 0 0 1 --cpu 1024", "'1024'"},
    };
    for (const auto& [line, names] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(Status(line), 2);
        EXPECT_EQ(out_, "");
        const std::string program = line.substr(0, line.find(' '));
        EXPECT_TRUE(std::regex_match(err_, std::regex(program + ": [^\n]+; see --help\n")));
        EXPECT_NE(err_.find(names), std::string::npos) << err_;
    }
}

TEST_F(CommandLine, ReadsHexadecimalQueuePairsAndPortsAndIgnoresArgumentsPastTheLast) {
    for (const std::string qp : {"1a", "0x1a", "0X1A", "00001a"}) {
        const auto args = Parse(cli::ParseWirewatch, "wirewatch --client-port veth1 " + qp +
                                                         " ffffff more -7 --server-port=veth0"
                                                         " --cpu 3,0-2,1");
        ASSERT_TRUE(args) << qp << err_;
        EXPECT_EQ(args->clientQp, 0x1au) << qp;
        EXPECT_EQ(args->serverQp, 0xffffffu);
        EXPECT_EQ(args->ports.server + " " + args->ports.client, "veth0 veth1");
        EXPECT_EQ(args->ports.cpus, (std::vector<int>{3, 0, 1, 2}));
        EXPECT_EQ(out_ + err_, "");
    }
}

TEST_F(CommandLine, SaysWhatWeightsNotAddingUpTo100MeanForTheRun) {
    const auto midwire = Parse(cli::ParseMidwire, "midwire 1 2 90 0 0 0 80 50 0 0");
    ASSERT_TRUE(midwire) << err_;
    EXPECT_EQ(err_,
              "midwire: client weights add up to 90; the other 10% of packets pass unchanged\n"
              "midwire: server weights add up to 130; beyond 100 nothing is drawn: effective "
              "pass 80%, drop 20%, delay 0%, reorder 0%\n");
    EXPECT_EQ(midwire->server, (cli::Weights{80, 50, 0, 0}));
    const auto bend = Parse(cli::ParseWirebend, "wirebend 0 10 95 0 3 7");
    EXPECT_EQ(err_,
              "wirebend: weights add up to 105; beyond 100 nothing is drawn: effective "
              "pass 0%, drop 10%, delay 90%, reorder 0%\n");
    EXPECT_EQ(bend->maxDelayMs, 7);
}

TEST_F(CommandLine, HelpAndVersionEndWithStatus0WhateverElseIsThere) {
    for (const std::string program : {"midwire", "wirewatch", "wirebend"}) {
        EXPECT_EQ(Status(program + " zz -h --server-port"), 0) << err_;
        EXPECT_EQ(Status(program + " --version --client-port"), 0);
        EXPECT_TRUE(std::regex_match(out_, std::regex(program + " \\d+\\.\\d+\\.\\d+\n")));
    }
}

}  // namespace
