#pragma once

#include <string>
#include <string_view>

namespace engine {

// Adds one thing the bench says of a frame to its capture comment, "; " between them; an empty
// note, or one the comment already holds, adds nothing.
inline void AppendNote(std::string& comment, std::string_view note) {
    if (note.empty() || comment.find(note) != std::string::npos) {
        return;
    }
    if (!comment.empty()) {
        comment += "; ";
    }
    comment += note;
}

}  // namespace engine
