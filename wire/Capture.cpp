#include "wire/Capture.h"

#include <linux/filter.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <tins/exceptions.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "wire/Error.h"

namespace wire {

namespace {

// Large enough for any RoCE frame, small enough that the immediate-mode ring holds thousands of
// frames (its slot size follows the snapshot length).
constexpr unsigned kSnapshotLength = 9000;
// Ethernet header and one VLAN tag on top of the MTU.
constexpr unsigned kLinkHeaderBytes = 18;
constexpr unsigned kBufferBytes = 32u << 20;

// Asked of the kernel, not of /sys, which shows the namespace it was mounted in.
unsigned InterfaceMtu(const std::string& interfaceName) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    ifreq request{};
    interfaceName.copy(request.ifr_name, IFNAMSIZ - 1);
    const int result = ioctl(fd, SIOCGIFMTU, &request);
    close(fd);
    return result == 0 && request.ifr_mtu > 0 ? static_cast<unsigned>(request.ifr_mtu) : 0;
}

// Every frame must be captured whole, since it is forwarded as captured: a truncated frame
// would leave the other port corrupted rather than lost.
unsigned SnapshotLengthFor(const std::string& interfaceName) {
    return std::max(kSnapshotLength, InterfaceMtu(interfaceName) + kLinkHeaderBytes);
}

Tins::SnifferConfiguration ConfigurationFor(const std::string& interfaceName,
                                            pcap_direction_t direction) {
    Tins::SnifferConfiguration config;
    config.set_immediate_mode(true);
    config.set_promisc_mode(true);
    config.set_snap_len(SnapshotLengthFor(interfaceName));
    config.set_buffer_size(kBufferBytes);
    config.set_direction(direction);
    return config;
}

// Filters the direction in the kernel too, which spares copying to user space every frame the
// bench itself sends out of the port (set_direction discards those only after the copy).
// The program is attached to the socket directly: installed through libpcap, it lost the first
// frame of every capture (measured on veth, every time; a filter without a direction test lost
// none), apparently because libpcap re-checks in user space, where the packet-type test always
// fails. Frames that came before the attachment are still sorted by set_direction.
void AttachKernelDirectionFilter(pcap_t* handle, pcap_direction_t direction) {
    bpf_program program{};
    const char* expression = direction == PCAP_D_OUT ? "outbound" : "inbound";
    if (pcap_compile(handle, &program, expression, 1, PCAP_NETMASK_UNKNOWN) != 0) {
        throw std::runtime_error(std::string("direction filter: ") + pcap_geterr(handle));
    }
    static_assert(sizeof(bpf_insn) == sizeof(sock_filter), "libpcap and kernel BPF differ");
    sock_fprog kernelProgram{static_cast<unsigned short>(program.bf_len),
                             reinterpret_cast<sock_filter*>(program.bf_insns)};
    const int result = setsockopt(pcap_fileno(handle), SOL_SOCKET, SO_ATTACH_FILTER, &kernelProgram,
                                  sizeof(kernelProgram));
    const int error = errno;
    pcap_freecode(&program);
    if (result != 0) {
        throw std::runtime_error(std::string("direction filter: ") + std::strerror(error));
    }
}

// Bounds the drain at shutdown: a port that keeps receiving would otherwise never be done.
constexpr int kMaxDrainRounds = 64;

// Hands each frame libpcap delivers straight to the dispatcher: its bytes are copied once,
// into the CapturedFrame. In the loop, a frame whose handling ends the run breaks it; a drain
// goes on to the last frame captured.
struct LoopContext {
    pcap_t* handle;
    FrameDispatcher* dispatcher;
    bool breakOnStop;
};

void HandleFrame(u_char* user, const pcap_pkthdr* header, const u_char* data) {
    auto* context = reinterpret_cast<LoopContext*>(user);
    bool goOn = true;
    try {
        goOn = context->dispatcher->Dispatch(data, header->caplen);
    } catch (...) {
        // Nothing may unwind through libpcap; the dispatcher already contains its callback's
        // errors, so this only guards against what it could not.
        context->dispatcher->RecordLoopError("frame handling failed unexpectedly");
    }
    if (!goOn && context->breakOnStop) {
        pcap_breakloop(context->handle);
    }
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
    if (sniffer_) {
        return;
    }
    if (if_nametoindex(interfaceName_.c_str()) == 0) {
        throw Error(interfaceName_, "no such interface");
    }
    try {
        auto sniffer = std::make_unique<Tins::Sniffer>(
            interfaceName_, ConfigurationFor(interfaceName_, direction_));
        AttachKernelDirectionFilter(sniffer->get_pcap_handle(), direction_);
        sniffer_ = std::move(sniffer);
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
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        throw Error(Label(), std::string("cannot start its capture thread: ") + e.what());
    }
}

void Capture::Run() {
    // A Stop before the loop starts has already set the flag and woken pcap; either ends it.
    if (dispatcher_.StopRequested()) {
        return;
    }
    LoopContext context{sniffer_->get_pcap_handle(), &dispatcher_, true};
    if (pcap_loop(context.handle, -1, HandleFrame, reinterpret_cast<u_char*>(&context)) ==
        PCAP_ERROR) {
        dispatcher_.RecordLoopError(std::string("capture loop ended: ") +
                                    pcap_geterr(context.handle));
    }
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
        Drain();
    }
    RecordKernelDrops();
    sniffer_.reset();
}

// Frames already captured when the run stops are still handled, so the bench loses none of
// what reached it. Runs on the controlling thread once the capture thread has ended.
void Capture::Drain() {
    pcap_t* handle = sniffer_->get_pcap_handle();
    char error[PCAP_ERRBUF_SIZE];
    if (pcap_setnonblock(handle, 1, error) != 0) {
        return;
    }
    LoopContext context{handle, &dispatcher_, false};
    for (int round = 0; round < kMaxDrainRounds; ++round) {
        const int handled =
            pcap_dispatch(handle, -1, HandleFrame, reinterpret_cast<u_char*>(&context));
        // A break requested after the loop had ended is still pending once; it handles nothing.
        if (handled == PCAP_ERROR_BREAK) {
            continue;
        }
        if (handled <= 0) {
            break;
        }
    }
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
