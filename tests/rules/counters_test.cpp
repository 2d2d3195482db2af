// The rate table: counting in the worker's private shards, merging under try-locks, the
// pruning bound, snapshots, the window reset, source totals and connection facts.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "RuleTestSupport.h"

namespace bastion {
namespace {

using namespace testing_support;

// Holds one mutex from another thread (a try_lock by the owning thread would be undefined).
class HeldElsewhere {
  public:
    template <class Mutex>
    explicit HeldElsewhere(Mutex& mutex) {
        std::promise<void> locked;
        std::future<void> isLocked = locked.get_future();
        thread_ = std::thread([&mutex, &locked, release = release_.get_future()]() mutable {
            std::lock_guard lock(mutex);
            locked.set_value();
            release.wait();
        });
        isLocked.wait();
    }
    ~HeldElsewhere() { Release(); }
    void Release() {
        if (!thread_.joinable()) return;
        release_.set_value();
        thread_.join();
    }

  private:
    std::promise<void> release_;
    std::thread thread_;
};

uint64_t Count(const AddressPortCounts& map, uint64_t key) {
    const uint64_t* value = map.find(key);
    return value != nullptr ? *value : 0;
}

using CountersTest = RuleEngineTest;

TEST_F(CountersTest, ASourcesFirstPacketsReadZeroUntilItsWorkerMerges) {
    SetTcpRules({Rule(RuleKind::IpPacketRate, "pps", 5)});
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(Tcp(Packet::Tcp()).verdict, Verdict::Allow) << i;
    }
    EXPECT_EQ(ReadSnapshot(*engine, kClient, kServerPort).ipPackets, 0u);
    ASSERT_TRUE(AdvanceAndMerge());
    VerdictResult later = Tcp(Packet::Tcp());
    EXPECT_EQ(later.verdict, Verdict::Drop);
    EXPECT_NE(later.reason.find("PPS hiện tại của IP là 10 "), std::string::npos) << later.reason;
}

TEST_F(CountersTest, CountPacketCountsSynsOnlyForPureSyns) {
    Tcp(Packet::Syn());
    Tcp(Packet::Syn().ToPort(443));
    Tcp(Packet::SynAck());
    Tcp(Packet::Tcp());
    ASSERT_TRUE(AdvanceAndMerge());
    RateSnapshot port80 = ReadSnapshot(*engine, kClient, 80);
    RateSnapshot port443 = ReadSnapshot(*engine, kClient, 443);
    EXPECT_TRUE(port80.valid);
    EXPECT_EQ(port80.ipPackets, 4u);
    EXPECT_EQ(port80.ipPortPackets, 3u);
    EXPECT_EQ(port80.ipSyns, 2u);
    EXPECT_EQ(port80.ipPortSyns, 1u);
    EXPECT_EQ(port443.ipPortPackets, 1u);
    EXPECT_EQ(port443.ipPortSyns, 1u);
    EXPECT_EQ(ReadSnapshot(*engine, kClient, 80, false).ipSyns, 0u);
}

// The extreme addresses and ports a spoofed flood can send count as ordinary keys, apart
// from each other in the packed (address, port) keys.
TEST_F(CountersTest, ExtremeAddressesAndPortsCountApart) {
    struct Case {
        uint32_t address;
        uint16_t port;
        uint64_t packets;
        uint64_t addressTotal;
    };
    const Case cases[] = {
        {0, 0, 1, 3}, {0, 65535, 2, 3}, {0xFFFFFFFF, 0, 3, 7}, {0xFFFFFFFF, 65535, 4, 7}};
    for (const Case& c : cases) {
        for (uint64_t i = 0; i < c.packets; ++i)
            CountPacket(scratch, c.address, c.port, true);
    }
    ASSERT_TRUE(AdvanceAndMerge());
    for (const Case& c : cases) {
        RateSnapshot snapshot = ReadSnapshot(*engine, c.address, c.port);
        EXPECT_EQ(snapshot.ipPortPackets, c.packets) << c.address << ":" << c.port;
        EXPECT_EQ(snapshot.ipPortSyns, c.packets) << c.address << ":" << c.port;
        EXPECT_EQ(snapshot.ipPackets, c.addressTotal) << c.address;
        EXPECT_EQ(snapshot.ipSyns, c.addressTotal) << c.address;
    }
}

TEST_F(CountersTest, MergesAtMostEveryFiftyMilliseconds) {
    CountPacket(scratch, kClient, 80, false);
    EXPECT_TRUE(AdvanceAndMerge(kMergeIntervalNs - 1));
    EXPECT_EQ(ReadSnapshot(*engine, kClient, 80).ipPackets, 0u);
    EXPECT_EQ(scratch.lastMerge, kStart);
    EXPECT_TRUE(AdvanceAndMerge(1));
    EXPECT_EQ(ReadSnapshot(*engine, kClient, 80).ipPackets, 1u);
    EXPECT_EQ(scratch.lastMerge, kStart + kMergeIntervalNs);
    EXPECT_TRUE(scratch.counterShards.ShardFor(kClient).empty());
}

TEST_F(CountersTest, BatchCountersGoToTheStatisticsTotalsOnEveryCall) {
    scratch.processed = 10;
    scratch.allowed = 6;
    scratch.dropped = 3;
    scratch.blocked = 1;
    AdvanceAndMerge(1);  // too early to merge shards, not too early to flush
    EXPECT_EQ(rules().statsRecv, 10u);
    EXPECT_EQ(rules().statsSend, 6u);
    EXPECT_EQ(rules().statsDrop, 3u);
    EXPECT_EQ(rules().statsBlock, 1u);
    EXPECT_EQ(scratch.processed + scratch.allowed + scratch.dropped + scratch.blocked, 0u);
}

TEST_F(CountersTest, ABusyShardKeepsItsCountsWhileOthersMerge) {
    const uint32_t busySource = Ip(10, 0, 0, 5);
    const uint32_t freeSource = Ip(10, 0, 0, 6);
    HeldElsewhere held(ShardOf(busySource).mutex);
    for (int i = 0; i < 3; ++i) {
        CountPacket(scratch, busySource, 80, false);
        CountPacket(scratch, freeSource, 80, false);
    }
    EXPECT_FALSE(AdvanceAndMerge());
    EXPECT_EQ(scratch.lastMerge, kStart);
    // The readable shard has its counts; the busy one reads as zero and invalid.
    EXPECT_EQ(ReadSnapshot(*engine, freeSource, 80).ipPackets, 3u);
    RateSnapshot busy = ReadSnapshot(*engine, busySource, 80);
    EXPECT_FALSE(busy.valid);
    EXPECT_EQ(busy.ipPackets, 0u);

    // Still busy: the next call tries again at once (no 50 ms wait) and the buffer grows.
    for (int i = 0; i < 4; ++i)
        CountPacket(scratch, busySource, 80, false);
    EXPECT_FALSE(AdvanceAndMerge(1));
    EXPECT_EQ(Count(scratch.counterShards.ShardFor(busySource).ipPortPackets,
                    PackAddressPort(busySource, 80)),
              7u);

    held.Release();
    EXPECT_TRUE(AdvanceAndMerge(1));
    EXPECT_EQ(ReadSnapshot(*engine, busySource, 80).ipPackets, 7u);
    EXPECT_EQ(ReadSnapshot(*engine, freeSource, 80).ipPackets, 3u);
    EXPECT_EQ(scratch.lastMerge, kStart + kMergeIntervalNs + 2);
}

TEST_F(CountersTest, MergingKeepsTheWorkerBuffersMemory) {
    for (uint32_t i = 0; i < 1000; ++i)
        CountPacket(scratch, Ip(10, 1, 0, 0) + i, 80, true);
    size_t before = 0;
    for (const WorkerCounterShard& shard : scratch.counterShards.shards) {
        before += shard.ipPortPackets.capacity() + shard.ipPortSyns.capacity();
    }
    ASSERT_TRUE(AdvanceAndMerge());
    size_t after = 0;
    for (const WorkerCounterShard& shard : scratch.counterShards.shards) {
        EXPECT_TRUE(shard.empty());
        after += shard.ipPortPackets.capacity() + shard.ipPortSyns.capacity();
    }
    EXPECT_EQ(after, before);
    EXPECT_EQ(CountTcpSources(*engine), 1000u);
}

TEST_F(CountersTest, AWorkerBufferGivesBackMemoryOnceAFloodIsOver) {
    WorkerCounterShard& buffer = scratch.counterShards.shards[0];
    for (uint32_t i = 0; i < 20'000; ++i)
        CountPacket(scratch, (i + 1) << 7, 80, false);
    const size_t floodCapacity = buffer.ipPortPackets.capacity();
    ASSERT_TRUE(AdvanceAndMerge());
    EXPECT_EQ(buffer.ipPortPackets.capacity(), floodCapacity);  // the interval used it all
    for (uint32_t i = 0; i < 10; ++i)
        CountPacket(scratch, (i + 1) << 7, 80, false);
    ASSERT_TRUE(AdvanceAndMerge());
    // Merging walks every slot, so a buffer left at flood size would slow every merge.
    EXPECT_LE(buffer.ipPortPackets.capacity(), 64u);
    EXPECT_EQ(ReadSnapshot(*engine, 1u << 7, 80).ipPackets, 2u);
}

// 49,999 sources with one port each and one source with two ports: maps 1 and 2 of the
// shard hold 100,001 entries after the merge (maps 3 and 4 too when every packet is a pure
// SYN). Counts cycle 1, 2, 3, 4 by source.
TEST_F(CountersTest, PruningDropsCountsBelowThreeOnceAShardPassesTheBound) {
    for (bool syn : {false, true}) {
        for (size_t total : {size_t{100'000}, size_t{100'001}}) {
            SCOPED_TRACE(::testing::Message() << "syn " << syn << ", entries " << total);
            FreshEngine();
            const uint32_t sources = 50'000;
            auto address = [](uint32_t i) { return (i + 1) << 7; };  // all in shard 0
            for (uint32_t i = 0; i < sources; ++i) {
                for (uint32_t n = 0; n <= i % 4; ++n)
                    CountPacket(scratch, address(i), 80, syn);
            }
            if (total == 100'001) CountPacket(scratch, address(7), 443, syn);
            ASSERT_TRUE(AdvanceAndMerge());
            RateShard& shard = rules().rateTable.shards[0];
            if (total == 100'000) {
                EXPECT_EQ(shard.ipPackets.size() + shard.ipPortPackets.size(), 100'000u);
                EXPECT_EQ(shard.ipSyns.size() + shard.ipPortSyns.size(), syn ? 100'000u : 0u);
                continue;
            }
            // Source 7 sent 4 + 1 packets: 5 in map 1, 4 and 1 in map 2.
            for (uint32_t i = 0; i < sources; ++i) {
                uint64_t expected = i % 4 + 1;
                if (i == 7) expected += 1;
                EXPECT_EQ(shard.ipPackets.contains(address(i)), expected >= 3) << i;
                if (syn) {
                    EXPECT_EQ(shard.ipSyns.contains(address(i)), expected >= 3) << i;
                }
            }
            EXPECT_EQ(shard.ipPackets.size(), sources / 2);
            std::vector<const AddressPortCounts*> portMaps = {&shard.ipPortPackets};
            if (syn) portMaps.push_back(&shard.ipPortSyns);
            for (const AddressPortCounts* map : portMaps) {
                EXPECT_EQ(Count(*map, PackAddressPort(address(7), 80)), 4u);
                EXPECT_FALSE(map->contains(PackAddressPort(address(7), 443)));
                EXPECT_FALSE(map->contains(PackAddressPort(address(1), 80)));
                EXPECT_EQ(Count(*map, PackAddressPort(address(2), 80)), 3u);
            }
        }
    }
}

// Addresses that all fall into shard 0 and share their low 13 bits: under a hash that keeps
// the low bits (identity, or FNV-style reduced by the power-of-two capacity) every one of
// them lands in the same bucket of an 8192-slot table, so each lookup walks the whole
// cluster. The rate table's keyed hash must keep them spread.
TEST_F(CountersTest, CraftedCollidingSourcesStaySpreadInTheRateTable) {
    struct LowBitsHash {
        size_t operator()(uint32_t address) const { return address; }
    };
    constexpr uint32_t kSources = 4096;
    auto address = [](uint32_t i) { return (i << 13) | (7u << 7); };
    FlatHashMap<uint32_t, uint64_t, LowBitsHash> plain;
    for (uint32_t i = 0; i < kSources; ++i) {
        plain[address(i)] += 1;
        CountPacket(scratch, address(i), 80, false);
    }
    ASSERT_TRUE(AdvanceAndMerge());
    const AddressCounts& table = rules().rateTable.ShardFor(address(0)).ipPackets;
    ASSERT_EQ(table.size(), kSources);
    ASSERT_EQ(plain.capacity(), table.capacity());

    size_t plainProbes = 0;
    size_t keyedProbes = 0;
    size_t keyedWorst = 0;
    for (uint32_t i = 0; i < kSources; ++i) {
        plainProbes += plain.probe_count(address(i));
        size_t probes = table.probe_count(address(i));
        keyedProbes += probes;
        keyedWorst = std::max(keyedWorst, probes);
    }
    // The plain hash degenerates into one run: about kSources / 2 probes per lookup.
    EXPECT_GT(plainProbes / kSources, kSources / 4);
    // Linear probing at half load averages 1.5 probes per successful lookup.
    EXPECT_LT(static_cast<double>(keyedProbes) / kSources, 3.0);
    EXPECT_LT(keyedWorst, 64u);
    // An absent crafted address is refuted as quickly.
    EXPECT_LT(table.probe_count(address(kSources + 1)), 64u);
}

TEST_F(CountersTest, WindowResetClearsCountsAndAgesUdpFlowsAndIcmpSources) {
    SetUdpRules({});
    const uint32_t recent = Ip(10, 0, 0, 2);
    const uint32_t edge = Ip(10, 0, 0, 3);
    const uint32_t old = Ip(10, 0, 0, 4);

    Tcp(Packet::Syn());
    ASSERT_TRUE(AdvanceAndMerge());
    Udp(Packet::Udp().Payload(100));
    // Echo requests seen 10 s + 1 ns, exactly 10 s and 2 s before the reset.
    const int64_t resetAt = scratch.batchTime + 20 * kNsPerSecond;
    scratch.batchTime = resetAt - 10 * kNsPerSecond - 1;
    Icmp(Packet::Icmp(8).From(old).Payload(56));
    scratch.batchTime = resetAt - 10 * kNsPerSecond;
    Icmp(Packet::Icmp(8).From(edge).Payload(56));
    scratch.batchTime = resetAt - 2 * kNsPerSecond;
    Icmp(Packet::Icmp(8).From(recent).Payload(56));
    ASSERT_EQ(IcmpSourceCount(*engine), 3u);

    ResetWindow(*engine, resetAt);
    EXPECT_EQ(rules().lastWindowResetTime, resetAt);
    RateSnapshot tcp = ReadSnapshot(*engine, kClient, kServerPort);
    EXPECT_EQ(tcp.ipPackets + tcp.ipPortPackets + tcp.ipSyns + tcp.ipPortSyns, 0u);
    EXPECT_TRUE(ShardOf(kClient).udpIpPackets.empty());
    EXPECT_TRUE(ShardOf(kClient).udpIpBytes.empty());
    EXPECT_EQ(UdpSourceCount(*engine), 0u);
    // The UDP flow was seen 20 s ago: kept until 30 s.
    EXPECT_EQ(ShardOf(kClient).udpFlows.size(), 1u);

    EXPECT_FALSE(ShardOf(old).icmpIpStats.contains(old));
    for (uint32_t source : {edge, recent}) {
        const IcmpSourceStats* stats = ShardOf(source).icmpIpStats.find(source);
        ASSERT_NE(stats, nullptr) << source;
        EXPECT_EQ(stats->packets, 0u);
        EXPECT_EQ(stats->bytes, 0u);
    }
    EXPECT_EQ(IcmpSourceCount(*engine), 2u);

    // The flow is now exactly 30 s old: kept; a nanosecond later it goes.
    ResetWindow(*engine, resetAt + 10 * kNsPerSecond);
    EXPECT_EQ(ShardOf(kClient).udpFlows.size(), 1u);
    EXPECT_EQ(IcmpSourceCount(*engine), 0u);
    ResetWindow(*engine, resetAt + 10 * kNsPerSecond + 1);
    EXPECT_TRUE(ShardOf(kClient).udpFlows.empty());
}

TEST_F(CountersTest, ResetKeepsMemoryForSteadyTrafficAndReturnsItAfterAFlood) {
    RateShard& shard = rules().rateTable.shards[0];
    auto flood = [&](uint32_t sources) {
        for (uint32_t i = 0; i < sources; ++i)
            CountPacket(scratch, (i + 1) << 7, 80, false);
        ASSERT_TRUE(AdvanceAndMerge());
    };
    flood(20'000);
    const size_t floodCapacity = shard.ipPackets.capacity();
    ResetWindow(*engine, scratch.batchTime);
    EXPECT_EQ(shard.ipPackets.capacity(), floodCapacity);  // the window used it all
    flood(12'000);  // a smaller window still uses a fair share: nothing is given back
    ResetWindow(*engine, scratch.batchTime);
    EXPECT_EQ(shard.ipPackets.capacity(), floodCapacity);
    flood(50);  // the flood is over
    ResetWindow(*engine, scratch.batchTime);
    EXPECT_LT(shard.ipPackets.capacity(), floodCapacity / 8);
    EXPECT_GE(shard.ipPackets.capacity(), AddressCounts::capacity_for(50));
}

TEST_F(CountersTest, SourceTotalsMatchTheShardMaps) {
    for (uint32_t i = 0; i < 300; ++i) {
        Udp(Packet::Udp().From(Ip(10, 2, 0, 0) + i * 37));
        Udp(Packet::Udp().From(Ip(10, 2, 0, 0) + i * 37));  // a repeat is no new source
        Icmp(Packet::Icmp(i % 3 == 0 ? 8 : 0).From(Ip(10, 3, 0, 0) + i));
    }
    EXPECT_EQ(UdpSourceCount(*engine), 300u);
    EXPECT_EQ(WalkUdpSourceCount(*engine), 300u);
    EXPECT_EQ(CountUdpSources(*engine), 300u);
    EXPECT_EQ(IcmpSourceCount(*engine), 100u);
    EXPECT_EQ(WalkIcmpSourceCount(*engine), 100u);
    EXPECT_EQ(CountIcmpSources(*engine), 100u);
    ResetWindow(*engine, scratch.batchTime + 11 * kNsPerSecond);
    EXPECT_EQ(UdpSourceCount(*engine), 0u);
    EXPECT_EQ(IcmpSourceCount(*engine), 0u);
    EXPECT_EQ(CountUdpSources(*engine) + CountIcmpSources(*engine), 0u);
}

TEST_F(CountersTest, ConnectionFactsLoadOnceAndRetryAfterABusyLock) {
    SeedConnections(kClient, 80, 2, 3);
    SeedEstablishedAddresses(10);
    ConnectionTables& tables = engine->connections;
    ConnectionCountCache cache(tables, SourceKeys(kClient, 80));
    // Busy: nothing loaded, every value reads 0.
    std::promise<void> locked;
    std::promise<void> release;
    std::thread holder([&] {
        std::unique_lock lock(tables.connTableLock);
        locked.set_value();
        release.get_future().wait();
    });
    locked.get_future().wait();
    cache.Load(true, true, true);
    EXPECT_FALSE(cache.ipLoaded || cache.ipPortLoaded || cache.totalLoaded);
    EXPECT_EQ(cache.ipConnections + cache.ipPortConnections + cache.establishedIpCount, 0u);
    release.set_value();
    holder.join();

    cache.Load(true, false, false);
    EXPECT_TRUE(cache.ipLoaded);
    EXPECT_FALSE(cache.ipPortLoaded);
    EXPECT_EQ(cache.ipConnections, 3u);
    // Loaded values are not fetched again for the same packet.
    SeedConnections(kClient, 80, 9, 9);
    cache.Load(true, true, true);
    EXPECT_EQ(cache.ipConnections, 3u);
    EXPECT_EQ(cache.ipPortConnections, 9u);
    EXPECT_EQ(cache.establishedIpCount, 10u);
    // An address with no entry reads 0, loaded.
    ConnectionCountCache stranger(tables, SourceKeys(Ip(8, 8, 8, 8), 53));
    stranger.Load(true, true, false);
    EXPECT_TRUE(stranger.ipLoaded && stranger.ipPortLoaded);
    EXPECT_EQ(stranger.ipConnections + stranger.ipPortConnections, 0u);
}

}  // namespace
}  // namespace bastion
