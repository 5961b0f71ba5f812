#include "wire/Capture.h"

#include <linux/filter.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "wire/Error.h"

namespace wire {

namespace {

// Large enough for any RoCE frame, small enough that the immediate-mode ring holds thousands of
// frames (its slot size follows the snapshot length).
constexpr int kSnapshotLength = 9000;
// Ethernet header and one VLAN tag on top of the MTU.
constexpr int kLinkHeaderBytes = 18;
constexpr int kBufferBytes = 32 << 20;
// Frames per pcap_dispatch while draining, so the give-up time is checked between batches.
constexpr int kDrainBatch = 256;
// Counting what is left after the budget only walks the ring, which no longer fills; the
// allowance merely guards against an intake that could not be closed.
constexpr int64_t kCountingAllowanceNs = 100'000'000;

int64_t SteadyNs(std::chrono::steady_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

int64_t NowNs() {
    return SteadyNs(std::chrono::steady_clock::now());
}

// Asked of the kernel, not of /sys, which shows the namespace it was mounted in.
int InterfaceMtu(const std::string& interfaceName) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    ifreq request{};
    interfaceName.copy(request.ifr_name, IFNAMSIZ - 1);
    const int result = ioctl(fd, SIOCGIFMTU, &request);
    close(fd);
    return result == 0 ? request.ifr_mtu : 0;
}

// Every frame must be captured whole, since it is forwarded as captured: a truncated frame
// would leave the other port corrupted rather than lost.
int SnapshotLengthFor(const std::string& interfaceName) {
    return std::max(kSnapshotLength, InterfaceMtu(interfaceName) + kLinkHeaderBytes);
}

bool AttachSocketFilter(int fd, const sock_fprog& program) {
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) == 0;
}

// Filters the direction in the kernel too, which spares copying to user space every frame the
// bench itself sends out of the port (pcap_setdirection discards those only after the copy).
// The program is attached to the socket directly: installed through libpcap, it lost the first
// frame of every capture (measured on veth, every time; a filter without a direction test lost
// none), apparently because libpcap re-checks in user space, where the packet-type test always
// fails. Frames that came before the attachment are still sorted by pcap_setdirection.
std::string AttachKernelDirectionFilter(pcap_t* handle, pcap_direction_t direction) {
    bpf_program program{};
    const char* expression = direction == PCAP_D_OUT ? "outbound" : "inbound";
    if (pcap_compile(handle, &program, expression, 1, PCAP_NETMASK_UNKNOWN) != 0) {
        return std::string("direction filter: ") + pcap_geterr(handle);
    }
    static_assert(sizeof(bpf_insn) == sizeof(sock_filter), "libpcap and kernel BPF differ");
    const sock_fprog kernelProgram{static_cast<unsigned short>(program.bf_len),
                                   reinterpret_cast<sock_filter*>(program.bf_insns)};
    const bool attached = AttachSocketFilter(pcap_fileno(handle), kernelProgram);
    const int error = errno;
    pcap_freecode(&program);
    return attached ? "" : std::string("direction filter: ") + std::strerror(error);
}

// Once this is attached the ring only empties, so a stop under a flood ends.
void RejectEveryFrame(pcap_t* handle) {
    sock_filter rejectAll{BPF_RET | BPF_K, 0, 0, 0};
    const sock_fprog program{1, &rejectAll};
    // A failure leaves the intake open; the drain's give-up time still bounds the stop, and
    // whatever keeps arriving is counted as unhandled meanwhile.
    static_cast<void>(AttachSocketFilter(pcap_fileno(handle), program));
}

std::string ActivationProblem(pcap_t* handle, int status) {
    const std::string detail = pcap_geterr(handle);
    return detail.empty() ? pcap_statustostr(status) : detail;
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
    if (handle_ || stopRequested_.load()) {
        return;
    }
    if (if_nametoindex(interfaceName_.c_str()) == 0) {
        throw Error(interfaceName_, "no such interface");
    }
    char error[PCAP_ERRBUF_SIZE] = "";
    handle_.reset(pcap_create(interfaceName_.c_str(), error));
    if (!handle_) {
        throw Error(interfaceName_, std::string("cannot open capture: ") + error);
    }
    try {
        Activate();
    } catch (...) {
        handle_.reset();
        throw;
    }
}

void Capture::Activate() {
    pcap_t* handle = handle_.get();
    pcap_set_snaplen(handle, SnapshotLengthFor(interfaceName_));
    pcap_set_promisc(handle, 1);
    pcap_set_immediate_mode(handle, 1);
    pcap_set_buffer_size(handle, kBufferBytes);
    // Without it timestamps come in microseconds, which the frame's time is scaled from.
    pcap_set_tstamp_precision(handle, PCAP_TSTAMP_PRECISION_NANO);
    const int status = pcap_activate(handle);
    if (status == PCAP_ERROR_PERM_DENIED) {
        throw Error(interfaceName_, "capture not permitted (need root or CAP_NET_RAW)");
    }
    if (status == PCAP_ERROR_NO_SUCH_DEVICE) {
        throw Error(interfaceName_, "no such interface");
    }
    if (status < 0) {
        throw Error(interfaceName_, "cannot open capture: " + ActivationProblem(handle, status));
    }
    nanosecondTimestamps_ = pcap_get_tstamp_precision(handle) == PCAP_TSTAMP_PRECISION_NANO;
    if (pcap_setdirection(handle, direction_) != 0) {
        throw Error(interfaceName_, std::string("cannot open capture: ") + pcap_geterr(handle));
    }
    const std::string problem = AttachKernelDirectionFilter(handle, direction_);
    if (!problem.empty()) {
        throw Error(interfaceName_, "cannot open capture: " + problem);
    }
}

void Capture::Start() {
    if (!handle_ || thread_.joinable()) {
        return;
    }
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        throw Error(Label(), std::string("cannot start its capture thread: ") + e.what());
    }
}

