#include "engine/Injector.h"

#include <system_error>
#include <utility>

#include "wire/Error.h"
#include "wire/LossReport.h"

namespace engine {

Injector::Injector(std::string label, SendFunction target, int limit, RandomSource random)
    : label_(std::move(label)),
      target_(std::move(target)),
      limit_(limit),
      buffer_(std::move(random)) {}

Injector::~Injector() {
    Join();
}

void Injector::Start() {
    if (thread_.joinable()) {
        return;
    }
    running_ = true;
    try {
        thread_ = std::thread([this] { ForwardReleases(); });
    } catch (const std::system_error& e) {
        running_ = false;
        throw wire::Error(label_, std::string("cannot start its forwarding thread: ") + e.what());
    }
}

void Injector::Offer(const FrameView& frame) {
    // Only the one capture thread adds, so the buffer cannot grow between check and add.
    if (buffer_.Size() >= limit_) {
        refused_.fetch_add(1);
        return;
    }
    buffer_.Add(std::vector<std::uint8_t>(frame.data, frame.data + frame.size));
}

void Injector::ForwardReleases() {
    // The flag is read again after a wait: the stop may have come while it was blocked.
    while (running_.load() && buffer_.WaitForPacket() && running_.load()) {
        auto release = buffer_.Take();
        if (!release) {
            continue;
        }
        WaitMilliseconds(release->delayMs, &running_);
        if (release->IsValid()) {
            target_(release->packet.data(), release->packet.size());
        }
    }
}

void Injector::RequestStop() {
    running_ = false;
    buffer_.Interrupt();
}

void Injector::Join() {
    if (thread_.joinable()) {
        RequestStop();
        thread_.join();
    }
}

void Injector::WriteReport(std::ostream& out) const {
    for (const std::string& line :
         wire::InjectorLines(label_, Refused(), limit_, static_cast<std::uint64_t>(Held()))) {
        out << line << std::endl;
    }
}

}  // namespace engine
