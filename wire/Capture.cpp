#include "wire/Capture.h"

#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "wire/Error.h"
#include "wire/Placement.h"

namespace wire {

namespace {

// Ethernet header and one VLAN tag on top of the MTU; a second tag the kernel takes out.
constexpr int kLinkHeaderBytes = 18;
// The kernel's own header, its address record and the alignment it puts before a frame.
constexpr int kSlotHeadroom = 96;
constexpr std::size_t kRingBytes = 32 << 20;
constexpr std::size_t kBlockBytes = 128 << 10;
// Frames handed over before the batch callback runs, so a flood still sends in good time.
constexpr std::size_t kBatchFrames = 64;
// Counting what is left after the budget only walks the ring, which no longer fills; the
// allowance merely guards against an intake that could not be closed.
constexpr int64_t kCountingAllowanceNs = 100'000'000;
constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();
constexpr std::size_t kMacAddressesBytes = 12;
constexpr std::size_t kVlanTagBytes = 4;

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

bool AttachSocketFilter(int fd, const sock_fprog& program) {
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) == 0;
}

// The ring of an arriving capture is spared the bench's own sends by the socket option; a
// leaving capture keeps only what this host sends.
bool AttachOutgoingFilter(int fd) {
    sock_filter program[] = {
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, static_cast<__u32>(SKF_AD_OFF + SKF_AD_PKTTYPE)},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, PACKET_OUTGOING},
        {BPF_RET | BPF_K, 0, 0, 0xffffffffu},
        {BPF_RET | BPF_K, 0, 0, 0},
    };
    const sock_fprog outgoing{static_cast<unsigned short>(std::size(program)), program};
    return AttachSocketFilter(fd, outgoing);
}

// Once this is attached the ring only empties, so a stop under a flood ends.
void RejectEveryFrame(int fd) {
    sock_filter rejectAll{BPF_RET | BPF_K, 0, 0, 0};
    const sock_fprog program{1, &rejectAll};
    // A failure leaves the intake open; the drain's give-up time still bounds the stop, and
    // whatever keeps arriving is counted as unhandled meanwhile.
    static_cast<void>(AttachSocketFilter(fd, program));
}

template <class Value>
bool SetPacketOption(int fd, int option, const Value& value) {
    return setsockopt(fd, SOL_PACKET, option, &value, sizeof(value)) == 0;
}

std::string Reason(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

tpacket2_hdr* HeaderOf(std::uint8_t* slot) {
    return reinterpret_cast<tpacket2_hdr*>(slot);
}

// The status word is shared with the kernel, which fills the slot before it sets it.
std::uint32_t SlotStatus(std::uint8_t* slot) {
    return __atomic_load_n(&HeaderOf(slot)->tp_status, __ATOMIC_ACQUIRE);
}

void ReleaseSlot(std::uint8_t* slot) {
    __atomic_store_n(&HeaderOf(slot)->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
}

}  // namespace

const char* DirectionName(pcap_direction_t direction) {
    return direction == PCAP_D_OUT ? "out" : "in";
}

Capture::Capture(std::string interfaceName, pcap_direction_t direction, FrameCallback callback,
                 BatchEndCallback batchEnd)
    : interfaceName_(std::move(interfaceName)),
      direction_(direction),
      dispatcher_(std::move(callback)),
      batchEnd_(std::move(batchEnd)) {}

Capture::~Capture() {
    Stop();
}

std::string Capture::Label() const {
    return interfaceName_ + " " + DirectionName(direction_);
}

void Capture::Open() {
    if (fd_ >= 0 || stopRequested_.load()) {
        return;
    }
    if (if_nametoindex(interfaceName_.c_str()) == 0) {
        throw Error(interfaceName_, "no such interface");
    }
    // Protocol 0 until the ring is in place: nothing is queued to the socket before.
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        if (errno == EPERM || errno == EACCES) {
            throw Error(interfaceName_, "capture not permitted (need root or CAP_NET_RAW)");
        }
        throw Error(interfaceName_, "cannot open capture: " + Reason("packet socket"));
    }
    try {
        Activate();
    } catch (...) {
        Close();
        throw;
    }
}

