#include "wire/PcapngWriter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

#include "wire/Error.h"
#include "wire/OutputFile.h"

namespace wire {

namespace {

constexpr std::uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceBlock = 1;
constexpr std::uint32_t kEnhancedPacketBlock = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kEndOfOptions = 0;
constexpr std::uint16_t kComment = 1;
constexpr std::uint16_t kApplication = 4;  // in the section header
constexpr std::uint16_t kInterfaceName = 2;
constexpr std::uint16_t kTimeResolution = 9;
constexpr std::uint8_t kNanoseconds = 9;
// Block header and trailer, interface id, two halves of the time stamp, two lengths.
constexpr std::size_t kPacketBlockFixedBytes = 32;
constexpr std::size_t kOptionHeaderBytes = 4;
constexpr std::size_t kMaxOptionBytes = 0xFFFF;
// Big enough that a flood costs a write per many frames, small enough to stay in the cache.
constexpr std::size_t kBufferBytes = 1 << 20;
// How long queued frames may wait for the writer while the queue is less than half full.
constexpr std::chrono::milliseconds kPollInterval{5};

std::size_t Padded(std::size_t size) {
    return (size + 3) & ~std::size_t{3};
}

// Appends pcapng's fields in the host's byte order, which the section header's magic records.
class BlockBuilder {
public:
    explicit BlockBuilder(std::vector<std::uint8_t>& out) : out_(out) {}

    template <class Integer>
    void Put(Integer value) {
        Bytes(&value, sizeof(value));
    }
    void Bytes(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), bytes, bytes + size);
    }
    void Pad() { out_.resize(Padded(out_.size()), 0); }
    void Option(std::uint16_t code, std::string_view value) {
        const std::size_t size = std::min(value.size(), kMaxOptionBytes);
        Put(code);
        Put(static_cast<std::uint16_t>(size));
        Bytes(value.data(), size);
        Pad();
    }
    void EndOptions() {
        Put(kEndOfOptions);
        Put(std::uint16_t{0});
    }
    // Begins a block whose total length is filled in by End.
    void Begin(std::uint32_t type) {
        start_ = out_.size();
        Put(type);
        Put(std::uint32_t{0});
    }
    void End() {
        const auto total = static_cast<std::uint32_t>(out_.size() - start_ + 4);
        std::memcpy(out_.data() + start_ + 4, &total, sizeof(total));
        Put(total);
    }

private:
    std::vector<std::uint8_t>& out_;
    std::size_t start_ = 0;
};

std::size_t PacketBlockSize(const QueuedFrame& frame) {
    std::size_t size = kPacketBlockFixedBytes + Padded(frame.size);
    if (!frame.comment.empty()) {
        size += kOptionHeaderBytes + Padded(frame.comment.size()) + kOptionHeaderBytes;
    }
    return size;
}

void AppendPacketBlock(std::vector<std::uint8_t>& out, const QueuedFrame& frame) {
    BlockBuilder block(out);
    block.Begin(kEnhancedPacketBlock);
    block.Put(frame.interfaceId);
    block.Put(static_cast<std::uint32_t>(frame.timeNs >> 32));
    block.Put(static_cast<std::uint32_t>(frame.timeNs));
    block.Put(frame.size);
    block.Put(frame.originalSize);
    block.Bytes(frame.data, frame.size);
    block.Pad();
    if (!frame.comment.empty()) {
        block.Option(kComment, frame.comment);
        block.EndOptions();
    }
    block.End();
}

// A comment cut to fit must not end inside a UTF-8 character, or readers reject the comment.
std::string_view Utf8Prefix(std::string_view text, std::size_t room) {
    if (text.size() <= room) {
        return text;
    }
    std::size_t size = room;
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) {
        --size;
    }
    return text.substr(0, size);
}

std::string SizeText(std::size_t bytes) {
    constexpr std::size_t kMiB = 1 << 20;
    return bytes % kMiB == 0 ? std::to_string(bytes / kMiB) + " MiB"
                             : std::to_string(bytes) + " bytes";
}

