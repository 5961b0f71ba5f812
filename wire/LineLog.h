#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace wire {

// A text log written one whole line at a time from any number of threads. Lines are collected
// in a buffer that goes to the file when it is full, a few milliseconds after its first line
// at the latest, and completely on Flush and Close. Lines written while it is closed are
// dropped.
class LineLog {
public:
    // How long a line may wait in the buffer.
    static constexpr std::chrono::milliseconds kFlushInterval{5};

    LineLog() = default;
    ~LineLog();
    LineLog(const LineLog&) = delete;
    LineLog& operator=(const LineLog&) = delete;

    // Opens the file as OpenOutputFile does, closing any earlier one; throws wire::Error, also
    // when the thread that writes the buffer out cannot start.
    void Open(const std::string& path);
    // Adds the text and a line end; never interleaved with another line.
    void WriteLine(std::string_view text);
    // Writes out what the buffer holds.
    void Flush();
    // Flushes and closes.
    void Close();

private:
    void WriteOutLocked();
    void FlushPeriodically();
    void CloseLocked(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable firstLine_;
    int fd_ = -1;
    bool closing_ = false;
    std::string buffer_;
    std::thread flusher_;
};

}  // namespace wire
