// An engine that records what the host hands it and returns chosen metrics, for tests of
// the host alone.
#pragma once

#include <atomic>
#include <mutex>

#include "host/IPacketProcessor.h"

namespace bastion::testing_support {

class FakeEngine final : public IPacketProcessor {
  public:
    explicit FakeEngine(RuntimeState& state) : state_(state) {}

    bool Start() override { return !running.exchange(true); }
    void Stop() override { running = false; }
    void ApplyConfig(const AppConfig& config) override {
        std::lock_guard lock(mutex);
        ++applyConfigCalls;
        state_.config = config;
    }
    AppConfig GetConfig() override {
        std::lock_guard lock(mutex);
        return state_.config;
    }
    void SetRules(const std::vector<RuleDefinition>& rules,
                  const std::vector<PortRuleDefinition>& portPpsRules,
                  const std::vector<PortRuleDefinition>& portSizeRules,
                  const std::vector<AdvancedRuleDefinition>& advancedRules,
                  const std::vector<PortRuleDefinition>& portConnRules,
                  const std::vector<PortRuleDefinition>& portSynRules,
                  const std::vector<RuleDefinition>& udpRules,
                  const std::vector<RuleDefinition>& icmpRules) override {
        std::lock_guard lock(mutex);
        ++setRulesCalls;
        state_.rules = rules;
        state_.portPpsRules = portPpsRules;
        state_.portSizeRules = portSizeRules;
        state_.advancedRules = advancedRules;
        state_.portConnRules = portConnRules;
        state_.portSynRules = portSynRules;
        udpRules_ = udpRules;
        icmpRules_ = icmpRules;
    }
    void SetUdpAdvancedRules(const std::vector<UdpAdvancedRuleDefinition>& rules) override {
        std::lock_guard lock(mutex);
        udpAdvanced_ = rules;
    }
    void SetIcmpAdvancedRules(const std::vector<IcmpAdvancedRuleDefinition>& rules) override {
        std::lock_guard lock(mutex);
        icmpAdvanced_ = rules;
    }
    void RefreshIcmpProtection() override { ++icmpRefreshes; }
    std::vector<RuleDefinition> GetRules() override { return state_.rules; }
    std::vector<PortRuleDefinition> GetPortPpsRules() override { return state_.portPpsRules; }
    std::vector<PortRuleDefinition> GetPortSizeRules() override { return state_.portSizeRules; }
    std::vector<AdvancedRuleDefinition> GetAdvancedRules() override { return state_.advancedRules; }
    std::vector<PortRuleDefinition> GetPortConnRules() override { return state_.portConnRules; }
    std::vector<PortRuleDefinition> GetPortSynRules() override { return state_.portSynRules; }
    std::vector<RuleDefinition> GetUdpRules() override { return udpRules_; }
    std::vector<RuleDefinition> GetIcmpRules() override { return icmpRules_; }
    std::vector<UdpAdvancedRuleDefinition> GetUdpAdvancedRules() override { return udpAdvanced_; }
    std::vector<IcmpAdvancedRuleDefinition> GetIcmpAdvancedRules() override {
        return icmpAdvanced_;
    }
    AppMetrics GetMetrics() override {
        std::lock_guard lock(mutex);
        return metrics;
    }
    int64_t GetDroppedLogCount() override { return droppedLog; }
    void ResetDroppedLogCount() override { droppedLog = 0; }

    std::mutex mutex;
    std::atomic<bool> running{false};
    int applyConfigCalls = 0;
    int setRulesCalls = 0;
    std::atomic<int> icmpRefreshes{0};
    AppMetrics metrics;
    std::atomic<int64_t> droppedLog{0};

  private:
    RuntimeState& state_;
    std::vector<RuleDefinition> udpRules_, icmpRules_;
    std::vector<UdpAdvancedRuleDefinition> udpAdvanced_;
    std::vector<IcmpAdvancedRuleDefinition> icmpAdvanced_;
};

// The factory and destroyer for FakeEngine; `LastFake()` is the engine made last.
inline FakeEngine*& LastFake() {
    static FakeEngine* last = nullptr;
    return last;
}
inline IPacketProcessor* CreateFake(RuntimeState& state) {
    LastFake() = new FakeEngine(state);
    return LastFake();
}
inline void DestroyFake(IPacketProcessor* engine) {
    if (LastFake() == engine) LastFake() = nullptr;
    delete engine;
}

}  // namespace bastion::testing_support
