#include <algorithm>

#include "transport/Rules.h"

namespace rules {
namespace {

using opcode::Info;
using opcode::Kind;
using opcode::Position;

// A responder answers only a few READ requests at a time; the bound keeps a stream of
// unanswered requests from growing the list.
constexpr std::size_t kMaxOutstandingReads = 64;

// One side's view of a request stream: the PSN it expects next, whether a request has set
// that yet, and the message it has open.
struct RequestSequence {
    std::uint32_t& nextPsn;
    bool& started;
    std::optional<Kind>& openMessage;
};

RequestSequence RequesterOf(Qp& qp) {
    return {qp.nextToSendPsn, qp.sendSequenceStarted, qp.reliable.requesterMessage};
}

RequestSequence ResponderOf(Qp& qp) {
    return {qp.expectedPsn, qp.reliable.receiveSequenceStarted, qp.reliable.responderMessage};
}

Outcome Accepted() {
    return Outcome{};
}

Outcome Duplicate() {
    return Outcome{VerifierStatusOK, {}, true, std::nullopt};
}

bool OpensMessage(const Info& info) {
    return info.position == Position::First || info.position == Position::Only;
}

// A FIRST or ONLY only between messages; a MIDDLE or LAST only inside one of its own kind.
bool MayFollow(const std::optional<Kind>& openMessage, const Info& info) {
    return OpensMessage(info) ? !openMessage.has_value() : openMessage == info.kind;
}

std::optional<Kind> MessageAfter(const Info& info) {
    const bool leavesOpen = info.position == Position::First || info.position == Position::Middle;
    return leavesOpen ? std::optional<Kind>(info.kind) : std::nullopt;
}

// The PSNs a request uses up: one, but a READ request one per response packet.
std::uint32_t RequestSpan(const Info& info, const RoceHeaders& headers, std::uint32_t pathMtu) {
    if (info.kind != Kind::ReadRequest) {
        return 1;
    }
    const std::uint64_t length = headers.dmaLength.value_or(0);
    const std::uint64_t packets = (length + pathMtu - 1) / pathMtu;
    // A span of half the PSN space or more would make its own end look behind its start.
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(packets, 1, kPsnHalfSpace - 1));
}

Outcome CheckRequest(const RequestSequence& sequence, const Info& info, std::uint32_t psn,
                     std::uint32_t span) {
    if (sequence.started) {
        const std::uint32_t distance = PsnDistance(sequence.nextPsn, psn);
        if (distance >= kPsnHalfSpace) {
            return Duplicate();
        }
        if (distance != 0) {
            return Refused(VerifierBadPsn, kBadPsn, sequence.nextPsn);
        }
    }
    if (!MayFollow(sequence.openMessage, info)) {
        return Refused(VerifierBadOpcodeSequence, kBadOpcodeSequence);
    }
    sequence.openMessage = MessageAfter(info);
    sequence.nextPsn = AddPsn(psn, span);
    sequence.started = true;
    return Accepted();
}

// A READ request sent again asks for its responses again, so its span is outstanding anew.
void RememberRead(ReliableState& state, PsnSpan span) {
    auto& reads = state.outstandingReads;
    reads.erase(std::remove_if(reads.begin(), reads.end(),
                               [&](const PsnSpan& read) { return read.first == span.first; }),
                reads.end());
    reads.push_back(span);
    if (reads.size() > kMaxOutstandingReads) {
        reads.pop_front();
    }
}

// Responses up to `firstUnanswered` mean the responder has finished with every read ending
// before it.
void RetireReadsBefore(ReliableState& state, std::uint32_t firstUnanswered) {
    auto& reads = state.outstandingReads;
    reads.erase(std::remove_if(reads.begin(), reads.end(),
                               [&](const PsnSpan& read) {
                                   const std::uint32_t distance =
                                       PsnDistance(read.last, firstUnanswered);
                                   return distance != 0 && distance < kPsnHalfSpace;
                               }),
                reads.end());
}

bool FitsSpan(const PsnSpan& read, Position position, std::uint32_t psn) {
    const std::uint32_t offset = PsnDistance(read.first, psn);
    const std::uint32_t length = PsnDistance(read.first, read.last);
    if (offset > length) {
        return false;
    }
    if (length == 0) {
        return position == Position::Only;
    }
    const Position expected = offset == 0        ? Position::First
                              : offset == length ? Position::Last
                                                 : Position::Middle;
    return position == expected;
}

bool FitsOutstandingRead(const ReliableState& state, Position position, std::uint32_t psn) {
    return std::any_of(state.outstandingReads.begin(), state.outstandingReads.end(),
                       [&](const PsnSpan& read) { return FitsSpan(read, position, psn); });
}

// Only an ACKNOWLEDGE may say anything but "acknowledged", and a NAK only with the codes a
// reliable connection has.
bool HasValidAeth(const Info& info, const RoceHeaders& headers) {
    if (!headers.aeth) {
        return true;
    }
    const Aeth::Type type = headers.aeth->GetType();
    if (info.kind != Kind::Acknowledge) {
        return type == Aeth::Type::Ack;
    }
    if (type == Aeth::Type::Nak) {
        return headers.aeth->GetCode() <= Aeth::kRemoteOperationalError;
    }
    return type != Aeth::Type::Reserved;
}

// A NAK names the PSN it refuses, so that one is the first not acknowledged.
std::uint32_t FirstUnacknowledged(const RoceHeaders& headers) {
    const std::uint32_t psn = headers.bth.GetPsn() & kPsnMask;
    const bool refuses = headers.aeth && headers.aeth->GetType() != Aeth::Type::Ack;
    return refuses ? psn : AddPsn(psn, 1);
}

Outcome SendRequest(Qp& qp, const Info& info, const RoceHeaders& headers, std::uint32_t pathMtu) {
    const std::uint32_t psn = headers.bth.GetPsn() & kPsnMask;
    const std::uint32_t span = RequestSpan(info, headers, pathMtu);
    const Outcome outcome = CheckRequest(RequesterOf(qp), info, psn, span);
    if (info.kind == Kind::ReadRequest && outcome.refusal.empty()) {
        RememberRead(qp.reliable, PsnSpan{psn, AddPsn(psn, span - 1)});
    }
    return outcome;
}

Outcome ReceiveRequest(Qp& qp, const Info& info, const RoceHeaders& headers,
                       std::uint32_t pathMtu) {
    return CheckRequest(ResponderOf(qp), info, headers.bth.GetPsn() & kPsnMask,
                        RequestSpan(info, headers, pathMtu));
}

// The queue pair's responder answers its peer.
Outcome SendResponse(Qp& qp, const Info& info, const RoceHeaders& headers) {
    if (!HasValidAeth(info, headers)) {
        return Refused(VerifierStatusBad, kBadAeth);
    }
    const std::uint32_t psn = headers.bth.GetPsn() & kPsnMask;
    const bool sequenceNak = headers.aeth && headers.aeth->IsNak(Aeth::kPsnSequenceError);
    // A NAK may name a PSN behind the expected one: it was sent before requests that crossed it
    // on the wire. It can never ask for one the responder has not yet reached.
    const std::uint32_t ahead = PsnDistance(qp.expectedPsn, psn);
    if (sequenceNak && qp.reliable.receiveSequenceStarted && ahead != 0 && ahead < kPsnHalfSpace) {
        return Refused(VerifierBadPsn, kBadNakPsn, qp.expectedPsn);
    }
    qp.oldestNonAckedPsn = FirstUnacknowledged(headers);
    return Accepted();
}

// The peer's responder answers the queue pair's requests.
Outcome ReceiveResponse(Qp& qp, const Info& info, const RoceHeaders& headers) {
    if (!HasValidAeth(info, headers)) {
        return Refused(VerifierStatusBad, kBadAeth);
    }
    const std::uint32_t psn = headers.bth.GetPsn() & kPsnMask;
    const bool readResponse = info.kind == Kind::ReadResponse;
    if (readResponse && !FitsOutstandingRead(qp.reliable, info.position, psn)) {
        return Refused(VerifierNoActiveWork, kBadReadResponse);
    }
    // A read is kept while its own responses come, so that a repeated one still fits.
    RetireReadsBefore(qp.reliable, readResponse ? psn : FirstUnacknowledged(headers));
    qp.firstNonAckedPsn = FirstUnacknowledged(headers);
    return Accepted();
}

}  // namespace

Outcome ApplyRcRules(Qp& qp, const RoceHeaders& headers, std::uint32_t pathMtu) {
    const Info* info = opcode::Find(headers.bth.GetBthOpcode());
    if (info == nullptr) {
        return Refused(VerifierUnsupportedOpcode, kUnknownOpcode);
    }
    // Unreliable and datagram services have no sequence to hold them to; a CNP only reports.
    if (info->service != opcode::Service::Reliable) {
        return Accepted();
    }
    if (headers.truncated) {
        return Refused(VerifierStatusBad, kShortPacket);
    }
    const bool fromPeer = headers.bth.GetDestinationQp() == qp.qpNum;
    if (info->IsRequest()) {
        return fromPeer ? ReceiveRequest(qp, *info, headers, pathMtu)
                        : SendRequest(qp, *info, headers, pathMtu);
    }
    return fromPeer ? ReceiveResponse(qp, *info, headers) : SendResponse(qp, *info, headers);
}

}  // namespace rules
