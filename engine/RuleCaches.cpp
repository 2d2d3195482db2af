#include "engine/RuleCaches.h"

namespace bastion {

const std::vector<RuleDefinition> KindRuleMap::kNone;

namespace {

// The union of the four per-port maps' ports, each with its entry of every map.
void BuildPortLimits(RuleCaches& caches) {
    std::vector<PortLimits> limits;
    std::unordered_map<uint16_t, size_t> indexOfPort;
    auto add = [&](const PortRuleMap& map, const PortRuleDefinition* PortLimits::*field) {
        map.ForEach([&](const PortRuleDefinition& rule) {
            auto [it, added] = indexOfPort.try_emplace(rule.port, limits.size());
            if (added) limits.push_back(PortLimits{.port = rule.port});
            limits[it->second].*field = &rule;
        });
    };
    add(caches.portPpsLimits, &PortLimits::pps);
    add(caches.portSizeLimits, &PortLimits::size);
    add(caches.portSynLimits, &PortLimits::syn);
    add(caches.portConnLimits, &PortLimits::conn);
    caches.portLimits.Build(limits, [](const PortLimits&) { return true; });
}

}  // namespace

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
    BuildPortLimits(*caches);
    for (const RuleDefinition& rule : rules) {
        if (rule.enabled) caches->rulesByKind.Add(rule);
    }
    for (const AdvancedRuleDefinition& rule : advancedRules) {
        if (rule.enabled) caches->advancedByType.Set(rule);
    }
    caches->tcpReadsRateCounts = caches->rulesByKind.Has(RuleKind::IpPacketRate) ||
                                 caches->rulesByKind.Has(RuleKind::IpSynRate) ||
                                 !caches->portPpsLimits.empty() || !caches->portSynLimits.empty();
    caches->tcpHasTests = !caches->portLimits.empty();
    for (RuleKind kind : {RuleKind::IpPacketRate, RuleKind::PayloadSize, RuleKind::IpEstablished,
                          RuleKind::IpSynRate, RuleKind::WindowSynTotal,
                          RuleKind::EstablishedIpTotal, RuleKind::GlobalPacketRate}) {
        caches->tcpHasTests = caches->tcpHasTests || caches->rulesByKind.Has(kind);
    }
    return caches;
}

}  // namespace bastion