void AddLine(std::vector<std::string>& lines, const std::string& label, std::uint64_t count,
             const std::string& what) {
    if (count == 0) {
        return;
    }
    lines.push_back(label + ": " + std::to_string(count) + (count == 1 ? " frame " : " frames ") +
                    what);
}

}  // namespace

PcapngWriter::PcapngWriter(Options options) : options_(std::move(options)) {
    if (options_.write == nullptr) {
        options_.write = ::write;
    }
}

PcapngWriter::~PcapngWriter() {
    Stop();
}

void PcapngWriter::Open(const std::string& path) {
    if (fd_ >= 0) {
        throw Error(path, "a capture file is open already");
    }
    fd_ = OpenOutputFile(path);
    path_ = path;
}

int PcapngWriter::AddInterface(const std::string& name, std::uint16_t linkType,
                               std::uint32_t snapLength) {
    if (started_) {
        return -1;
    }
    interfaces_.push_back({name, linkType, std::max<std::uint32_t>(snapLength, 1)});
    return static_cast<int>(interfaces_.size() - 1);
}

void PcapngWriter::WriteHeader() {
    BlockBuilder block(buffer_);
    block.Begin(kSectionHeaderBlock);
    block.Put(kByteOrderMagic);
    block.Put(std::uint16_t{1});
    block.Put(std::uint16_t{0});
    block.Put(std::int64_t{-1});  // section length unknown: the file grows as frames arrive
    if (!options_.application.empty()) {
        block.Option(kApplication, options_.application);
        block.EndOptions();
    }
    block.End();
    // Every interface states the largest snapshot length: libpcap refuses files whose
    // interfaces differ in it, and a frame cut shorter than that is still valid.
    const std::uint32_t snapLength = largestSnapLength_;
    for (const Interface& interface : interfaces_) {
        block.Begin(kInterfaceBlock);
        block.Put(interface.linkType);
        block.Put(std::uint16_t{0});
        block.Put(snapLength);
        block.Option(kInterfaceName, interface.name);
        block.Option(kTimeResolution,
                     std::string_view(reinterpret_cast<const char*>(&kNanoseconds), 1));
        block.EndOptions();
        block.End();
    }
}

void PcapngWriter::Start() {
    if (started_) {
        return;
    }
    if (fd_ < 0) {
        throw Error("capture file", "not open");
    }
    for (const Interface& interface : interfaces_) {
        largestSnapLength_ = std::max(largestSnapLength_, interface.snapLength);
    }
    const std::size_t largestRecord = largestSnapLength_ + options_.commentRoom;
    try {
        queue_ = std::make_unique<PcapngQueue>(options_.queueBytes, largestRecord);
        buffer_.reserve(std::max(kBufferBytes, 2 * largestRecord + 64));
    } catch (const std::bad_alloc&) {
        throw Error(path_,
                    "cannot allocate the capture file's queue of " + SizeText(options_.queueBytes));
    }
    options_.queueBytes = queue_->Bytes();
    WriteHeader();
    if (!Flush()) {
        std::lock_guard<std::mutex> lock(errorMutex_);
        throw Error(path_, "cannot write: " + firstWriteError_);
    }
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        throw Error(path_,
                    std::string("cannot start the capture file's writer thread: ") + e.what());
    }
    started_ = true;
    accepting_.store(true);
}

bool PcapngWriter::Submit(int interfaceId, std::int64_t timeNs, const std::uint8_t* data,
                          std::size_t size, std::string_view comment) noexcept {
    // Counted in before accepting_ is read, so that Stop, which clears accepting_ and then
    // waits for the count to fall to zero, cannot close the queue under a frame being pushed.
    submitting_.fetch_add(1);
    bool taken = false;
    if (accepting_.load() && interfaceId >= 0 &&
        static_cast<std::size_t>(interfaceId) < interfaces_.size()) {
        const auto id = static_cast<std::uint32_t>(interfaceId);
        taken = queue_->Push(id, static_cast<std::uint64_t>(std::max<std::int64_t>(timeNs, 0)),
                             static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX)),
                             data, std::min<std::size_t>(size, interfaces_[id].snapLength),
                             Utf8Prefix(comment, options_.commentRoom));
    }
    if (taken) {
        WakeWriter();
    } else {
        queueFull_.fetch_add(1, std::memory_order_relaxed);
    }
    submitting_.fetch_sub(1);
    return taken;
}

