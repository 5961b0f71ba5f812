#include "tests/e2e/harness/Capture.h"

#include <signal.h>
#include <unistd.h>

#include <tins/rawpdu.h>
#include <tins/sniffer.h>
#include <atomic>
#include <cstdio>

#include "tests/e2e/harness/Wait.h"

namespace e2e {
namespace {

constexpr std::chrono::seconds kStartTimeout{10};
std::atomic<int> captureCounter{0};

std::string NewCapturePath() {
    return "/tmp/e2e-capture-" + std::to_string(::getpid()) + "-" +
           std::to_string(captureCounter++) + ".pcap";
}

}  // namespace

Capture::Capture(const std::string& netns, const std::string& interface,
                 const std::string& direction)
    : path_(NewCapturePath()) {
    // -U and immediate mode write each frame as it comes; -Z root keeps
    // tcpdump from dropping to a user that may not write the file.
    tcpdump_ = std::make_unique<Process>(
        std::vector<std::string>{"tcpdump", "-i", interface, "-Q", direction, "-U",
                                 "--immediate-mode", "-s", "0", "-n", "-Z", "root", "-w", path_},
        netns);
    listening_ = tcpdump_->Started() && tcpdump_->WaitForOutput("listening on", kStartTimeout);
}

Capture::~Capture() {
    Stop();
    ::unlink(path_.c_str());
}

std::string Capture::Error() const {
    return tcpdump_ ? tcpdump_->Stderr() : "not started";
}

std::vector<Frame> Capture::Frames() const {
    return ReadPcap(path_);
}

bool Capture::WaitFor(const std::function<bool(const std::vector<Frame>&)>& enough,
                      std::chrono::milliseconds timeout) const {
    return WaitUntil([&] { return enough(Frames()); }, timeout, std::chrono::milliseconds(20));
}

std::vector<Frame> Capture::Stop() {
    if (tcpdump_ && tcpdump_->Started()) {
        tcpdump_->Signal(SIGINT);
        tcpdump_->WaitOrKill(std::chrono::seconds(5));
    }
    return Frames();
}

std::vector<Frame> ReadPcap(const std::string& path) {
    std::vector<Frame> frames;
    try {
        Tins::FileSniffer sniffer(path);
        // Raw PDUs: parsing and re-serialising would recompute checksums.
        sniffer.set_extract_raw_pdus(true);
        sniffer.sniff_loop([&](Tins::PDU& pdu) {
            if (const auto* raw = pdu.find_pdu<Tins::RawPDU>()) {
                frames.push_back(raw->payload());
            }
            return true;
        });
    } catch (const std::exception&) {
        // A file that tcpdump has not written its header to yet holds nothing.
    }
    return frames;
}

}  // namespace e2e
