#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/harness/Process.h"

namespace e2e {

using Frame = std::vector<std::uint8_t>;

// tcpdump on one interface of a namespace, writing every frame at once to a pcap file that can
// be read back, byte for byte, while it runs.
class Capture {
public:
    // Starts tcpdump and waits until it listens. `direction` is "in", "out" or "inout".
    Capture(const std::string& netns, const std::string& interface, const std::string& direction);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // False when tcpdump did not come up; Error() says why.
    bool Listening() const { return listening_; }
    std::string Error() const { return tcpdump_->Stderr(); }

    // The frames captured so far, in order, exactly as on the wire; with `micros`, also the
    // capture time of each in microseconds.
    std::vector<Frame> Frames(std::vector<long long>* micros = nullptr) const;
    // True once at least `count` frames have been captured within `timeout`.
    bool WaitForCount(std::size_t count, milliseconds timeout = seconds(5)) const;
    // Stops tcpdump and returns everything it captured.
    std::vector<Frame> Stop();

private:
    std::string path_;
    std::optional<Process> tcpdump_;
    bool listening_ = false;
};

}  // namespace e2e
