#pragma once

#include <cstdint>

namespace wire {

// Blocks until one character or the end of input arrives on standard input.
void WaitForKeyOrEndOfInput();

// A queue-pair number given in hexadecimal, with or without 0x: the value of its leading hex
// digits (0 when there are none), kept in 32 bits as the bench's QP fields are.
uint32_t ParseHexQp(const char* text);

}  // namespace wire
