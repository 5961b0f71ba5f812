#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "transport/Bth.h"
#include "transport/Qp.h"
#include "transport/RocePacketInfo.h"
#include "transport/VerifierStatus.h"

// The two rule sets the verifier holds a queue pair's packets to, and what they decide.
namespace rules {

// Refusal kinds as the report spells them.
inline constexpr std::string_view kBadPsn = "bad_psn";
inline constexpr std::string_view kBadOpcodeSequence = "bad_opcode_sequence";
inline constexpr std::string_view kUnregisteredQp = "unregistered_qp";
inline constexpr std::string_view kUnknownDevice = "unknown_device";
inline constexpr std::string_view kUnknownOpcode = "unknown_opcode";
// Not a refusal: the send rules have nothing to say about the packet.
inline constexpr std::string_view kOutsideRules = "outside_rules";
inline constexpr std::string_view kBadReadResponse = "bad_read_response";
inline constexpr std::string_view kBadNakPsn = "bad_nak_psn";
inline constexpr std::string_view kBadAeth = "bad_aeth";
inline constexpr std::string_view kShortPacket = "short_packet";

struct Outcome {
    VerifierStatus status = VerifierStatusOK;
    std::string_view refusal;  // empty: accepted
    // Accepted as a request behind the expected PSN, a retransmission.
    bool duplicate = false;
    // The PSN the rule wanted instead, where one PSN was wanted.
    std::optional<std::uint32_t> expectedPsn;
};

// What a refusal says to a person reading a capture: "bad PSN, expected 0x10"; empty when the
// outcome is no refusal.
[[nodiscard]] std::string Note(const Outcome& outcome);

[[nodiscard]] inline Outcome Refused(VerifierStatus status, std::string_view kind,
                                     std::optional<std::uint32_t> expectedPsn = std::nullopt) {
    return Outcome{status, kind, false, expectedPsn};
}

// Half the PSN space: a distance below it counts as ahead, from it on as behind.
constexpr std::uint32_t kPsnHalfSpace = 0x800000;

[[nodiscard]] inline std::uint32_t AddPsn(std::uint32_t psn, std::uint32_t count) {
    return (psn + count) & kPsnMask;
}
[[nodiscard]] inline std::uint32_t PsnDistance(std::uint32_t from, std::uint32_t to) {
    return (to - from) & kPsnMask;
}

// The send rules' decision if one of them takes the packet for this queue pair.
[[nodiscard]] std::optional<Outcome> ApplySendRules(Qp& qp, const Bth& packetBth);

// The reliable-connection rules for a packet to qp.qpNum (sent by the peer's host) or to
// qp.peerQp (sent by the queue pair's own host). A READ request spans its DMA length in
// packets of pathMtu bytes, which must not be 0.
[[nodiscard]] Outcome ApplyRcRules(Qp& qp, const RoceHeaders& headers, std::uint32_t pathMtu);

}  // namespace rules
