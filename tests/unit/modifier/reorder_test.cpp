#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "ModifierTestSupport.h"

namespace {

using namespace modifier_test;

enum Tag : std::uint16_t { A = 1, B, C, D, E };

// A seed under which a release that draws reorder starts an episode with the
// given pop point and length.
unsigned SeedForEpisode(int popPoint, int length) {
    return FindSeed(3, [&](const std::vector<int>& raw) {
        return Between(raw[1], 1, 10) == popPoint && Between(raw[2], 1, 10) == length;
    });
}

class ModifierReorder : public ::testing::Test {
protected:
    void Configure(std::int32_t none, std::int32_t reorder) {
        modifier.Init(WithDistribution(none, 0, 0, reorder));
    }

    std::vector<std::uint16_t> ReleaseTags(int count) {
        std::vector<std::uint16_t> tags;
        for (int i = 0; i < count; ++i) {
            tags.push_back(ReleaseOne(modifier).tag);
        }
        return tags;
    }

    Modifier modifier;
};

TEST_F(ModifierReorder, PopPointTwoOverThreeReleasesOvertakesAndLeavesTheOldest) {
    const unsigned seed = SeedForEpisode(2, 3);
    ASSERT_NE(seed, 0u);
    Configure(0, 100);
    InjectTags(modifier, {A, B, C, D});
    std::srand(seed);
    EXPECT_EQ(ReleaseTags(3), (std::vector<std::uint16_t>{C, D, B}));
    EXPECT_EQ(modifier.GetPacketBufferSize(), 1);
    EXPECT_EQ(modifier.GetOperationCounter(OPERATION_REORDER), 3);
}

TEST_F(ModifierReorder, ReorderDrawDuringEpisodeNeitherRestartsNorLengthensIt) {
    // With {50, 0, 0, 50}: releases 1 to 3 draw reorder, release 4 draws none.
    const unsigned seed = FindSeed(6, [](const std::vector<int>& raw) {
        return Between(raw[0], 1, 100) > 50 && Between(raw[1], 1, 10) == 2 &&
               Between(raw[2], 1, 10) == 3 && Between(raw[3], 1, 100) > 50 &&
               Between(raw[4], 1, 100) > 50 && Between(raw[5], 1, 100) <= 50;
    });
    ASSERT_NE(seed, 0u);
    Configure(50, 50);
    InjectTags(modifier, {A, B, C, D});
    std::srand(seed);
    EXPECT_EQ(ReleaseTags(3), (std::vector<std::uint16_t>{C, D, B}));
    InjectTags(modifier, {E});
    // Had the episode gone on, the newest packet (E) would come out.
    EXPECT_EQ(ReleaseTags(1), (std::vector<std::uint16_t>{A}));
    EXPECT_EQ(modifier.GetOperationCounter(OPERATION_REORDER), 3);
    EXPECT_EQ(modifier.GetOperationCounter(OPERATION_NONE), 1);
}

TEST_F(ModifierReorder, PopPointBeyondTheBufferTakesTheNewest) {
    const unsigned seed = SeedForEpisode(10, 5);
    ASSERT_NE(seed, 0u);
    Configure(0, 100);
    InjectTags(modifier, {A, B, C});
    std::srand(seed);
    EXPECT_EQ(ReleaseTags(1), (std::vector<std::uint16_t>{C}));
}

TEST_F(ModifierReorder, EpisodeStartingOnASinglePacketReturnsIt) {
    const unsigned seed = SeedForEpisode(4, 2);
    ASSERT_NE(seed, 0u);
    Configure(0, 100);
    InjectTags(modifier, {A});
    std::srand(seed);
    EXPECT_EQ(ReleaseTags(1), (std::vector<std::uint16_t>{A}));
    EXPECT_EQ(modifier.GetPacketBufferSize(), 0);
}

TEST_F(ModifierReorder, InitEndsTheEpisodeAndKeepsBufferAndCounters) {
    const unsigned seed = SeedForEpisode(2, 5);
    ASSERT_NE(seed, 0u);
    Configure(0, 100);
    InjectTags(modifier, {A, B, C, D});
    std::srand(seed);
    EXPECT_EQ(ReleaseTags(1), (std::vector<std::uint16_t>{C}));

    modifier.Init(WithDistribution(100, 0, 0, 0));
    EXPECT_EQ(modifier.GetPacketBufferSize(), 3);
    EXPECT_EQ(modifier.GetOperationCounter(OPERATION_REORDER), 1);
    EXPECT_EQ(ReleaseTags(3), (std::vector<std::uint16_t>{A, B, D}));
}

}  // namespace
