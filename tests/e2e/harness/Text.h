#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace e2e {

// The value of "key=value" in a program's summary line; nothing when absent.
inline std::optional<std::string> FieldOf(const std::string& text, const std::string& key) {
    const std::string needle = key + "=";
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        if (at == 0 || text[at - 1] == ' ' || text[at - 1] == '\n') {
            const std::size_t start = at + needle.size();
            return text.substr(start, text.find_first_of(" \n", start) - start);
        }
    }
    return std::nullopt;
}

// A numeric summary field, or -1 when absent or not a number.
inline long long NumberOf(const std::string& text, const std::string& key) {
    const auto value = FieldOf(text, key);
    try {
        return value ? std::stoll(*value) : -1;
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace e2e
