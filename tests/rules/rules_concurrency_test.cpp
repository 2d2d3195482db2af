// Several capture workers evaluating, counting and merging at once, with readers and the
// window reset running beside them: nothing is lost or counted twice, and the running
// source totals stay equal to the shard maps.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "RuleTestSupport.h"
#include "rules/Enforcement.h"

namespace bastion {
namespace {

using namespace testing_support;

constexpr int kWorkers = 4;

// Sources shared by all workers, spread over a few shards so that merges contend.
uint32_t SharedSource(uint32_t i) {
    return Ip(10, 40, 0, 0) + (i % 24) * 128 + (i / 24) % 3;
}

TEST_F(RuleEngineTest, ConcurrentWorkersMergeEveryPacketExactlyOnce) {
    SetTcpRules({Rule(RuleKind::IpPacketRate, "pps", kNeverFires),
                 Rule(RuleKind::IpEstablished, "est", kNeverFires, kNeverFires)});
    constexpr uint32_t kPacketsPerWorker = 6000;
    std::atomic<bool> done{false};

    std::thread reader([&] {
        while (!done.load()) {
            for (uint32_t i = 0; i < 24; ++i) {
                RateSnapshot snapshot = ReadSnapshot(*engine, SharedSource(i), 80);
                (void)snapshot;
            }
            (void)CountTcpSources(*engine);
        }
    });
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            CaptureScratch& mine = ThreadCaptureScratch();
            mine.batchTime = kStart;
            mine.lastMerge = kStart;
            VerdictResult result;
            for (uint32_t i = 0; i < kPacketsPerWorker; ++i) {
                PacketView packet = Packet::Syn().From(SharedSource(i + w)).view();
                EvaluateTcp(*engine, result, packet);
                EXPECT_EQ(result.verdict, Verdict::Allow);
                if (i % 255 == 254) {
                    mine.batchTime += kMergeIntervalNs;
                    MergeWorkerBuffer(*engine, mine, mine.batchTime);
                }
            }
            // A busy shard keeps its counts; keep merging until every shard took them.
            do {
                mine.batchTime += kMergeIntervalNs;
            } while (!MergeWorkerBuffer(*engine, mine, mine.batchTime));
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    done = true;
    reader.join();

    uint64_t packets = 0;
    uint64_t syns = 0;
    for (uint32_t i = 0; i < 24 * 3; ++i) {
        RateSnapshot snapshot = ReadSnapshot(*engine, SharedSource(i), 80);
        ASSERT_TRUE(snapshot.valid);
        EXPECT_EQ(snapshot.ipPackets, snapshot.ipPortPackets);
        packets += snapshot.ipPackets;
        syns += snapshot.ipSyns;
    }
    EXPECT_EQ(packets, uint64_t{kWorkers} * kPacketsPerWorker);
    EXPECT_EQ(syns, packets);
    EXPECT_EQ(rules().evaluatedPackets.value, packets);
    EXPECT_EQ(rules().validSynWindow.value, packets);
}

TEST_F(RuleEngineTest, SourceTotalsStayExactUnderConcurrentCountingAndResets) {
    SetAllRules({}, {Rule(RuleKind::UdpNewSourceLimit, "new", kNeverFires)},
                {Rule(RuleKind::IcmpSourceCount, "icmp", kNeverFires)});
    std::atomic<bool> done{false};
    std::thread cleanup([&] {
        int64_t now = kStart;
        while (!done.load()) {
            now += kNsPerSecond;
            ResetWindow(*engine, now);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            CaptureScratch& mine = ThreadCaptureScratch();
            VerdictResult result;
            for (uint32_t i = 0; i < 4000; ++i) {
                mine.batchTime = kStart + i * kNsPerMs;
                uint32_t source = Ip(10, 50, 0, 0) + (i * 7 + w) % 1500;
                EvaluateUdp(*engine, result, Packet::Udp().From(source).Payload(32));
                EvaluateIcmp(*engine, result, Packet::Icmp(8).From(source).Payload(32));
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    done = true;
    cleanup.join();
    EXPECT_EQ(UdpSourceCount(*engine), CountUdpSources(*engine));
    EXPECT_EQ(IcmpSourceCount(*engine), CountIcmpSources(*engine));
    EXPECT_EQ(rules().udpPackets, uint64_t{kWorkers} * 4000);
    EXPECT_EQ(rules().icmpPackets, uint64_t{kWorkers} * 4000);
}

TEST_F(RuleEngineTest, BlockedQueueLosesOnlyWhatItRefusedWhileBeingDrained) {
    std::atomic<bool> done{false};
    std::atomic<uint64_t> refused{0};
    uint64_t drained = 0;
    std::thread cleanup([&] {
        while (!done.load())
            drained += ProcessBlockedQueue(*engine);
        while (uint64_t n = ProcessBlockedQueue(*engine))
            drained += n;
    });
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (uint32_t i = 0; i < 2000; ++i) {
                if (!QueueBlockedAddress(*engine, Ip(10, 70, w, 0) + i)) refused.fetch_add(1);
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    done = true;
    cleanup.join();
    EXPECT_EQ(drained + refused.load(), uint64_t{kWorkers} * 2000);
    EXPECT_TRUE(rules().blockedQueue.addresses.empty());
}

}  // namespace
}  // namespace bastion
