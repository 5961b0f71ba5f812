#include "modifier/SeededRandom.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>

RandomSource SeededRandom(std::uint64_t seed) {
    struct State {
        std::mutex mutex;
        std::mt19937_64 generator;
    };
    auto state = std::make_shared<State>();
    state->generator.seed(seed);
    return [state] {
        // The modulus rather than a distribution: distributions may differ between standard
        // libraries, and the run must be reproducible wherever it is built.
        constexpr std::uint64_t kRange = std::uint64_t{RAND_MAX} + 1;
        std::lock_guard<std::mutex> lock(state->mutex);
        return static_cast<int>(state->generator() % kRange);
    };
}
