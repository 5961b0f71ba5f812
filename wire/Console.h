#pragma once

#include <cstdint>

namespace wire {

// Holds SIGINT and SIGTERM back until WaitForKeyOrEndOfInput, so that an operator's Ctrl-C ends
// a run as a key press does, with its log and reports. RunProgram calls it before any thread
// starts: threads inherit the block, so a signal sent to the process can only reach the waiting
// thread (one aimed at another thread alone stays pending there).
void HoldStopSignals();

// Blocks until a key (the line a terminal hands over) or the end of input arrives on `fd`, or a
// signal held by HoldStopSignals arrives, also one that came before the wait; a signal the
// parent set to be ignored stays ignored. Afterwards the signals act as they did before the
// wait: by default a second one ends the process at once.
void WaitForKeyOrEndOfInput(int fd = 0);

}  // namespace wire