void Capture::Activate() {
    const int index = static_cast<int>(if_nametoindex(interfaceName_.c_str()));
    const auto fail = [this](const std::string& reason) {
        throw Error(interfaceName_, "cannot open capture: " + reason);
    };
    if (!SetPacketOption(fd_, PACKET_VERSION, int{TPACKET_V2})) {
        fail(Reason("ring version"));
    }
    const bool arriving = direction_ != PCAP_D_OUT;
    if (arriving ? !SetPacketOption(fd_, PACKET_IGNORE_OUTGOING, int{1})
                 : !AttachOutgoingFilter(fd_)) {
        fail(Reason("direction"));
    }
    // Every frame must be captured whole, since it is forwarded as captured: a truncated frame
    // would leave the other port corrupted rather than lost.
    MapRing(std::max(InterfaceMtu(interfaceName_), ETH_DATA_LEN) + kLinkHeaderBytes);
    packet_mreq promiscuous{};
    promiscuous.mr_ifindex = index;
    promiscuous.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promiscuous, sizeof(promiscuous)) !=
        0) {
        fail(Reason("promiscuous mode"));
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = index;
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        fail(errno == ENODEV || errno == ENXIO ? std::string("no such interface") : Reason("bind"));
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        fail(Reason("wake-up descriptor"));
    }
}

void Capture::MapRing(int frameBytes) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    slotBytes_ = TPACKET_ALIGN(static_cast<std::size_t>(kSlotHeadroom + frameBytes));
    const std::size_t blockBytes = std::max(kBlockBytes, (slotBytes_ + page - 1) / page * page);
    const std::size_t slotsPerBlock = blockBytes / slotBytes_;
    const std::size_t blocks = std::max<std::size_t>(kRingBytes / blockBytes, 1);
    tpacket_req request{};
    request.tp_block_size = static_cast<unsigned>(blockBytes);
    request.tp_block_nr = static_cast<unsigned>(blocks);
    request.tp_frame_size = static_cast<unsigned>(slotBytes_);
    request.tp_frame_nr = static_cast<unsigned>(blocks * slotsPerBlock);
    if (!SetPacketOption(fd_, PACKET_RX_RING, request)) {
        throw Error(interfaceName_, "cannot open capture: " + Reason("receive ring"));
    }
    ringBytes_ = blockBytes * blocks;
    void* ring = mmap(nullptr, ringBytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (ring == MAP_FAILED) {
        ringBytes_ = 0;
        throw Error(interfaceName_, "cannot open capture: " + Reason("mapping the ring"));
    }
    ring_ = static_cast<std::uint8_t*>(ring);
    // Slots never straddle blocks; the ring is walked block by block.
    slotCount_ = blocks * slotsPerBlock;
    slotsPerBlock_ = slotsPerBlock;
    blockBytes_ = blockBytes;
}

std::uint8_t* Capture::Slot(std::size_t index) const {
    return ring_ + index / slotsPerBlock_ * blockBytes_ + index % slotsPerBlock_ * slotBytes_;
}

void Capture::Start() {
    if (fd_ < 0 || thread_.joinable()) {
        return;
    }
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        throw Error(Label(), std::string("cannot start its capture thread: ") + e.what());
    }
}

void Capture::Run() {
    if (!cpus_.empty() && !PinCurrentThread(cpus_)) {
        dispatcher_.RecordLoopError("cannot place the capture thread on the CPUs asked for");
    }
    bool handing = true;
    while (handing && !stopRequested_.load()) {
        const std::size_t taken = HandOverBatch(kNoDeadline, handing);
        if (taken == 0 && handing) {
            WaitForFrames();
        }
    }
    // Also a loop the callback ended waits here, so every frame is handled on this thread.
    {
        std::unique_lock<std::mutex> lock(stopMutex_);
        stopSignal_.wait(lock, [this] { return stopRequested_.load(); });
    }
    Drain(stopDeadlineNs_.load());
}

void Capture::WaitForFrames() {
    pollfd waits[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(waits, 2, -1) < 0 && errno != EINTR) {
        dispatcher_.RecordLoopError(Reason("capture wait"));
        // Not a busy loop on a descriptor that keeps failing: the stop still comes by the flag.
        std::unique_lock<std::mutex> lock(stopMutex_);
        stopSignal_.wait_for(lock, std::chrono::milliseconds(10));
    }
}

std::size_t Capture::HandOverBatch(int64_t deadlineNs, bool& handing) {
    const std::size_t first = next_;
    std::size_t taken = 0;
    std::size_t delivered = 0;
    while (taken < kBatchFrames && (SlotStatus(Slot(next_)) & TP_STATUS_USER) != 0) {
        if (deadlineNs == kNoDeadline || NowNs() < deadlineNs) {
            handing = Deliver(Slot(next_)) && handing;
            ++delivered;
        } else {
            unhandledAtStop_.fetch_add(1);
        }
        next_ = (next_ + 1) % slotCount_;
        ++taken;
    }
    if (delivered > 0 && batchEnd_) {
        RunBatchEnd();
    }
    for (std::size_t i = 0; i < taken; ++i) {
        ReleaseSlot(Slot((first + i) % slotCount_));
    }
    return taken;
}

