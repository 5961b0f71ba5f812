#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/harness/Process.h"

namespace e2e {

using Frame = std::vector<std::uint8_t>;

// tcpdump on one interface of a namespace, writing every frame at once to a
// pcap file that can be read back, byte for byte, while it runs.
class Capture {
public:
    // Starts tcpdump and waits until it is really listening. `direction` is
    // "in", "out" or "inout".
    Capture(const std::string& netns, const std::string& interface,
            const std::string& direction = "inout");
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // False when tcpdump did not come up; Error() says why.
    bool Listening() const { return listening_; }
    std::string Error() const;

    // The frames captured so far, in order, exactly as on the wire.
    std::vector<Frame> Frames() const;
    // Waits until `enough` holds for the frames captured so far.
    bool WaitFor(const std::function<bool(const std::vector<Frame>&)>& enough,
                 std::chrono::milliseconds timeout) const;
    // Stops tcpdump and returns everything it captured.
    std::vector<Frame> Stop();

private:
    std::string path_;
    std::unique_ptr<Process> tcpdump_;
    bool listening_ = false;
};

// Reads a pcap file; frames are kept as raw bytes. A record cut short by a
// writer still at work ends the list.
std::vector<Frame> ReadPcap(const std::string& path);

}  // namespace e2e
