#include "engine/RuleCaches.h"

namespace bastion {

const std::vector<RuleDefinition> KindRuleMap::kNone;

void PortRuleMap::Build(const std::vector<PortRuleDefinition>& rules) {
    size_t enabled = 0;
    for (const PortRuleDefinition& rule : rules)
        enabled += rule.enabled ? 1 : 0;
    slots_.clear();
    size_ = 0;
    if (enabled == 0) return;
    size_t capacity = 4;
    while (capacity < enabled * 2)
        capacity *= 2;
    slots_.assign(capacity, Slot{});
    size_t mask = capacity - 1;
    for (const PortRuleDefinition& rule : rules) {
        if (!rule.enabled) continue;
        for (size_t i = Hash(rule.port) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (!slot.used) {
                slot.used = true;
                slot.rule = rule;
                ++size_;
                break;
            }
            if (slot.rule.port == rule.port) {
                slot.rule = rule;  // a later entry for the same port wins
                break;
            }
        }
    }
}

void KindRuleMap::Add(const RuleDefinition& rule) {
    if (rule.kind >= 0 && rule.kind < kDirectKinds) {
        direct_[static_cast<size_t>(rule.kind)].push_back(rule);
    } else {
        other_[rule.kind].push_back(rule);
    }
}

size_t KindRuleMap::size() const {
    size_t kinds = other_.size();
    for (const auto& rules : direct_)
        kinds += rules.empty() ? 0 : 1;
    return kinds;
}

void AdvancedRuleMap::Set(const AdvancedRuleDefinition& rule) {
    rules_[rule.type] = rule;
}

std::shared_ptr<const RuleCaches> RuleCaches::Build(
    const std::vector<RuleDefinition>& rules, const std::vector<PortRuleDefinition>& portPpsRules,
    const std::vector<PortRuleDefinition>& portSizeRules,
    const std::vector<PortRuleDefinition>& portSynRules,
    const std::vector<PortRuleDefinition>& portConnRules,
    const std::vector<AdvancedRuleDefinition>& advancedRules) {
    auto caches = std::make_shared<RuleCaches>();
    caches->portPpsLimits.Build(portPpsRules);
    caches->portSizeLimits.Build(portSizeRules);
    caches->portSynLimits.Build(portSynRules);
    caches->portConnLimits.Build(portConnRules);
    for (const RuleDefinition& rule : rules) {
        if (rule.enabled) caches->rulesByKind.Add(rule);
    }
    for (const AdvancedRuleDefinition& rule : advancedRules) {
        if (rule.enabled) caches->advancedByType.Set(rule);
    }
    caches->tcpReadsRateCounts = caches->rulesByKind.Has(RuleKind::IpPacketRate) ||
                                 caches->rulesByKind.Has(RuleKind::IpSynRate) ||
                                 !caches->portPpsLimits.empty() || !caches->portSynLimits.empty();
    caches->tcpHasTests = !caches->portPpsLimits.empty() || !caches->portSizeLimits.empty() ||
                          !caches->portSynLimits.empty() || !caches->portConnLimits.empty();
    for (RuleKind kind : {RuleKind::IpPacketRate, RuleKind::PayloadSize, RuleKind::IpEstablished,
                          RuleKind::IpSynRate, RuleKind::WindowSynTotal,
                          RuleKind::EstablishedIpTotal, RuleKind::GlobalPacketRate}) {
        caches->tcpHasTests = caches->tcpHasTests || caches->rulesByKind.Has(kind);
    }
    return caches;
}

}  // namespace bastion