void Capture::RunBatchEnd() {
    try {
        batchEnd_();
    } catch (const std::exception& e) {
        dispatcher_.RecordLoopError(std::string("after a batch: ") + e.what());
    } catch (...) {
        dispatcher_.RecordLoopError("after a batch: unknown exception");
    }
}

void Capture::RequestStop(std::chrono::steady_clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (stopRequested_.load()) {
        return;
    }
    stopDeadlineNs_.store(SteadyNs(deadline));
    if (fd_ >= 0) {
        RejectEveryFrame(fd_);
        const std::uint64_t one = 1;
        static_cast<void>(write(wakeFd_, &one, sizeof(one)));
    }
    stopRequested_.store(true);
    stopSignal_.notify_all();
}

void Capture::Stop(std::chrono::milliseconds budget) {
    RequestStop(std::chrono::steady_clock::now() + budget);
    if (fd_ < 0) {
        return;
    }
    if (thread_.joinable()) {
        thread_.join();
    } else {
        Drain(0);
    }
    ReadKernelStatistics();
    Close();
}

// Hands over what the ring holds until the deadline, then counts the rest. Runs on the capture
// thread once the stop is requested, or, only counting, for a capture that never started.
void Capture::Drain(int64_t deadlineNs) {
    const int64_t giveUpNs = std::max(deadlineNs, NowNs()) + kCountingAllowanceNs;
    bool handing = true;
    while (NowNs() < giveUpNs && HandOverBatch(deadlineNs, handing) > 0) {
    }
    // Past the allowance (a slow machine, or an intake that stayed open) one more walk round
    // the ring counts what it holds: every frame taken in is handled, dropped or counted.
    for (std::size_t walked = 0;
         walked < slotCount_ && (SlotStatus(Slot(next_)) & TP_STATUS_USER) != 0; ++walked) {
        unhandledAtStop_.fetch_add(1);
        ReleaseSlot(Slot(next_));
        next_ = (next_ + 1) % slotCount_;
    }
}

bool Capture::Deliver(std::uint8_t* slot) {
    tpacket2_hdr* header = HeaderOf(slot);
    std::uint8_t* data = slot + header->tp_mac;
    std::uint32_t size = header->tp_snaplen;
    // The kernel takes a VLAN tag out of the frame before any capture sees it; forwarding must
    // put it back where it was. The headroom before the frame always has room for it.
    if ((header->tp_status & TP_STATUS_VLAN_VALID) != 0 && size >= kMacAddressesBytes) {
        const std::uint16_t tpid = (header->tp_status & TP_STATUS_VLAN_TPID_VALID) != 0
                                       ? header->tp_vlan_tpid
                                       : std::uint16_t{ETH_P_8021Q};
        std::memmove(data - kVlanTagBytes, data, kMacAddressesBytes);
        data -= kVlanTagBytes;
        const std::uint8_t tag[kVlanTagBytes] = {
            static_cast<std::uint8_t>(tpid >> 8), static_cast<std::uint8_t>(tpid),
            static_cast<std::uint8_t>(header->tp_vlan_tci >> 8),
            static_cast<std::uint8_t>(header->tp_vlan_tci)};
        std::memcpy(data + kMacAddressesBytes, tag, kVlanTagBytes);
        size += kVlanTagBytes;
    }
    const RawFrame frame{data, size,
                         int64_t{header->tp_sec} * 1'000'000'000 + int64_t{header->tp_nsec}};
    try {
        return dispatcher_.Dispatch(frame);
    } catch (...) {
        // The dispatcher already contains its callback's errors; this only guards against what
        // it could not.
        dispatcher_.RecordLoopError("frame handling failed unexpectedly");
        return true;
    }
}

void Capture::ReadKernelStatistics() {
    tpacket_stats stats{};
    socklen_t size = sizeof(stats);
    // Reading resets them, so each reading adds what came since the last one.
    if (getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &size) == 0) {
        framesTakenIn_.fetch_add(stats.tp_packets);
        kernelDrops_.fetch_add(stats.tp_drops);
    }
}

void Capture::Close() {
    if (ring_ != nullptr) {
        munmap(ring_, ringBytes_);
        ring_ = nullptr;
    }
    for (int* fd : {&fd_, &wakeFd_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

CaptureLosses Capture::Losses() const {
    CaptureLosses losses = dispatcher_.Losses();
    losses.kernelDrops = kernelDrops_.load();
    losses.unhandledAtStop = unhandledAtStop_.load();
    return losses;
}

}  // namespace wire
