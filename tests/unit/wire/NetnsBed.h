#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace wire_test {

// A private network namespace holding two veth pairs, entered by the calling thread (and so by
// the threads it starts): client "wh4c" <-> bench port "wh4b1", bench port "wh4b0" <-> server
// "wh4s". Left and deleted on destruction.
class NetnsBed {
public:
    NetnsBed() : name_("wh4-" + std::to_string(getpid())) {
        Run("ip netns del " + name_ + " 2>/dev/null");
        ready_ = Run("ip netns add " + name_) && Setup() && Enter();
    }
    ~NetnsBed() {
        if (originalNs_ >= 0) {
            setns(originalNs_, CLONE_NEWNET);
            close(originalNs_);
        }
        Run("ip netns del " + name_ + " 2>/dev/null");
    }
    NetnsBed(const NetnsBed&) = delete;
    NetnsBed& operator=(const NetnsBed&) = delete;

    bool ready() const { return ready_; }
    const std::string& name() const { return name_; }

private:
    static bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

    bool Setup() const {
        const std::string in = "ip netns exec " + name_ + " ";
        // No IPv6 chatter (router solicitations) to disturb frame counts.
        return Run(in + "sysctl -qw net.ipv6.conf.all.disable_ipv6=1") &&
               Run(in + "sysctl -qw net.ipv6.conf.default.disable_ipv6=1") &&
               Run(in + "ip link add wh4c type veth peer name wh4b1") &&
               Run(in + "ip link add wh4b0 type veth peer name wh4s") &&
               Run(in + "sh -c 'for l in wh4c wh4b1 wh4b0 wh4s; do ip link set $l up; done'");
    }

    bool Enter() {
        originalNs_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        const bool entered = originalNs_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) {
            close(target);
        }
        return entered;
    }

    std::string name_;
    int originalNs_ = -1;
    bool ready_ = false;
};

// Ends the whole test process, after removing the namespace, if a step hangs past its deadline.
class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, std::string namespaceName)
        : thread_([this, limit, name = std::move(namespaceName)] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "watchdog: step hung for %llds\n",
                               static_cast<long long>(limit.count()));
                  Run("ip netns del " + name + " 2>/dev/null");
                  _exit(1);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_all();
        thread_.join();
    }

private:
    static void Run(const std::string& command) { static_cast<void>(std::system(command.c_str())); }

    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

// Polls a condition until it holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace wire_test
