#include "wire/PcapngWriter.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "wire/Error.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

Bytes Frame(std::size_t size, std::uint8_t first) {
    Bytes frame(size);
    for (std::size_t i = 0; i < size; ++i) {
        frame[i] = static_cast<std::uint8_t>(first + i);
    }
    return frame;
}

// A packet block as the test reads it itself, apart from the writer's code.
struct Block {
    std::uint32_t interfaceId = 0;
    std::uint32_t capturedSize = 0;
    std::uint32_t originalSize = 0;
    std::string comment;
};

struct Walk {
    bool whole = false;  // the blocks' lengths add up to the file's, each one closed properly
    std::vector<Block> packets;
};

std::uint32_t Word(const std::string& file, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, file.data() + offset, sizeof(value));
    return value;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

Block ReadPacketBlock(const std::string& file, std::size_t offset, std::uint32_t length) {
    Block block{Word(file, offset + 8), Word(file, offset + 20), Word(file, offset + 24), {}};
    std::size_t option = offset + 28 + ((block.capturedSize + 3) & ~3u);
    while (option + 4 <= offset + length - 4) {
        std::uint16_t code = 0;
        std::uint16_t size = 0;
        std::memcpy(&code, file.data() + option, 2);
        std::memcpy(&size, file.data() + option + 2, 2);
        if (code == 1) {
            block.comment.assign(file, option + 4, size);
        }
        option += 4 + ((size + 3u) & ~3u);
    }
    return block;
}

Walk WalkBlocks(const std::string& path) {
    const std::string file = ReadFile(path);
    Walk walk;
    std::size_t offset = 0;
    while (offset + 12 <= file.size()) {
        const std::uint32_t type = Word(file, offset);
        const std::uint32_t length = Word(file, offset + 4);
        if (length < 12 || length % 4 != 0 || offset + length > file.size() ||
            Word(file, offset + length - 4) != length) {
            return walk;
        }
        if (type == 6) {
            walk.packets.push_back(ReadPacketBlock(file, offset, length));
        }
        offset += length;
    }
    walk.whole = offset == file.size() && Word(file, 0) == 0x0A0D0D0A;
    return walk;
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
    while (pcap_next_ex(handle, &header, &data) == 1) {
        records.push_back({static_cast<std::uint64_t>(header->ts.tv_sec) * 1000000000u +
                               static_cast<std::uint64_t>(header->ts.tv_usec),
                           header->len, Bytes(data, data + header->caplen)});
    }
    pcap_close(handle);
    return records;
}

struct Run {
    int status = -1;
    std::string out;
};

Run RunCommand(const std::string& command) {
    Run run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char chunk[4096];
    std::size_t n = 0;
    while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) {
        run.out.append(chunk, n);
    }
    run.status = pclose(pipe);
    return run;
}

// The interface name and packet comment of every frame, as tshark reads the file.
Lines TsharkNamesAndComments(const std::string& path) {
    const Run run = RunCommand("tshark -r '" + path +
                               "' -T fields -e frame.interface_name -e frame.comment 2>/dev/null");
    EXPECT_EQ(run.status, 0) << "tshark could not read " << path;
    Lines lines;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

template <class Condition>
bool WaitFor(Condition condition, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Holds the writer inside its first write of frames until released: whatever is submitted
// meanwhile can only wait in the queue.
struct WriteGate {
    static inline std::mutex mutex;
    static inline std::condition_variable changed;
    static inline int calls = 0;
    static inline bool inside = false;
    static inline bool open = false;

    static ssize_t Write(int fd, const void* data, std::size_t size) {
        std::unique_lock<std::mutex> lock(mutex);
        if (++calls == 2) {
            inside = true;
            changed.notify_all();
            changed.wait(lock, [] { return open; });
        }
        return ::write(fd, data, size);
    }
    static void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        calls = 0;
        inside = open = false;
    }
    static bool WaitInside() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [] { return inside; });
    }
    static void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
};

// The header goes out, then one write of frames, then half of the next and then the disk is
// full.
struct FillingDisk {
    static inline std::atomic<int> calls{0};

    static ssize_t Write(int fd, const void* data, std::size_t size) {
        switch (++calls) {
            case 1:
            case 2:
                return ::write(fd, data, size);
            case 3:
                return ::write(fd, data, size / 2);
            default:
                errno = ENOSPC;
                return -1;
        }
    }
};

class PcapngWriterTest : public ::testing::Test {
protected:
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const std::string& name = "run.pcapng") const { return dir_ + "/" + name; }

    // A writer with the bench's two arriving port directions, started on Path().
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

    char pattern_[32] = "/tmp/pcapng_test.XXXXXX";
    const std::string dir_ = mkdtemp(pattern_);
    int client_ = -1;
    int server_ = -1;
};

