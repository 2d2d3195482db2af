// The factory's allocation protocol and the destroyer.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

#include "engine/PacketProcessor.h"
#include "host/Factory.h"

namespace bastion {
namespace {

// An engine whose constructor throws after its members (and their heap memory) exist.
class alignas(64) ThrowingEngine : public IPacketProcessor {
public:
    explicit ThrowingEngine(RuntimeState& state) : inner_(state) {
        throw std::runtime_error("construction failed");
    }
    bool Start() override { return false; }
    void Stop() override {}
    void ApplyConfig(const AppConfig&) override {}
    AppConfig GetConfig() override { return {}; }
    void SetRules(const std::vector<RuleDefinition>&, const std::vector<PortRuleDefinition>&,
                  const std::vector<PortRuleDefinition>&, const std::vector<AdvancedRuleDefinition>&,
                  const std::vector<PortRuleDefinition>&, const std::vector<PortRuleDefinition>&,
                  const std::vector<RuleDefinition>&, const std::vector<RuleDefinition>&) override {}
    void SetUdpAdvancedRules(const std::vector<UdpAdvancedRuleDefinition>&) override {}
    void SetIcmpAdvancedRules(const std::vector<IcmpAdvancedRuleDefinition>&) override {}
    void RefreshIcmpProtection() override {}
    std::vector<RuleDefinition> GetRules() override { return {}; }
    std::vector<PortRuleDefinition> GetPortPpsRules() override { return {}; }
    std::vector<PortRuleDefinition> GetPortSizeRules() override { return {}; }
    std::vector<AdvancedRuleDefinition> GetAdvancedRules() override { return {}; }
    std::vector<PortRuleDefinition> GetPortConnRules() override { return {}; }
    std::vector<PortRuleDefinition> GetPortSynRules() override { return {}; }
    std::vector<RuleDefinition> GetUdpRules() override { return {}; }
    std::vector<RuleDefinition> GetIcmpRules() override { return {}; }
    std::vector<UdpAdvancedRuleDefinition> GetUdpAdvancedRules() override { return {}; }
    std::vector<IcmpAdvancedRuleDefinition> GetIcmpAdvancedRules() override { return {}; }
    AppMetrics GetMetrics() override { return {}; }
    int64_t GetDroppedLogCount() override { return 0; }
    void ResetDroppedLogCount() override {}

private:
    PacketProcessor inner_;
};

TEST(Factory, CreatesAlignedEngineAndDestroys) {
    RuntimeState state;
    IPacketProcessor* engine = CreatePacketProcessor(state);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(engine) % 64, 0u);
    EXPECT_NE(dynamic_cast<PacketProcessor*>(engine), nullptr);
    DestroyPacketProcessor(engine);
}

TEST(Factory, ThrowingConstructionGivesNullAndFreesTheMemory) {
    // LeakSanitizer (in the sanitizer pass) reports the block if it is not freed.
    RuntimeState state;
    EXPECT_EQ(ConstructAligned<ThrowingEngine>(state), nullptr);
}

TEST(Factory, DestroyerIgnoresNull) { DestroyPacketProcessor(nullptr); }

}  // namespace
}  // namespace bastion
