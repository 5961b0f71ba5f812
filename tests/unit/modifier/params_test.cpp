#include <gtest/gtest.h>

#include <vector>

#include "modifier/Modifier.h"

namespace {

const std::vector<BthOpcode> kDefaultOpcodes{SEND_FIRST, SEND_ONLY, ACKNOWLEDGE};

TEST(ModifierParams, DefaultsPassEverythingWithMidwireDelayRange) {
    const ModifierParams params;
    EXPECT_EQ(params.distribution, (std::array<std::int32_t, 4>{100, 0, 0, 0}));
    EXPECT_EQ(params.delayRange[DELAY_MIN], 0);
    EXPECT_EQ(params.delayRange[DELAY_MAX], 30);
    EXPECT_EQ(params.supportedOpcodes, kDefaultOpcodes);
    EXPECT_EQ(params.targetSpecificQp, 1u);
    EXPECT_EQ(params.targenSpecificQpQpn, 1u);
}

TEST(ModifierParams, EachProgramGetsItsOwnLargestDelay) {
    const ModifierParams midwire = DefaultModifierParams(ModifierProgram::MIDWIRE);
    const ModifierParams wirebend = DefaultModifierParams(ModifierProgram::WIREBEND);
    EXPECT_EQ(midwire.delayRange, (std::array<std::int32_t, 2>{0, 30}));
    EXPECT_EQ(wirebend.delayRange, (std::array<std::int32_t, 2>{0, 50}));
    EXPECT_EQ(wirebend.distribution, ModifierParams().distribution);
    EXPECT_EQ(wirebend.supportedOpcodes, kDefaultOpcodes);
}

TEST(ModifierParams, CopiesOwnTheirOpcodeList) {
    ModifierParams source;
    source.distribution = {10, 20, 30, 40};
    ModifierParams copy(source);
    ModifierParams assigned;
    assigned = source;

    copy.supportedOpcodes.push_back(SEND_LAST);
    assigned.supportedOpcodes[0] = SEND_MIDLLE;
    copy.distribution[0] = 99;
    EXPECT_EQ(source.supportedOpcodes, kDefaultOpcodes);
    EXPECT_EQ(source.distribution, (std::array<std::int32_t, 4>{10, 20, 30, 40}));

    source.supportedOpcodes.clear();
    EXPECT_EQ(assigned.supportedOpcodes,
              (std::vector<BthOpcode>{SEND_MIDLLE, SEND_ONLY, ACKNOWLEDGE}));
    EXPECT_EQ(assigned.distribution, (std::array<std::int32_t, 4>{10, 20, 30, 40}));
}

TEST(ModifierParams, SelfAssignmentKeepsEveryField) {
    ModifierParams params;
    params.distribution = {1, 2, 3, 4};
    params.delayRange = {5, 6};
    params.supportedOpcodes = {ACKNOWLEDGE, SEND_LAST};
    params.targetSpecificQp = 7;
    params.targenSpecificQpQpn = 8;
    ModifierParams& alias = params;
    params = alias;
    EXPECT_EQ(params.distribution, (std::array<std::int32_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(params.delayRange, (std::array<std::int32_t, 2>{5, 6}));
    EXPECT_EQ(params.supportedOpcodes, (std::vector<BthOpcode>{ACKNOWLEDGE, SEND_LAST}));
    EXPECT_EQ(params.targetSpecificQp, 7u);
    EXPECT_EQ(params.targenSpecificQpQpn, 8u);
}

}  // namespace
