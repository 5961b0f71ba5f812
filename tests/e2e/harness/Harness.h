// The end-to-end harness: child processes, the rig of scripts/testbed.sh, captures on its hosts
// and golden files.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using Frame = std::vector<std::uint8_t>;
using Args = std::vector<std::string>;
using std::chrono::milliseconds;

// Generous, so that programs built with a sanitizer on a shared host still make it.
constexpr milliseconds kPatience{30'000};

// The one way tests wait: for a condition, with a deadline.
template <typename Condition>
bool WaitUntil(Condition done, milliseconds limit = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool met = done();
    for (; !met && std::chrono::steady_clock::now() < deadline; met = done()) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    return met;
}

inline std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Lines by default; Split(text, ' ') for words ("a b c" as {"a", "b", "c"}).
inline std::vector<std::string> Split(const std::string& text, char separator = '\n') {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        parts.push_back(part);
    }
    return parts;
}
inline Args Words(const std::string& text) {
    Args words;
    for (std::string& word : Split(text, ' ')) {
        if (!word.empty()) {
            words.push_back(std::move(word));
        }
    }
    return words;
}

// How a program ended (-1: killed when its time was up) and what it printed.
struct Finished {
    int status = -1;
    std::string out;
    std::string err;
};

// A child in a process group of its own, in a network namespace and working directory if
// given; its output goes to memory files. Its input stays open until Finish, and whatever is
// left of its group dies with it.
class Process {
public:
    explicit Process(const Args& argv, const std::string& netns = "", const std::string& cwd = "")
        : out_(::memfd_create("out", MFD_CLOEXEC)), err_(::memfd_create("err", MFD_CLOEXEC)) {
        Args full = netns.empty() ? Args{} : Args{"ip", "netns", "exec", netns};
        full.insert(full.end(), argv.begin(), argv.end());
        std::vector<char*> args;
        for (const std::string& arg : full) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        int in[2] = {-1, -1};
        if (::pipe2(in, O_CLOEXEC) != 0 || (pid_ = ::fork()) != 0) {
            in_ = in[1];
            ::close(in[0]);
            return;
        }
        ::setpgid(0, 0);
        // Nothing outlives a test process that dies, whatever killed it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // As an operator's shell would start it, whatever this runner ignores.
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out_, STDOUT_FILENO);
        ::dup2(err_, STDERR_FILENO);
        if (cwd.empty() || ::chdir(cwd.c_str()) == 0) {
            ::execvp(args[0], args.data());
        }
        ::_exit(127);
    }
    ~Process() {
        Finish(milliseconds(0));
        ::close(out_);
        ::close(err_);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    std::string Out() const { return Read(out_); }
    std::string Err() const { return Read(err_); }
    bool WaitForOutput(const std::string& needle) const {
        const auto printed = [&] { return (Out() + Err()).find(needle) != std::string::npos; };
        WaitUntil([&] { return printed() || Ended(); });
        return printed();
    }
    void Signal(int signal) {
        if (!Ended()) {
            ::kill(pid_, signal);
        }
    }
    // Closes its input, as an operator's key would end a run, and waits for its end.
    Finished Finish(milliseconds limit = kPatience) {
        ::close(in_);
        in_ = -1;
        if (pid_ > 0 && !status_) {
            const bool inTime = WaitUntil([this] { return Ended(); }, limit);
            ::kill(-pid_, SIGKILL);
            int raw = 0;
            ::waitpid(pid_, &raw, 0);
            status_ = !inTime ? -1 : WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        return {status_.value_or(-1), Out(), Err()};
    }

private:
    std::string Read(int fd) const {
        std::string text;
        char buffer[65536];
        for (ssize_t got; (got = ::pread(fd, buffer, sizeof buffer, text.size())) > 0;) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }
    bool Ended() const {
        siginfo_t info{};
        // Looks without reaping: while the zombie holds its id, its group id is not reused.
        return pid_ <= 0 || status_ ||
               (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid_);
    }

    const int out_;
    const int err_;
    int in_ = -1;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

inline Finished RunCommand(const Args& argv, const std::string& netns = "") {
    return Process(argv, netns).Finish();
}

// Each match of `pattern`'s group in `text`, as a number in `base`.
inline std::vector<std::uint32_t> Numbers(const std::string& text, const std::string& pattern,
                                          int base = 10) {
    std::vector<std::uint32_t> numbers;
    const std::regex number(pattern);
    for (std::sregex_iterator at(text.begin(), text.end(), number), end; at != end; ++at) {
        numbers.push_back(static_cast<std::uint32_t>(std::stoul((*at)[1], nullptr, base)));
    }
    return numbers;
}

// The text without the verifier's one line on a run where nothing was refused.
inline std::string WithoutCleanVerification(const std::string& err) {
    return std::regex_replace(err, std::regex("(^|\n)verification: \\d+ packets, none refused\n"),
                              "$1");
}

inline std::string Golden(const std::string& name) {
    return ReadFile(std::string(BENCH_GOLDEN_DIR) + "/" + name + ".txt");
}

// E2E_UPDATE_GOLDEN=1 rewrites the file instead.
inline void ExpectGolden(const std::string& name, const std::string& actual) {
    if (std::getenv("E2E_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(std::string(BENCH_GOLDEN_DIR) + "/" + name + ".txt") << actual;
    }
    EXPECT_EQ(actual, Golden(name)) << "golden file " << name;
}
// The same but for the numbers, any word of decimal or hexadecimal digits.
inline void ExpectGoldenShape(const std::string& name, const std::string& actual) {
    if (std::getenv("E2E_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(std::string(BENCH_GOLDEN_DIR) + "/" + name + ".txt") << actual;
    }
    const std::regex number("\\b[0-9a-f]+\\b");
    const auto shape = [&](const std::string& text) {
        return std::regex_replace(text, number, "N");
    };
    EXPECT_EQ(shape(actual), shape(Golden(name))) << "golden file " << name;
}

// A directory of its own, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = "/tmp/e2e-" + std::to_string(::getpid()) + "-XXXXXX";
        path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : "/nonexistent";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }
    std::string At(const std::string& name) const { return path_ + "/" + name; }
    std::string Read(const std::string& name) const { return ReadFile(At(name)); }

private:
    std::string path_;
};

// A bench program as the tests drive it.
struct Program {
    std::string name;
    std::string path;
    Args passAll;  // QPs 11 (client) and 12 (server), no faults
    std::string banner;
    std::string log;
    int exitStatus;
    int column;              // in the tests' frame table
    int linesPerRoce[2];     // log lines per RoCE frame from the client, from the server
    std::string toServerQp;  // in the log line of a packet to QP 12
    friend void PrintTo(const Program& program, std::ostream* out) { *out << program.name; }
};
// clang-format off
inline const std::vector<Program> kPrograms = {
    {"wirewatch", BENCH_WIREWATCH, Words("11 12"), "***VERIFIER STARTED", "verifier_log.txt", 8, 0,
     {2, 2}, " dest:12 "},
    {"midwire", BENCH_MIDWIRE, Words("11 12 100 0 0 0 100 0 0 0"), "***TEST STARTED",
     "verifier_log.txt", 8, 1, {2, 2}, "\t dest QP:12\t"},
    {"wirebend", BENCH_WIREBEND, Words("100 0 0 0 0 50"), "***MODIFIER STARTED", "Log.txt", 0, 2,
     {1, 0}, " dest:18"},
};
// clang-format on

struct Host {
    const char* role;
    const char* mac;
    const char* ip;
    std::uint32_t qp;  // rocepeer's default on that side
};
inline const Host kClient{"client", "02:47:00:00:00:01", "10.47.0.1", 0x11};
inline const Host kServer{"server", "02:47:00:00:00:02", "10.47.0.2", 0x12};
inline const std::string kRocepeer = BENCH_ROCEPEER;
inline std::atomic<int> uniqueNumber{0};

// tcpdump on a host's interface, writing each frame at once to a file read back byte for byte.
class Capture {
public:
    explicit Capture(const std::string& netns)
        : path_(dir_.At("frames")),
          // -Z root lets it write the file.
          tcpdump_({"tcpdump", "-i", "eth0", "-Q", "in", "-U", "--immediate-mode", "-s", "0", "-n",
                    "-Z", "root", "-w", path_},
                   netns) {}
    bool Listening() const { return tcpdump_.WaitForOutput("listening on"); }
    bool WaitForCount(std::size_t count) const {
        return WaitUntil([&] { return Frames().size() >= count; });
    }
    std::vector<Frame> Stop() {
        tcpdump_.Signal(SIGINT);
        tcpdump_.Finish();
        return Frames();
    }
    std::vector<Frame> Frames() const {
        std::vector<Frame> frames;
        char error[PCAP_ERRBUF_SIZE];
        const std::unique_ptr<pcap_t, void (*)(pcap_t*)> file(
            ::pcap_open_offline(path_.c_str(), error), ::pcap_close);
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        // A record that tcpdump is still writing ends the list.
        while (file && ::pcap_next_ex(file.get(), &header, &data) == 1) {
            frames.emplace_back(data, data + header->caplen);
        }
        return frames;
    }

private:
    TempDir dir_;
    std::string path_;
    Process tcpdump_;
};

// A test on a rig of its own, under a prefix unique to this process, which is brought down at
// the end, or by the next test when this process was killed.
class RigTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "end-to-end tests need root (network namespaces and raw sockets)";
        }
        RemoveLeftovers();
        prefix_ = "e2e" + std::to_string(::getpid()) + "x" + std::to_string(uniqueNumber++);
        const Finished up = RunCommand({BENCH_TESTBED_SCRIPT, "up", "--prefix", prefix_});
        ASSERT_EQ(up.status, 0) << "testbed.sh up: " << up.err << up.out;
    }
    void TearDown() override {
        if (!prefix_.empty()) {
            RunCommand({BENCH_TESTBED_SCRIPT, "down", "--prefix", prefix_});
        }
    }
    std::string Ns(const std::string& role) const { return prefix_ + "-" + role; }

    std::unique_ptr<Capture> Listen(const Host& host) {
        auto capture = std::make_unique<Capture>(Ns(host.role));
        EXPECT_TRUE(capture->Listening());
        return capture;
    }
    // Sends one frame with rocepeer; returns the bytes it put on the wire, none when it failed.
    Frame Send(const Host& from, const Host& to, const std::string& kind,
               const char* peerIp = nullptr) {
        const std::string hex =
            RunCommand(Words(kRocepeer + " frame --dev eth0 --peer-mac " + to.mac + " --peer-ip " +
                             (peerIp != nullptr ? peerIp : to.ip) + " " + kind),
                       Ns(from.role))
                .out;
        Frame frame;
        for (std::size_t at = 0; at + 2 < hex.size() && std::isxdigit(hex[at]); at += 2) {
            frame.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(at, 2), nullptr, 16)));
        }
        return frame;
    }
    // rocepeer's responder on the server, once it is ready.
    std::unique_ptr<Process> Respond(const std::string& options = "") {
        auto responder = std::make_unique<Process>(
            Words(kRocepeer + " respond --dev eth0 " + options), Ns("server"));
        EXPECT_TRUE(responder->WaitForOutput("ready")) << responder->Err();
        return responder;
    }
    // rocepeer's requester on the client, sending to the server's responder until it is done or
    // its minute is up.
    Finished Request(const std::string& options) {
        const std::string command = kRocepeer + " request --dev eth0 --peer-mac " + kServer.mac +
                                    " --peer-ip " + kServer.ip + " " + options +
                                    " --limit-ms 60000";
        return Process(Words(command), Ns("client")).Finish(milliseconds(90'000));
    }
    // `program` in `dir` and the namespace of `role`; in the client's there are no bench ports.
    std::unique_ptr<Process> Launch(const Program& program, const Args& args, const TempDir& dir,
                                    const std::string& role = "bench") {
        Args argv = {program.path};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<Process>(argv, Ns(role), dir.Path());
    }
    std::unique_ptr<Process> Start(const Program& program, const Args& args, const TempDir& dir) {
        auto bench = Launch(program, args, dir);
        EXPECT_TRUE(bench->WaitForOutput(program.banner)) << bench->Err();
        return bench;
    }

private:
    // Rigs and files of test processes killed outright (a CTest timeout) go with the next test.
    static void RemoveLeftovers() {
        const std::regex rig(R"(^(e2e(\d+)x\d+)-bench\b)"), file(R"(^e2e-(\d+)-)");
        std::smatch match;
        for (const std::string& line : Split(RunCommand({"ip", "netns", "list"}).out)) {
            if (std::regex_search(line, match, rig) && ::kill(std::stoi(match[2]), 0) != 0) {
                RunCommand({BENCH_TESTBED_SCRIPT, "down", "--prefix", match[1]});
            }
        }
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator("/tmp", ignored)) {
            const std::string name = entry.path().filename().string();
            if (std::regex_search(name, match, file) && ::kill(std::stoi(match[1]), 0) != 0) {
                std::filesystem::remove_all(entry.path(), ignored);
            }
        }
    }

    std::string prefix_;
};

class EveryProgram : public RigTest, public ::testing::WithParamInterface<Program> {};

}  // namespace e2e
