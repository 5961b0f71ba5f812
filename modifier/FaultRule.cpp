#include "modifier/FaultRule.h"

#include <array>
#include <charconv>
#include <climits>
#include <cstdio>
#include <exception>
#include <limits>
#include <utility>

#include "transport/Opcode.h"

namespace {

constexpr std::array<std::pair<FaultAction, std::string_view>, 6> kActions{{
    {FaultAction::Drop, "drop"},
    {FaultAction::Delay, "delay"},
    {FaultAction::Reorder, "reorder"},
    {FaultAction::Duplicate, "duplicate"},
    {FaultAction::Corrupt, "corrupt"},
    {FaultAction::Ecn, "ecn"},
}};

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Command-line text goes into a one-line message: a control character must not break it.
std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return out;
}

// Digits only, decimal or after 0x hexadecimal: no sign, no spaces, nothing left over.
std::optional<std::uint64_t> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint64_t> ParseBetween(std::string_view text, std::uint64_t min,
                                          std::uint64_t max) {
    const auto value = ParseNumber(text);
    if (!value || *value < min || *value > max) {
        return std::nullopt;
    }
    return value;
}

std::string Hex(std::uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

// Reads one rule's text; each key handler gives back the hint for a refused value, or nothing.
class RuleReader {
public:
    RuleReader(std::string_view text, bool allowS2c) : text_(text), allowS2c_(allowS2c) {
        rule_.text = std::string(text);
    }

    ParsedFaultRule Read() {
        if (Trim(text_).empty()) {
            return Refuse("an empty rule (key=value pairs, at least action=)");
        }
        std::string_view rest = text_;
        while (true) {
            const std::size_t comma = rest.find(',');
            if (!ReadPair(Trim(rest.substr(0, comma)))) {
                return Refuse(error_);
            }
            if (comma == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(comma + 1);
        }
        return Finish();
    }

private:
    using Handler = std::optional<std::string> (RuleReader::*)(std::string_view);
    struct Key {
        std::string_view name;
        Handler handler;
    };
    static constexpr std::size_t kKeyCount = 11;
    // A function, not a table member: the handlers are declared only further down.
    static constexpr std::array<Key, kKeyCount> Keys() {
        return {{
            {"dir", &RuleReader::Direction},
            {"qp", &RuleReader::Qp},
            {"opcode", &RuleReader::Opcode},
            {"psn", &RuleReader::Psn},
            {"seen", &RuleReader::Seen},
            {"nth", &RuleReader::Nth},
            {"every", &RuleReader::Every},
            {"prob", &RuleReader::Prob},
            {"count", &RuleReader::Count},
            {"action", &RuleReader::Action},
            {"ms", &RuleReader::Milliseconds},
        }};
    }

    bool ReadPair(std::string_view pair) {
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos) {
            error_ = "'" + Printable(pair) + "' is not key=value";
            return false;
        }
        const std::string_view name = Trim(pair.substr(0, equals));
        const std::string_view value = Trim(pair.substr(equals + 1));
        constexpr auto keys = Keys();
        for (std::size_t i = 0; i < kKeyCount; ++i) {
            if (keys[i].name != name) {
                continue;
            }
            if (given_[i]) {
                error_ = std::string(name) + " given twice";
                return false;
            }
            given_[i] = true;
            if (const auto hint = (this->*keys[i].handler)(value)) {
                error_ = "bad value of " + std::string(name) + ": '" + Printable(value) + "' (" +
                         *hint + ")";
                return false;
            }
            return true;
        }
        error_ = "unknown key '" + Printable(name) + "'";
        return false;
    }

    bool Given(std::string_view name) const {
        constexpr auto keys = Keys();
        for (std::size_t i = 0; i < kKeyCount; ++i) {
            if (keys[i].name == name) {
                return given_[i];
            }
        }
        return false;
    }

    ParsedFaultRule Finish() {
        if (!Given("action")) {
            return Refuse("no action= (drop, delay, reorder, duplicate, corrupt or ecn)");
        }
        const bool delay = rule_.action == FaultAction::Delay;
        if (delay && !Given("ms")) {
            return Refuse("action=delay needs ms=");
        }
        if (!delay && Given("ms")) {
            return Refuse("ms= goes only with action=delay");
        }
        // A rule aimed at a PSN or a position is meant for that one packet unless told more.
        if (!rule_.count && (rule_.psn || rule_.nth)) {
            rule_.count = 1;
        }
        return ParsedFaultRule{std::move(rule_), {}};
    }

    ParsedFaultRule Refuse(const std::string& why) const {
        return ParsedFaultRule{std::nullopt, "--fault '" + Printable(text_) + "': " + why};
    }

    std::optional<std::string> Direction(std::string_view value) {
        if (value == "c2s") {
            rule_.direction = FaultDirection::ClientToServer;
            return std::nullopt;
        }
        if (value == "s2c" && allowS2c_) {
            rule_.direction = FaultDirection::ServerToClient;
            return std::nullopt;
        }
        if (value == "s2c") {
            return std::string(
                "only c2s here: this program injects faults only into the "
                "client's packets");
        }
        return std::string("c2s or s2c");
    }

    std::optional<std::string> Qp(std::string_view value) {
        const auto qp = ParseBetween(value, 0, kPsnMask);
        if (!qp) {
            return std::string("a queue pair number up to 0xffffff");
        }
        rule_.qp = static_cast<std::uint32_t>(*qp);
        return std::nullopt;
    }

    std::optional<std::string> Opcode(std::string_view value) {
        if (const opcode::Info* info = opcode::Find(value)) {
            rule_.opcode = info->value;
            return std::nullopt;
        }
        const auto number = ParseBetween(value, 0, 0xFF);
        if (!number) {
            return std::string("an opcode name such as SEND_ONLY, or a number up to 0xff");
        }
        rule_.opcode = static_cast<std::uint8_t>(*number);
        return std::nullopt;
    }

    std::optional<std::string> Psn(std::string_view value) {
        const std::size_t dash = value.find('-');
        const auto first = ParseBetween(value.substr(0, dash), 0, kPsnMask);
        const auto last = dash == std::string_view::npos
                              ? first
                              : ParseBetween(value.substr(dash + 1), 0, kPsnMask);
        if (!first || !last) {
            return std::string("a PSN or FIRST-LAST, each up to 0xffffff");
        }
        rule_.psn = PsnRange{static_cast<std::uint32_t>(*first), static_cast<std::uint32_t>(*last)};
        return std::nullopt;
    }

    std::optional<std::string> Seen(std::string_view value) {
        const auto seen = ParseBetween(value, 1, std::numeric_limits<std::uint32_t>::max());
        if (!seen) {
            return std::string(
                "a whole number from 1: 1 the first transmission, 2 the first "
                "retransmission");
        }
        rule_.seen = static_cast<std::uint32_t>(*seen);
        return std::nullopt;
    }

    std::optional<std::string> Nth(std::string_view value) { return Positive(value, rule_.nth); }
    std::optional<std::string> Every(std::string_view value) {
        return Positive(value, rule_.every);
    }
    std::optional<std::string> Count(std::string_view value) {
        return Positive(value, rule_.count);
    }

    std::optional<std::string> Positive(std::string_view value,
                                        std::optional<std::uint64_t>& field) {
        field = ParseBetween(value, 1, std::numeric_limits<std::uint64_t>::max());
        if (!field) {
            return std::string("a whole number from 1");
        }
        return std::nullopt;
    }

    std::optional<std::string> Prob(std::string_view value) {
        double prob = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), prob);
        // Written so that NaN fails too.
        if (value.empty() || error != std::errc() || end != value.data() + value.size() ||
            !(prob >= 0.0 && prob <= 1.0)) {
            return std::string("a decimal fraction from 0 to 1");
        }
        rule_.prob = prob;
        return std::nullopt;
    }

    std::optional<std::string> Action(std::string_view value) {
        for (const auto& [action, name] : kActions) {
            if (name == value) {
                rule_.action = action;
                return std::nullopt;
            }
        }
        return std::string("drop, delay, reorder, duplicate, corrupt or ecn");
    }

    std::optional<std::string> Milliseconds(std::string_view value) {
        const auto ms = ParseBetween(value, 0, INT_MAX);
        if (!ms) {
            return std::string("whole milliseconds from 0");
        }
        rule_.delayMs = static_cast<int>(*ms);
        return std::nullopt;
    }

    const std::string_view text_;
    const bool allowS2c_;
    FaultRule rule_;
    std::array<bool, kKeyCount> given_{};
    std::string error_;
};

}  // namespace

