#include "wire/LineLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/unit/wire/WireTest.h"
#include "wire/Error.h"

namespace {

using namespace wiretest;

class LineLogTest : public ::testing::Test {
protected:
    // The error without the directory.
    std::string OpenError(const std::string& name) {
        try {
            log_.Open(dir_.At(name));
        } catch (const wire::Error& e) {
            return std::string(e.what()).substr(dir_.Path().size() + 1);
        }
        return "(opened)";
    }
    TempDir dir_;
    wire::LineLog log_;
};

// A line waits in the buffer a few milliseconds at most, with nothing else written after it.
TEST_F(LineLogTest, EmptiesAnEarlierLogCreatesWithMode0644AndALineReachesTheFileUnflushed) {
    std::ofstream(dir_.At("old")) << "left by an earlier run\n";
    const mode_t umaskBefore = umask(0);
    log_.Open(dir_.At("new"));
    umask(umaskBefore);
    EXPECT_EQ(std::filesystem::status(dir_.At("new")).permissions(), std::filesystem::perms(0644));
    log_.Open(dir_.At("old"));
    log_.WriteLine("\nstart");
    EXPECT_TRUE(WaitFor([&] { return !dir_.Read("old").empty(); }));
    EXPECT_EQ(dir_.Read("old"), "\nstart\n");
    log_.Close();
    log_.WriteLine("dropped");
    EXPECT_EQ(dir_.Read("old"), "\nstart\n");
}

// Planted by someone else where a root program writes its log (or its capture file: both
// open their files alike).
TEST_F(LineLogTest, RefusesLinksAndFifosLeavingWhatTheyPointAtUntouched) {
    std::ofstream(dir_.At("precious")) << "keep\n";
    std::filesystem::create_symlink(dir_.At("precious"), dir_.At("link"));
    std::filesystem::create_symlink(dir_.At("absent"), dir_.At("dangling"));
    ASSERT_EQ(mkfifo(dir_.At("fifo").c_str(), 0600), 0);
    EXPECT_EQ(OpenError("link"), "link: is a symbolic link; refusing to write through it");
    EXPECT_EQ(OpenError("dangling"), "dangling: is a symbolic link; refusing to write through it");
    EXPECT_EQ(dir_.Read("precious"), "keep\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.At("absent")));
    const std::string notRegular = "fifo: is not a regular file; refusing to write to it";
    EXPECT_EQ(OpenError("fifo"), notRegular) << "without a reader";
    const int reader = open(dir_.At("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(OpenError("fifo"), notRegular) << "with a reader";
    close(reader);
    EXPECT_EQ(OpenError("no/log"), "no/log: cannot open for writing: No such file or directory");
}

TEST_F(LineLogTest, ConcurrentWritersNeverInterleaveWithinALine) {
    log_.Open(dir_.At("log"));
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
    const std::string text = dir_.Read("log");
    ASSERT_EQ(text.size(), 4u * 2000 * 41);
    for (std::size_t at = 0; at < text.size(); at += 41) {
        ASSERT_EQ(text.substr(at, 41), std::string(40, text[at]) + "\n") << at;
    }
}

}  // namespace
