#include "wire/LineLog.h"

#include <unistd.h>

#include <cerrno>

#include "wire/OutputFile.h"

namespace wire {

LineLog::~LineLog() {
    Close();
}

void LineLog::Open(const std::string& path) {
    const int fd = OpenOutputFile(path);
    std::lock_guard<std::mutex> lock(mutex_);
    CloseLocked();
    fd_ = fd;
}

void LineLog::WriteLine(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) {
        return;
    }
    buffer_.assign(text);
    buffer_.push_back('\n');
    const char* next = buffer_.data();
    size_t left = buffer_.size();
    // A regular file takes the whole line at once; only a full disk or a signal cuts it short.
    while (left > 0) {
        const ssize_t written = write(fd_, next, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        next += written;
        left -= static_cast<size_t>(written);
    }
}

void LineLog::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseLocked();
}

void LineLog::CloseLocked() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

}  // namespace wire