TEST_F(PcapngWriterTest, FramesReadBackOnTheirInterfacesWithTheirCommentsTimesAndBytes) {
    if (RunCommand("command -v tshark >/dev/null").status != 0) {
        GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh installs it)";
    }
    const std::vector<Bytes> frames{Frame(60, 0), Frame(61, 1), Frame(62, 2), Frame(63, 3),
                                    Frame(1100, 4)};
    const std::int64_t t0 = 1700000000123456789;
    {
        auto writer = Started({});
        EXPECT_TRUE(Submit(*writer, client_, frames[0], "drop", t0));
        EXPECT_TRUE(Submit(*writer, server_, frames[1], {}, t0 + 1));
        EXPECT_TRUE(Submit(*writer, client_, frames[2], "bad PSN, expected 0x10", t0 + 2));
        EXPECT_TRUE(Submit(*writer, client_, frames[3], {}, t0 + 1000000));
        EXPECT_TRUE(Submit(*writer, client_, frames[4], "rule 2: délai 12 ms", t0 + 1000001));
        writer->Stop();
        EXPECT_EQ(writer->Counts().written, 5u);
        EXPECT_TRUE(writer->ReportLines().empty());
    }
    EXPECT_EQ(TsharkNamesAndComments(Path()),
              (Lines{"enp1s0f1 in\tdrop", "enp1s0f0 in\t", "enp1s0f1 in\tbad PSN, expected 0x10",
                     "enp1s0f1 in\t", "enp1s0f1 in\trule 2: délai 12 ms"}));
    const std::vector<Record> records = ReadWithPcap(Path());
    ASSERT_EQ(records.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(records[i].bytes, frames[i]) << "frame " << i;
    }
    EXPECT_EQ(records[1].timeNs, static_cast<std::uint64_t>(t0 + 1));
    EXPECT_EQ(records[4].timeNs, static_cast<std::uint64_t>(t0 + 1000001));
    EXPECT_TRUE(WalkBlocks(Path()).whole);
}

TEST_F(PcapngWriterTest, CutsFramesToTheSnapshotLengthAndCommentsToTheirRoom) {
    wire::PcapngWriter::Options options;
    options.commentRoom = 5;
    {
        wire::PcapngWriter writer(options);
        writer.Open(Path());
        const int id =
            writer.AddInterface("enp1s0f0 in", wire::PcapngWriter::kLinkTypeEthernet, 64);
        writer.Start();
        EXPECT_TRUE(Submit(writer, id, Frame(100, 0), "éééé"));  // 64 bytes kept, 5 of comment
        EXPECT_TRUE(Submit(writer, id, Frame(30, 0), "delay 12 ms"));
    }
    const Walk walk = WalkBlocks(Path());
    ASSERT_EQ(walk.packets.size(), 2u);
    EXPECT_EQ(walk.packets[0].capturedSize, 64u);
    EXPECT_EQ(walk.packets[0].originalSize, 100u);
    EXPECT_EQ(walk.packets[0].comment, "éé");  // not cut inside a character
    EXPECT_EQ(walk.packets[1].comment, "delay");
    EXPECT_EQ(ReadWithPcap(Path()).size(), 2u);
}

TEST_F(PcapngWriterTest, RefusesLinksAndFramesOutsideItsRunOrInterfaces) {
    std::ofstream(Path("precious")) << "keep";
    std::filesystem::create_symlink(Path("precious"), Path("link"));
    wire::PcapngWriter linked;
    std::string refusal;
    try {
        linked.Open(Path("link"));
    } catch (const wire::Error& e) {
        refusal = e.what();
    }
    EXPECT_EQ(refusal, Path("link") + ": is a symbolic link; refusing to write through it");
    EXPECT_EQ(ReadFile(Path("precious")), "keep");

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
    EXPECT_EQ(WalkBlocks(Path()).packets.size(), 9u);
}

TEST_F(PcapngWriterTest, StopsWritingAtTheLimitAndTheFileStaysWhole) {
    Started()->Stop();
    const std::uint64_t header = std::filesystem::file_size(Path());
    const std::uint64_t block = 32 + 100;  // a 100-byte frame without a comment
    wire::PcapngWriter::Options options;
    options.limitBytes = header + 3 * block + block / 2;
    auto writer = Started(options);
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(Submit(*writer, client_, Frame(100, static_cast<std::uint8_t>(i))));
    }
    writer->Stop();
    EXPECT_TRUE(writer->LimitReached());
    EXPECT_EQ(writer->Counts().written, 3u);
    EXPECT_EQ(writer->Counts().overLimit, 7u);
    EXPECT_EQ(std::filesystem::file_size(Path()), header + 3 * block);
    EXPECT_EQ(writer->ReportLines(),
              Lines{Path() + ": 7 frames not written: the capture file reached its limit of " +
                    std::to_string(options.limitBytes) + " bytes"});
    EXPECT_EQ(ReadWithPcap(Path()).size(), 3u);
}

TEST_F(PcapngWriterTest, AFailedWriteCutsTheFileBackToWholeBlocksAndCountsTheRest) {
    FillingDisk::calls = 0;
    wire::PcapngWriter::Options options;
    options.write = FillingDisk::Write;
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
    const Walk walk = WalkBlocks(Path());
    EXPECT_TRUE(walk.whole);
    EXPECT_EQ(walk.packets.size(), 1u);
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
    const Walk walk = WalkBlocks(Path());
    EXPECT_TRUE(walk.whole);
    EXPECT_EQ(walk.packets.size(), counts.written);
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
        // The server's side keeps 64 bytes of each frame.
        const std::size_t size = FloodFrameSize(sequence);
        EXPECT_EQ(record.originalSize, size);
        ASSERT_EQ(record.bytes.size(),
                  interface == server_ ? std::min<std::size_t>(size, 64) : size);
        EXPECT_EQ(std::count(record.bytes.begin() + 5, record.bytes.end(), interface),
                  static_cast<std::ptrdiff_t>(record.bytes.size() - 5));
    }
}

}  // namespace
