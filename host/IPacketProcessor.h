// IPacketProcessor: the engine interface the host drives. The host calls the engine only
// through these operations, in this fixed slot order (slot 0 is the destructor); a host
// built against one order calls the wrong operation if the order changes, so never
// reorder, insert or remove a slot.
#pragma once

#include <cstdint>
#include <vector>

#include "host/Records.h"

namespace bastion {

class IPacketProcessor {
public:
    virtual ~IPacketProcessor() = default;                                       // slot 0

    virtual bool Start() = 0;                                                    // 1
    virtual void Stop() = 0;                                                     // 2
    virtual void ApplyConfig(const AppConfig& config) = 0;                       // 3
    virtual AppConfig GetConfig() = 0;                                           // 4
    virtual void SetRules(const std::vector<RuleDefinition>& rules,              // 5
                          const std::vector<PortRuleDefinition>& portPpsRules,
                          const std::vector<PortRuleDefinition>& portSizeRules,
                          const std::vector<AdvancedRuleDefinition>& advancedRules,
                          const std::vector<PortRuleDefinition>& portConnRules,
                          const std::vector<PortRuleDefinition>& portSynRules,
                          const std::vector<RuleDefinition>& udpRules,
                          const std::vector<RuleDefinition>& icmpRules) = 0;
    virtual void SetUdpAdvancedRules(const std::vector<UdpAdvancedRuleDefinition>& rules) = 0;   // 6
    virtual void SetIcmpAdvancedRules(const std::vector<IcmpAdvancedRuleDefinition>& rules) = 0; // 7
    virtual void RefreshIcmpProtection() = 0;                                    // 8
    virtual std::vector<RuleDefinition> GetRules() = 0;                          // 9
    virtual std::vector<PortRuleDefinition> GetPortPpsRules() = 0;               // 10
    virtual std::vector<PortRuleDefinition> GetPortSizeRules() = 0;              // 11
    virtual std::vector<AdvancedRuleDefinition> GetAdvancedRules() = 0;          // 12
    virtual std::vector<PortRuleDefinition> GetPortConnRules() = 0;              // 13
    virtual std::vector<PortRuleDefinition> GetPortSynRules() = 0;               // 14
    virtual std::vector<RuleDefinition> GetUdpRules() = 0;                       // 15
    virtual std::vector<RuleDefinition> GetIcmpRules() = 0;                      // 16
    virtual std::vector<UdpAdvancedRuleDefinition> GetUdpAdvancedRules() = 0;    // 17
    virtual std::vector<IcmpAdvancedRuleDefinition> GetIcmpAdvancedRules() = 0;  // 18
    virtual AppMetrics GetMetrics() = 0;                                         // 19
    virtual int64_t GetDroppedLogCount() = 0;                                    // 20
    virtual void ResetDroppedLogCount() = 0;                                     // 21
};

// The factory and destroyer the entry point hands to the host.
using PacketProcessorFactory = IPacketProcessor* (*)(RuntimeState& state);
using PacketProcessorDestroyer = void (*)(IPacketProcessor* processor);

}  // namespace bastion
