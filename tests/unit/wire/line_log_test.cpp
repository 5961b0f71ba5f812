#include "wire/LineLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "wire/Error.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class LineLogTest : public ::testing::Test {
protected:
    void TearDown() override { ::unlink(path_.c_str()); }
    const std::string path_ = "line_log_test_" + std::to_string(::getpid()) + ".txt";
};

TEST_F(LineLogTest, OpeningEmptiesAnEarlierLogAndLinesReachTheFileAtOnce) {
    {
        std::ofstream old(path_);
        old << "left by an earlier run\n";
    }
    wire::LineLog log;
    log.Open(path_);
    log.WriteLine("\nstart");
    EXPECT_EQ(ReadFile(path_), "\nstart\n");
    log.Close();
    log.WriteLine("after close is dropped");
    EXPECT_EQ(ReadFile(path_), "\nstart\n");
}

TEST_F(LineLogTest, OpeningAgainMovesToTheNewFile) {
    const std::string second = path_ + ".second";
    wire::LineLog log;
    log.Open(path_);
    log.WriteLine("first");
    log.Open(second);
    log.WriteLine("second");
    EXPECT_EQ(ReadFile(path_), "first\n");
    EXPECT_EQ(ReadFile(second), "second\n");
    ::unlink(second.c_str());
}

TEST_F(LineLogTest, ConcurrentWritersNeverInterleaveWithinALine) {
    wire::LineLog log;
    log.Open(path_);
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&log, t] {
            const std::string line(40, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                log.WriteLine(line);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    log.Close();
    std::istringstream lines(ReadFile(path_));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.size(), 40u);
        ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << line;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(LineLog, AFileThatCannotBeOpenedIsAClearError) {
    wire::LineLog log;
    try {
        log.Open("/nonexistent-dir/verifier_log.txt");
        FAIL() << "opened a file in a missing directory";
    } catch (const wire::Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "/nonexistent-dir/verifier_log.txt: cannot open for writing: No such file or "
                  "directory");
    }
}

}  // namespace