void PcapngWriter::WakeWriter() noexcept {
    // Waking the writer for each frame would cost the frame's thread a system call, and a
    // context switch on a busy machine (measured: about 20 us a frame); the writer's poll takes
    // care of a queue that fills slowly.
    if (queue_->CellsInUse() >= queue_->Cells() / 2 && writerAsleep_.load() &&
        writerAsleep_.exchange(false)) {
        wake_.notify_one();
    }
}

bool PcapngWriter::WaitForFrames() {
    std::unique_lock<std::mutex> lock(wakeMutex_);
    writerAsleep_.store(true);
    // A wake-up that comes between the store and the wait is lost; the poll makes up for it.
    wake_.wait_for(lock, kPollInterval, [this] { return stopping_ || !writerAsleep_.load(); });
    writerAsleep_.store(false);
    return !stopping_;
}

void PcapngWriter::Run() {
    const auto drain = [this] {
        while (queue_->Pop([this](const QueuedFrame& frame) { Append(frame); })) {
        }
        Flush();
    };
    do {
        drain();
    } while (WaitForFrames());
    drain();
}

void PcapngWriter::Append(const QueuedFrame& frame) {
    if (writeFailed_) {
        writeErrors_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const std::size_t blockSize = PacketBlockSize(frame);
    if (limitReached_.load(std::memory_order_relaxed) ||
        (options_.limitBytes != 0 &&
         fileBytes_ + buffer_.size() + blockSize > options_.limitBytes)) {
        limitReached_.store(true);
        overLimit_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (buffer_.size() + blockSize > buffer_.capacity() && !Flush()) {
        writeErrors_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    AppendPacketBlock(buffer_, frame);
    ++bufferedFrames_;
}

bool PcapngWriter::Flush() {
    if (writeFailed_) {
        return false;
    }
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t n = options_.write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            FailWrite(n == 0 ? EIO : errno);
            return false;
        }
    }
    fileBytes_ += buffer_.size();
    written_.fetch_add(bufferedFrames_, std::memory_order_relaxed);
    bufferedFrames_ = 0;
    buffer_.clear();
    return true;
}

void PcapngWriter::FailWrite(int error) {
    {
        std::lock_guard<std::mutex> lock(errorMutex_);
        firstWriteError_ = std::strerror(error);
    }
    writeFailed_ = true;
    writeErrors_.fetch_add(bufferedFrames_, std::memory_order_relaxed);
    bufferedFrames_ = 0;
    buffer_.clear();
    // A part of a block may have gone out before the failure; cut the file back to its last
    // whole block so that readers still take all of it.
    if (ftruncate(fd_, static_cast<off_t>(fileBytes_)) != 0) {
        return;  // nothing more can be done for the file; its frames are counted as lost
    }
}

void PcapngWriter::Stop() {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    accepting_.store(false);
    while (submitting_.load() != 0) {
        std::this_thread::yield();
    }
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(wakeMutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

PcapngCounts PcapngWriter::Counts() const {
    return {written_.load(), queueFull_.load(), overLimit_.load(), writeErrors_.load()};
}

std::vector<std::string> PcapngWriter::ReportLines() const {
    const PcapngCounts counts = Counts();
    std::string writeError;
    {
        std::lock_guard<std::mutex> lock(errorMutex_);
        writeError = firstWriteError_;
    }
    std::vector<std::string> lines;
    AddLine(
        lines, path_, counts.queueFull,
        "not written: the capture file's queue (" + SizeText(options_.queueBytes) + ") was full");
    AddLine(lines, path_, counts.overLimit,
            "not written: the capture file reached its limit of " +
                std::to_string(options_.limitBytes) + " bytes");
    AddLine(lines, path_, counts.writeErrors,
            "not written after a write to the capture file failed (" + writeError + ")");
    return lines;
}

void PcapngWriter::WriteReport(std::ostream& out) const {
    for (const std::string& line : ReportLines()) {
        out << line << '\n';
    }
    out.flush();
}

}  // namespace wire
