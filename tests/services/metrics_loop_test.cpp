// The metrics tick: periods, rate clamps, source counts, the statistics line, the
// thread-error indication and the counter-overflow warning.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "services/ServiceLoops.h"
#include "tests/services/LogTestSupport.h"

namespace bastion {
namespace {

using testing::LoggingEngine;
using testing::PacketLogTexts;
using testing::QueuedTexts;

constexpr int64_t kSecond = kNsPerSecond;
constexpr int64_t kStart = 9'000 * kSecond;

class MetricsTest : public ::testing::Test {
  protected:
    void SetUp() override { BeginMetrics(engine(), kStart); }

    PacketProcessor& engine() { return *fixture_.engine; }
    RuleEngineState& counters() { return engine().ruleEngine; }
    AppMetrics Published() { return engine().GetMetrics(); }
    void SetThreadError(int64_t ageTicks) {
        std::lock_guard lock(engine().metricsMutex);
        fixture_.state.metrics.threadErrorCount = 2;
        fixture_.state.metrics.threadErrorActive = true;
        fixture_.state.metrics.threadErrorTime = WallTicksNow() - ageTicks;
    }
    void CountStats(uint64_t recv, uint64_t send, uint64_t drop, uint64_t block) {
        counters().statsRecv += recv;
        counters().statsSend += send;
        counters().statsDrop += drop;
        counters().statsBlock += block;
    }

    // Statistics line on, and log events queued (not written) so tests can read them.
    LoggingEngine fixture_{{.packetLog = true, .statsLog = true}};
};

TEST_F(MetricsTest, QuietPeriodPublishesZeroRatesAndNoStatisticsLine) {
    MetricsIteration(engine(), kStart + kSecond);
    MetricsIteration(engine(), kStart + 2 * kSecond);
    AppMetrics metrics = Published();
    EXPECT_EQ(metrics.currentPps, 0.0);
    EXPECT_EQ(metrics.currentSynPerSec, 0.0);
    EXPECT_EQ(metrics.currentDropPerSec, 0.0);
    EXPECT_EQ(metrics.udpPps, 0.0);
    EXPECT_EQ(metrics.udpKBps, 0.0);
    EXPECT_EQ(metrics.icmpPps, 0.0);
    EXPECT_EQ(metrics.icmpKBps, 0.0);
    EXPECT_EQ(metrics.tcpSourceCount + metrics.udpSourceCount + metrics.icmpSourceCount, 0u);
    EXPECT_TRUE(PacketLogTexts(fixture_.state).empty());
}

TEST_F(MetricsTest, RatesAreCountsOverThePeriodLength) {
    counters().evaluatedPackets.value = 300;
    counters().synPackets.value = 30;
    counters().enforcedPackets.value = 3;
    counters().udpPackets = 600;
    counters().udpBytes = 3 * 2048;
    counters().icmpPackets = 9;
    counters().icmpBytes = 3 * 512;
    counters().validSynWindow.value = 12;

    // Under a second is no period: nothing is taken or published.
    UpdateMetrics(engine(), kStart + kSecond - 1);
    EXPECT_EQ(counters().evaluatedPackets.value.load(), 300u);
    EXPECT_EQ(Published().currentPps, 0.0);

    UpdateMetrics(engine(), kStart + 3 * kSecond);
    AppMetrics metrics = Published();
    EXPECT_DOUBLE_EQ(metrics.currentPps, 100.0);
    EXPECT_DOUBLE_EQ(metrics.currentSynPerSec, 10.0);
    EXPECT_DOUBLE_EQ(metrics.currentDropPerSec, 1.0);
    EXPECT_DOUBLE_EQ(metrics.udpPps, 200.0);
    EXPECT_DOUBLE_EQ(metrics.udpKBps, 2.0);
    EXPECT_DOUBLE_EQ(metrics.icmpPps, 3.0);
    EXPECT_DOUBLE_EQ(metrics.icmpKBps, 0.5);
    // Both evaluators divide by the same period; the SYN window starts again.
    EXPECT_DOUBLE_EQ(counters().udpMetricsInterval.load(), 3.0);
    EXPECT_DOUBLE_EQ(counters().icmpMetricsInterval.load(), 3.0);
    EXPECT_EQ(counters().validSynWindow.value.load(), 0u);
    EXPECT_EQ(counters().evaluatedPackets.value.load(), 0u);
    EXPECT_EQ(counters().udpBytes.load(), 0u);

    // 2048 UDP bytes in one second are 2.0 KB/s.
    counters().udpBytes = 2048;
    UpdateMetrics(engine(), kStart + 4 * kSecond);
    EXPECT_DOUBLE_EQ(Published().udpKBps, 2.0);
    EXPECT_DOUBLE_EQ(Published().currentPps, 0.0);
}

TEST_F(MetricsTest, RatesAreClampedToTenMillion) {
    counters().evaluatedPackets.value = 20'000'000;
    counters().synPackets.value = 15'000'001;
    counters().enforcedPackets.value = 9'999'999;
    counters().udpPackets = 25'000'000;
    counters().icmpBytes = 2'000'000'000;
    UpdateMetrics(engine(), kStart + kSecond);
    AppMetrics metrics = Published();
    EXPECT_EQ(metrics.currentPps, 10'000'000.0);
    EXPECT_EQ(metrics.currentSynPerSec, 10'000'000.0);
    EXPECT_EQ(metrics.currentDropPerSec, 9'999'999.0);
    EXPECT_EQ(metrics.udpPps, 10'000'000.0);
    EXPECT_EQ(metrics.icmpKBps, 1'000'000.0);
}

TEST_F(MetricsTest, SourceCountsAreTheRateTableEntries) {
    RateTable& table = counters().rateTable;
    table.ShardFor(1).ipPackets[1] = 4;
    table.ShardFor(2).ipPackets[2] = 1;
    table.ShardFor(130).ipPackets[130] = 9;  // same shard as 2
    table.ShardFor(7).udpIpPackets[7] = 3;
    table.ShardFor(8).icmpIpStats[8] = IcmpSourceStats{};
    table.ShardFor(9).icmpIpStats[9] = IcmpSourceStats{};
    UpdateMetrics(engine(), kStart + kSecond);
    AppMetrics metrics = Published();
    EXPECT_EQ(metrics.tcpSourceCount, 3u);
    EXPECT_EQ(metrics.udpSourceCount, 1u);
    EXPECT_EQ(metrics.icmpSourceCount, 2u);
}

TEST_F(MetricsTest, StatisticsLineReportsOneSecondAfterTheSwitchWasSeenOn) {
    // The first tick only notes the switch: counts from before it are not reported.
    CountStats(70, 60, 8, 2);
    MetricsIteration(engine(), kStart + kSecond);
    EXPECT_TRUE(PacketLogTexts(fixture_.state).empty());

    CountStats(7, 5, 1, 1);
    MetricsIteration(engine(), kStart + 2 * kSecond);
    EXPECT_EQ(
        PacketLogTexts(fixture_.state),
        std::vector<std::string>{"[STATS] Recv: 7 | Send: 5 | Drop: 1 | Block: 1 | Total: 7 pps"});
    // Straight to the packet log, not through the log queue (so never into log.txt).
    EXPECT_TRUE(QueuedTexts(engine()).empty());

    // Switched off: counts are discarded; switched on again: one quiet tick first.
    engine().logState.statsLogEnabled = false;
    CountStats(3, 3, 0, 0);
    MetricsIteration(engine(), kStart + 3 * kSecond);
    engine().logState.statsLogEnabled = true;
    CountStats(4, 4, 0, 0);
    MetricsIteration(engine(), kStart + 4 * kSecond);
    CountStats(6, 6, 0, 0);
    MetricsIteration(engine(), kStart + 5 * kSecond);
    std::vector<std::string> texts = PacketLogTexts(fixture_.state);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], "[STATS] Recv: 6 | Send: 6 | Drop: 0 | Block: 0 | Total: 6 pps");
}

