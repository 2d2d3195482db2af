// The whole engine on the simulated network: Start, ApplyConfig and traffic through its
// capture workers.
#include <chrono>
#include <set>
#include <thread>

#include "capture/CaptureScratch.h"
#include "platform/Clock.h"
#include "tests/engine/LifecycleFixture.h"

namespace bastion::testing {
namespace {

using divert::sim::Ipv4;
using divert::sim::PacketBuilder;
using Bytes = std::vector<uint8_t>;

const uint32_t kServer = Ipv4("203.0.113.10");
const uint32_t kClient = Ipv4("198.51.100.7");
const uint32_t kBlocked = Ipv4("198.51.100.66");

Bytes Segment(uint32_t source, uint16_t port, uint16_t tag) {
    return PacketBuilder::Tcp(source, 40000, kServer, port).Ack().Id(tag).Payload("data").Build();
}

class EngineTraffic : public LifecycleTest {
  protected:
    void TearDown() override {
        engine->Stop();
        LifecycleTest::TearDown();
    }

    // Waits (up to two seconds) until every tag in `tags` was delivered; returns all tags
    // delivered meanwhile.
    std::multiset<uint16_t> AwaitDelivered(std::set<uint16_t> tags) {
        std::multiset<uint16_t> seen;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& record : sim->TakeDelivered()) {
                const uint16_t tag =
                    static_cast<uint16_t>((record.bytes[4] << 8) | record.bytes[5]);
                seen.insert(tag);
                tags.erase(tag);
            }
            if (tags.empty()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(tags.empty()) << tags.size() << " packets never delivered";
        return seen;
    }
};

TEST_F(EngineTraffic, StartedEnginePassesTrafficAndDropsBlockListedSources) {
    state.ipLists.AddToBlock(kBlocked);
    ASSERT_TRUE(engine->Start());
    engine->ApplyConfig(TcpOnly("0.0.0.0", {80}));
    ASSERT_TRUE(IsValidHandle(Handle()));

    // One ingress batch: one receive judges both diverted packets together.
    sim->InjectInbound(std::vector<Bytes>{Segment(kBlocked, 80, 1), Segment(kClient, 80, 2)});
    sim->InjectInbound(Segment(kBlocked, 22, 3));  // not diverted at all
    EXPECT_EQ(AwaitDelivered({2, 3}), (std::multiset<uint16_t>{2, 3}));
    EXPECT_EQ(sim->CountersOf(Handle()).received, 2u);

    const auto stop = std::chrono::steady_clock::now();
    engine->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::seconds(2));
    EXPECT_TRUE(engine->workerThreads.empty());
}

TEST_F(EngineTraffic, ReloadedPortSetIsFilteredByTheRunningWorkers) {
    state.ipLists.AddToBlock(kBlocked);
    ASSERT_TRUE(engine->Start());
    engine->ApplyConfig(TcpOnly("0.0.0.0", {80}));
    const HANDLE first = Handle();
    engine->ApplyConfig(TcpOnly("0.0.0.0", {443}));
    ASSERT_NE(Handle(), first);

    sim->InjectInbound(std::vector<Bytes>{Segment(kBlocked, 443, 1), Segment(kClient, 443, 2)});
    sim->InjectInbound(Segment(kBlocked, 80, 3));  // no longer diverted
    EXPECT_EQ(AwaitDelivered({2, 3}), (std::multiset<uint16_t>{2, 3}));
    EXPECT_EQ(sim->CountersOf(Handle()).received, 2u);
}

TEST_F(EngineTraffic, PacketRateRuleBlocksAFloodingSourceWhileOthersPass) {
    RuleDefinition rule;
    rule.kind = static_cast<int32_t>(RuleKind::IpPacketRate);
    rule.name = "flood";
    rule.enabled = true;
    rule.blockThreshold = 200;
    engine->SetRules({rule}, {}, {}, {}, {}, {}, {}, {});
    ASSERT_TRUE(engine->Start());
    engine->ApplyConfig(TcpOnly("0.0.0.0", {80}));
    const uint32_t attacker = Ipv4("198.18.9.9");

    // Workers merge their counts at most every 100 ms of the steady clock: move it on
    // between bursts instead of waiting.
    bool blocked = false;
    for (int burst = 0; burst < 100 && !blocked; ++burst) {
        std::vector<Bytes> flood;
        for (uint16_t i = 0; i < 250; ++i)
            flood.push_back(Segment(attacker, 80, static_cast<uint16_t>(1000 + i)));
        sim->InjectInbound(flood);
        AdvanceSteadyClock(150 * kNsPerMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        blocked = state.ipLists.IsBlockedLockFree(attacker);
    }
    ASSERT_TRUE(blocked);
    // Flood packets judged before the block may still be on their way out; tag 1 is the
    // only attacker packet sent after it.
    sim->InjectInbound(std::vector<Bytes>{Segment(attacker, 80, 1), Segment(kClient, 80, 2)});
    const std::multiset<uint16_t> seen = AwaitDelivered({2});
    EXPECT_EQ(seen.count(1), 0u);
    EXPECT_EQ(seen.count(2), 1u);
    EXPECT_FALSE(state.ipLists.IsBlockedLockFree(kClient));
}

}  // namespace
}  // namespace bastion::testing
