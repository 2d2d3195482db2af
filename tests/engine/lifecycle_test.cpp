// Start, Stop and ApplyConfig on the simulated network: which main handle is opened with
// which filter and queue, when it is kept or replaced, what is logged, how many workers
// start, and what Stop leaves behind.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "tests/engine/LifecycleFixture.h"
#include "tests/platform/FakeSystemTables.h"

namespace bastion::testing {
namespace {

using divert::ApiFunction;
using divert::TraceRecord;
using platform::testing::Adapter;
using platform::testing::Ip;

constexpr const char* kReloadFailure =
    "❌ [RELOAD FAIL] WinDivertOpen error 5 - Không thể mở filter mới [vui lòng chạy với quyền "
    "administrator]";

TEST_F(LifecycleTest, ApplyConfigOpensTheMainHandleWithItsFilterAndQueue) {
    AppConfig config = TcpOnly("0.0.0.0", {443, 80});
    config.udpEnabled = true;
    config.udpPorts = {0, 53};
    divert::SetTraceEnabled(true);
    engine->ApplyConfig(config);
    std::vector<TraceRecord> trace = divert::TakeTrace();

    std::vector<TraceRecord> opens = NetworkOpens(trace);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].filter,
              "(ip and tcp and inbound and (ip.DstAddr == 203.0.113.10) and (tcp.DstPort == 80 or "
              "tcp.DstPort == 443)) or (ip and udp and inbound)");
    EXPECT_EQ(opens[0].layer, WINDIVERT_LAYER_NETWORK);
    EXPECT_EQ(opens[0].priority, 29983);
    EXPECT_EQ(opens[0].flags, 0u);
    ASSERT_EQ(Handle(), opens[0].handle);

    std::vector<TraceRecord> params = CallsOn(trace, ApiFunction::SetParam, Handle());
    ASSERT_EQ(params.size(), 3u);
    const std::pair<uint64_t, uint64_t> expected[] = {{WINDIVERT_PARAM_QUEUE_LENGTH, 16384},
                                                      {WINDIVERT_PARAM_QUEUE_SIZE, 33554432},
                                                      {WINDIVERT_PARAM_QUEUE_TIME, 1000}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(params[i].handle, Handle());
        EXPECT_EQ(params[i].argument, expected[i].first) << i;
        EXPECT_EQ(params[i].value, expected[i].second) << i;
        EXPECT_TRUE(params[i].result) << i;
    }

    // The handle really diverts what the filter names and nothing else.
    sim->InjectInbound(
        divert::sim::PacketBuilder::Tcp(Ip(198, 51, 100, 7), 40000, Ip(203, 0, 113, 10), 443)
            .Build());
    sim->InjectInbound(
        divert::sim::PacketBuilder::Tcp(Ip(198, 51, 100, 7), 40000, Ip(203, 0, 113, 10), 22)
            .Build());
    EXPECT_EQ(sim->CountersOf(Handle()).queued, 1u);

    EXPECT_EQ(TakeLogLines(),
              (std::vector<std::string>{"Cấu hình - TCP: Auto-detect [203.0.113.10], port 80+443 "
                                        "| UDP: all IP, all port"}));
    EXPECT_EQ(engine->GetConfig(), config);
    EXPECT_EQ(engine->filterKey, MakeFilterKey(config));
}

TEST_F(LifecycleTest, SameConfigurationTwiceKeepsTheHandleAndLogsNoSummary) {
    AppConfig config = TcpOnly("", {80});
    engine->ApplyConfig(config);
    HANDLE first = Handle();
    ASSERT_TRUE(IsValidHandle(first));
    EXPECT_EQ(TakeLogLines().size(), 1u);

    divert::SetTraceEnabled(true);
    engine->ApplyConfig(config);
    std::vector<TraceRecord> trace = divert::TakeTrace();
    EXPECT_TRUE(NetworkOpens(trace).empty());
    EXPECT_TRUE(CallsOn(trace, ApiFunction::Close, first).empty());
    EXPECT_EQ(Handle(), first);
    EXPECT_TRUE(TakeLogLines().empty());
}

