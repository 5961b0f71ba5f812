#include "tests/e2e/harness/Capture.h"

#include <signal.h>
#include <unistd.h>

#include <tins/packet.h>
#include <tins/rawpdu.h>
#include <tins/sniffer.h>
#include <atomic>

namespace e2e {
namespace {

std::atomic<int> captureCounter{0};

}  // namespace

Capture::Capture(const std::string& netns, const std::string& interface,
                 const std::string& direction)
    : path_("/tmp/e2e-capture-" + std::to_string(::getpid()) + "-" +
            std::to_string(captureCounter++) + ".pcap") {
    // -U and immediate mode write each frame as it comes; -Z root keeps tcpdump from dropping
    // to a user that may not write the file.
    tcpdump_.emplace(
        std::vector<std::string>{"tcpdump", "-i", interface, "-Q", direction, "-U",
                                 "--immediate-mode", "-s", "0", "-n", "-Z", "root", "-w", path_},
        netns);
    listening_ = tcpdump_->Started() && tcpdump_->WaitForOutput("listening on", seconds(10));
}

Capture::~Capture() {
    Stop();
    ::unlink(path_.c_str());
}

std::vector<Frame> Capture::Frames(std::vector<long long>* micros) const {
    std::vector<Frame> frames;
    try {
        Tins::FileSniffer sniffer(path_);
        // Raw PDUs: parsing and re-serialising would recompute checksums.
        sniffer.set_extract_raw_pdus(true);
        // A record cut short by tcpdump still at work ends the list.
        for (Tins::Packet packet = sniffer.next_packet(); packet; packet = sniffer.next_packet()) {
            const auto* raw = packet.pdu()->find_pdu<Tins::RawPDU>();
            if (raw == nullptr) {
                continue;
            }
            frames.push_back(raw->payload());
            if (micros != nullptr) {
                micros->push_back(std::chrono::microseconds(packet.timestamp()).count());
            }
        }
    } catch (const std::exception&) {
        // A file that tcpdump has not written its header to yet holds nothing.
    }
    return frames;
}

bool Capture::WaitForCount(std::size_t count, milliseconds timeout) const {
    return WaitUntil([&] { return Frames().size() >= count; }, timeout, milliseconds(20));
}

std::vector<Frame> Capture::Stop() {
    if (tcpdump_->Started()) {
        tcpdump_->Signal(SIGINT);
        tcpdump_->Finish(seconds(5));
    }
    return Frames();
}

}  // namespace e2e
