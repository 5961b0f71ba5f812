#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <optional>

#include "transport/Bth.h"
#include "transport/Opcode.h"

// Kinds of work a queue pair may carry.
enum WorkType { SEND = 0, WRITE = 1, READ = 2 };

// One unit of work on a queue pair.
struct Work {
    WorkType type;
    std::uint32_t expectedMessageSize;
    std::uint32_t receivedMessageSize;
};

// The PSNs [first, last] that a READ request asks its responses to fill.
struct PsnSpan {
    std::uint32_t first;
    std::uint32_t last;
};

// What the reliable-connection rules track beyond the fields both rule sets share.
struct ReliableState {
    // The peer's first request sets expectedPsn, as the first own send sets nextToSendPsn.
    bool receiveSequenceStarted = false;
    // The kind (Send or Write) of the message each side has open; none between messages.
    std::optional<opcode::Kind> requesterMessage;
    std::optional<opcode::Kind> responderMessage;
    // The queue pair's READ requests whose responses may still come, oldest first.
    std::deque<PsnSpan> outstandingReads;
};

// Sequence state of one queue pair and the number of its peer on the other host.
class Qp {
public:
    Qp(unsigned int id, unsigned int peerId) : qpNum(id), peerQp(peerId) {}

    // Work lists are kept for the model's shape only; nothing is tracked per work item.
    void AddWork(Work) {}

    std::uint32_t qpNum;
    std::uint32_t peerQp;
    std::list<Work> workList;
    std::uint32_t nextToSendPsn = 0;
    std::uint32_t oldestNonAckedPsn = 0;
    // A first send must open a message, which is what may follow SEND_LAST.
    BthOpcode previousPacketOpCode = SEND_LAST;
    std::uint32_t expectedPsn = 0;
    std::uint32_t firstNonAckedPsn = 0;
    // Kept apart from nextToSendPsn because that wraps to 0 and must stay checked then.
    bool sendSequenceStarted = false;
    ReliableState reliable;
};

// One port of the bench and the queue pairs seen on it, in registration order.
struct Device {
    std::uint32_t deviceId;
    std::uint32_t mtu;
    std::list<Qp> QpList;
};
