#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <limits>
#include <vector>

#include "ModifierTestSupport.h"

namespace {

using namespace modifier_test;

constexpr unsigned kSeed = 12345;
constexpr std::size_t kReleases = 600;

struct Outcome {
    bool valid;
    ModifierOperation counted;  // OPERATION_LAST: no counter moved
};

std::array<std::int64_t, OPERATION_LAST> Counters(const Modifier& modifier) {
    std::array<std::int64_t, OPERATION_LAST> counters{};
    for (std::uint32_t i = 0; i < OPERATION_LAST; ++i) {
        counters[i] = modifier.GetOperationCounter(static_cast<ModifierOperation>(i));
    }
    return counters;
}

ModifierOperation CountedBetween(const std::array<std::int64_t, OPERATION_LAST>& before,
                                 const std::array<std::int64_t, OPERATION_LAST>& after) {
    for (std::uint32_t i = 0; i < OPERATION_LAST; ++i) {
        if (after[i] != before[i]) {
            return static_cast<ModifierOperation>(i);
        }
    }
    return OPERATION_LAST;
}

// Releases every buffered packet with the generator seeded, and records what
// each release did as seen from outside.
std::vector<Outcome> RunReleases(const ModifierParams& params, unsigned seed) {
    Modifier modifier;
    modifier.Init(params);
    std::vector<std::uint16_t> tags(kReleases);
    for (std::size_t i = 0; i < kReleases; ++i) {
        tags[i] = static_cast<std::uint16_t>(i + 1);
    }
    InjectTags(modifier, tags);
    std::srand(seed);
    std::vector<Outcome> outcomes;
    while (modifier.GetPacketBufferSize() > 0) {
        const auto before = Counters(modifier);
        const Release release = ReleaseOne(modifier);
        EXPECT_EQ(release.tag, outcomes.size() + 1) << "released out of order";
        outcomes.push_back({release.valid, CountedBetween(before, Counters(modifier))});
    }
    return outcomes;
}

// Operation draws from 1..100 as the modifier will see them; `takesExtraDraw`
// says which drawn values make the release consume one more (a delay's length).
std::vector<int> PredictOperationDraws(unsigned seed, const std::function<bool(int)>& takesExtra) {
    const std::vector<int> raw = RawDraws(seed, 2 * kReleases);
    std::vector<int> draws;
    for (std::size_t i = 0; draws.size() < kReleases; ++i) {
        draws.push_back(Between(raw[i], 1, 100));
        if (takesExtra(draws.back())) {
            ++i;
        }
    }
    return draws;
}

bool Contains(const std::vector<int>& draws, int value) {
    return std::find(draws.begin(), draws.end(), value) != draws.end();
}

void ExpectOutcomes(const std::vector<int>& draws, const std::vector<Outcome>& outcomes,
                    const std::function<Outcome(int)>& expected) {
    ASSERT_EQ(outcomes.size(), draws.size());
    for (std::size_t i = 0; i < draws.size(); ++i) {
        const Outcome want = expected(draws[i]);
        EXPECT_EQ(outcomes[i].valid, want.valid) << "draw " << draws[i] << " at release " << i;
        EXPECT_EQ(outcomes[i].counted, want.counted) << "draw " << draws[i] << " at release " << i;
    }
}

const auto kNoExtraDraw = [](int) { return false; };

TEST(ModifierDraw, BoundaryDrawGoesToTheEarlierOperation) {
    const std::vector<int> draws = PredictOperationDraws(kSeed, kNoExtraDraw);
    ASSERT_TRUE(Contains(draws, 50) && Contains(draws, 51)) << "pick another seed";
    ExpectOutcomes(draws, RunReleases(WithDistribution(50, 50, 0, 0), kSeed), [](int draw) {
        return draw <= 50 ? Outcome{true, OPERATION_NONE} : Outcome{false, OPERATION_DROP};
    });
}

TEST(ModifierDraw, DrawsAboveAShortSumPassUncounted) {
    const std::vector<int> draws = PredictOperationDraws(kSeed, kNoExtraDraw);
    ASSERT_TRUE(Contains(draws, 60) && Contains(draws, 61));
    ExpectOutcomes(draws, RunReleases(WithDistribution(60, 0, 0, 0), kSeed), [](int draw) {
        return Outcome{true, draw <= 60 ? OPERATION_NONE : OPERATION_LAST};
    });
}

TEST(ModifierDraw, SlicesBeyondOneHundredAreCutOff) {
    const std::vector<int> draws = PredictOperationDraws(kSeed, kNoExtraDraw);
    ASSERT_TRUE(Contains(draws, 70) && Contains(draws, 71) && Contains(draws, 100));
    ExpectOutcomes(draws, RunReleases(WithDistribution(70, 40, 0, 10), kSeed), [](int draw) {
        return draw <= 70 ? Outcome{true, OPERATION_NONE} : Outcome{false, OPERATION_DROP};
    });
}

TEST(ModifierDraw, ZeroWeightsAreNeverChosen) {
    const std::vector<int> draws = PredictOperationDraws(kSeed, kNoExtraDraw);
    ExpectOutcomes(draws, RunReleases(WithDistribution(0, 100, 0, 0), kSeed), [](int) {
        return Outcome{false, OPERATION_DROP};
    });
}

TEST(ModifierDraw, HugeWeightsNeitherOverflowNorWrap) {
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    const std::vector<int> draws = PredictOperationDraws(kSeed, kNoExtraDraw);
    ASSERT_TRUE(Contains(draws, 1) && Contains(draws, 2));
    // Wrapped in 32 bits, the running sum would reach 2 at the drop slice.
    ExpectOutcomes(draws, RunReleases(WithDistribution(-kMax, -kMax, 0, 0), kSeed), [](int) {
        return Outcome{true, OPERATION_LAST};
    });
    ExpectOutcomes(draws, RunReleases(WithDistribution(kMax, kMax, kMax, kMax), kSeed), [](int) {
        return Outcome{true, OPERATION_NONE};
    });
}

TEST(ModifierDraw, DelayDrawsItsLengthAfterTheOperation) {
    const auto isDelay = [](int draw) { return draw > 40; };
    const std::vector<int> draws = PredictOperationDraws(kSeed, isDelay);
    ASSERT_TRUE(Contains(draws, 40) && Contains(draws, 41));
    ModifierParams params = WithDistribution(40, 0, 60, 0);
    params.delayRange = {0, 0};
    ExpectOutcomes(draws, RunReleases(params, kSeed), [](int draw) {
        return Outcome{true, draw <= 40 ? OPERATION_NONE : OPERATION_DELAY};
    });
}

TEST(ModifierDraw, SameCallsInSameOrderMakeSameDecisions) {
    const auto run = [] {
        Modifier modifier;
        ModifierParams params = WithDistribution(30, 30, 10, 30);
        params.delayRange = {0, 1};
        modifier.Init(params);
        InjectTags(modifier, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
        std::srand(99);
        std::vector<std::pair<std::uint16_t, bool>> releases;
        while (modifier.GetPacketBufferSize() > 0) {
            const Release release = ReleaseOne(modifier);
            releases.emplace_back(release.tag, release.valid);
        }
        return releases;
    };
    EXPECT_EQ(run(), run());
}

}  // namespace
