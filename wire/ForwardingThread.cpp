#include "wire/ForwardingThread.h"

#include <tins/pdu.h>

#include <memory>
#include <system_error>

#include "wire/Error.h"

namespace wire {

void ForwardReleases(Modifier& source, Sender& target, const std::atomic<bool>& running) {
    while (running.load()) {
        // The flag is read again after a wait: a stop may have come while it was blocked.
        if (!source.WaitForPacket() || !running.load()) {
            break;
        }
        bool isValid = false;
        std::unique_ptr<Tins::PDU> packet(source.GetPacket(&isValid));
        if (packet && isValid) {
            target.Send(*packet);
        }
    }
}

ForwardingThread::ForwardingThread(Modifier& source, Sender& target,
                                   const std::atomic<bool>& running)
    : source_(source) {
    try {
        thread_ =
            std::thread([&source, &target, &running] { ForwardReleases(source, target, running); });
    } catch (const std::system_error& e) {
        throw Error(target.InterfaceName() + " out",
                    std::string("cannot start its forwarding thread: ") + e.what());
    }
}

void ForwardingThread::Join() {
    if (!thread_.joinable()) {
        return;
    }
    RequestStop();
    thread_.join();
}

}  // namespace wire
