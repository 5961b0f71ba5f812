#pragma once

#include <cstdint>
#include <memory>
#include <ostream>

#include "modifier/FaultBuffer.h"
#include "modifier/ModifierParams.h"

namespace Tins {
class PDU;
}

// The fault injector of one traffic direction: a buffer of RoCE packets that, on each release,
// passes, drops, delays or reorders by a configured distribution, and counts its decisions.
//
// Threads: InjectPacket may run on one thread while WaitForPacket and GetPacket run on another;
// GetPacketBufferSize and Interrupt are safe from any thread. Draws come from `random`; the
// default, the process-wide `rand`, is never seeded here, so the same calls in the same order
// make the same decisions.
//
// Forwarding loop:
//     while (running) {
//         if (!m.WaitForPacket()) break;
//         bool valid;
//         Tins::PDU* p = m.GetPacket(&valid);
//         if (valid) send(*p);
//         delete p;
//     }
// and shutdown is `running = false; m.Interrupt(); thread.join();`.
class Modifier {
public:
    explicit Modifier(RandomSource random = CLibraryRandom);
    // Frees every packet still buffered; none of them is sent.
    ~Modifier();
    Modifier(const Modifier&) = delete;
    Modifier& operator=(const Modifier&) = delete;

    // Takes a copy of `params` and ends any reordering episode; the buffer and the counters
    // stay as they are.
    void Init(ModifierParams params);

    // Buffers a clone of `p` when its first UDP layer goes to the RoCE port and ignores other
    // UDP packets; `p` stays the caller's. Throws Tins::pdu_not_found, buffer unchanged, when
    // `p` has no UDP layer.
    void InjectPacket(Tins::PDU* p);

    // Number of buffered packets; constant time and lock-free.
    int GetPacketBufferSize() const { return buffer_.Size(); }

    // Takes the next released packet out of the buffer and hands it to the caller, who must
    // delete it; *isValid tells whether it is to be sent (false: dropped). Returns after the
    // busy wait when a delay is drawn. On an empty buffer draws nothing and returns nullptr
    // with *isValid false.
    [[nodiscard]] Tins::PDU* GetPacket(bool* isValid);

    // Blocks until a packet is buffered (true) or Interrupt has been called (false, also when
    // packets are buffered). Draws nothing.
    [[nodiscard]] bool WaitForPacket() { return buffer_.WaitForPacket(); }

    // Wakes every waiter now and makes every later wait return false at once.
    void Interrupt() { buffer_.Interrupt(); }

    // Number of draws of `operation` since construction (0 for OPERATION_LAST).
    [[nodiscard]] std::int64_t GetOperationCounter(ModifierOperation operation) const;

    // Writes the four counters in decimal, one line each, to standard output or to `out`,
    // leaving the stream in decimal.
    void printOperationCounters();
    void printOperationCounters(std::ostream& out);

private:
    FaultBuffer<std::unique_ptr<Tins::PDU>> buffer_;
};
