// Thread supervision: failure lines, the host's thread-error fields and the restart delay.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "services/Supervision.h"
#include "tests/services/LogTestSupport.h"

namespace bastion {
namespace {

using testing::LoggingEngine;
using testing::QueuedTexts;

TEST(RunSupervised, BodyThrowingThreeTimesIsReportedAndRestartedAfter200Ms) {
    LoggingEngine fixture({.packetLog = true});
    PacketProcessor& engine = *fixture.engine;
    std::atomic<bool> running{true};
    std::vector<int64_t> starts;
    const int64_t before = WallTicksNow();

    RunSupervised(engine, "MetricsLoop", running, [&] {
        starts.push_back(SteadyNowNs());
        if (starts.size() <= 3) throw std::runtime_error("boom " + std::to_string(starts.size()));
    });

    ASSERT_EQ(starts.size(), 4u);  // three failures, then a normal return ends the thread
    for (size_t i = 1; i < starts.size(); ++i) {
        const int64_t gap = starts[i] - starts[i - 1];
        EXPECT_GE(gap, 200 * kNsPerMs) << "restart " << i;
        EXPECT_LT(gap, 400 * kNsPerMs) << "restart " << i;
    }
    EXPECT_EQ(QueuedTexts(engine), (std::vector<std::string>{
                                       "[❌ THREAD] MetricsLoop gặp lỗi: boom 1",
                                       "[❌ THREAD] MetricsLoop gặp lỗi: boom 2",
                                       "[❌ THREAD] MetricsLoop gặp lỗi: boom 3",
                                   }));
    AppMetrics metrics = engine.GetMetrics();
    EXPECT_EQ(metrics.threadErrorCount, 3u);
    EXPECT_TRUE(metrics.threadErrorActive);
    EXPECT_GE(metrics.threadErrorTime, before);
    EXPECT_LE(metrics.threadErrorTime, WallTicksNow());
    EXPECT_EQ(engine.logState.engineThreadErrors.load(), 3u);
    EXPECT_TRUE(engine.logState.hadThreadError.load());
}

TEST(RunSupervised, ClearedFlagRunsNothingAndStopsRestarts) {
    LoggingEngine fixture({.packetLog = true});
    PacketProcessor& engine = *fixture.engine;
    std::atomic<bool> running{false};
    int calls = 0;
    RunSupervised(engine, "CleanupLoop", running, [&] { ++calls; });
    EXPECT_EQ(calls, 0);

    // A body that fails while its thread is being stopped is reported once, not restarted.
    running = true;
    const int64_t start = SteadyNowNs();
    RunSupervised(engine, "CleanupLoop", running, [&] {
        ++calls;
        running = false;
        throw 42;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_LT(SteadyNowNs() - start, 150 * kNsPerMs);  // no restart delay either
    EXPECT_EQ(QueuedTexts(engine),
              std::vector<std::string>{"[❌ THREAD] CleanupLoop gặp lỗi: Ngoại lệ không xác định"});
    EXPECT_EQ(engine.GetMetrics().threadErrorCount, 1u);
}

TEST(RunSupervised, NormalReturnIsNotAFailure) {
    LoggingEngine fixture({.packetLog = true});
    std::atomic<bool> running{true};
    int calls = 0;
    RunSupervised(*fixture.engine, "FlowLoop", running, [&] { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(QueuedTexts(*fixture.engine).empty());
    EXPECT_EQ(fixture.engine->GetMetrics().threadErrorCount, 0u);
    EXPECT_FALSE(fixture.engine->GetMetrics().threadErrorActive);
}

TEST(ReportThreadFailure, WorkerNumberOnlyForCaptureWorkers) {
    LoggingEngine fixture({.packetLog = true});
    ReportThreadFailure(*fixture.engine, "CaptureLoop", 3, "bad batch");
    ReportThreadFailure(*fixture.engine, "CaptureLoop", 0, "x");
    ReportThreadFailure(*fixture.engine, "LoggingLoop", -1, "");
    EXPECT_EQ(QueuedTexts(*fixture.engine), (std::vector<std::string>{
                                                "[❌ THREAD] CaptureLoop #3 gặp lỗi: bad batch",
                                                "[❌ THREAD] CaptureLoop #0 gặp lỗi: x",
                                                "[❌ THREAD] LoggingLoop gặp lỗi: ",
                                            }));
    EXPECT_EQ(fixture.engine->GetMetrics().threadErrorCount, 3u);
}

TEST(ReportThreadFailure, CountsEvenWhenNoSinkIsOn) {
    LoggingEngine fixture({});
    ReportThreadFailure(*fixture.engine, "MetricsLoop", -1, "lost line");
    EXPECT_TRUE(QueuedTexts(*fixture.engine).empty());
    EXPECT_EQ(fixture.engine->GetMetrics().threadErrorCount, 1u);
    EXPECT_TRUE(fixture.engine->GetMetrics().threadErrorActive);
}

}  // namespace
}  // namespace bastion
