#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "wire/PcapngQueue.h"

namespace wire {

// What became of the frames handed to a PcapngWriter.
struct PcapngCounts {
    std::uint64_t written = 0;      // in the file
    std::uint64_t queueFull = 0;    // refused by Submit: the queue was full, or not running
    std::uint64_t overLimit = 0;    // not written once the file reached its size limit
    std::uint64_t writeErrors = 0;  // not written once a write had failed
};

// Writes observed frames to a pcapng file from a thread of its own, so that the threads that
// observe them never wait for the disk: one interface per port direction, nanosecond time
// stamps, and a packet comment saying what the bench did to the frame. Only whole blocks
// reach the file, so whatever stops the writer leaves a file every reader takes.
// Open, AddInterface, Start, Stop and the reports are called from one controlling thread;
// Submit from any number of threads.
class PcapngWriter {
public:
    using WriteFunction = ssize_t (*)(int fd, const void* data, std::size_t size);

    static constexpr std::uint16_t kLinkTypeEthernet = 1;
    static constexpr std::uint32_t kWholeFrames = 65535;

    struct Options {
        // What the queue holds of frames and comments: about 29,000 frames of 1,100 bytes, or
        // 260,000 of 64, a tenth of a second of a flood while the disk stalls.
        std::size_t queueBytes = 32 << 20;
        std::size_t commentRoom = 256;  // longer comments are cut
        std::uint64_t limitBytes = 0;   // 0: no limit
        std::string application;        // named in the file's header when not empty
        WriteFunction write = nullptr;  // ::write; tests make writes fail through it
    };

    explicit PcapngWriter(Options options);
    PcapngWriter() : PcapngWriter(Options{}) {}
    ~PcapngWriter();  // stops
    PcapngWriter(const PcapngWriter&) = delete;
    PcapngWriter& operator=(const PcapngWriter&) = delete;

    // Creates or empties the file, refusing symbolic links and whatever is not a regular file;
    // throws wire::Error naming the path.
    void Open(const std::string& path);
    // Declares an interface, e.g. "enp1s0f1 in", before Start; returns its id for Submit, or
    // -1 once started. Frames longer than `snapLength` are kept cut to it, their length noted.
    int AddInterface(const std::string& name, std::uint16_t linkType = kLinkTypeEthernet,
                     std::uint32_t snapLength = kWholeFrames);
    // Writes the file's header and starts the writer thread; throws wire::Error when the queue
    // cannot be allocated, the header cannot be written or the thread cannot start.
    void Start();
    // Copies the frame, taken at `timeNs` since 1970, and its comment (empty: none) into the
    // queue for the writer; false, and counted, when the queue is full, the writer is not
    // running or the interface is unknown. Never locks and never waits.
    bool Submit(int interfaceId, std::int64_t timeNs, const std::uint8_t* data, std::size_t size,
                std::string_view comment = {}) noexcept;
    // Refuses further frames, writes every frame already queued and closes the file.
    // Idempotent.
    void Stop();

    [[nodiscard]] PcapngCounts Counts() const;
    // The size limit kept frames out of the file.
    [[nodiscard]] bool LimitReached() const { return limitReached_.load(); }
    // What the queue holds, once started.
    [[nodiscard]] std::size_t QueueBytes() const { return options_.queueBytes; }
    // One line per kind of frame that did not reach the file, as the loss reports put them.
    [[nodiscard]] std::vector<std::string> ReportLines() const;
    void WriteReport(std::ostream& out) const;

private:
    struct Interface {
        std::string name;
        std::uint16_t linkType;
        std::uint32_t snapLength;
    };

    void WriteHeader();
    void Run();
    bool WaitForFrames();
    void WakeWriter() noexcept;
    void Append(const QueuedFrame& frame);
    bool Flush();
    void FailWrite(int error);

    Options options_;
    std::string path_;
    int fd_ = -1;
    std::vector<Interface> interfaces_;
    std::uint32_t largestSnapLength_ = 1;
    std::unique_ptr<PcapngQueue> queue_;
    std::thread thread_;
    bool started_ = false;
    bool stopped_ = false;

    // The frame threads' side.
    std::atomic<bool> accepting_{false};
    std::atomic<int> submitting_{0};
    std::atomic<bool> writerAsleep_{false};
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // under wakeMutex_

    // The writer thread's side.
    std::vector<std::uint8_t> buffer_;
    std::uint64_t bufferedFrames_ = 0;
    std::uint64_t fileBytes_ = 0;
    bool writeFailed_ = false;

    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> queueFull_{0};
    std::atomic<std::uint64_t> overLimit_{0};
    std::atomic<std::uint64_t> writeErrors_{0};
    std::atomic<bool> limitReached_{false};
    mutable std::mutex errorMutex_;
    std::string firstWriteError_;  // under errorMutex_
};

}  // namespace wire
