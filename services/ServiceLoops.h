// The once-a-second background loops: cleanup (rate windows, queues, expiry, persistence)
// and metrics (counters turned into the host's rates).
//
// Every loop reads time from the steady clock (platform/Clock.h) and hands it to an
// iteration body that takes `now`: tests run the bodies with the times they choose instead
// of sleeping through the periods.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Win32.h"

namespace bastion {

class PacketProcessor;
struct RuntimeState;

// ---- Timing shared by both loops ------------------------------------------------------------

// Longest single sleep: a longer wait is slept one day at a time.
constexpr int64_t kLongestSleepNs = 86'400 * int64_t{1'000'000'000};

// The next sleep, in milliseconds, of a wait with `remainingNs` left: rounded up so that the
// sleeper never wakes before its deadline, at most a day; 0 when nothing is left.
uint32_t SleepChunkMs(int64_t remainingNs);

// Sleeps until the steady clock reaches `deadline`.
void SleepUntilSteady(int64_t deadline);

// Waits until the steady clock reaches `deadline` or `stopEvent` is set; true when the
// event ended the wait. A null event (or a failed wait) sleeps the time out instead.
bool WaitUntilSteadyOrStop(int64_t deadline, HANDLE stopEvent);

// Writes the host's address lists (IpListManager::FlushToFiles). A failure is logged once
// until a later write succeeds.
void FlushHostLists(PacketProcessor& engine);

// ---- Cleanup loop ---------------------------------------------------------------------------

constexpr int64_t kListExpiryPeriodNs = 5'000'000'000;
constexpr int64_t kListShrinkPeriodNs = 60'000'000'000;
constexpr int64_t kConnectionStepPeriodNs = 5'000'000'000;
constexpr int64_t kTcpTableRefreshPeriodNs = 30'000'000'000;
constexpr int64_t kWindowResetPeriodNs = 1'000'000'000;
constexpr int64_t kAutoRuleExpiryPeriodNs = 1'000'000'000;
constexpr int64_t kListFlushPeriodNs = 30'000'000'000;
// flowSeen entries last seen longer ago than this are dropped.
constexpr int64_t kFlowSeenLifetimeNs = 60'000'000'000;

// Last-run times of the cleanup tasks that restart with the loop body (steady ns). Each
// task runs when at least its period has passed since its last run, so it first runs one
// period after the body started.
struct CleanupSchedule {
    int64_t lastListExpiry;
    int64_t lastConnectionStep;
    int64_t lastTcpTableRefresh;
    int64_t lastListFlush;

    explicit CleanupSchedule(int64_t start)
        : lastListExpiry(start),
          lastConnectionStep(start),
          lastTcpTableRefresh(start),
          lastListFlush(start) {}
};

// Starts a cleanup body at steady time `start`: the engine-held times that were never set
// take `start`; those set by an earlier body keep their values. Returns the body's schedule.
CleanupSchedule BeginCleanup(PacketProcessor& engine, int64_t start);

// One cleanup pass at steady time `now`: every task whose period has passed, in order.
void CleanupIteration(PacketProcessor& engine, CleanupSchedule& schedule, int64_t now);

// Removes flowSeen entries last seen more than 60 s before `now`; returns how many.
size_t PruneFlowSeen(PacketProcessor& engine, int64_t now);

// Body of the "CleanupLoop" thread: a pass a second while the engine's cleanupRunning flag
// is set, then a last write of the host's lists. Stop's event ends the wait between passes.
void CleanupLoop(PacketProcessor& engine);

// ---- Metrics loop ---------------------------------------------------------------------------

// Most packets one period may count; more is taken for a counter fault and capped.
constexpr uint64_t kCounterOverflowLimit = 36'000'000'000;
constexpr double kMaxPublishedRate = 10'000'000.0;
constexpr double kMaxPublishedKBps = 1'000'000.0;
constexpr int64_t kOverflowWarnPeriodNs = 60'000'000'000;
// A thread-error indication is withdrawn this long after the failure (wall ticks, 60 s).
constexpr int64_t kThreadErrorHoldTicks = 600'000'000;

// Starts a metrics body at steady time `start`: periods and statistics lines count from it.
void BeginMetrics(PacketProcessor& engine, int64_t start);

// One metrics tick at steady time `now`: the statistics line, then UpdateMetrics.
void MetricsIteration(PacketProcessor& engine, int64_t now);

// One metrics period ending at steady time `now`; withdraws an expired thread-error
// indication (against the wall clock), and publishes nothing when less than a second has
// passed since the last period.
void UpdateMetrics(PacketProcessor& engine, int64_t now);
void UpdateMetrics(PacketProcessor& engine);

// Pushes "[STATS] Recv: ... pps" straight to the host's packet log.
void PublishStatsLine(RuntimeState& runtimeState, uint64_t recv, uint64_t send, uint64_t drop,
                      uint64_t block);

// Body of the "MetricsLoop" thread: a tick a second while the engine's metricsRunning flag
// is set, then a last write of the host's lists. Stop's event ends the wait between ticks.
void MetricsLoop(PacketProcessor& engine);

}  // namespace bastion