TEST_F(MetricsTest, ThreadErrorIsWithdrawnSixtySecondsAfterTheFailure) {
    SetThreadError(59 * kWallTicksPerSecond);
    UpdateMetrics(engine(), kStart + 1);  // also within a period: the check comes first
    EXPECT_TRUE(Published().threadErrorActive);
    EXPECT_EQ(Published().threadErrorCount, 2u);

    SetThreadError(60 * kWallTicksPerSecond);
    UpdateMetrics(engine(), kStart + 2);
    EXPECT_FALSE(Published().threadErrorActive);
    EXPECT_EQ(Published().threadErrorCount, 0u);
}

TEST_F(MetricsTest, CounterOverflowIsCappedAndWarnedOncePerMinuteButNotTheFirstTime) {
    const std::string warning =
        "[WARNING] Packet counter overflow detected (36000000000 packets) - Capping để tránh "
        "metrics sai";
    counters().evaluatedPackets.value = kCounterOverflowLimit;
    UpdateMetrics(engine(), kStart + kSecond);
    EXPECT_EQ(Published().currentPps, 10'000'000.0);
    EXPECT_TRUE(QueuedTexts(engine()).empty());

    counters().evaluatedPackets.value = kCounterOverflowLimit;
    UpdateMetrics(engine(), kStart + 60 * kSecond);  // 59 s after the first
    EXPECT_TRUE(QueuedTexts(engine()).empty());

    counters().evaluatedPackets.value = kCounterOverflowLimit;
    UpdateMetrics(engine(), kStart + 61 * kSecond);
    EXPECT_EQ(QueuedTexts(engine()), std::vector<std::string>{warning});

    counters().evaluatedPackets.value = kCounterOverflowLimit;
    UpdateMetrics(engine(), kStart + 62 * kSecond);
    EXPECT_EQ(QueuedTexts(engine()).size(), 1u);
}

TEST(PublishStatsLine, RepeatsTheReceivedCountAsTotal) {
    RuntimeState state;
    PublishStatsLine(state, 18446744073709551615ull, 0, 3, 4);
    std::vector<PacketLogEntry> entries = state.packetLog.Snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].text,
              "[STATS] Recv: 18446744073709551615 | Send: 0 | Drop: 3 | Block: 4 | Total: "
              "18446744073709551615 pps");
    EXPECT_GT(entries[0].time, 0);
}

}  // namespace
}  // namespace bastion
