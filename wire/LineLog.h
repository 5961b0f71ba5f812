#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace wire {

// A text log written one whole line at a time from any number of threads. Lines written
// while it is closed are dropped.
class LineLog {
public:
    LineLog() = default;
    ~LineLog();
    LineLog(const LineLog&) = delete;
    LineLog& operator=(const LineLog&) = delete;

    // Opens the file as OpenOutputFile does, closing any earlier one; throws wire::Error.
    void Open(const std::string& path);
    // Writes the text and a line end in one write(), so the line is in the file on return and
    // never interleaved with another.
    void WriteLine(std::string_view text);
    void Close();

private:
    void CloseLocked();

    std::mutex mutex_;
    int fd_ = -1;
    std::string buffer_;
};

}  // namespace wire
