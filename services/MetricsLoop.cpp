// The metrics loop: once a second the packet path's counters become the host's rates, the
// statistics line goes to the host's packet log, and an old thread-error indication is
// withdrawn.
#include <algorithm>
#include <mutex>
#include <string>

#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "rules/Counters.h"
#include "services/Log.h"
#include "services/ServiceLoops.h"

namespace bastion {
namespace {

// A count of one period as a per-second rate. A period may not count more than 1.5 times
// the largest rate, so a counter that ran away (or a period cut short) cannot publish
// absurd figures.
double PublishedRate(uint64_t count, double interval) {
    double value = static_cast<double>(std::min(count, kCounterOverflowLimit));
    value = std::min(value, interval * kMaxPublishedRate * 1.5);
    value = std::min(value, 1e15) / interval;
    return std::clamp(value, 0.0, kMaxPublishedRate);
}

void WithdrawExpiredThreadError(PacketProcessor& engine) {
    std::lock_guard lock(engine.metricsMutex);
    AppMetrics& metrics = engine.runtimeState.metrics;
    if (metrics.threadErrorActive && metrics.threadErrorTime != 0 &&
        WallTicksNow() - metrics.threadErrorTime >= kThreadErrorHoldTicks) {
        metrics.threadErrorActive = false;
        metrics.threadErrorCount = 0;
    }
}

}  // namespace

void PublishStatsLine(RuntimeState& runtimeState, uint64_t recv, uint64_t send, uint64_t drop,
                      uint64_t block) {
    PacketLogEntry entry;
    entry.time = WallTicksNow();
    const std::string received = std::to_string(recv);
    entry.text = "[STATS] Recv: " + received + " | Send: " + std::to_string(send) +
                 " | Drop: " + std::to_string(drop) + " | Block: " + std::to_string(block) +
                 " | Total: " + received + " pps";
    runtimeState.packetLog.Push(std::move(entry));
}

void UpdateMetrics(PacketProcessor& engine, int64_t now) {
    WithdrawExpiredThreadError(engine);

    ServiceLoopState& state = engine.serviceLoops;
    RuleEngineState& counters = engine.ruleEngine;
    const int64_t elapsed = now - state.lastMetricsTime.load(std::memory_order_relaxed);
    if (elapsed < kNsPerSecond) return;
    const double interval = std::max(0.1, static_cast<double>(elapsed) / 1e9);
    counters.udpMetricsInterval.store(interval, std::memory_order_relaxed);
    counters.icmpMetricsInterval.store(interval, std::memory_order_relaxed);

    const uint64_t packets = counters.evaluatedPackets.value.exchange(0);
    const uint64_t syns = counters.synPackets.value.exchange(0);
    const uint64_t enforced = counters.enforcedPackets.value.exchange(0);
    if (packets >= kCounterOverflowLimit) {
        // The first overflow only starts the clock: a single odd period is not worth a line.
        int64_t unset = 0;
        state.overflowWarnTime.compare_exchange_strong(unset, now, std::memory_order_relaxed);
        if (now - state.overflowWarnTime.load(std::memory_order_relaxed) >= kOverflowWarnPeriodNs) {
            EmitLogEvent(engine, "[WARNING] Packet counter overflow detected (" +
                                     std::to_string(packets) +
                                     " packets) - Capping để tránh metrics sai");
            state.overflowWarnTime.store(now, std::memory_order_relaxed);
        }
    }
    const double pps = PublishedRate(packets, interval);
    const double synPerSec = PublishedRate(syns, interval);
    const double dropPerSec = PublishedRate(enforced, interval);

    const uint64_t tcpSources = CountTcpSources(engine);
    const uint64_t udpSources = CountUdpSources(engine);
    const auto udpPackets = static_cast<double>(counters.udpPackets.exchange(0));
    const auto udpBytes = static_cast<double>(counters.udpBytes.exchange(0));
    const auto icmpPackets = static_cast<double>(counters.icmpPackets.exchange(0));
    const auto icmpBytes = static_cast<double>(counters.icmpBytes.exchange(0));
    const uint64_t icmpSources = CountIcmpSources(engine);

    counters.validSynWindow.value.store(0, std::memory_order_relaxed);
    state.lastMetricsTime.store(now, std::memory_order_relaxed);

    std::lock_guard lock(engine.metricsMutex);
    AppMetrics& metrics = engine.runtimeState.metrics;
    metrics.currentPps = pps;
    metrics.currentSynPerSec = synPerSec;
    metrics.currentDropPerSec = dropPerSec;
    metrics.tcpSourceCount = tcpSources;
    metrics.udpPps = std::min(kMaxPublishedRate, udpPackets / interval);
    metrics.udpKBps = std::min(kMaxPublishedKBps, udpBytes / interval / 1024);
    metrics.udpSourceCount = udpSources;
    metrics.icmpPps = std::min(kMaxPublishedRate, icmpPackets / interval);
    metrics.icmpKBps = std::min(kMaxPublishedKBps, icmpBytes / interval / 1024);
    metrics.icmpSourceCount = icmpSources;
    for (size_t i = 0; i < engine.synAckCounters.size(); ++i)
        metrics.synAckCounters[i] = engine.synAckCounters[i].load(std::memory_order_relaxed);
}

void UpdateMetrics(PacketProcessor& engine) {
    UpdateMetrics(engine, SteadyNowNs());
}

void BeginMetrics(PacketProcessor& engine, int64_t start) {
    ServiceLoopState& state = engine.serviceLoops;
    state.statsLastTime.store(start, std::memory_order_relaxed);
    // The first period counts from the body's start, not from whenever the engine last ran.
    state.lastMetricsTime.store(start, std::memory_order_relaxed);
}

void MetricsIteration(PacketProcessor& engine, int64_t now) {
    ServiceLoopState& state = engine.serviceLoops;
    RuleEngineState& counters = engine.ruleEngine;
    const bool statsOn = engine.logState.statsLogEnabled.load(std::memory_order_relaxed);
    // Counts gathered while the line was off are not reported as one huge first line.
    if (!statsOn || !state.statsWasEnabled.load(std::memory_order_relaxed)) {
        counters.statsRecv.store(0, std::memory_order_relaxed);
        counters.statsSend.store(0, std::memory_order_relaxed);
        counters.statsDrop.store(0, std::memory_order_relaxed);
        counters.statsBlock.store(0, std::memory_order_relaxed);
        state.statsLastTime.store(now, std::memory_order_relaxed);
    }
    state.statsWasEnabled.store(statsOn, std::memory_order_relaxed);
    if (statsOn && now - state.statsLastTime.load(std::memory_order_relaxed) >= kNsPerSecond) {
        const uint64_t recv = counters.statsRecv.exchange(0);
        const uint64_t send = counters.statsSend.exchange(0);
        const uint64_t drop = counters.statsDrop.exchange(0);
        const uint64_t block = counters.statsBlock.exchange(0);
        state.statsLastTime.store(now, std::memory_order_relaxed);
        if (recv != 0) PublishStatsLine(engine.runtimeState, recv, send, drop, block);
    }
    UpdateMetrics(engine, now);
}

void MetricsLoop(PacketProcessor& engine) {
    BeginMetrics(engine, SteadyNowNs());
    while (engine.metricsRunning.load(std::memory_order_acquire)) {
        if (WaitUntilSteadyOrStop(SteadyNowNs() + kNsPerSecond, engine.serviceStopEvent)) break;
        MetricsIteration(engine, SteadyNowNs());
    }
    FlushHostLists(engine);
}

}  // namespace bastion
