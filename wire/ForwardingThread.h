#pragma once

#include <atomic>
#include <thread>

#include "modifier/Modifier.h"
#include "wire/Sender.h"

namespace wire {

// Sends what `source` releases out of `target`, one packet at a time, while `running` is set.
// Waits on the modifier instead of polling it. Every packet taken is freed; a dropped one
// without being sent. A packet being delayed when the run stops is still sent; a packet
// buffered once `running` is cleared is left in the modifier.
void ForwardReleases(Modifier& source, Sender& target, const std::atomic<bool>& running);

// ForwardReleases on a thread of its own, started on construction. RequestStop interrupts the
// modifier, so the loop ends after the packet in hand even while `running` is still set.
class ForwardingThread {
public:
    // Throws wire::Error when the thread cannot start.
    ForwardingThread(Modifier& source, Sender& target, const std::atomic<bool>& running);
    ~ForwardingThread() { Join(); }
    ForwardingThread(const ForwardingThread&) = delete;
    ForwardingThread& operator=(const ForwardingThread&) = delete;

    // Asks the loop to end after the packet in hand, without waiting; callable from any thread.
    void RequestStop() { source_.Interrupt(); }
    // Ends the loop and waits for it; packets still buffered stay in the modifier. Idempotent.
    void Join();

private:
    Modifier& source_;
    std::thread thread_;
};

}  // namespace wire
