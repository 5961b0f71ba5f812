#include "wire/PcapngWriter.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/unit/wire/WireTest.h"

namespace {

using namespace wiretest;

Bytes Frame(std::size_t size, std::uint8_t first) {
    Bytes frame(size);
    for (std::size_t i = 0; i < size; ++i) {
        frame[i] = static_cast<std::uint8_t>(first + i);
    }
    return frame;
}

std::uint32_t Word(const std::string& file, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, file.data() + offset, sizeof(value));
    return value;
}

// The file's packet comments, read apart from the writer's code; none unless every block's
// lengths agree, are whole words and add up to the file's.
std::optional<Lines> CommentsInWholeBlocks(const std::string& path) {
    const std::string file = ReadFile(path);
    Lines comments;
    std::size_t offset = 0;
    for (std::uint32_t length = 0; offset + 12 <= file.size(); offset += length) {
        length = Word(file, offset + 4);
        if (length < 12 || length % 4 != 0 || offset + length > file.size() ||
            Word(file, offset + length - 4) != length) {
            return std::nullopt;
        }
        if (Word(file, offset) != 6) {
            continue;
        }
        comments.emplace_back();
        std::size_t option = offset + 28 + ((Word(file, offset + 20) + 3) & ~3u);
        while (option + 4 <= offset + length - 4) {
            const std::uint32_t header = Word(file, option);
            const std::uint16_t size = static_cast<std::uint16_t>(header >> 16);
            if ((header & 0xFFFF) == 1) {
                comments.back().assign(file, option + 4, size);
            }
            option += 4 + ((size + 3u) & ~3u);
        }
    }
    if (offset != file.size() || Word(file, 0) != 0x0A0D0D0A) {
        return std::nullopt;
    }
    return comments;
}

// What libpcap reads back: the time stamp in nanoseconds, the lengths and the bytes.
struct Record {
    std::uint64_t timeNs;
    std::uint32_t originalSize;
    Bytes bytes;
};

std::vector<Record> ReadWithPcap(const std::string& path) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
    EXPECT_NE(handle, nullptr) << error;
    std::vector<Record> records;
    if (handle == nullptr) {
        return records;
    }
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int status = 0;
    while ((status = pcap_next_ex(handle, &header, &data)) == 1) {
        records.push_back({static_cast<std::uint64_t>(header->ts.tv_sec) * 1000000000u +
                               static_cast<std::uint64_t>(header->ts.tv_usec),
                           header->len, Bytes(data, data + header->caplen)});
    }
    EXPECT_EQ(status, PCAP_ERROR_BREAK) << pcap_geterr(handle);  // the file's end, no error
    pcap_close(handle);
    return records;
}

// The interface name and packet comment of every frame, as tshark reads the file.
Lines TsharkNamesAndComments(const std::string& path) {
    const std::string command =
        "tshark -r '" + path + "' -T fields -e frame.interface_name -e frame.comment 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char chunk[4096];
    for (std::size_t n = 0; pipe != nullptr && (n = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) {
        out.append(chunk, n);
    }
    EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << "tshark could not read " << path;
    Lines lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Holds the writer inside its first write of frames until opened: whatever is submitted
// meanwhile can only wait in the queue.
struct WriteGate {
    static inline std::mutex mutex;
    static inline std::condition_variable changed;
    static inline int calls = 0;
    static inline bool open = false;

    static ssize_t Write(int fd, const void* data, std::size_t size) {
        std::unique_lock<std::mutex> lock(mutex);
        if (++calls == 2) {
            changed.notify_all();
            changed.wait(lock, [] { return open; });
        }
        return ::write(fd, data, size);
    }
    static bool WaitInside() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [] { return calls >= 2; });
    }
    static void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
    static void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        calls = 0;
        open = false;
    }
};

// The header goes out, then one write of frames, then half of the next, then the disk is full.
std::atomic<int> fillingDiskCalls{0};
ssize_t FillingDisk(int fd, const void* data, std::size_t size) {
    const int call = ++fillingDiskCalls;
    if (call > 3) {
        errno = ENOSPC;
        return -1;
    }
    return ::write(fd, data, call == 3 ? size / 2 : size);
}

class PcapngWriterTest : public ::testing::Test {
protected:
    std::string Path() const { return dir_.At("run.pcapng"); }

    // A writer with the bench's two arriving port directions, the server's cut to 64 bytes.
    std::unique_ptr<wire::PcapngWriter> Started(wire::PcapngWriter::Options options = {}) {
        auto writer = std::make_unique<wire::PcapngWriter>(std::move(options));
        writer->Open(Path());
        client_ = writer->AddInterface("enp1s0f1 in");
        server_ = writer->AddInterface("enp1s0f0 in", wire::PcapngWriter::kLinkTypeEthernet, 64);
        writer->Start();
        return writer;
    }

