#include "wire/LineLog.h"

#include <cerrno>
#include <cstring>

#include "wire/Error.h"

namespace wire {

void LineLog::Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    // An open stream refuses a second open and would go on writing the old file.
    file_.close();
    file_.open(path, std::ios::out | std::ios::trunc);
    if (!file_.is_open()) {
        throw Error(path, std::string("cannot open for writing: ") + std::strerror(errno));
    }
}

void LineLog::WriteLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_.is_open()) {
        file_ << text << std::endl;
    }
}

void LineLog::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    file_.close();
}

}  // namespace wire
