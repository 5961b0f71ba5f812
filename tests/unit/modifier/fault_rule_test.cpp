#include "modifier/FaultRule.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// Each good rule read back in its canonical spelling, which must read back to itself.
TEST(ParseFaultRule, GoodRulesReadBackInOneSpelling) {
    const std::pair<const char*, const char*> cases[] = {
        {"action=drop", "dir=c2s,action=drop"},
        {"dir=s2c,qp=0x11,opcode=send_only,psn=16,action=corrupt",
         "dir=s2c,qp=0x11,opcode=SEND_ONLY,psn=0x10,count=1,action=corrupt"},
        {"psn=0xfffffe-0x1,action=reorder", "dir=c2s,psn=0xfffffe-0x1,count=1,action=reorder"},
        {"psn=5-5,count=0X3,action=drop", "dir=c2s,psn=0x5,count=3,action=drop"},
        {"nth=3,count=2,action=duplicate", "dir=c2s,nth=3,count=2,action=duplicate"},
        {"every=10,prob=0.25,action=ecn", "dir=c2s,every=10,prob=0.25,action=ecn"},
        {"seen=2,qp=17,action=delay,ms=5", "dir=c2s,qp=0x11,seen=2,action=delay,ms=5"},
        {" opcode = 0x81 , action = drop ", "dir=c2s,opcode=CNP,action=drop"},
        {"opcode=0x30,prob=1,action=drop", "dir=c2s,opcode=0x30,prob=1,action=drop"},
        {"qp=0xffffff,psn=0xffffff,prob=0,action=delay,ms=0",
         "dir=c2s,qp=0xffffff,psn=0xffffff,prob=0,count=1,action=delay,ms=0"},
    };
    for (const auto& [text, canonical] : cases) {
        const ParsedFaultRule parsed = ParseFaultRule(text, true);
        ASSERT_TRUE(parsed.rule) << text << ": " << parsed.error;
        EXPECT_EQ(parsed.rule->text, text);
        EXPECT_EQ(Describe(*parsed.rule), canonical);
        const ParsedFaultRule again = ParseFaultRule(canonical, true);
        ASSERT_TRUE(again.rule) << again.error;
        EXPECT_EQ(Describe(*again.rule), canonical);
    }
}

TEST(ParseFaultRule, BadRulesAreRefusedInOneLineNamingTheKey) {
    const std::pair<const char*, const char*> cases[] = {
        {"qp=zz,action=drop",
         "--fault 'qp=zz,action=drop': bad value of qp: 'zz' (a queue pair number up to "
         "0xffffff)"},
        {"qp=0x1000000,action=drop", "bad value of qp: '0x1000000'"},
        {"qp=-1,action=drop", "bad value of qp"},
        {"qp=0x,action=drop", "bad value of qp"},
        {"qp=1 2,action=drop", "bad value of qp"},
        {"psn=1-,action=drop", "bad value of psn"},
        {"psn=1-2-3,action=drop", "bad value of psn"},
        {"opcode=SEND_NEVER,action=drop", "bad value of opcode"},
        {"opcode=256,action=drop", "bad value of opcode"},
        {"prob=1.5,action=drop", "bad value of prob"},
        {"prob=nan,action=drop", "bad value of prob"},
        {"prob=-0.1,action=drop", "bad value of prob"},
        {"prob=,action=drop", "bad value of prob"},
        {"nth=0,action=drop", "bad value of nth"},
        {"every=x,action=drop", "bad value of every"},
        {"count=0,action=drop", "bad value of count"},
        {"seen=0,action=drop", "bad value of seen"},
        {"action=explode", "bad value of action: 'explode'"},
        {"dir=s2c,action=drop", "bad value of dir: 's2c' (only c2s here"},
        {"dir=up,action=drop", "bad value of dir"},
        {"action=delay,ms=-1", "bad value of ms"},
        {"action=delay,ms=2147483648", "bad value of ms"},
        {"qp=1", "no action="},
        {"action=delay", "action=delay needs ms="},
        {"action=drop,ms=3", "ms= goes only with action=delay"},
        {"colour=red,action=drop", "unknown key 'colour'"},
        {"qp=1,qp=2,action=drop", "qp given twice"},
        {"action=drop,,qp=1", "'' is not key=value"},
        {"", "an empty rule"},
        {"qp\n=1,action=drop", "--fault 'qp?=1,action=drop': unknown key 'qp?'"},
    };
    for (const auto& [text, expected] : cases) {
        const ParsedFaultRule parsed = ParseFaultRule(text, false);
        EXPECT_FALSE(parsed.rule) << text;
        EXPECT_EQ(parsed.error.rfind("--fault '", 0), 0u) << parsed.error;
        EXPECT_NE(parsed.error.find(expected), std::string::npos) << parsed.error;
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;
    }
}

}  // namespace
