// SetRules: what reaches the caches and the published rule lists, and the snapshots.
#include <gtest/gtest.h>

#include "engine/PacketProcessor.h"

namespace bastion {
namespace {

RuleDefinition Rule(RuleKind kind, std::string name, bool enabled, uint64_t drop = 0,
                    uint64_t block = 0) {
    RuleDefinition rule;
    rule.kind = static_cast<int32_t>(kind);
    rule.name = std::move(name);
    rule.enabled = enabled;
    rule.dropThreshold = drop;
    rule.blockThreshold = block;
    return rule;
}

PortRuleDefinition PortRule(uint16_t port, bool enabled, uint64_t drop, uint64_t block = 0) {
    return PortRuleDefinition{enabled, port, drop, block};
}

class SetRulesTest : public ::testing::Test {
  protected:
    RuntimeState state;
    PacketProcessor engine{state};

    void SetTcp(const std::vector<RuleDefinition>& rules,
                const std::vector<PortRuleDefinition>& pps = {},
                const std::vector<AdvancedRuleDefinition>& advanced = {}) {
        engine.SetRules(rules, pps, {}, advanced, {}, {}, {}, {});
    }
};

TEST_F(SetRulesTest, DisabledEntriesAreSkippedAndOrderKept) {
    SetTcp(
        {Rule(RuleKind::IpPacketRate, "a", true, 10), Rule(RuleKind::IpPacketRate, "off", false, 1),
         Rule(RuleKind::IpSynRate, "syn", true, 5), Rule(RuleKind::IpPacketRate, "b", true, 20)});
    const RuleCaches* caches = engine.ruleCaches.Read();
    const auto& rate = caches->rulesByKind.Rules(RuleKind::IpPacketRate);
    ASSERT_EQ(rate.size(), 2u);
    EXPECT_EQ(rate[0].name, "a");
    EXPECT_EQ(rate[1].name, "b");
    EXPECT_EQ(caches->rulesByKind.Rules(RuleKind::IpSynRate).size(), 1u);
    EXPECT_FALSE(caches->rulesByKind.Has(RuleKind::PayloadSize));
    // Every rule is kept for the host, enabled or not.
    EXPECT_EQ(engine.GetRules().size(), 4u);
}

TEST_F(SetRulesTest, UnknownKindsAreStoredNotLost) {
    SetTcp({Rule(static_cast<RuleKind>(42), "future", true, 1)});
    EXPECT_EQ(engine.ruleCaches.Read()->rulesByKind.Rules(42).size(), 1u);
    EXPECT_TRUE(engine.ruleCaches.Read()->rulesByKind.Rules(-1).empty());
}

TEST_F(SetRulesTest, LaterPortEntryWinsAndDisabledPortIgnored) {
    SetTcp({}, {PortRule(80, true, 100), PortRule(443, false, 5, 6), PortRule(80, true, 200, 300)});
    const RuleCaches* caches = engine.ruleCaches.Read();
    const PortRuleDefinition* p80 = caches->portPpsLimits.Find(80);
    ASSERT_NE(p80, nullptr);
    EXPECT_EQ(p80->dropThreshold, 200u);
    EXPECT_EQ(p80->blockThreshold, 300u);
    EXPECT_EQ(caches->portPpsLimits.Find(443), nullptr);
    EXPECT_EQ(caches->portPpsLimits.size(), 1u);
}

TEST_F(SetRulesTest, PortTablesHoldManyPortsAndRejectAbsentOnes) {
    std::vector<PortRuleDefinition> many;
    for (uint16_t port = 1; port <= 1000; ++port)
        many.push_back(PortRule(port * 7, true, port));
    SetTcp({}, many);
    const RuleCaches* caches = engine.ruleCaches.Read();
    for (uint16_t port = 1; port <= 1000; ++port) {
        const PortRuleDefinition* rule =
            caches->portPpsLimits.Find(static_cast<uint16_t>(port * 7));
        ASSERT_NE(rule, nullptr) << port;
        EXPECT_EQ(rule->dropThreshold, port);
        EXPECT_EQ(caches->portPpsLimits.Find(static_cast<uint16_t>(port * 7 + 1)), nullptr);
    }
}

// The evaluator finds a port's four limits with one lookup: each must be the same entry
// as its own table's, later entries winning and disabled ones absent there too.
TEST_F(SetRulesTest, PortLimitsGatherEachPortsEntryOfAllFourTables) {
    engine.SetRules({}, {PortRule(80, true, 1), PortRule(80, true, 2), PortRule(22, true, 3)},
                    {PortRule(80, true, 4), PortRule(443, true, 5)}, {},
                    {PortRule(443, true, 6), PortRule(8080, false, 7)},
                    {PortRule(25, true, 8), PortRule(80, false, 9)}, {}, {});
    const RuleCaches* caches = engine.ruleCaches.Read();
    EXPECT_EQ(caches->portLimits.size(), 4u);  // 22, 25, 80, 443; not the disabled 8080
    for (uint16_t port : {22, 25, 80, 443, 8080, 9}) {
        const PortLimits* limits = caches->portLimits.Find(port);
        const PortRuleDefinition* pps = caches->portPpsLimits.Find(port);
        const PortRuleDefinition* size = caches->portSizeLimits.Find(port);
        const PortRuleDefinition* conn = caches->portConnLimits.Find(port);
        const PortRuleDefinition* syn = caches->portSynLimits.Find(port);
        if (!pps && !size && !conn && !syn) {
            EXPECT_EQ(limits, nullptr) << port;
            continue;
        }
        ASSERT_NE(limits, nullptr) << port;
        EXPECT_EQ(limits->port, port);
        EXPECT_EQ(limits->pps, pps) << port;
        EXPECT_EQ(limits->size, size) << port;
        EXPECT_EQ(limits->conn, conn) << port;
        EXPECT_EQ(limits->syn, syn) << port;
    }
    EXPECT_EQ(caches->portLimits.Find(80)->pps->dropThreshold, 2u);
    EXPECT_EQ(caches->portLimits.Find(80)->size->dropThreshold, 4u);
    EXPECT_EQ(caches->portLimits.Find(443)->conn->dropThreshold, 6u);
    EXPECT_EQ(caches->portLimits.Find(25)->syn->dropThreshold, 8u);
}

TEST_F(SetRulesTest, LaterAdvancedRuleOfATypeReplacesEarlier) {
    AdvancedRuleDefinition first, second, disabled;
    first.type = second.type = disabled.type = 3;
    first.enabled = second.enabled = true;
    first.allowancePerSecond = 10;
    second.allowancePerSecond = 20;
    disabled.allowancePerSecond = 30;
    SetTcp({}, {}, {first, second, disabled});
    const AdvancedRuleDefinition* rule =
        engine.ruleCaches.Read()->advancedByType.Find(AdvancedRuleType::SpoofCheck);
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(rule->allowancePerSecond, 20u);
}

TEST_F(SetRulesTest, EverythingDisabledGivesEmptyCaches) {
    SetTcp({Rule(RuleKind::IpPacketRate, "a", true, 10)}, {PortRule(80, true, 1)});
    SetTcp({Rule(RuleKind::IpPacketRate, "a", false, 10)}, {PortRule(80, false, 1)});
    const RuleCaches* caches = engine.ruleCaches.Read();
    EXPECT_EQ(caches->rulesByKind.size(), 0u);
    EXPECT_TRUE(caches->portPpsLimits.empty());
    EXPECT_EQ(caches->portPpsLimits.Find(80), nullptr);
}

TEST_F(SetRulesTest, UdpAndIcmpListsPublishTheirEnabledSubsetInOrder) {
    engine.SetRules(
        {}, {}, {}, {}, {}, {},
        {Rule(RuleKind::UdpIpPacketRate, "u1", true), Rule(RuleKind::UdpTotalByteRate, "u2", false),
         Rule(RuleKind::UdpNewSourceLimit, "u3", true)},
        {Rule(RuleKind::IcmpSourceCount, "i1", false)});
    const auto* udp = engine.activeUdpRules.Read();
    ASSERT_EQ(udp->size(), 2u);
    EXPECT_EQ((*udp)[0].name, "u1");
    EXPECT_EQ((*udp)[1].name, "u3");
    EXPECT_TRUE(engine.activeIcmpRules.Read()->empty());
    EXPECT_EQ(engine.GetUdpRules().size(), 3u);
    EXPECT_EQ(engine.GetIcmpRules().size(), 1u);
}

TEST_F(SetRulesTest, ArgumentThatIsItsOwnDestinationIsKept) {
    state.rules = {Rule(RuleKind::IpPacketRate, "self", true, 1)};
    engine.SetRules(state.rules, state.portPpsRules, state.portSizeRules, state.advancedRules,
                    state.portConnRules, state.portSynRules, {}, {});
    ASSERT_EQ(engine.GetRules().size(), 1u);
    EXPECT_EQ(engine.ruleCaches.Read()->rulesByKind.Rules(RuleKind::IpPacketRate)[0].name, "self");
}

TEST_F(SetRulesTest, SnapshotsReturnTheVectorsPassedIn) {
    std::vector<PortRuleDefinition> pps{PortRule(1, true, 1)}, size{PortRule(2, true, 2)},
        conn{PortRule(3, true, 3)}, syn{PortRule(4, true, 4)};
    AdvancedRuleDefinition advanced;
    advanced.type = 1;
    advanced.name = "idle";
    engine.SetRules({}, pps, size, {advanced}, conn, syn, {}, {});
    EXPECT_EQ(engine.GetPortPpsRules(), pps);
    EXPECT_EQ(engine.GetPortSizeRules(), size);
    EXPECT_EQ(engine.GetPortConnRules(), conn);
    EXPECT_EQ(engine.GetPortSynRules(), syn);
    ASSERT_EQ(engine.GetAdvancedRules().size(), 1u);
    EXPECT_EQ(engine.GetAdvancedRules()[0].name, "idle");

    UdpAdvancedRuleDefinition udp;
    udp.type = 1;
    udp.amplificationPorts = {53, 123};
    engine.SetUdpAdvancedRules({udp});
    EXPECT_EQ(engine.GetUdpAdvancedRules(), std::vector<UdpAdvancedRuleDefinition>{udp});
    IcmpAdvancedRuleDefinition icmp;
    icmp.type = 1;
    icmp.maxSize = 512;
    engine.SetIcmpAdvancedRules({icmp});
    EXPECT_EQ(engine.GetIcmpAdvancedRules(), std::vector<IcmpAdvancedRuleDefinition>{icmp});
}

TEST(EngineSnapshots, MetricsCarryTheEnginesSynAckCounters) {
    RuntimeState state;
    PacketProcessor engine(state);
    state.metrics.synAckCounters = {7, 8, 9};
    state.metrics.currentPps = 12.5;
    engine.synAckCounters[0] = 1;
    engine.synAckCounters[2] = 3;
    AppMetrics metrics = engine.GetMetrics();
    EXPECT_EQ(metrics.synAckCounters, (std::array<uint64_t, 3>{1, 0, 3}));
    EXPECT_DOUBLE_EQ(metrics.currentPps, 12.5);
}

TEST(EngineSnapshots, DroppedLogCountReadsAndResets) {
    RuntimeState state;
    PacketProcessor engine(state);
    engine.droppedLogEvents = 5;
    EXPECT_EQ(engine.GetDroppedLogCount(), 5);
    engine.ResetDroppedLogCount();
    EXPECT_EQ(engine.GetDroppedLogCount(), 0);
}

TEST(EngineSnapshots, EmptyCachesBeforeAnyRules) {
    RuntimeState state;
    PacketProcessor engine(state);
    EXPECT_EQ(engine.ruleCaches.Read()->rulesByKind.size(), 0u);
    EXPECT_TRUE(engine.activeUdpRules.Read()->empty());
}

}  // namespace
}  // namespace bastion
