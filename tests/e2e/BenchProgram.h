#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/harness/Process.h"
#include "tests/e2e/harness/Testbed.h"

namespace e2e {

// One run of a bench program (wirewatch, wirebend) in the rig's bench namespace, in a working
// directory of its own so its log file can be read. The run ends when its standard input is
// closed, as an operator's key press would end it.
class BenchProgram {
public:
    BenchProgram(const Testbed& bed, const std::string& name, const std::vector<std::string>& args,
                 const std::string& startBanner)
        : banner_(startBanner) {
        char pattern[] = "/tmp/bench-e2e-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) {
            dir_ = pattern;
        }
        std::vector<std::string> argv{ProgramPath(name).value_or(name)};
        argv.insert(argv.end(), args.begin(), args.end());
        process_ = std::make_unique<Process>(argv, bed.BenchNs(), dir_);
    }
    ~BenchProgram() {
        process_.reset();
        if (!dir_.empty()) {
            static_cast<void>(std::system(("rm -rf '" + dir_ + "'").c_str()));
        }
    }
    BenchProgram(const BenchProgram&) = delete;
    BenchProgram& operator=(const BenchProgram&) = delete;

    // True once the program has printed its start banner: its captures are open from then on.
    bool WaitUntilStarted(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return process_->Started() && process_->WaitForOutput(banner_, timeout);
    }

    // Ends the run (end of input) and waits for the program; status -1 when it had to be killed.
    Finished Stop(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        process_->CloseStdin();
        Finished finished;
        finished.status = process_->WaitOrKill(timeout);
        finished.out = process_->Stdout();
        finished.err = process_->Stderr();
        return finished;
    }

    Process& process() { return *process_; }

    // A file the program wrote in its working directory; empty when there is none.
    std::string ReadFile(const std::string& name) const {
        std::ifstream in(dir_ + "/" + name);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void WriteFile(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ + "/" + name) << text;
    }

private:
    std::string banner_;
    std::string dir_;
    std::unique_ptr<Process> process_;
};

}  // namespace e2e
