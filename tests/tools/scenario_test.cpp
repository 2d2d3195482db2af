// Scenarios: the built-in timelines, the JSON form and its errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tools/Scenario.h"

namespace bastion::tools {
namespace {

TEST(ScenarioTest, BuiltinsKeepLegitimateTrafficThroughoutAndAttacksWithinTheRun) {
    for (const std::string& name : BuiltinScenarioNames()) {
        auto s = BuiltinScenario(name);
        ASSERT_TRUE(s) << name;
        EXPECT_GT(s->RateAt(TrafficClass::LegitTcp, 0), 0) << name;
        EXPECT_GT(s->RateAt(TrafficClass::LegitTcp, s->seconds - 0.01), 0) << name;
        for (const Phase& p : s->phases)
            EXPECT_LE(p.to, s->seconds) << name;
    }
    auto mixed = BuiltinScenario("mixed");
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->Classes().size(), kTrafficClassCount) << "the default shows every class";
    EXPECT_FALSE(BuiltinScenario("no-such-scenario"));
}

TEST(ScenarioTest, OverlappingPhasesAddUpAndEndsAreExclusive) {
    std::string error;
    auto s = ParseScenario(R"({"name": "t", "seconds": 10, "phases": [
        {"class": "udp-flood", "from": 0, "to": 5, "pps": 100},
        {"class": "udp-flood", "from": 4, "to": 8, "pps": 50}]})",
                           &error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->name, "t");
    EXPECT_EQ(s->RateAt(TrafficClass::UdpFlood, 3), 100);
    EXPECT_EQ(s->RateAt(TrafficClass::UdpFlood, 4.5), 150);
    EXPECT_EQ(s->RateAt(TrafficClass::UdpFlood, 5), 50);
    EXPECT_EQ(s->RateAt(TrafficClass::UdpFlood, 8), 0);
    EXPECT_EQ(s->RateAt(TrafficClass::LegitTcp, 3), 0);

    Scenario half = s->ScaledTo(5);
    EXPECT_EQ(half.seconds, 5);
    EXPECT_EQ(half.RateAt(TrafficClass::UdpFlood, 2.25), 150);
    EXPECT_EQ(half.RateAt(TrafficClass::UdpFlood, 4), 0);
}

TEST(ScenarioTest, BadScenariosAreRefusedWithTheReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"{", "not valid JSON"},
        {"[]", "must be a JSON object"},
        {R"({"phases": []})", "\"seconds\" must be a number"},
        {R"({"seconds": 0, "phases": []})", "\"seconds\" must be above 0"},
        {R"({"seconds": 5})", "\"phases\" must be an array"},
        {R"({"seconds": 5, "phases": [{"class": "bogus", "from": 0, "to": 1, "pps": 1}]})",
         "phase 1: \"class\" must be one of legit-tcp"},
        {R"({"seconds": 5, "phases": [{"class": "ack-flood", "from": 3, "to": 1, "pps": 1}]})",
         "phase 1: \"to\" is before \"from\""},
        {R"({"seconds": 5, "phases": [{"class": "ack-flood", "from": 0, "to": 1, "pps": -4}]})",
         "phase 1: \"pps\" must be a finite number of at least 0"},
    };
    for (const auto& [text, message] : cases) {
        std::string error;
        EXPECT_FALSE(ParseScenario(text, &error)) << text;
        EXPECT_NE(error.find(message), std::string::npos) << text << " -> " << error;
    }
}

TEST(ScenarioTest, LoadsFilesAndNamesWhatIsMissing) {
    const std::string path = ::testing::TempDir() + "scenario_test.json";
    {
        std::ofstream out(path);
        out << R"({"seconds": 2, "phases": [{"class": "icmp-flood", "from": 0, "to": 2, "pps": 9}]})";
    }
    std::string error;
    auto s = LoadScenario(path, &error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->name, "custom");
    EXPECT_EQ(s->RateAt(TrafficClass::IcmpFlood, 1), 9);
    std::remove(path.c_str());

    EXPECT_FALSE(LoadScenario(path, &error));
    EXPECT_NE(error.find("neither a built-in scenario (mixed"), std::string::npos) << error;
}

}  // namespace
}  // namespace bastion::tools
