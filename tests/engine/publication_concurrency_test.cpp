// Publication under concurrent writers: readers never see a torn rule set, snapshots are
// consistent copies, and old snapshots are freed once nobody holds them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/PacketProcessor.h"

namespace bastion {
namespace {

// Rule set g: `count` IpPacketRate rules all named "g<g>" and port 80 with drop g.
void SetGeneration(PacketProcessor& engine, int generation, int count) {
    std::vector<RuleDefinition> rules(static_cast<size_t>(count));
    for (auto& rule : rules) {
        rule.kind = 0;
        rule.enabled = true;
        rule.name = "g" + std::to_string(generation);
        rule.dropThreshold = static_cast<uint64_t>(generation);
    }
    std::vector<PortRuleDefinition> pps{{true, 80, static_cast<uint64_t>(generation), 0}};
    engine.SetRules(rules, pps, {}, {}, {}, {}, rules, {});
}

TEST(Publication, ReadersSeeWholeRuleSetsWhileSetRulesRuns) {
    RuntimeState state;
    PacketProcessor engine(state);
    SetGeneration(engine, 1, 3);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<long> reads{0};

    auto reader = [&] {
        int lastGeneration = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            const RuleCaches* caches = engine.ruleCaches.Read();
            const auto& rules = caches->rulesByKind.Rules(RuleKind::IpPacketRate);
            const PortRuleDefinition* port = caches->portPpsLimits.Find(80);
            if (rules.empty() || port == nullptr) {
                ++bad;
                continue;
            }
            int generation = static_cast<int>(port->dropThreshold);
            // The set must be the one of a single SetRules call: sizes and names agree.
            if (static_cast<int>(rules.size()) != 2 + generation % 5) ++bad;
            for (const RuleDefinition& rule : rules) {
                if (rule.name != "g" + std::to_string(generation)) ++bad;
            }
            if (generation < lastGeneration) ++bad;  // never goes back in time
            lastGeneration = generation;
            ++reads;
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back(reader);
    // Keep publishing until the readers have run a while: on a loaded machine they may not
    // be scheduled at all during the first few hundred generations.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int generation = 1;
         generation <= 300 || (reads.load() < 1000 && std::chrono::steady_clock::now() < deadline);
         ++generation) {
        SetGeneration(engine, generation, 2 + generation % 5);
        // Snapshots taken meanwhile are copies made under the lock.
        std::vector<RuleDefinition> copy = engine.GetRules();
        for (const RuleDefinition& rule : copy)
            ASSERT_EQ(rule.name, copy.front().name);
    }
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

TEST(Publication, OldSnapshotIsFreedWhenTheLastHolderReleasesIt) {
    Published<std::vector<int>> published;
    auto first = std::make_shared<const std::vector<int>>(std::vector<int>{1});
    std::weak_ptr<const std::vector<int>> watch = first;
    published.Publish(std::move(first));
    EXPECT_EQ(published.Read()->front(), 1);  // this thread's cache now holds it

    published.Publish(std::make_shared<const std::vector<int>>(std::vector<int>{2}));
    EXPECT_FALSE(watch.expired());            // still cached by this thread
    EXPECT_EQ(published.Read()->front(), 2);  // next read releases it
    EXPECT_TRUE(watch.expired());
}

TEST(Publication, ConfigAndMetricsSnapshotsAreNotTorn) {
    RuntimeState state;
    PacketProcessor engine(state);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            AppConfig config;
            config.tcpTargetAddress = std::to_string(i);
            config.tcpPorts = {static_cast<uint16_t>(i)};
            engine.ApplyConfig(config);
            std::lock_guard lock(engine.metricsMutex);
            state.metrics.currentPps = i;
            state.metrics.udpPps = i;
        }
        stop = true;
    });
    while (!stop.load()) {
        AppConfig config = engine.GetConfig();
        if (!config.tcpTargetAddress.empty() &&
            config.tcpPorts !=
                std::set<uint16_t>{static_cast<uint16_t>(std::stoi(config.tcpTargetAddress))}) {
            ++bad;
        }
        AppMetrics metrics = engine.GetMetrics();
        if (metrics.currentPps != metrics.udpPps) ++bad;
    }
    writer.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace bastion
