#include "wire/Console.h"

#include <cstdio>
#include <cstdlib>

namespace wire {

void WaitForKeyOrEndOfInput() {
    static_cast<void>(std::getchar());
}

uint32_t ParseHexQp(const char* text) {
    return static_cast<uint32_t>(std::strtol(text, nullptr, 16));
}

}  // namespace wire
