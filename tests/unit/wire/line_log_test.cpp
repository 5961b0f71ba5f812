#include "wire/LineLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "wire/Error.h"

namespace {

class LineLogTest : public ::testing::Test {
protected:
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name));
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // The error without the directory.
    std::string OpenError(const std::string& name) {
        try {
            log_.Open(Path(name));
        } catch (const wire::Error& e) {
            return std::string(e.what()).substr(dir_.size() + 1);
        }
        return "(opened)";
    }
    char pattern_[32] = "/tmp/line_log_test.XXXXXX";
    const std::string dir_ = mkdtemp(pattern_);
    wire::LineLog log_;
};

// A line waits in the buffer a few milliseconds at most, with nothing else written after it.
TEST_F(LineLogTest, EmptiesAnEarlierLogCreatesWithMode0644AndALineReachesTheFileUnflushed) {
    std::ofstream(Path("old")) << "left by an earlier run\n";
    const mode_t umaskBefore = umask(0);
    log_.Open(Path("new"));
    umask(umaskBefore);
    EXPECT_EQ(std::filesystem::status(Path("new")).permissions(), std::filesystem::perms(0644));
    log_.Open(Path("old"));
    log_.WriteLine("\nstart");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Read("old").empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(Read("old"), "\nstart\n");
    log_.Close();
    log_.WriteLine("dropped");
    EXPECT_EQ(Read("old"), "\nstart\n");
}

// Planted by someone else where a root program writes its log.
TEST_F(LineLogTest, RefusesLinksAndFifosLeavingWhatTheyPointAtUntouched) {
    std::ofstream(Path("precious")) << "keep\n";
    std::filesystem::create_symlink(Path("precious"), Path("link"));
    std::filesystem::create_symlink(Path("absent"), Path("dangling"));
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(OpenError("link"), "link: is a symbolic link; refusing to write through it");
    EXPECT_EQ(OpenError("dangling"), "dangling: is a symbolic link; refusing to write through it");
    EXPECT_EQ(Read("precious"), "keep\n");
    EXPECT_FALSE(std::filesystem::exists(Path("absent")));
    const std::string notRegular = "fifo: is not a regular file; refusing to write to it";
    EXPECT_EQ(OpenError("fifo"), notRegular) << "without a reader";
    const int reader = open(Path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(OpenError("fifo"), notRegular) << "with a reader";
    close(reader);
    EXPECT_EQ(OpenError("no/log"), "no/log: cannot open for writing: No such file or directory");
}

TEST_F(LineLogTest, ConcurrentWritersNeverInterleaveWithinALine) {
    log_.Open(Path("log"));
    std::vector<std::thread> writers;
    for (char letter : {'a', 'b', 'c', 'd'}) {
        writers.emplace_back([this, letter] {
            for (int i = 0; i < 2000; ++i) {
                log_.WriteLine(std::string(40, letter));
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    log_.Close();
    const std::string text = Read("log");
    ASSERT_EQ(text.size(), 4u * 2000 * 41);
    for (std::size_t at = 0; at < text.size(); at += 41) {
        ASSERT_EQ(text.substr(at, 41), std::string(40, text[at]) + "\n") << at;
    }
}

}  // namespace