    static bool Submit(wire::PcapngWriter& writer, int interface, const Bytes& frame,
                       std::string_view comment = {}, std::int64_t timeNs = 1) {
        return writer.Submit(interface, timeNs, frame.data(), frame.size(), comment);
    }

    TempDir dir_;
    int client_ = -1;
    int server_ = -1;
};

// The server's side keeps 64 bytes of a frame; a comment is cut to its room, not inside a
// character.
TEST_F(PcapngWriterTest, FramesReadBackOnTheirInterfacesWithTheirCommentsTimesAndBytes) {
    const std::vector<Bytes> frames{Frame(60, 0), Frame(61, 1), Frame(62, 2), Frame(1100, 4)};
    const std::int64_t t0 = 1700000000123456789;
    wire::PcapngWriter::Options options;
    options.commentRoom = 23;
    {
        auto writer = Started(options);
        EXPECT_TRUE(Submit(*writer, client_, frames[0], "drop", t0));
        EXPECT_TRUE(Submit(*writer, server_, frames[1], {}, t0 + 1));
        EXPECT_TRUE(Submit(*writer, client_, frames[2], "bad PSN, expected 0x10", t0 + 1000000));
        EXPECT_TRUE(Submit(*writer, server_, frames[3], "rule 2: délai 12 ms, é", t0 + 1000001));
        writer->Stop();
        EXPECT_EQ(writer->Counts().written, 4u);
        EXPECT_TRUE(writer->ReportLines().empty());
    }
    const Lines comments{"drop", "", "bad PSN, expected 0x10", "rule 2: délai 12 ms, "};
    EXPECT_EQ(CommentsInWholeBlocks(Path()), comments);
    const std::vector<Record> records = ReadWithPcap(Path());
    ASSERT_EQ(records.size(), frames.size());
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(records[i].bytes, frames[i]) << "frame " << i;
    }
    EXPECT_EQ(records[3].bytes, Bytes(frames[3].begin(), frames[3].begin() + 64));
    EXPECT_EQ(records[3].originalSize, 1100u);
    EXPECT_EQ(records[1].timeNs, static_cast<std::uint64_t>(t0 + 1));
    EXPECT_EQ(records[3].timeNs, static_cast<std::uint64_t>(t0 + 1000001));
    if (std::system("command -v tshark >/dev/null") != 0) {
        GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh installs it)";
    }
    const Lines names{"enp1s0f1 in", "enp1s0f0 in", "enp1s0f1 in", "enp1s0f0 in"};
    Lines expected;
    for (std::size_t i = 0; i < names.size(); ++i) {
        expected.push_back(names[i] + "\t" + comments[i]);
    }
    EXPECT_EQ(TsharkNamesAndComments(Path()), expected);
}

TEST_F(PcapngWriterTest, RefusesFramesOutsideItsRunOrInterfaces) {
    wire::PcapngWriter writer;
    writer.Open(Path());
    const int id = writer.AddInterface("enp1s0f1 in");
    EXPECT_FALSE(Submit(writer, id, Frame(60, 0)));  // not started
    writer.Start();
    EXPECT_EQ(writer.AddInterface("late"), -1);
    EXPECT_FALSE(Submit(writer, id + 1, Frame(60, 0)));
    EXPECT_FALSE(Submit(writer, -1, Frame(60, 0)));
    EXPECT_TRUE(Submit(writer, id, Frame(60, 0)));
    writer.Stop();
    EXPECT_FALSE(Submit(writer, id, Frame(60, 0)));
    EXPECT_EQ(writer.Counts().written, 1u);
    EXPECT_EQ(writer.Counts().queueFull, 4u);
}

TEST_F(PcapngWriterTest, AFullQueueRefusesAndCountsWithoutWaiting) {
    WriteGate::Reset();
    wire::PcapngWriter::Options options;
    options.queueBytes = 1;  // the least it takes: 8 cells, for records of up to 64 + 256 bytes
    options.write = WriteGate::Write;
    wire::PcapngWriter writer(options);
    writer.Open(Path());
    const int id = writer.AddInterface("enp1s0f1 in", wire::PcapngWriter::kLinkTypeEthernet, 64);
    writer.Start();
    EXPECT_EQ(writer.QueueBytes(), 8 * wire::PcapngQueue::kCellBytes);
    ASSERT_TRUE(Submit(writer, id, Frame(60, 0)));
    ASSERT_TRUE(WriteGate::WaitInside());
    int taken = 0;
    for (int i = 0; i < 12; ++i) {
        taken += Submit(writer, id, Frame(60, 0)) ? 1 : 0;  // a cell each
    }
    EXPECT_EQ(taken, 8);
    WriteGate::Open();
    writer.Stop();
    EXPECT_EQ(writer.Counts().written, 9u);
    EXPECT_EQ(writer.Counts().queueFull, 4u);
    EXPECT_EQ(
        writer.ReportLines(),
        Lines{Path() + ": 4 frames not written: the capture file's queue (1024 bytes) was full"});
    EXPECT_EQ(ReadWithPcap(Path()).size(), 9u);
}

