#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "modifier/FaultBuffer.h"
#include "transport/FrameView.h"

namespace engine {

// Sends a frame's bytes out of a port; false when it could not be sent.
using SendFunction = std::function<bool(const std::uint8_t* data, std::size_t size)>;

// One direction's fault injector: RoCE packets enter by Offer on a capture thread, and a
// forwarding thread of its own sends what the injector releases (after any delay) out of the
// other port. Configure and Start run before any Offer; RequestStop, Join and the reports run
// on the controlling thread.
class Injector {
public:
    // `label` names the port direction that feeds the injector, e.g. "enp1s0f1 in".
    Injector(std::string label, SendFunction target, int limit,
             RandomSource random = CLibraryRandom);
    ~Injector();
    Injector(const Injector&) = delete;
    Injector& operator=(const Injector&) = delete;

    void Configure(const ModifierParams& params) { buffer_.Configure(params); }
    // Throws wire::Error when the forwarding thread cannot start.
    void Start();

    // Takes a copy of the frame; a frame offered while `limit` are held is refused and counted.
    void Offer(const FrameView& frame);

    // Ends forwarding after the packet in hand (a packet in its delay leaves at once); packets
    // held then are never sent. RequestStop does not wait; Join does, and is idempotent.
    void RequestStop();
    void Join();

    [[nodiscard]] OperationCounters Counters() const { return buffer_.Counters(); }
    [[nodiscard]] std::uint64_t Refused() const { return refused_.load(); }
    [[nodiscard]] int Held() const { return buffer_.Size(); }
    // One line each on refused packets and on packets held at the stop; nothing when none.
    void WriteReport(std::ostream& out) const;

private:
    void ForwardReleases();

    const std::string label_;
    const SendFunction target_;
    const int limit_;
    FaultBuffer<std::vector<std::uint8_t>> buffer_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> refused_{0};
    std::thread thread_;
};

}  // namespace engine
