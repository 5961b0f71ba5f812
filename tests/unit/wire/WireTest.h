#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

// What the tests of the wire library share: frames as bytes, waiting with a deadline, and a
// directory of their own that goes with them.
namespace wiretest {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

template <class Condition>
bool WaitFor(Condition condition, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class TempDir {
public:
    TempDir() : path_(mkdtemp(pattern_)) {}
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::string& Path() const { return path_; }
    [[nodiscard]] std::string At(const std::string& name) const { return path_ + "/" + name; }
    [[nodiscard]] std::string Read(const std::string& name) const { return ReadFile(At(name)); }

private:
    char pattern_[32] = "/tmp/wire_test.XXXXXX";
    std::string path_;
};

}  // namespace wiretest