// A byte short of a third block of a 101-byte frame, which the limit must count padded.
TEST_F(PcapngWriterTest, StopsWritingAtTheLimitAndTheFileStaysWhole) {
    Started()->Stop();
    const std::uint64_t header = std::filesystem::file_size(Path());
    const std::uint64_t block = 32 + 104;
    wire::PcapngWriter::Options options;
    options.limitBytes = header + 3 * block - 1;
    auto writer = Started(options);
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(Submit(*writer, client_, Frame(101, static_cast<std::uint8_t>(i))));
    }
    writer->Stop();
    EXPECT_TRUE(writer->LimitReached());
    EXPECT_EQ(writer->Counts().written, 2u);
    EXPECT_EQ(writer->Counts().overLimit, 8u);
    EXPECT_EQ(std::filesystem::file_size(Path()), header + 2 * block);
    EXPECT_EQ(writer->ReportLines(),
              Lines{Path() + ": 8 frames not written: the capture file reached its limit of " +
                    std::to_string(options.limitBytes) + " bytes"});
    EXPECT_EQ(ReadWithPcap(Path()).size(), 2u);
}

TEST_F(PcapngWriterTest, AFailedWriteCutsTheFileBackToWholeBlocksAndCountsTheRest) {
    fillingDiskCalls = 0;
    wire::PcapngWriter::Options options;
    options.write = FillingDisk;
    auto writer = Started(options);
    ASSERT_TRUE(Submit(*writer, client_, Frame(200, 0)));
    ASSERT_TRUE(WaitFor([&] { return writer->Counts().written == 1; }));
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(Submit(*writer, client_, Frame(200, 1)));
    }
    writer->Stop();
    EXPECT_EQ(writer->Counts().written, 1u);
    EXPECT_EQ(writer->Counts().writeErrors, 5u);
    EXPECT_EQ(writer->ReportLines(),
              Lines{Path() + ": 5 frames not written after a write to the capture file failed "
                             "(No space left on device)"});
    EXPECT_EQ(CommentsInWholeBlocks(Path()), Lines{""});
}

std::size_t FloodFrameSize(std::uint32_t sequence) {
    return 60 + sequence % 300;
}

// Frame threads going on while the run stops: every frame is either in the file, in order per
// thread, or counted; the file ends on a whole block.
TEST_F(PcapngWriterTest, AStopDuringAFloodLeavesWholeBlocksAndAccountsForEveryFrame) {
    wire::PcapngWriter::Options options;
    options.queueBytes = 1;  // full often, and frames split by the ring's end often
    auto writer = Started(options);
    std::atomic<bool> quit{false};
    std::atomic<std::uint64_t> submitted{0};
    auto flood = [&](int interface) {
        for (std::uint32_t sequence = 0; !quit.load(); ++sequence) {
            Bytes frame(FloodFrameSize(sequence), static_cast<std::uint8_t>(interface));
            std::memcpy(frame.data() + 1, &sequence, sizeof(sequence));
            (void)Submit(*writer, interface, frame);
            submitted.fetch_add(1);
        }
    };
    std::thread first(flood, client_);
    std::thread second(flood, server_);
    EXPECT_TRUE(WaitFor([&] { return writer->Counts().written > 2000; }));
    writer->Stop();
    quit.store(true);
    first.join();
    second.join();

    const wire::PcapngCounts counts = writer->Counts();
    EXPECT_EQ(counts.written + counts.queueFull, submitted.load());
    EXPECT_EQ(CommentsInWholeBlocks(Path()).value_or(Lines{}).size(), counts.written);
    const std::vector<Record> records = ReadWithPcap(Path());
    ASSERT_EQ(records.size(), counts.written);
    std::int64_t last[2] = {-1, -1};
    for (const Record& record : records) {
        std::uint32_t sequence = 0;
        std::memcpy(&sequence, record.bytes.data() + 1, sizeof(sequence));
        const std::uint8_t interface = record.bytes[0];
        ASSERT_LT(interface, 2);
        EXPECT_GT(static_cast<std::int64_t>(sequence), last[interface]);
        last[interface] = sequence;
        const std::size_t size = FloodFrameSize(sequence);
        EXPECT_EQ(record.originalSize, size);
        ASSERT_EQ(record.bytes.size(),
                  interface == server_ ? std::min<std::size_t>(size, 64) : size);
        EXPECT_EQ(std::count(record.bytes.begin() + 5, record.bytes.end(), interface),
                  static_cast<std::ptrdiff_t>(record.bytes.size() - 5));
    }
}

}  // namespace
