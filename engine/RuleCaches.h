// RuleCaches: the lookup tables the rule evaluators read, built whole from the host's rule
// vectors and never changed after publication (see Published.h).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "host/Records.h"

namespace bastion {

// Port → entry, for entries that carry their `port`. Open addressing over a power-of-two
// table; a handful of ports is the common case, and a lookup is one or two probes.
template <class Entry>
class PortTable {
  public:
    // Later entries for the same port replace earlier ones.
    template <class Range, class Keep>
    void Build(const Range& entries, Keep keep) {
        size_t kept = 0;
        for (const Entry& entry : entries)
            kept += keep(entry) ? 1 : 0;
        slots_.clear();
        size_ = 0;
        if (kept == 0) return;
        size_t capacity = 4;
        while (capacity < kept * 2)
            capacity *= 2;
        slots_.assign(capacity, Slot{});
        const size_t mask = capacity - 1;
        for (const Entry& entry : entries) {
            if (!keep(entry)) continue;
            for (size_t i = Hash(entry.port) & mask;; i = (i + 1) & mask) {
                Slot& slot = slots_[i];
                if (!slot.used) {
                    slot.used = true;
                    slot.entry = entry;
                    ++size_;
                    break;
                }
                if (slot.entry.port == entry.port) {
                    slot.entry = entry;
                    break;
                }
            }
        }
    }
    const Entry* Find(uint16_t port) const {
        if (size_ == 0) return nullptr;
        const size_t mask = slots_.size() - 1;
        for (size_t i = Hash(port) & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (!slot.used) return nullptr;
            if (slot.entry.port == port) return &slot.entry;
        }
    }
    template <class Visit>
    void ForEach(Visit visit) const {
        for (const Slot& slot : slots_) {
            if (slot.used) visit(slot.entry);
        }
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

  private:
    struct Slot {
        bool used = false;
        Entry entry;
    };
    static size_t Hash(uint16_t port) { return (port * 0x9E3779B1u) >> 16; }
    std::vector<Slot> slots_;
    size_t size_ = 0;
};

// Port → its enabled limit of one kind.
class PortRuleMap : public PortTable<PortRuleDefinition> {
  public:
    void Build(const std::vector<PortRuleDefinition>& rules) {
        PortTable::Build(rules, [](const PortRuleDefinition& rule) { return rule.enabled; });
    }
};

// A destination port's limits of all four per-port kinds, each null where the port has none.
// The pointers lead into the four PortRuleMaps of the same RuleCaches, so that a packet
// finds all its port's limits with one probe.
struct PortLimits {
    uint16_t port = 0;
    const PortRuleDefinition* pps = nullptr;
    const PortRuleDefinition* size = nullptr;
    const PortRuleDefinition* syn = nullptr;
    const PortRuleDefinition* conn = nullptr;
};

// Rule kind → enabled rules of that kind in list order. The defined kinds sit in a direct
// table; other kind values are kept (they are stored, never evaluated).
class KindRuleMap {
  public:
    static constexpr int32_t kDirectKinds = 17;

    void Add(const RuleDefinition& rule);
    const std::vector<RuleDefinition>& Rules(int32_t kind) const {
        if (kind >= 0 && kind < kDirectKinds) return direct_[static_cast<size_t>(kind)];
        auto it = other_.find(kind);
        return it == other_.end() ? kNone : it->second;
    }
    bool Has(int32_t kind) const { return !Rules(kind).empty(); }
    const std::vector<RuleDefinition>& Rules(RuleKind kind) const {
        return Rules(static_cast<int32_t>(kind));
    }
    bool Has(RuleKind kind) const { return Has(static_cast<int32_t>(kind)); }
    size_t size() const;

  private:
    static const std::vector<RuleDefinition> kNone;
    std::array<std::vector<RuleDefinition>, kDirectKinds> direct_;
    std::unordered_map<int32_t, std::vector<RuleDefinition>> other_;
};

// Advanced rule type → its rule (a later enabled entry of a type replaces an earlier one).
class AdvancedRuleMap {
  public:
    void Set(const AdvancedRuleDefinition& rule);
    const AdvancedRuleDefinition* Find(uint32_t type) const {
        auto it = rules_.find(type);
        return it == rules_.end() ? nullptr : &it->second;
    }
    const AdvancedRuleDefinition* Find(AdvancedRuleType type) const {
        return Find(static_cast<uint32_t>(type));
    }
    size_t size() const { return rules_.size(); }

  private:
    std::unordered_map<uint32_t, AdvancedRuleDefinition> rules_;
};

struct RuleCaches {
    PortRuleMap portPpsLimits;
    PortRuleMap portSizeLimits;
    PortRuleMap portSynLimits;
    PortRuleMap portConnLimits;
    // Every port of the four maps above, with its entry in each.
    PortTable<PortLimits> portLimits;
    KindRuleMap rulesByKind;
    AdvancedRuleMap advancedByType;
    // Whether an enabled TCP rule compares a source's packet or SYN count from the rate
    // table. Without one the evaluator leaves the table's shards alone: with protection on
    // and no such rule configured, every packet would otherwise take a shard's lock for
    // counts nobody reads.
    bool tcpReadsRateCounts = false;
    // Whether any TCP test exists at all: one of the seven rule kinds or a per-port limit.
    // Without one a TCP packet is only counted, and the evaluator skips the lookups no test
    // would read.
    bool tcpHasTests = false;

    RuleCaches() = default;
    // portLimits points into the maps of its own object.
    RuleCaches(const RuleCaches&) = delete;
    RuleCaches& operator=(const RuleCaches&) = delete;

    // Builds the caches from the rule vectors, skipping disabled entries.
    static std::shared_ptr<const RuleCaches> Build(
        const std::vector<RuleDefinition>& rules,
        const std::vector<PortRuleDefinition>& portPpsRules,
        const std::vector<PortRuleDefinition>& portSizeRules,
        const std::vector<PortRuleDefinition>& portSynRules,
        const std::vector<PortRuleDefinition>& portConnRules,
        const std::vector<AdvancedRuleDefinition>& advancedRules);
};

}  // namespace bastion