void Capture::Run() {
    // A stop requested before the loop starts has already woken pcap; either check ends it.
    if (!stopRequested_.load()) {
        if (pcap_loop(handle_.get(), -1, OnLoopFrame, reinterpret_cast<u_char*>(this)) ==
            PCAP_ERROR) {
            dispatcher_.RecordLoopError(std::string("capture loop ended: ") +
                                        pcap_geterr(handle_.get()));
        }
    }
    // Also a loop the callback ended waits here, so every frame is handled on this thread.
    {
        std::unique_lock<std::mutex> lock(stopMutex_);
        stopSignal_.wait(lock, [this] { return stopRequested_.load(); });
    }
    Drain(stopDeadlineNs_.load());
}

void Capture::RequestStop(std::chrono::steady_clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (stopRequested_.load()) {
        return;
    }
    stopDeadlineNs_.store(SteadyNs(deadline));
    if (handle_) {
        RejectEveryFrame(handle_.get());
        pcap_breakloop(handle_.get());
    }
    // Set last: once the capture thread sees it, it drains, and libpcap's switch to
    // non-blocking mode closes the descriptor pcap_breakloop writes to.
    stopRequested_.store(true);
    stopSignal_.notify_all();
}

void Capture::Stop(std::chrono::milliseconds budget) {
    RequestStop(std::chrono::steady_clock::now() + budget);
    if (!handle_) {
        return;
    }
    if (thread_.joinable()) {
        thread_.join();
    } else {
        Drain(0);
    }
    RecordKernelStatistics();
    handle_.reset();
}

// Hands over what the ring holds until the deadline, then counts the rest. Runs on the capture
// thread once the stop is requested, or, only counting, for a capture that never started.
void Capture::Drain(int64_t deadlineNs) {
    pcap_t* handle = handle_.get();
    char error[PCAP_ERRBUF_SIZE];
    if (pcap_setnonblock(handle, 1, error) != 0) {
        dispatcher_.RecordLoopError(std::string("cannot drain at the stop: ") + error);
        return;
    }
    DrainContext context{this, deadlineNs};
    const int64_t giveUpNs = std::max(deadlineNs, NowNs()) + kCountingAllowanceNs;
    while (NowNs() < giveUpNs) {
        const int result =
            pcap_dispatch(handle, kDrainBatch, OnDrainFrame, reinterpret_cast<u_char*>(&context));
        // PCAP_ERROR_BREAK, left by a break requested after the loop had ended, handled nothing:
        // go on. Only an empty ring or a failure ends the drain early.
        if (result == 0 || result == PCAP_ERROR) {
            break;
        }
    }
}

void Capture::OnLoopFrame(u_char* user, const pcap_pkthdr* header, const u_char* data) {
    auto* capture = reinterpret_cast<Capture*>(user);
    // After a stop request the drain takes over, which keeps to the deadline.
    if (!capture->Deliver(*header, data) || capture->stopRequested_.load()) {
        pcap_breakloop(capture->handle_.get());
    }
}

void Capture::OnDrainFrame(u_char* user, const pcap_pkthdr* header, const u_char* data) {
    auto* context = reinterpret_cast<DrainContext*>(user);
    if (NowNs() < context->deadlineNs) {
        context->capture->Deliver(*header, data);
    } else {
        context->capture->unhandledAtStop_.fetch_add(1);
    }
}

bool Capture::Deliver(const pcap_pkthdr& header, const u_char* data) {
    const int64_t fraction = nanosecondTimestamps_ ? header.ts.tv_usec : header.ts.tv_usec * 1000;
    const RawFrame frame{data, header.caplen, int64_t{header.ts.tv_sec} * 1'000'000'000 + fraction};
    try {
        return dispatcher_.Dispatch(frame);
    } catch (...) {
        // Nothing may unwind through libpcap; the dispatcher already contains its callback's
        // errors, so this only guards against what it could not.
        dispatcher_.RecordLoopError("frame handling failed unexpectedly");
        return true;
    }
}

void Capture::RecordKernelStatistics() {
    pcap_stat stats{};
    if (pcap_stats(handle_.get(), &stats) == 0) {
        framesTakenIn_.store(stats.ps_recv);
        kernelDrops_.store(uint64_t{stats.ps_drop} + stats.ps_ifdrop);
    }
}

CaptureLosses Capture::Losses() const {
    CaptureLosses losses = dispatcher_.Losses();
    losses.kernelDrops = kernelDrops_.load();
    losses.unhandledAtStop = unhandledAtStop_.load();
    return losses;
}

}  // namespace wire
