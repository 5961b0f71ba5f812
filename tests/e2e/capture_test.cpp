// The capture file a run leaves: tshark reads its interfaces, frames and comments as the bench
// counted and decided them, roceplot finds the drops where the rules put them, the size limit
// holds and is reported; and the status line shows on a terminal only.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>

#include "tests/e2e/harness/Harness.h"

namespace {

using namespace e2e;
using nlohmann::json;

const Program& kWirewatch = kPrograms[0];
const Program& kMidwire = kPrograms[1];

// One frame as tshark reads it back.
struct ReadBack {
    std::string interface;
    std::string comment;
};

// Every frame of the file as tshark reads it, in the file's order; none when tshark fails.
std::vector<ReadBack> ReadWithTshark(const std::string& path) {
    const Finished read = RunCommand({"tshark", "-r", path, "-T", "fields", "-E", "separator=/t",
                                      "-e", "frame.interface_name", "-e", "frame.comment"});
    EXPECT_EQ(read.status, 0) << read.err;
    std::vector<ReadBack> frames;
    for (const std::string& line : Split(read.out)) {
        const std::size_t tab = line.find('\t');
        frames.push_back(tab == std::string::npos
                             ? ReadBack{line, ""}
                             : ReadBack{line.substr(0, tab), line.substr(tab + 1)});
    }
    return frames;
}

std::map<std::string, std::uint64_t> FramesPerInterface(const std::vector<ReadBack>& frames) {
    std::map<std::string, std::uint64_t> counts;
    for (const ReadBack& frame : frames) {
        ++counts[frame.interface];
    }
    return counts;
}

// A program on a pseudo-terminal, as an operator would run it: standard input, output and error
// are the terminal, whose output is collected here.
class OnTerminal {
public:
    OnTerminal(const Args& argv, const std::string& netns, const std::string& cwd) {
        Args full = {"ip", "netns", "exec", netns};
        full.insert(full.end(), argv.begin(), argv.end());
        std::vector<char*> args;
        for (const std::string& arg : full) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        winsize size{};
        size.ws_col = 160;
        size.ws_row = 40;
        pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::chdir(cwd.c_str()) == 0) {
                ::execvp(args[0], args.data());
            }
            ::_exit(127);
        }
    }
    ~OnTerminal() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    OnTerminal(const OnTerminal&) = delete;
    OnTerminal& operator=(const OnTerminal&) = delete;

    bool Started() const { return pid_ > 0 && master_ >= 0; }
    // Reads what the terminal shows until `done` holds of it or the time is up.
    bool ReadUntil(const std::function<bool(const std::string&)>& done,
                   milliseconds limit = kPatience) {
        return WaitUntil([&] { return ReadSome() && done(shown_); }, limit) || done(shown_);
    }
    bool Shows(const std::string& text) {
        return ReadUntil([&](const std::string& shown) { return shown.find(text) != npos; });
    }
    void Type(const std::string& keys) {
        static_cast<void>(::write(master_, keys.data(), keys.size()));
    }
    // The exit status once it has ended within the time, -1 otherwise.
    int Finish() {
        int raw = 0;
        const bool ended = WaitUntil([&] {
            ReadSome();
            return ::waitpid(pid_, &raw, WNOHANG) == pid_;
        });
        if (!ended) {
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    const std::string& Shown() const { return shown_; }

private:
    static constexpr std::size_t npos = std::string::npos;
    // True: the terminal may still show more.
    bool ReadSome() {
        pollfd ready{master_, POLLIN, 0};
        char buffer[4096];
        while (::poll(&ready, 1, 10) > 0) {
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got <= 0) {
                return true;
            }
            shown_.append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    std::string shown_;
};

class CaptureFile : public RigTest {
protected:
    // midwire between the peers with `options`, ended by SIGTERM once the requester is done.
    Finished ExchangeThroughMidwire(const TempDir& dir, const std::string& options,
                                    const std::string& requestOptions) {
        const auto bench = Start(kMidwire, Words(options + " " + kPassAll), dir);
        const auto responder = Respond();
        const Finished request = Request(requestOptions);
        EXPECT_EQ(request.status, 0) << request.out << request.err;
        bench->Signal(SIGTERM);
        const Finished run = bench->Finish();
        EXPECT_EQ(run.status, kMidwire.exitStatus) << run.err;
        return run;
    }

    static constexpr const char* kPassAll = "11 12 100 0 0 0 100 0 0 0";
};

TEST_F(CaptureFile, HoldsEveryFramePerPortDirectionWithTheDropsAndRefusalsAsComments) {
    TempDir dir;
    ExchangeThroughMidwire(dir,
                           "--rules rc --summary summary.json --pcap capture.pcapng"
                           " --fault psn=5,action=drop --fault psn=9,action=drop",
                           "--count 20 --size 1000 --window 4");
    const json summary = json::parse(dir.Read("summary.json"));
    const std::vector<ReadBack> frames = ReadWithTshark(dir.At("capture.pcapng"));

    const json& counted = summary.at("frames");
    const std::map<std::string, std::uint64_t> expected = {
        {"enp1s0f0 in", counted.at("server").at("in").at("captured")},
        {"enp1s0f0 out", counted.at("server").at("out").at("captured")},
        {"enp1s0f1 in", counted.at("client").at("in").at("captured")},
        {"enp1s0f1 out", counted.at("client").at("out").at("captured")}};
    EXPECT_EQ(FramesPerInterface(frames), expected) << counted.dump(2);
    EXPECT_EQ(summary.at("capture_file").at("written"), frames.size());
    EXPECT_EQ(summary.at("capture_file").at("queue_full"), 0);

    // Arriving, only the two dropped packets say anything: every other one passed untouched.
    std::map<std::string, std::uint64_t> arrivingComments;
    bool refusalOfTheGap = false;
    for (const ReadBack& frame : frames) {
        if (frame.interface.find(" in") != std::string::npos && !frame.comment.empty()) {
            ++arrivingComments[frame.comment];
        }
        refusalOfTheGap |= frame.interface == "enp1s0f0 out" &&
                           frame.comment.find("bad PSN, expected 0x5") != std::string::npos;
    }
    const json& rules = summary.at("faults").at("rules");
    const std::map<std::string, std::uint64_t> drops = {{"rule 1: drop", rules.at(0).at("fired")},
                                                        {"rule 2: drop", rules.at(1).at("fired")}};
    EXPECT_EQ(arrivingComments, drops);
    EXPECT_EQ(rules.at(0).at("fired"), 1);
    // The packet after the first drop leaves toward the server with the gap the drop made.
    EXPECT_TRUE(refusalOfTheGap);

    const Finished plotted =
        RunCommand({"/usr/bin/python3", BENCH_ROCEPLOT, "--summary", dir.At("capture.pcapng")});
    ASSERT_EQ(plotted.status, 0) << plotted.err;
    EXPECT_NE(plotted.out.find("  drop: 2 at PSN 0x000005 0x000009\n"), std::string::npos)
        << plotted.out;
}

TEST_F(CaptureFile, StopsAtItsLimitWholeAndSaysSo) {
    TempDir dir;
    const Finished run =
        ExchangeThroughMidwire(dir, "--summary summary.json --pcap capture.pcapng --pcap-limit 1",
                               "--count 400 --size 4000 --window 16");
    EXPECT_NE(run.err.find("capture.pcapng: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not written: the capture file reached its limit of 1000000 bytes"),
              std::string::npos)
        << run.err;
    const json file = json::parse(dir.Read("summary.json")).at("capture_file");
    EXPECT_TRUE(file.at("limit_reached").get<bool>());
    EXPECT_GT(file.at("over_limit").get<std::uint64_t>(), 0u);
    EXPECT_LE(std::filesystem::file_size(dir.At("capture.pcapng")), 1'000'000u);
    EXPECT_EQ(ReadWithTshark(dir.At("capture.pcapng")).size(), file.at("written"));
}

TEST_F(CaptureFile, TheStatusLineShowsOnATerminalAndNotWhenStandardErrorIsRedirected) {
    TempDir dir;
    OnTerminal onTerminal({kWirewatch.path, "11", "12"}, Ns("bench"), dir.Path());
    ASSERT_TRUE(onTerminal.Started());
    ASSERT_TRUE(onTerminal.Shows(kWirewatch.banner)) << onTerminal.Shown();
    ASSERT_FALSE(Send(kClient, kServer, "--kind roce --psn 1").empty());
    // Redrawn each second until the frame is counted in it.
    EXPECT_TRUE(onTerminal.Shows("| RoCE 1 |")) << onTerminal.Shown();
    EXPECT_NE(onTerminal.Shown().find("enp1s0f1 in "), std::string::npos) << onTerminal.Shown();
    onTerminal.Type("\n");
    EXPECT_EQ(onTerminal.Finish(), kWirewatch.exitStatus) << onTerminal.Shown();

    TempDir redirected;
    const auto bench = Start(kWirewatch, kWirewatch.passAll, redirected);
    ASSERT_FALSE(Send(kClient, kServer, "--kind roce --psn 1").empty());
    // Three redraws' time without a single one.
    EXPECT_FALSE(WaitUntil([&] { return bench->Err().find("RoCE") != std::string::npos; },
                           milliseconds(3'000)))
        << bench->Err();
    const Finished run = bench->Finish();
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << run.err;
}

}  // namespace
