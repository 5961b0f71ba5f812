#include "wire/ForwardingThread.h"

#include <tins/pdu.h>

#include <memory>

namespace wire {

void ForwardReleases(Modifier& source, Sender& target, const std::atomic<bool>& running) {
    while (running.load()) {
        if (!source.WaitForPacket()) {
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
    : source_(source),
      thread_([&source, &target, &running] { ForwardReleases(source, target, running); }) {}

void ForwardingThread::Join() {
    if (!thread_.joinable()) {
        return;
    }
    source_.Interrupt();
    thread_.join();
}

}  // namespace wire
