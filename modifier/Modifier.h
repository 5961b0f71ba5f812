#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "transport/Bth.h"

namespace Tins {
class PDU;
}

// Fault operations; the values index ModifierParams::distribution and the
// operation counters, and their order is the order in which a draw scans them.
enum ModifierOperation : std::uint32_t {
    OPERATION_NONE = 0,
    OPERATION_DROP = 1,
    OPERATION_DELAY = 2,
    OPERATION_REORDER = 3,
    OPERATION_LAST = 4,
};

// Indexes of ModifierParams::delayRange.
enum DelayIndex : std::uint32_t {
    DELAY_MIN = 0,
    DELAY_MAX = 1,
};

// Largest injected delay, in milliseconds, that each program starts from.
constexpr std::int32_t kMidwireDelayMaxMs = 30;
constexpr std::int32_t kWirebendDelayMaxMs = 50;

// The programs that configure modifiers; each has its own delay default.
enum class ModifierProgram { MIDWIRE, WIREBEND };

// Configuration of one fault injector. Copies own their opcode list.
struct ModifierParams {
    // Out of line: GCC 12 warns falsely on an inline-initialised opcode list.
    ModifierParams();

    // Percent of releases per operation, as consecutive slices of 1..100.
    std::array<std::int32_t, OPERATION_LAST> distribution{100, 0, 0, 0};
    // Inclusive bounds of an injected delay, in milliseconds.
    std::array<std::int32_t, 2> delayRange{0, kMidwireDelayMaxMs};
    // Carried with the configuration; the modifier does not consult it.
    std::vector<BthOpcode> supportedOpcodes;  // SEND_FIRST, SEND_ONLY, ACKNOWLEDGE
    // Carried with the configuration; the modifier does not consult it.
    std::uint32_t targetSpecificQp = 1;
    // Carried with the configuration; the modifier does not consult it.
    std::uint32_t targenSpecificQpQpn = 1;
};

// The defaults that `program` starts from before its command line fills them in.
[[nodiscard]] ModifierParams DefaultModifierParams(ModifierProgram program);

// The fault injector of one traffic direction: a buffer of RoCE packets that,
// on each release, passes, drops, delays or reorders by a configured
// distribution, and counts its decisions.
//
// Threads: InjectPacket may run on one thread while WaitForPacket and
// GetPacket run on another; GetPacketBufferSize and Interrupt are safe from
// any thread. Draws come from the process-wide `rand`, which is never seeded
// here, so the same calls in the same order make the same decisions.
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
    Modifier() = default;
    // Frees every packet still buffered; none of them is sent.
    ~Modifier();
    Modifier(const Modifier&) = delete;
    Modifier& operator=(const Modifier&) = delete;

    // Takes a copy of `params` and ends any reordering episode; the buffer and
    // the counters stay as they are.
    void Init(ModifierParams params);

    // Buffers a clone of `p` when its first UDP layer goes to the RoCE port and
    // ignores other UDP packets; `p` stays the caller's. Throws
    // Tins::pdu_not_found, buffer unchanged, when `p` has no UDP layer.
    void InjectPacket(Tins::PDU* p);

    // Number of buffered packets; constant time and lock-free.
    int GetPacketBufferSize() const { return bufferSize.load(std::memory_order_acquire); }

    // Takes the next released packet out of the buffer and hands it to the
    // caller, who must delete it; *isValid tells whether it is to be sent (false:
    // dropped). Returns after the busy wait when a delay is drawn. On an empty
    // buffer draws nothing and returns nullptr with *isValid false.
    [[nodiscard]] Tins::PDU* GetPacket(bool* isValid);

    // Blocks until a packet is buffered (true) or Interrupt has been called
    // (false, also when packets are buffered). Draws nothing.
    [[nodiscard]] bool WaitForPacket();

    // Wakes every waiter now and makes every later wait return false at once.
    void Interrupt();

    // Number of draws of `operation` since construction (0 for OPERATION_LAST).
    [[nodiscard]] std::int64_t GetOperationCounter(ModifierOperation operation) const;

    // Writes the four counters to standard output in decimal, one line each.
    void printOperationCounters();

private:
    // Draws and counts the operation of one release; caller holds `mutex`.
    ModifierOperation ModifyPacketsBuffer();
    // Starts an episode on a reorder draw outside one; caller holds `mutex`.
    void StartReorderEpisodeIfDue(ModifierOperation operation);
    // Removes the packet this release selects; caller holds `mutex`.
    Tins::PDU* TakeSelectedPacket();
    // Counts one release against the running episode; caller holds `mutex`.
    void AdvanceReorderEpisode();

    ModifierParams parameters;
    std::list<Tins::PDU*> packetsBuffer;
    std::uint32_t packetBufferPopPoint = 0;
    std::uint32_t remainReorderPackets = 0;
    // 64-bit: a week at line rate passes 2^31 releases.
    std::array<std::int64_t, OPERATION_LAST> operationCounters{};

    // Guards every field above; never held during a delay's wait.
    mutable std::mutex mutex;
    std::condition_variable packetArrived;
    bool interrupted = false;
    // Kept equal to packetsBuffer.size() under `mutex`, read without it.
    std::atomic<int> bufferSize{0};
};
