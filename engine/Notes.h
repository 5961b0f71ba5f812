#pragma once

#include <string>
#include <string_view>

namespace engine {

// Adds one thing the bench says of a frame to its capture comment, "; " between them; an empty
// note, or one the comment already holds, adds nothing.
inline bool HoldsNote(std::string_view comment, std::string_view note) {
    constexpr std::string_view kSeparator = "; ";
    while (!comment.empty()) {
        const std::size_t end = comment.find(kSeparator);
        if (comment.substr(0, end) == note) {
            return true;
        }
        comment = end == std::string_view::npos ? std::string_view{}
                                                : comment.substr(end + kSeparator.size());
    }
    return false;
}

inline void AppendNote(std::string& comment, std::string_view note) {
    if (note.empty() || HoldsNote(comment, note)) {
        return;
    }
    if (!comment.empty()) {
        comment += "; ";
    }
    comment += note;
}

}  // namespace engine
