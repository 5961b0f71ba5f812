#include "wire/Program.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <iostream>

#include "wire/Console.h"
#include "wire/Error.h"

namespace wire {

namespace {

// A program started with a standard descriptor closed would hand its number to the first socket
// it opens, and would then wait for a key on a port's traffic, or print into a socket. Closed
// ones read and write /dev/null instead: a closed input is at its end.
void OpenClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free number is this one.
            static_cast<void>(open("/dev/null", O_RDWR));
        }
    }
}

}  // namespace

int RunProgram(const char* name, int (*body)(int, char**), int argc, char** argv) {
    OpenClosedStandardDescriptors();
    HoldStopSignals();
    try {
        return body(argc, argv);
    } catch (const Error& e) {
        std::cerr << name << ": " << e.what() << std::endl;
        return kExitSetupFailure;
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << std::endl;
    } catch (...) {
        std::cerr << name << ": unexpected failure" << std::endl;
    }
    return 1;
}

}  // namespace wire
