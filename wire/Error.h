#pragma once

#include <stdexcept>
#include <string>

namespace wire {

// Exit status of a program whose command line is unusable.
constexpr int kExitUsage = 2;
// Exit status of a program that could not open a port or its log, or start a thread.
constexpr int kExitSetupFailure = 3;

// A port, file or thread that cannot be set up; what() reads "<name>: <reason>".
class Error : public std::runtime_error {
public:
    Error(const std::string& interfaceName, const std::string& reason)
        : std::runtime_error(interfaceName + ": " + reason) {}
};

}  // namespace wire
