#include "wire/StatusLine.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <system_error>

#include "wire/Error.h"

namespace wire {

namespace {

// Back to the line's start, then erase from the cursor to the line's end.
constexpr char kReturn = '\r';
constexpr char kEraseToEnd[] = "\x1b[K";

std::uint64_t Rate(std::uint64_t before, std::uint64_t after, double seconds) {
    if (after <= before || seconds <= 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(std::llround(static_cast<double>(after - before) / seconds));
}

}  // namespace

std::string FormatStatus(const StatusSnapshot& previous, const StatusSnapshot& current,
                         double seconds, std::size_t width) {
    std::string text;
    for (std::size_t i = 0; i < current.frames.size(); ++i) {
        const std::uint64_t before = i < previous.frames.size() ? previous.frames[i].count : 0;
        text += (i == 0 ? "" : ", ") + current.frames[i].label + " " +
                std::to_string(Rate(before, current.frames[i].count, seconds)) + "/s";
    }
    text += (text.empty() ? "" : " | ") + std::string("RoCE ") +
            std::to_string(current.rocePackets) + " | refused " + std::to_string(current.refused) +
            " | injector " + std::to_string(current.injectorDecisions) + " | kernel drops " +
            std::to_string(current.kernelDrops);
    if (width != 0 && text.size() > width) {
        text.resize(width);
    }
    return text;
}

std::size_t TerminalColumns(int fd) {
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

StatusLine::StatusLine(SnapshotSource source, std::ostream& out, bool isTerminal,
                       std::chrono::milliseconds interval, std::size_t width)
    : source_(std::move(source)),
      out_(out),
      isTerminal_(isTerminal),
      interval_(interval),
      width_(width) {}

StatusLine::~StatusLine() {
    Stop();
}

void StatusLine::Start() {
    if (!isTerminal_ || thread_.joinable()) {
        return;
    }
    try {
        thread_ = std::thread([this, first = source_()]() mutable { Run(std::move(first)); });
    } catch (const std::system_error& e) {
        throw Error("status line", std::string("cannot start its thread: ") + e.what());
    }
}

void StatusLine::Run(StatusSnapshot previous) {
    using Clock = std::chrono::steady_clock;
    auto previousTime = Clock::now();
    auto next = previousTime + interval_;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopSignal_.wait_until(lock, next, [this] { return stopping_; })) {
        lock.unlock();
        StatusSnapshot current;
        try {
            current = source_();
        } catch (...) {
            return;  // a line without its numbers is worth nothing; the run goes on without it
        }
        const auto now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - previousTime).count();
        Draw(FormatStatus(previous, current, seconds, width_ == 0 ? 0 : width_ - 1));
        previous = std::move(current);
        previousTime = now;
        // A slow terminal or snapshot must not make the line redraw in a burst to catch up.
        next += interval_;
        if (next < now) {
            next = now + interval_;
        }
        lock.lock();
    }
}

void StatusLine::Draw(const std::string& text) {
    out_ << kReturn << text << kEraseToEnd << std::flush;
    drawn_ = true;
}

void StatusLine::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stopSignal_.notify_one();
    thread_.join();
    if (drawn_) {
        out_ << kReturn << kEraseToEnd << std::flush;
    }
}

}  // namespace wire