std::string_view Name(FaultAction action) {
    for (const auto& [known, name] : kActions) {
        if (known == action) {
            return name;
        }
    }
    return "?";
}

bool PsnRange::Contains(std::uint32_t psn) const {
    return ((psn - first) & kPsnMask) <= ((last - first) & kPsnMask);
}

ParsedFaultRule ParseFaultRule(std::string_view text, bool allowS2c) {
    try {
        return RuleReader(text, allowS2c).Read();
    } catch (const std::exception& e) {  // only allocation can throw here
        return ParsedFaultRule{std::nullopt,
                               std::string("--fault: cannot read the rule: ") + e.what()};
    }
}

std::string Describe(const FaultRule& rule) {
    std::string text = "dir=" + std::string(Name(rule.direction));
    if (rule.qp) {
        text += ",qp=" + Hex(*rule.qp);
    }
    if (rule.opcode) {
        const opcode::Info* info = opcode::Find(*rule.opcode);
        text += ",opcode=" + (info != nullptr ? std::string(info->name) : Hex(*rule.opcode));
    }
    if (rule.psn) {
        text += ",psn=" + Hex(rule.psn->first);
        if (rule.psn->last != rule.psn->first) {
            text += "-" + Hex(rule.psn->last);
        }
    }
    if (rule.seen) {
        text += ",seen=" + std::to_string(*rule.seen);
    }
    const std::pair<const char*, const std::optional<std::uint64_t>&> positions[] = {
        {",nth=", rule.nth}, {",every=", rule.every}};
    for (const auto& [key, value] : positions) {
        if (value) {
            text += key + std::to_string(*value);
        }
    }
    if (rule.prob) {
        char buffer[32];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, *rule.prob).ptr;
        text += ",prob=" + std::string(buffer, end);
    }
    if (rule.count) {
        text += ",count=" + std::to_string(*rule.count);
    }
    text += ",action=" + std::string(Name(rule.action));
    if (rule.action == FaultAction::Delay) {
        text += ",ms=" + std::to_string(rule.delayMs);
    }
    return text;
}
