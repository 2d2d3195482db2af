// The cleanup loop: once a second it ages what the packet path only ever inserts, and
// drives the host's list expiry and persistence.
#include <mutex>
#include <shared_mutex>
#include <string>

#include "conntrack/ConnectionTracking.h"
#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "rules/Counters.h"
#include "rules/Enforcement.h"
#include "services/Log.h"
#include "services/ServiceLoops.h"

namespace bastion {
namespace {

// Sets an engine-held time that no earlier body has set.
void InitialiseOnce(std::atomic<int64_t>& time, int64_t start) {
    int64_t unset = 0;
    time.compare_exchange_strong(unset, start, std::memory_order_relaxed);
}

}  // namespace

CleanupSchedule BeginCleanup(PacketProcessor& engine, int64_t start) {
    InitialiseOnce(engine.serviceLoops.lastListShrinkTime, start);
    InitialiseOnce(engine.ruleEngine.lastWindowResetTime, start);
    InitialiseOnce(engine.serviceLoops.lastAutoRuleExpiryTime, start);
    return CleanupSchedule(start);
}

size_t PruneFlowSeen(PacketProcessor& engine, int64_t now) {
    std::unique_lock lock(engine.flow.flowTableLock);
    return engine.flow.flowSeen.erase_if(
        [now](uint32_t, int64_t lastSeen) { return now - lastSeen > kFlowSeenLifetimeNs; });
}

void CleanupIteration(PacketProcessor& engine, CleanupSchedule& schedule, int64_t now) {
    ServiceLoopState& state = engine.serviceLoops;
    IpListManager& lists = engine.runtimeState.ipLists;

    ProcessBlockedQueue(engine);
    // Idle-connection detection (every second) goes here.
    // Defense-lane maintenance (every pass) goes here.

    if (now - schedule.lastListExpiry >= kListExpiryPeriodNs) {
        lists.ExpireEntries();
        schedule.lastListExpiry = now;
    }
    if (now - state.lastListShrinkTime.load(std::memory_order_relaxed) >= kListShrinkPeriodNs) {
        lists.ShrinkToFit();
        state.lastListShrinkTime.store(now, std::memory_order_relaxed);
    }
    if (now - schedule.lastConnectionStep >= kConnectionStepPeriodNs) {
        schedule.lastConnectionStep = now;
        RebuildConnectionCounts(engine);
        // SYN-ACK peer expiry (30 s since last contact, one filter rebuild) goes here.
        // UDP amplification maintenance goes here.
        if (now - schedule.lastTcpTableRefresh >= kTcpTableRefreshPeriodNs) {
            RefreshTcpConnectionTable(engine);
            schedule.lastTcpTableRefresh = now;
        }
    }
    if (now - engine.ruleEngine.lastWindowResetTime.load(std::memory_order_relaxed) >=
        kWindowResetPeriodNs) {
        ResetWindow(engine, now);  // records `now` as the last reset
    }
    if (now - state.lastAutoRuleExpiryTime.load(std::memory_order_relaxed) >=
        kAutoRuleExpiryPeriodNs) {
        // Expiry of learned signature rules, when learning is on, goes here.
        state.lastAutoRuleExpiryTime.store(now, std::memory_order_relaxed);
    }
    PruneFlowSeen(engine, now);
    if (now - schedule.lastListFlush >= kListFlushPeriodNs) {
        FlushHostLists(engine);
        schedule.lastListFlush = now;
    }
}

void CleanupLoop(PacketProcessor& engine) {
    CleanupSchedule schedule = BeginCleanup(engine, SteadyNowNs());
    while (engine.cleanupRunning.load(std::memory_order_acquire)) {
        // A stop ends the wait and skips the pass; the lists are still written below.
        if (WaitUntilSteadyOrStop(SteadyNowNs() + kNsPerSecond, engine.serviceStopEvent)) break;
        CleanupIteration(engine, schedule, SteadyNowNs());
    }
    FlushHostLists(engine);
}

}  // namespace bastion
