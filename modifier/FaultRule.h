#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "modifier/FaultDirection.h"

// What an aimed fault does to the packet it takes.
enum class FaultAction : std::uint8_t {
    Drop,
    Delay,      // held for FaultRule::delayMs while later packets go on
    Reorder,    // held until the next packet of its direction has left
    Duplicate,  // sent twice
    Corrupt,    // one bit flipped after the BTH, so the receiver's ICRC check fails
    Ecn,        // congestion experienced marked in the IP header
};

[[nodiscard]] std::string_view Name(FaultAction action);

// PSNs from `first` to `last` inclusive. A range whose last PSN is below its first wraps
// through 0xffffff to 0, as PSNs themselves do (0xfffffe-0x1 holds four PSNs).
struct PsnRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;

    [[nodiscard]] bool Contains(std::uint32_t psn) const;
};

// One --fault rule. Every match left empty takes any packet.
//
// Which packets a rule takes: the packets of its direction that pass the filters (qp, opcode,
// psn, seen) are its matching packets, numbered from 1. The candidates among them are the
// nth-th and each one after it, or with every=K only every K-th: the K-th, 2K-th... without
// nth, the nth-th, nth+K-th... with it. A candidate draws once against prob when prob is
// given, and the rule fires until it has fired `count` times. So nth=5 alone takes the fifth
// matching packet, nth=5,count=3 the fifth to seventh. An ecn rule counts only ECN-capable
// packets as matching: a packet it could not mark is left to the rules after it. A rule that
// has fired `count` times takes nothing more, and its packets go on to the later rules.
struct FaultRule {
    std::string text;  // as given on the command line
    FaultDirection direction = FaultDirection::ClientToServer;
    std::optional<std::uint32_t> qp;  // destination queue pair
    std::optional<std::uint8_t> opcode;
    std::optional<PsnRange> psn;
    // The how-many-th sighting of its queue pair and PSN the packet is: 1 the first
    // transmission, 2 the first retransmission.
    std::optional<std::uint32_t> seen;
    std::optional<std::uint64_t> nth;
    std::optional<std::uint64_t> every;
    std::optional<double> prob;
    std::optional<std::uint64_t> count;  // empty: unlimited
    FaultAction action = FaultAction::Drop;
    int delayMs = 0;  // for FaultAction::Delay
};

// A parsed rule, or the one line that says why the text was refused.
struct ParsedFaultRule {
    std::optional<FaultRule> rule;
    std::string error;
};

// Reads "key=value,key=value...": dir=c2s|s2c, qp=, opcode=NAME|number, psn=N or N-M, seen=,
// nth=, every=, prob=0..1, count=, action=drop|delay|reorder|duplicate|corrupt|ecn, and ms= with
// delay only (and required there). Numbers are decimal or 0x-hexadecimal; counts start at 1;
// count defaults to 1 when psn or nth is given. `allowS2c` is false for a program that injects
// only into the client's packets. Never throws; a refusal is one line that quotes the rule and
// names the key: "--fault 'qp=zz,action=drop': bad value of qp: 'zz' (...)".
[[nodiscard]] ParsedFaultRule ParseFaultRule(std::string_view text, bool allowS2c);

// The rule in one canonical spelling (hexadecimal numbers, the direction always, the count
// when it is limited), for reports: "dir=c2s,psn=0x10,count=1,action=drop".
[[nodiscard]] std::string Describe(const FaultRule& rule);
