#pragma once

namespace wire {

// Runs a program's body and turns what escapes it into one line "<name>: <what>" on stderr and
// an exit status: kExitSetupFailure for a wire::Error (a port or file that cannot be opened),
// 1 for anything else. A run never ends in an uncaught exception. Before the body runs, a
// standard descriptor the program was started without is opened on /dev/null, and the stop
// signals are held for WaitForKeyOrEndOfInput (before any thread starts).
int RunProgram(const char* name, int (*body)(int, char**), int argc, char** argv);

}  // namespace wire