TEST_F(LifecycleTest, BlockDurationAloneIsAppliedInPlaceAndReachesTheBlockList) {
    AppConfig config = TcpOnly("", {80});
    engine->ApplyConfig(config);
    HANDLE first = Handle();
    TakeLogLines();

    config.firewallBlockDurationSeconds = 42;
    config.statsLogEnabled = true;
    engine->ApplyConfig(config);
    EXPECT_EQ(Handle(), first);
    EXPECT_TRUE(IsOpen(first));
    EXPECT_TRUE(TakeLogLines().empty());
    EXPECT_EQ(engine->GetConfig().firewallBlockDurationSeconds, 42);
    EXPECT_TRUE(engine->logState.statsLogEnabled.load());

    const int64_t now = int64_t{1'800'000'000} * kWallTicksPerSecond;
    ASSERT_TRUE(state.ipLists.AddToBlock(Ip(198, 51, 100, 9), now));
    ASSERT_EQ(state.ipLists.BlockedList().size(), 1u);
    EXPECT_EQ(state.ipLists.BlockedList()[0].expiresAt, now + 42 * kWallTicksPerSecond);
}

TEST_F(LifecycleTest, ChangedPortSetReplacesTheHandleAndLogsTheSummary) {
    sim->SetAdapters({Adapter("lo", 1, {Ip(127, 0, 0, 1)}, true, true)});  // nothing to detect
    engine->ApplyConfig(TcpOnly("0.0.0.0", {80, 22}));
    HANDLE first = Handle();
    EXPECT_EQ(
        TakeLogLines(),
        (std::vector<std::string>{"Cấu hình - TCP: 0.0.0.0 (no public IP found), port 22+80"}));

    engine->ApplyConfig(TcpOnly("0.0.0.0", {22}));
    HANDLE second = Handle();
    EXPECT_TRUE(IsValidHandle(second));
    EXPECT_NE(second, first);
    EXPECT_FALSE(IsOpen(first));
    EXPECT_EQ(TakeLogLines(),
              (std::vector<std::string>{"Cấu hình - TCP: 0.0.0.0 (no public IP found), port 22"}));
}

TEST_F(LifecycleTest, SummaryForEachCombinationOfProtocols) {
    sim->SetAdapters({Adapter("eth0", 2, {Ip(169, 254, 0, 9), Ip(192, 0, 2, 1)}),
                      Adapter("eth1", 3, {Ip(10, 0, 0, 1)})});
    AppConfig none;
    none.tcpEnabled = false;
    AppConfig all = TcpOnly("198.51.100.1", {0});
    all.udpEnabled = true;
    all.udpTargetAddress = "0.0.0.0";
    all.udpPorts = {53, 123};
    all.icmpEnabled = true;
    AppConfig icmpAuto = none;
    icmpAuto.icmpEnabled = true;
    icmpAuto.icmpTargetAddress = "0.0.0.0";

    struct Case {
        AppConfig config;
        const char* line;
    };
    for (const Case& c : {
             Case{none, "Cấu hình - "},
             Case{all,
                  "Cấu hình - TCP: 198.51.100.1, all port | UDP: Auto-detect [192.0.2.1, "
                  "10.0.0.1], port 53+123 | ICMP: all IP"},
             Case{icmpAuto, "Cấu hình - ICMP: Auto-detect [192.0.2.1, 10.0.0.1]"},
         }) {
        engine->ApplyConfig(c.config);
        EXPECT_EQ(TakeLogLines(), std::vector<std::string>{c.line});
    }
}

TEST_F(LifecycleTest, StopClosesTheHandleAndTheNextApplyConfigReopensIt) {
    const AppConfig config = TcpOnly("", {80});
    ASSERT_TRUE(engine->Start());
    engine->ApplyConfig(config);
    HANDLE first = Handle();
    ASSERT_TRUE(IsValidHandle(first));

    divert::SetTraceEnabled(true);
    engine->Stop();
    std::vector<TraceRecord> shutdowns = CallsOn(divert::TakeTrace(), ApiFunction::Shutdown, first);
    ASSERT_EQ(shutdowns.size(), 1u);
    EXPECT_EQ(shutdowns[0].handle, first);
    EXPECT_EQ(shutdowns[0].argument, WINDIVERT_SHUTDOWN_BOTH);
    EXPECT_EQ(Handle(), nullptr);
    EXPECT_FALSE(IsOpen(first));

    engine->ApplyConfig(config);
    EXPECT_TRUE(IsValidHandle(Handle()));
    EXPECT_TRUE(IsOpen(Handle()));
}

TEST_F(LifecycleTest, OpenFailureIsLoggedAndChangesNothing) {
    // Before any handle: the engine stays without one and keeps its defaults.
    divert::FailOpens(1, ERROR_ACCESS_DENIED);
    engine->ApplyConfig(TcpOnly("", {22}));
    EXPECT_EQ(Handle(), nullptr);
    EXPECT_EQ(TakeLogLines(), std::vector<std::string>{kReloadFailure});
    EXPECT_EQ(engine->GetConfig(), AppConfig{});
    EXPECT_EQ(engine->filterKey, FilterKey{});

    const AppConfig working = TcpOnly("", {80});
    engine->ApplyConfig(working);
    HANDLE inForce = Handle();
    TakeLogLines();

    // A refused replacement leaves the handle in force with the configuration it serves.
    AppConfig refused = TcpOnly("", {443});
    refused.firewallBlockDurationSeconds = 7;
    divert::FailOpens(1, ERROR_ACCESS_DENIED);
    engine->ApplyConfig(refused);
    EXPECT_EQ(TakeLogLines(), std::vector<std::string>{kReloadFailure});
    EXPECT_EQ(engine->GetConfig(), working);
    EXPECT_EQ(engine->filterKey, MakeFilterKey(working));
    EXPECT_EQ(Handle(), inForce);
    EXPECT_TRUE(IsOpen(inForce));

    // The same configuration once the driver accepts it again is tried anew.
    engine->ApplyConfig(refused);
    EXPECT_NE(Handle(), inForce);
    EXPECT_EQ(engine->GetConfig(), refused);
}

TEST_F(LifecycleTest, StartRunsOnceAndStopWhenStoppedDoesNothing) {
    divert::SetTraceEnabled(true);
    engine->Stop();
    EXPECT_TRUE(divert::TakeTrace().empty());
    EXPECT_TRUE(TakeLogLines().empty());

    EXPECT_TRUE(engine->Start());
    EXPECT_FALSE(engine->Start());
    EXPECT_TRUE(engine->running.load());
    engine->Stop();
    EXPECT_FALSE(engine->running.load());
    engine->Stop();

    // And again after a stop, with every thread object joined and reused.
    EXPECT_TRUE(engine->Start());
    EXPECT_TRUE(engine->metricsThread.joinable());
    engine->Stop();
    for (std::thread* thread : {&engine->metricsThread, &engine->cleanupThread,
                                &engine->loggingThread, &engine->flowThread}) {
        EXPECT_FALSE(thread->joinable());
    }
    EXPECT_TRUE(engine->workerThreads.empty());
}

// The loops wait on Stop's event rather than sleeping their second out; a restart
// brings back the log file the configuration asks for.
TEST_F(LifecycleTest, StopIsPromptAndARestartReopensTheLogFile) {
    AppConfig config = TcpOnly("", {80});
    config.fileLogEnabled = true;
    engine->ApplyConfig(config);
    ASSERT_TRUE(engine->Start());
    // The loops are inside their first one-second wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto before = std::chrono::steady_clock::now();
    engine->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
    EXPECT_FALSE(engine->logState.fileLogActive.load());

    ASSERT_TRUE(engine->Start());
    EXPECT_TRUE(engine->logState.fileLogActive.load());
    engine->Stop();
    config.fileLogEnabled = false;
    engine->ApplyConfig(config);
    ASSERT_TRUE(engine->Start());
    EXPECT_FALSE(engine->logState.fileLogActive.load());
    engine->Stop();
}

TEST_F(LifecycleTest, WorkerCountFollowsTheHardwareThreads) {
    for (auto [hardware, workers] : {std::pair{1u, 5u}, {4u, 5u}, {16u, 12u}, {45u, 36u}}) {
        platform::testing::SetProcessorCount(hardware);
        EXPECT_EQ(CaptureWorkerCount(), workers) << hardware;
    }
    // Each stop waits for the once-a-second loops, so only the largest count really starts.
    ASSERT_TRUE(engine->Start());
    EXPECT_EQ(engine->workerCount, 36u);
    EXPECT_EQ(engine->workerThreads.size(), 36u);
    engine->Stop();
    EXPECT_TRUE(engine->workerThreads.empty());
}

TEST_F(LifecycleTest, StartClearsTheThreadFailureRecordAndDroppedEvents) {
    engine->logState.engineThreadErrors = 4;
    engine->logState.hadThreadError = true;
    state.metrics.threadErrorCount = 4;
    state.metrics.threadErrorActive = true;
    state.metrics.threadErrorTime = 99;
    engine->droppedLogEvents = 12;

    ASSERT_TRUE(engine->Start());
    AppMetrics metrics = engine->GetMetrics();
    EXPECT_EQ(metrics.threadErrorCount, 0u);
    EXPECT_FALSE(metrics.threadErrorActive);
    EXPECT_EQ(metrics.threadErrorTime, 0);
    EXPECT_EQ(engine->logState.engineThreadErrors.load(), 0u);
    EXPECT_FALSE(engine->logState.hadThreadError.load());
    EXPECT_EQ(engine->GetDroppedLogCount(), 0);
    engine->Stop();
}

TEST_F(LifecycleTest, StopWritesQueuedEventsAndForgetsFlowState) {
    for (int i = 0; i < 100; ++i)
        EmitLogEvent(*engine, "event " + std::to_string(i));
    ASSERT_TRUE(engine->Start());
    // Start opened the flow handle for the host's configuration; the flow thread waits on it.
    HANDLE flowHandle = engine->flow.flowHandle.load();
    ASSERT_TRUE(IsOpen(flowHandle));
    {
        std::lock_guard lock(engine->flow.flowFilterMutex);
        ASSERT_FALSE(engine->flow.flowFilterText.empty());
    }
    {
        std::unique_lock lock(engine->flow.flowTableLock);
        engine->flow.flowSeen[Ip(198, 51, 100, 7)] = 1;
    }
    {
        std::lock_guard lock(engine->metricsMutex);
        state.metrics.activeConnections = 3;
    }

    engine->Stop();
    EXPECT_EQ(engine->flow.flowHandle.load(), nullptr);
    EXPECT_FALSE(IsOpen(flowHandle));
    EXPECT_EQ(engine->flow.flowSeen.size(), 0u);
    EXPECT_TRUE(engine->flow.flowFilterText.empty());
    EXPECT_EQ(engine->GetMetrics().activeConnections, 0u);
    std::vector<std::string> written = PacketLogTexts(state);
    ASSERT_EQ(written.size(), 100u);
    EXPECT_EQ(written.front(), "event 0");
    EXPECT_EQ(written.back(), "event 99");
}

TEST_F(LifecycleTest, DestroyingAConfiguredEngineClosesItsHandle) {
    engine->ApplyConfig(TcpOnly("", {80}));
    HANDLE handle = Handle();
    ASSERT_TRUE(IsOpen(handle));
    engine.reset();
    EXPECT_FALSE(IsOpen(handle));
}

TEST(LifecycleRules, WorkerCountBoundsAndSlowShutdownThreshold) {
    EXPECT_EQ(WorkerCountFor(0), 5u);
    EXPECT_EQ(WorkerCountFor(7), 5u);
    EXPECT_EQ(WorkerCountFor(8), 6u);
    EXPECT_EQ(WorkerCountFor(48), 36u);
    EXPECT_EQ(WorkerCountFor(0xFFFFFFFFu), 36u);  // no overflow in the scaling

    EXPECT_EQ(SlowShutdownWarning(500), std::nullopt);
    EXPECT_EQ(SlowShutdownWarning(501),
              "[⚠️] WinDivertShutdown took 501ms in Stop() - Possible kernel driver issue");
}

}  // namespace
}  // namespace bastion::testing
