#include "modifier/Modifier.h"

#include <tins/pdu.h>
#include <tins/udp.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <utility>

#include "transport/RoceFrame.h"

namespace {

constexpr std::uint32_t kMaxReorderDraw = 10;

// `rand` may keep unguarded state, and every modifier of the process draws from it.
std::mutex randMutex;

// Uniform draw from min to max inclusive. Bounds given the wrong way round are
// ordered, and 64-bit arithmetic keeps the widest ranges from overflowing.
int random_between(int min, int max) {
    if (min > max) {
        std::swap(min, max);
    }
    const std::int64_t span = static_cast<std::int64_t>(max) - min + 1;
    std::int64_t raw = 0;
    {
        std::lock_guard<std::mutex> lock(randMutex);
        raw = std::rand();
    }
    return static_cast<int>(min + raw % span);
}

// Spins rather than sleeps so that the held packet leaves as soon as the time
// is up; wall time, so other busy threads of the process do not shorten it.
void delayMilliSeconds(int milliseconds) {
    const auto pause = std::chrono::milliseconds(milliseconds);
    const auto then = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - then < pause) {
    }
}

}  // namespace

ModifierParams::ModifierParams() : supportedOpcodes{SEND_FIRST, SEND_ONLY, ACKNOWLEDGE} {}

ModifierParams DefaultModifierParams(ModifierProgram program) {
    ModifierParams params;
    params.delayRange[DELAY_MAX] =
        program == ModifierProgram::WIREBEND ? kWirebendDelayMaxMs : kMidwireDelayMaxMs;
    return params;
}

Modifier::~Modifier() {
    for (Tins::PDU* packet : packetsBuffer) {
        delete packet;
    }
}

void Modifier::Init(ModifierParams params) {
    std::lock_guard<std::mutex> lock(mutex);
    parameters = std::move(params);
    packetBufferPopPoint = 0;
}

void Modifier::InjectPacket(Tins::PDU* p) {
    if (p->rfind_pdu<Tins::UDP>().dport() != kRocePort) {
        return;
    }
    // Cloned before locking so that a release never waits for a copy.
    std::unique_ptr<Tins::PDU> copy(p->clone());
    {
        std::lock_guard<std::mutex> lock(mutex);
        packetsBuffer.push_back(copy.get());
        copy.release();
        bufferSize.store(static_cast<int>(packetsBuffer.size()), std::memory_order_release);
    }
    packetArrived.notify_all();
}

Tins::PDU* Modifier::GetPacket(bool* isValid) {
    ModifierOperation operation = OPERATION_NONE;
    Tins::PDU* packet = nullptr;
    int delay = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (packetsBuffer.empty()) {
            *isValid = false;
            return nullptr;
        }
        operation = ModifyPacketsBuffer();
        StartReorderEpisodeIfDue(operation);
        packet = TakeSelectedPacket();
        AdvanceReorderEpisode();
        if (operation == OPERATION_DELAY) {
            delay =
                random_between(parameters.delayRange[DELAY_MIN], parameters.delayRange[DELAY_MAX]);
        }
    }
    *isValid = operation != OPERATION_DROP;
    if (operation == OPERATION_DELAY) {
        delayMilliSeconds(delay);
    }
    return packet;
}

ModifierOperation Modifier::ModifyPacketsBuffer() {
    const int random = random_between(1, 100);
    // Weights come unchecked from a command line: two near INT_MAX must not overflow.
    std::int64_t distSum = 0;
    ModifierOperation operation = OPERATION_LAST;
    for (std::uint32_t i = OPERATION_NONE; i < OPERATION_LAST; ++i) {
        distSum += parameters.distribution[i];
        if (random <= distSum) {
            operation = static_cast<ModifierOperation>(i);
            break;
        }
    }
    if (operation == OPERATION_LAST) {
        return OPERATION_LAST;
    }
    ++operationCounters[operation];
    if (operation == OPERATION_DROP && packetsBuffer.empty()) {
        return OPERATION_LAST;
    }
    return operation;
}

void Modifier::StartReorderEpisodeIfDue(ModifierOperation operation) {
    if (operation != OPERATION_REORDER || packetBufferPopPoint != 0) {
        return;
    }
    // Pop point first, then length: the order of draws is part of the behaviour.
    packetBufferPopPoint = random_between(1, kMaxReorderDraw);
    remainReorderPackets = random_between(1, kMaxReorderDraw);
}

Tins::PDU* Modifier::TakeSelectedPacket() {
    auto selected = packetsBuffer.size() > packetBufferPopPoint
                        ? std::next(packetsBuffer.begin(), packetBufferPopPoint)
                        : std::prev(packetsBuffer.end());
    Tins::PDU* packet = *selected;
    packetsBuffer.erase(selected);
    bufferSize.store(static_cast<int>(packetsBuffer.size()), std::memory_order_release);
    return packet;
}

void Modifier::AdvanceReorderEpisode() {
    if (packetBufferPopPoint == 0) {
        return;
    }
    if (--remainReorderPackets == 0) {
        packetBufferPopPoint = 0;
    }
}

bool Modifier::WaitForPacket() {
    std::unique_lock<std::mutex> lock(mutex);
    packetArrived.wait(lock, [this] { return interrupted || !packetsBuffer.empty(); });
    return !interrupted;
}

void Modifier::Interrupt() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        interrupted = true;
    }
    packetArrived.notify_all();
}

std::int64_t Modifier::GetOperationCounter(ModifierOperation operation) const {
    if (operation >= OPERATION_LAST) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return operationCounters[operation];
}

void Modifier::printOperationCounters() {
    static constexpr const char* kLabels[OPERATION_LAST] = {
        "Number of None: ", "Number of Drop: ", "Number of Delay: ", "Number of Reoeder: "};
    std::lock_guard<std::mutex> lock(mutex);
    for (std::uint32_t i = OPERATION_NONE; i < OPERATION_LAST; ++i) {
        std::cout << kLabels[i] << std::dec << operationCounters[i] << std::endl;
    }
}
