// PacketProcessor: the engine object behind IPacketProcessor.
//
// One object holds the state of every subsystem; the subsystems are free functions that
// take the engine (capture/, rules/, conntrack/, signatures/, protection/, services/).
// Members are public for those functions; the host sees only the interface.
//
// Locks, in the order in which they may nest: rulesLock before configLock (interface
// operations only); metricsMutex is taken with no other engine-core lock held. The packet
// path reads ruleCaches, activeUdpRules and activeIcmpRules without any lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "conntrack/ConnectionTables.h"
#include "conntrack/FlowTracking.h"
#include "engine/FilterBuilder.h"
#include "engine/LocalAddresses.h"
#include "engine/Published.h"
#include "engine/RuleCaches.h"
#include "host/IPacketProcessor.h"
#include "host/Records.h"
#include "platform/Win32.h"
#include "rules/RuleEngineState.h"
#include "services/LogState.h"
#include "services/ServiceLoopState.h"

namespace bastion {

class alignas(64) PacketProcessor final : public IPacketProcessor {
  public:
    using RuleCaches = bastion::RuleCaches;

    explicit PacketProcessor(RuntimeState& state);
    ~PacketProcessor() override;
    PacketProcessor(const PacketProcessor&) = delete;
    PacketProcessor& operator=(const PacketProcessor&) = delete;

    // ---- IPacketProcessor ----------------------------------------------------------------
    bool Start() override;
    void Stop() override;
    void ApplyConfig(const AppConfig& config) override;
    AppConfig GetConfig() override;
    void SetRules(const std::vector<RuleDefinition>& rules,
                  const std::vector<PortRuleDefinition>& portPpsRules,
                  const std::vector<PortRuleDefinition>& portSizeRules,
                  const std::vector<AdvancedRuleDefinition>& advancedRules,
                  const std::vector<PortRuleDefinition>& portConnRules,
                  const std::vector<PortRuleDefinition>& portSynRules,
                  const std::vector<RuleDefinition>& udpRules,
                  const std::vector<RuleDefinition>& icmpRules) override;
    void SetUdpAdvancedRules(const std::vector<UdpAdvancedRuleDefinition>& rules) override;
    void SetIcmpAdvancedRules(const std::vector<IcmpAdvancedRuleDefinition>& rules) override;
    void RefreshIcmpProtection() override;
    std::vector<RuleDefinition> GetRules() override;
    std::vector<PortRuleDefinition> GetPortPpsRules() override;
    std::vector<PortRuleDefinition> GetPortSizeRules() override;
    std::vector<AdvancedRuleDefinition> GetAdvancedRules() override;
    std::vector<PortRuleDefinition> GetPortConnRules() override;
    std::vector<PortRuleDefinition> GetPortSynRules() override;
    std::vector<RuleDefinition> GetUdpRules() override;
    std::vector<RuleDefinition> GetIcmpRules() override;
    std::vector<UdpAdvancedRuleDefinition> GetUdpAdvancedRules() override;
    std::vector<IcmpAdvancedRuleDefinition> GetIcmpAdvancedRules() override;
    AppMetrics GetMetrics() override;
    int64_t GetDroppedLogCount() override;
    void ResetDroppedLogCount() override;

    // ---- Host state and the locks guarding it ----------------------------------------------
    RuntimeState& runtimeState;
    std::shared_mutex configLock;  // runtimeState.config and engineConfig
    std::shared_mutex rulesLock;   // rule vectors here and in runtimeState
    std::mutex metricsMutex;       // runtimeState.metrics

    // ---- Rules ---------------------------------------------------------------------------
    std::vector<RuleDefinition> udpRules;
    std::vector<RuleDefinition> icmpRules;
    std::vector<UdpAdvancedRuleDefinition> udpAdvancedRules;
    std::vector<IcmpAdvancedRuleDefinition> icmpAdvancedRules;
    // Enabled subsets and lookup tables, read lock-free by the packet path.
    Published<std::vector<RuleDefinition>> activeUdpRules;
    Published<std::vector<RuleDefinition>> activeIcmpRules;
    Published<RuleCaches> ruleCaches;

    // Counters of the SYN-ACK protection, copied into the metrics snapshot.
    std::array<std::atomic<uint64_t>, 3> synAckCounters{};
    // Log events discarded because the log queue was busy or full.
    std::atomic<uint64_t> droppedLogEvents{0};

    // ---- Log: queue, file, sink switches, logging thread flag, thread failures ------------
    LogState logState;

    // ---- Lifecycle -----------------------------------------------------------------------
    std::atomic<bool> initialised{false};
    // Set by Start, cleared by Stop; the capture workers run while it is set.
    std::atomic<bool> running{false};
    AppConfig engineConfig;  // the engine's copy of the configuration, under configLock
    // The main inline divert handle; null while none is open. Replaced and closed under
    // handleMutex; the capture workers read it without the mutex.
    std::atomic<HANDLE> captureHandle{nullptr};
    std::mutex handleMutex;
    std::vector<std::thread> workerThreads;
    uint32_t workerCount = 0;
    std::thread metricsThread;
    std::thread cleanupThread;
    std::thread loggingThread;  // its running flag is logState.loggingRunning
    std::thread flowThread;
    std::atomic<bool> metricsRunning{false};
    std::atomic<bool> cleanupRunning{false};
    // Manual-reset event the metrics and cleanup loops wait on between passes: Stop sets
    // it so that they end at once instead of after their sleep; Start resets it before
    // they run. Null if it could not be created (the loops then sleep their period out).
    HANDLE serviceStopEvent = nullptr;
    std::atomic<bool> flowRunning{false};
    // The main-filter settings captureHandle was opened for; under filterKeyMutex, held
    // only to compare or store it.
    FilterKey filterKey;
    std::mutex filterKeyMutex;
    // Serialises Start and Stop as a whole: Stop clears `running` first, and a Start that
    // got in before Stop had joined every thread would reuse thread objects still joinable.
    std::mutex lifecycleMutex;

    // ---- Own addresses (engine/LocalAddresses.h) -------------------------------------------
    // Sources that pass before any rule. Filled by the constructor and by Start before it
    // launches any thread; only grow; read without a lock.
    AddressSet localAddresses;    // own interfaces, host-name addresses, default gateways
    AddressSet apiHostAddresses;  // the vendor API host's addresses

    // ---- Connection tracking -------------------------------------------------------------
    ConnectionTables connections;
    FlowTracking flow;

    // ---- Rate-limit rule engine: rate table, counters, blocked-address queue -------------
    RuleEngineState ruleEngine;

    // ---- Cleanup and metrics loops: times kept across restarts of their bodies -----------
    ServiceLoopState serviceLoops;
};

}  // namespace bastion
