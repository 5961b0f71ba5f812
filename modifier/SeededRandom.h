#pragma once

#include <cstdint>

#include "modifier/FaultBuffer.h"

// A reproducible RandomSource for --seed: the same seed gives the same sequence of draws on
// every run and build (a 64-bit Mersenne twister, whose output the C++ standard fixes), in the
// range of std::rand. Copies share one generator under a lock, so injectors of both directions
// may draw from it at once and together walk one sequence.
[[nodiscard]] RandomSource SeededRandom(std::uint64_t seed);
