#pragma once

#include <fstream>
#include <mutex>
#include <string>

namespace wire {

// A text log written one whole line at a time from any number of threads. Lines written
// while it is closed are dropped, as a closed stream drops them.
class LineLog {
public:
    LineLog() = default;
    LineLog(const LineLog&) = delete;
    LineLog& operator=(const LineLog&) = delete;

    // Opens the file for writing, emptying it; throws wire::Error naming the file and reason.
    void Open(const std::string& path);
    // Appends the text and a line end, and flushes, so the line is in the file on return.
    void WriteLine(const std::string& text);
    void Close();

private:
    std::mutex mutex_;
    std::ofstream file_;
};

}  // namespace wire
