#include "wire/LineLog.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "wire/Error.h"
#include "wire/OutputFile.h"

namespace wire {

namespace {

// One write per this many bytes of lines, some 1300 of them.
constexpr std::size_t kBufferBytes = 64 << 10;

}  // namespace

LineLog::~LineLog() {
    Close();
}

void LineLog::Open(const std::string& path) {
    const int fd = OpenOutputFile(path);
    std::unique_lock<std::mutex> lock(mutex_);
    CloseLocked(lock);
    fd_ = fd;
    closing_ = false;
    buffer_.reserve(kBufferBytes + 4096);
    try {
        flusher_ = std::thread([this] { FlushPeriodically(); });
    } catch (const std::system_error& e) {
        close(fd_);
        fd_ = -1;
        throw Error(path, std::string("cannot start the thread that writes the log: ") + e.what());
    }
}

void LineLog::WriteLine(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) {
        return;
    }
    const bool wasEmpty = buffer_.empty();
    buffer_.append(text);
    buffer_.push_back('\n');
    if (buffer_.size() >= kBufferBytes) {
        WriteOutLocked();
    } else if (wasEmpty) {
        firstLine_.notify_one();
    }
}

void LineLog::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteOutLocked();
}

void LineLog::WriteOutLocked() {
    const char* next = buffer_.data();
    std::size_t left = fd_ < 0 ? 0 : buffer_.size();
    // A regular file takes it all at once; only a full disk or a signal cuts it short.
    while (left > 0) {
        const ssize_t written = write(fd_, next, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    buffer_.clear();
}

// Sleeps while the buffer is empty, so an idle log costs nothing.
void LineLog::FlushPeriodically() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!closing_) {
        firstLine_.wait(lock, [this] { return closing_ || !buffer_.empty(); });
        firstLine_.wait_for(lock, kFlushInterval, [this] { return closing_; });
        WriteOutLocked();
    }
}

void LineLog::Close() {
    std::unique_lock<std::mutex> lock(mutex_);
    CloseLocked(lock);
}

void LineLog::CloseLocked(std::unique_lock<std::mutex>& lock) {
    WriteOutLocked();
    closing_ = true;
    firstLine_.notify_all();
    if (flusher_.joinable()) {
        lock.unlock();
        flusher_.join();
        lock.lock();
    }
    // Lines written while the flusher ended.
    WriteOutLocked();
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

}  // namespace wire
