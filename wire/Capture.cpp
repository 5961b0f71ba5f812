#include "wire/Capture.h"

#include <net/if.h>
#include <tins/exceptions.h>

#include <string>
#include <utility>

#include "wire/Error.h"

namespace wire {

namespace {

// Large enough for any RoCE frame this bench sees, small enough that the immediate-mode ring
// holds thousands of frames (its slot size follows the snapshot length).
constexpr unsigned kSnapshotLength = 9000;
constexpr unsigned kBufferBytes = 32u << 20;

Tins::SnifferConfiguration ConfigurationFor(pcap_direction_t direction) {
    Tins::SnifferConfiguration config;
    config.set_immediate_mode(true);
    config.set_promisc_mode(true);
    config.set_snap_len(kSnapshotLength);
    config.set_buffer_size(kBufferBytes);
    config.set_direction(direction);
    // The kernel filter spares the copy of every frame the bench itself sends out of the port;
    // set_direction alone discards those only in user space.
    config.set_filter(direction == PCAP_D_OUT ? "outbound" : "inbound");
    return config;
}

bool IsPermissionProblem(const std::string& message) {
    return message.find("not permitted") != std::string::npos ||
           message.find("ermission denied") != std::string::npos;
}

}  // namespace

const char* DirectionName(pcap_direction_t direction) {
    return direction == PCAP_D_OUT ? "out" : "in";
}

Capture::Capture(std::string interfaceName, pcap_direction_t direction, FrameCallback callback)
    : interfaceName_(std::move(interfaceName)),
      direction_(direction),
      dispatcher_(std::move(callback)) {}

Capture::~Capture() {
    Stop();
}

std::string Capture::Label() const {
    return interfaceName_ + " " + DirectionName(direction_);
}

void Capture::Open() {
    if (if_nametoindex(interfaceName_.c_str()) == 0) {
        throw Error(interfaceName_, "no such interface");
    }
    try {
        // The sniffer is complete (activated, filter installed) when its constructor returns:
        // libpcap discards what was queued before the filter, so nothing counts as captured before.
        sniffer_ = std::make_unique<Tins::Sniffer>(interfaceName_, ConfigurationFor(direction_));
        sniffer_->set_extract_raw_pdus(true);
    } catch (const std::exception& e) {
        const std::string message = e.what();
        if (IsPermissionProblem(message)) {
            throw Error(interfaceName_, "capture not permitted (need root or CAP_NET_RAW)");
        }
        throw Error(interfaceName_, "cannot open capture: " + message);
    }
}

void Capture::Start() {
    if (!sniffer_ || thread_.joinable()) {
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

void Capture::Run() {
    // A Stop before the loop starts has already set the flag and woken pcap; either ends it.
    if (dispatcher_.StopRequested()) {
        return;
    }
    sniffer_->sniff_loop([this](Tins::PDU& frame) { return dispatcher_(frame); });
}

void Capture::RequestStop() {
    dispatcher_.RequestStop();
    if (sniffer_) {
        sniffer_->stop_sniff();
    }
}

void Capture::Stop() {
    RequestStop();
    if (!sniffer_) {
        return;
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    RecordKernelDrops();
    sniffer_.reset();
}

void Capture::RecordKernelDrops() {
    pcap_stat stats{};
    if (pcap_stats(sniffer_->get_pcap_handle(), &stats) == 0) {
        kernelDrops_.store(uint64_t{stats.ps_drop} + stats.ps_ifdrop);
    }
}

CaptureLosses Capture::Losses() const {
    CaptureLosses losses = dispatcher_.Losses();
    losses.kernelDrops = kernelDrops_.load();
    return losses;
}

}  // namespace wire
