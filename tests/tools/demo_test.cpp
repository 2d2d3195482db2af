// The demonstration end to end: the full engine with the shipped rules on the simulated
// network, legitimate users throughout and one host flooding for most of the run.
#include <gtest/gtest.h>

#include <sstream>

#include "control/HostConfig.h"
#include "host/Factory.h"
#include "tools/Demo.h"

namespace bastion::tools {
namespace {

TEST(DemoTest, ShippedRulesKeepLegitimateTrafficAndStopASingleSourceFlood) {
    ConfigLoad load = LoadConfigFile(BASTION_SOURCE_DIR "/config/bastion.json");
    ASSERT_TRUE(load.config);
    // The built-in "single-source" timeline, shortened: legitimate users throughout, one
    // host flooding from the first fifth of a second on.
    auto scenario = BuiltinScenario("single-source");
    ASSERT_TRUE(scenario);
    DemoOptions options;
    options.scenario = scenario->ScaledTo(2.5);
    for (Phase& p : options.scenario.phases) {
        if (p.trafficClass == TrafficClass::TcpFloodSingle) {
            p.from = 0.2;
            p.to = 2.5;
        }
    }
    options.holdSeconds = 0.2;

    std::ostringstream out, err;
    DemoResult r;
    ASSERT_EQ(RunDemo(options, *load.config, &CreatePacketProcessor, &DestroyPacketProcessor, out,
                      err, &r),
              0)
        << err.str();
    const size_t flood = static_cast<size_t>(TrafficClass::TcpFloodSingle);
    ASSERT_GT(r.offered[flood], 10'000u) << out.str();
    ASSERT_GT(r.legitimateOffered, 500u) << out.str();
    EXPECT_GE(r.LegitimateDeliveredPercent(), 99.0) << out.str();
    EXPECT_GE(100.0 * static_cast<double>(r.offered[flood] - r.delivered[flood]) /
                  static_cast<double>(r.offered[flood]),
              90.0)
        << out.str();
    EXPECT_GE(r.sourcesBlocked, 1u) << out.str();
    EXPECT_GT(r.logLines, 0u);
    EXPECT_NE(out.str().find("legitimate packets delivered: "), std::string::npos);
}

}  // namespace
}  // namespace bastion::tools
