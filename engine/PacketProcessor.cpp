#include "engine/PacketProcessor.h"

#include "engine/Lifecycle.h"
#include "engine/LocalAddresses.h"
#include "services/Log.h"

namespace bastion {

PacketProcessor::PacketProcessor(RuntimeState& state) : runtimeState(state) {
    ruleEngine.reasonTextEnabled.store(ReasonTextsWanted(runtimeState.config));
    ruleCaches.Publish(std::make_shared<const RuleCaches>());
    initialised.store(true, std::memory_order_release);
    serviceStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // The log switches come first so that a failure to read the machine's addresses is
    // queued for the log rather than discarded as if every sink were off.
    ResolveLogFilePath(*this);
    CopyLogSwitches(logState, runtimeState.config);
    SetFileLogging(*this, runtimeState.config.fileLogEnabled);
    ResolveApiHostAddresses(*this);
    InitializeLocalInterfaceWhitelist(*this);
    activeUdpRules.Publish(std::make_shared<const std::vector<RuleDefinition>>());
    activeIcmpRules.Publish(std::make_shared<const std::vector<RuleDefinition>>());
}

PacketProcessor::~PacketProcessor() {
    Stop();
    // The protocol validation handle is closed here if still open.
    // An engine configured but never started (or reconfigured after Stop) still holds the
    // handles ApplyConfig opened; Stop left them alone because nothing was running.
    {
        std::lock_guard lock(handleMutex);
        TakeAndCloseHandle(captureHandle, true);
    }
    TakeAndCloseHandle(flow.flowHandle, true);
    SetFileLogging(*this, false);
    if (serviceStopEvent != nullptr) CloseHandle(serviceStopEvent);
}

AppConfig PacketProcessor::GetConfig() {
    std::shared_lock lock(configLock);
    return runtimeState.config;
}

namespace {
// Publishes the enabled entries of `rules`, in order.
void PublishEnabled(Published<std::vector<RuleDefinition>>& target,
                    const std::vector<RuleDefinition>& rules) {
    auto enabled = std::make_shared<std::vector<RuleDefinition>>();
    for (const RuleDefinition& rule : rules) {
        if (rule.enabled) enabled->push_back(rule);
    }
    target.Publish(std::move(enabled));
}

template <class T>
void AssignUnlessSame(std::vector<T>& destination, const std::vector<T>& source) {
    if (&destination != &source) destination = source;
}
}  // namespace

void PacketProcessor::SetRules(const std::vector<RuleDefinition>& rules,
                               const std::vector<PortRuleDefinition>& portPpsRules,
                               const std::vector<PortRuleDefinition>& portSizeRules,
                               const std::vector<AdvancedRuleDefinition>& advancedRules,
                               const std::vector<PortRuleDefinition>& portConnRules,
                               const std::vector<PortRuleDefinition>& portSynRules,
                               const std::vector<RuleDefinition>& newUdpRules,
                               const std::vector<RuleDefinition>& newIcmpRules) {
    std::unique_lock lock(rulesLock);
    AssignUnlessSame(runtimeState.rules, rules);
    AssignUnlessSame(runtimeState.portPpsRules, portPpsRules);
    AssignUnlessSame(runtimeState.portSizeRules, portSizeRules);
    AssignUnlessSame(runtimeState.advancedRules, advancedRules);
    AssignUnlessSame(runtimeState.portConnRules, portConnRules);
    AssignUnlessSame(runtimeState.portSynRules, portSynRules);
    AssignUnlessSame(udpRules, newUdpRules);
    AssignUnlessSame(icmpRules, newIcmpRules);

    PublishEnabled(activeUdpRules, udpRules);
    PublishEnabled(activeIcmpRules, icmpRules);

    std::shared_ptr<const RuleCaches> caches = RuleCaches::Build(
        runtimeState.rules, runtimeState.portPpsRules, runtimeState.portSizeRules,
        runtimeState.portSynRules, runtimeState.portConnRules, runtimeState.advancedRules);

    const bool tcpTests = caches->tcpHasTests;
    ruleCaches.Publish(std::move(caches));
    ruleEngine.tcpTestsHint.store(tcpTests, std::memory_order_relaxed);
}

void PacketProcessor::SetUdpAdvancedRules(const std::vector<UdpAdvancedRuleDefinition>& rules) {
    std::unique_lock lock(rulesLock);
    AssignUnlessSame(udpAdvancedRules, rules);
}

void PacketProcessor::SetIcmpAdvancedRules(const std::vector<IcmpAdvancedRuleDefinition>& rules) {
    std::unique_lock lock(rulesLock);
    AssignUnlessSame(icmpAdvancedRules, rules);
}

void PacketProcessor::RefreshIcmpProtection() {}

std::vector<RuleDefinition> PacketProcessor::GetRules() {
    std::shared_lock lock(rulesLock);
    return runtimeState.rules;
}

std::vector<PortRuleDefinition> PacketProcessor::GetPortPpsRules() {
    std::shared_lock lock(rulesLock);
    return runtimeState.portPpsRules;
}

std::vector<PortRuleDefinition> PacketProcessor::GetPortSizeRules() {
    std::shared_lock lock(rulesLock);
    return runtimeState.portSizeRules;
}

std::vector<AdvancedRuleDefinition> PacketProcessor::GetAdvancedRules() {
    std::shared_lock lock(rulesLock);
    return runtimeState.advancedRules;
}

std::vector<PortRuleDefinition> PacketProcessor::GetPortConnRules() {
    std::shared_lock lock(rulesLock);
    return runtimeState.portConnRules;
}

std::vector<PortRuleDefinition> PacketProcessor::GetPortSynRules() {
    std::shared_lock lock(rulesLock);
    return runtimeState.portSynRules;
}

std::vector<RuleDefinition> PacketProcessor::GetUdpRules() {
    std::shared_lock lock(rulesLock);
    return udpRules;
}

std::vector<RuleDefinition> PacketProcessor::GetIcmpRules() {
    std::shared_lock lock(rulesLock);
    return icmpRules;
}

std::vector<UdpAdvancedRuleDefinition> PacketProcessor::GetUdpAdvancedRules() {
    std::shared_lock lock(rulesLock);
    return udpAdvancedRules;
}

std::vector<IcmpAdvancedRuleDefinition> PacketProcessor::GetIcmpAdvancedRules() {
    std::shared_lock lock(rulesLock);
    return icmpAdvancedRules;
}

AppMetrics PacketProcessor::GetMetrics() {
    std::lock_guard lock(metricsMutex);
    AppMetrics copy = runtimeState.metrics;
    for (size_t i = 0; i < synAckCounters.size(); ++i) {
        copy.synAckCounters[i] = synAckCounters[i].load(std::memory_order_relaxed);
    }
    return copy;
}

int64_t PacketProcessor::GetDroppedLogCount() {
    return static_cast<int64_t>(droppedLogEvents.load(std::memory_order_relaxed));
}

void PacketProcessor::ResetDroppedLogCount() {
    droppedLogEvents.store(0, std::memory_order_relaxed);
}

}  // namespace bastion
