#include "rules/Counters.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <type_traits>

#include "engine/PacketProcessor.h"

namespace bastion {

namespace {

// Adds a buffer's (source, port) counts to the table's (source, port) map and their sums
// per source to its per-source map.
void AddCounts(AddressCounts& perSource, AddressPortCounts& perSourcePort,
               const AddressPortCounts& buffered) {
    buffered.for_each([&](uint64_t sourcePort, uint64_t count) {
        perSourcePort[sourcePort] += count;
        perSource[static_cast<uint32_t>(sourcePort)] += count;
    });
}

// Below these many slots a cleared map keeps its memory whatever it held: a window's
// table, and a worker's buffer between two merges.
constexpr size_t kTableTrimFloorSlots = 1024;
constexpr size_t kBufferTrimFloorSlots = 64;

// Clears `map` for the next period. Its memory is kept while the period just ended used a
// fair share of it, so steady traffic never reallocates; after a flood the map gives back
// what the next period is unlikely to need. Clearing and iterating cost time in proportion
// to the capacity, so an oversized map would also slow every later merge and reset.
template <class Map>
void ClearForNextPeriod(Map& map, size_t floorSlots) {
    size_t used = map.size();
    map.clear();
    if (map.capacity() > floorSlots && map.capacity() / 8 >= Map::capacity_for(used)) {
        map.shrink_to_fit();
        map.reserve(used);
    }
}

template <class Map>
void ClearForNextWindow(Map& map) {
    ClearForNextPeriod(map, kTableTrimFloorSlots);
}

uint64_t ClampedTotal(const std::atomic<int64_t>& total) {
    int64_t value = total.load(std::memory_order_relaxed);
    return value < 0 ? 0 : static_cast<uint64_t>(value);
}

template <class SizeOf>
uint64_t SumShardSizesLocked(PacketProcessor& engine, SizeOf sizeOf) {
    uint64_t total = 0;
    for (RateShard& shard : engine.ruleEngine.rateTable.shards) {
        std::lock_guard lock(shard.mutex);
        total += sizeOf(shard);
    }
    return total;
}

template <class SizeOf>
uint64_t SumShardSizesTryLock(PacketProcessor& engine, SizeOf sizeOf) {
    uint64_t total = 0;
    for (RateShard& shard : engine.ruleEngine.rateTable.shards) {
        std::unique_lock lock(shard.mutex, std::try_to_lock);
        if (lock.owns_lock()) total += sizeOf(shard);
    }
    return total;
}

}  // namespace

bool IsLocalSource(const PacketProcessor& engine, uint32_t address, size_t addressHash) {
    static_assert(std::is_same_v<AddressSet::Hasher, AddressCounts::hasher>);
    return engine.localAddresses.Contains(address, addressHash) ||
           engine.apiHostAddresses.Contains(address, addressHash);
}

bool MergeCounterShard(PacketProcessor& engine, size_t shardIndex, WorkerCounterShard& buffer) {
    RateShard& shard = engine.ruleEngine.rateTable.shards[shardIndex];
    std::unique_lock lock(shard.mutex, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    AddCounts(shard.ipPackets, shard.ipPortPackets, buffer.ipPortPackets);
    AddCounts(shard.ipSyns, shard.ipPortSyns, buffer.ipPortSyns);
    auto small = [](const auto&, uint64_t count) { return count < kPruneBelow; };
    if (shard.ipPackets.size() + shard.ipPortPackets.size() > kPruneEntryLimit) {
        shard.ipPackets.erase_if(small);
        shard.ipPortPackets.erase_if(small);
    }
    // A spoofed SYN flood fills the SYN maps exactly as fast as the packet maps; without
    // the same bound they would grow with every distinct source of the window.
    if (shard.ipSyns.size() + shard.ipPortSyns.size() > kPruneEntryLimit) {
        shard.ipSyns.erase_if(small);
        shard.ipPortSyns.erase_if(small);
    }
    lock.unlock();
    // Cleared rather than moved out, so the buffer keeps its memory for the next interval.
    ClearForNextPeriod(buffer.ipPortPackets, kBufferTrimFloorSlots);
    ClearForNextPeriod(buffer.ipPortSyns, kBufferTrimFloorSlots);
    return true;
}

void FlushEngineCounts(PacketProcessor& engine, WorkerCounterShards& counters) {
    WorkerEngineCounts& counts = counters.engineCounts;
    RuleEngineState& state = engine.ruleEngine;
    auto flush = [](LineCounter& counter, uint64_t& pending) {
        if (pending == 0) return;
        counter.value.fetch_add(pending, std::memory_order_relaxed);
        pending = 0;
    };
    flush(state.evaluatedPackets, counts.evaluated);
    flush(state.synPackets, counts.syns);
    flush(state.validSynWindow, counts.validSyns);
    flush(state.enforcedPackets, counts.enforced);
}

bool MergeWorkerBuffer(PacketProcessor& engine, CaptureScratch& scratch, int64_t now) {
    RuleEngineState& state = engine.ruleEngine;
    FlushEngineCounts(engine, scratch.counterShards);
    if (scratch.processed != 0) {
        state.statsRecv.fetch_add(scratch.processed);
        state.statsSend.fetch_add(scratch.allowed);
        state.statsDrop.fetch_add(scratch.dropped);
        state.statsBlock.fetch_add(scratch.blocked);
        scratch.processed = scratch.allowed = scratch.dropped = scratch.blocked = 0;
    }
    if (now - scratch.lastMerge < kMergeIntervalNs) return true;

    bool complete = true;
    for (size_t i = 0; i < kRateShardCount; ++i) {
        WorkerCounterShard& buffer = scratch.counterShards.shards[i];
        if (buffer.empty()) continue;
        if (!MergeCounterShard(engine, i, buffer)) complete = false;
    }
    if (complete) scratch.lastMerge = now;
    return complete;
}

RateSnapshot ReadSnapshot(PacketProcessor& engine, const SourceKeys& keys, bool withSyns) {
    RateSnapshot snapshot;
    RateShard& shard = engine.ruleEngine.rateTable.ShardFor(keys.address);
    std::unique_lock lock(shard.mutex, std::try_to_lock);
    if (!lock.owns_lock()) return snapshot;
    auto read = [](const auto& map, const auto& key, size_t hash) -> uint64_t {
        const uint64_t* count = map.find_hashed(key, hash);
        return count != nullptr ? *count : 0;
    };
    shard.ipPortPackets.prefetch_hashed(keys.addressPortHash);
    if (withSyns) {
        shard.ipSyns.prefetch_hashed(keys.addressHash);
        shard.ipPortSyns.prefetch_hashed(keys.addressPortHash);
    }
    snapshot.ipPackets = read(shard.ipPackets, keys.address, keys.addressHash);
    snapshot.ipPortPackets = read(shard.ipPortPackets, keys.addressPort, keys.addressPortHash);
    if (withSyns) {
        snapshot.ipSyns = read(shard.ipSyns, keys.address, keys.addressHash);
        snapshot.ipPortSyns = read(shard.ipPortSyns, keys.addressPort, keys.addressPortHash);
    }
    snapshot.valid = true;
    return snapshot;
}

void ResetWindow(PacketProcessor& engine, int64_t now) {
    RateTable& table = engine.ruleEngine.rateTable;
    for (RateShard& shard : table.shards) {
        {
            std::lock_guard lock(shard.mutex);
            table.udpSourceTotal.fetch_sub(static_cast<int64_t>(shard.udpIpPackets.size()),
                                           std::memory_order_relaxed);
            ClearForNextWindow(shard.ipPackets);
            ClearForNextWindow(shard.ipPortPackets);
            ClearForNextWindow(shard.ipSyns);
            ClearForNextWindow(shard.ipPortSyns);
            ClearForNextWindow(shard.udpIpPackets);
            ClearForNextWindow(shard.udpIpBytes);
        }
        {
            std::lock_guard lock(shard.mutex);
            shard.udpFlows.erase_if([now](uint64_t, const UdpFlowEntry& flow) {
                return now - flow.lastSeen > kUdpFlowLifetimeNs;
            });
        }
        {
            std::lock_guard lock(shard.mutex);
            size_t erased = shard.icmpIpStats.erase_if([now](uint32_t, const IcmpSourceStats& s) {
                return now - s.lastSeen > kIcmpSourceLifetimeNs;
            });
            table.icmpSourceTotal.fetch_sub(static_cast<int64_t>(erased),
                                            std::memory_order_relaxed);
        }
        {
            std::lock_guard lock(shard.mutex);
            shard.icmpIpStats.for_each([](uint32_t, IcmpSourceStats& stats) {
                stats.packets = 0;
                stats.bytes = 0;
            });
        }
    }
    engine.ruleEngine.lastWindowResetTime.store(now, std::memory_order_relaxed);
}

uint64_t UdpSourceCount(const PacketProcessor& engine) {
    return ClampedTotal(engine.ruleEngine.rateTable.udpSourceTotal);
}

uint64_t IcmpSourceCount(const PacketProcessor& engine) {
    return ClampedTotal(engine.ruleEngine.rateTable.icmpSourceTotal);
}

uint64_t WalkUdpSourceCount(PacketProcessor& engine) {
    return SumShardSizesTryLock(engine, [](const RateShard& s) { return s.udpIpPackets.size(); });
}

uint64_t WalkIcmpSourceCount(PacketProcessor& engine) {
    return SumShardSizesTryLock(engine, [](const RateShard& s) { return s.icmpIpStats.size(); });
}

uint64_t CountTcpSources(PacketProcessor& engine) {
    return SumShardSizesLocked(engine, [](const RateShard& s) { return s.ipPackets.size(); });
}

uint64_t CountUdpSources(PacketProcessor& engine) {
    return SumShardSizesLocked(engine, [](const RateShard& s) { return s.udpIpPackets.size(); });
}

uint64_t CountIcmpSources(PacketProcessor& engine) {
    return SumShardSizesLocked(engine, [](const RateShard& s) { return s.icmpIpStats.size(); });
}

size_t RateTableMemoryBytes(PacketProcessor& engine) {
    return SumShardSizesLocked(engine, [](const RateShard& s) { return s.MemoryBytes(); });
}

void ConnectionCountCache::Load(bool wantIp, bool wantIpPort, bool wantTotal) {
    bool needIp = wantIp && !ipLoaded;
    bool needIpPort = wantIpPort && !ipPortLoaded;
    bool needTotal = wantTotal && !totalLoaded;
    if (!needIp && !needIpPort && !needTotal) return;
    AddressPortKey portKey{};
    portKey.address = keys_.address;
    portKey.port = keys_.port;
    // Both tables pack (source, port) alike: the hash carries over.
    const size_t portKeyHash = keys_.addressPortHash;
    std::shared_lock lock(tables_.connTableLock, std::try_to_lock);
    if (!lock.owns_lock()) return;
    if (needIpPort) tables_.connectionCountByAddressPort.prefetch_hashed(portKeyHash);
    if (needIp) {
        // Same key type and hasher as the rate table's address maps: the hash carries over.
        using ByAddress = decltype(tables_.connectionCountByAddress);
        static_assert(std::is_same_v<ByAddress::hasher, AddressCounts::hasher>);
        const uint32_t* count =
            tables_.connectionCountByAddress.find_hashed(keys_.address, keys_.addressHash);
        ipConnections = count != nullptr ? *count : 0;
        ipLoaded = true;
    }
    if (needIpPort) {
        const uint32_t* count =
            tables_.connectionCountByAddressPort.find_hashed(portKey, portKeyHash);
        ipPortConnections = count != nullptr ? *count : 0;
        ipPortLoaded = true;
    }
    if (needTotal) {
        establishedIpCount = tables_.connectionCountByAddress.size();
        totalLoaded = true;
    }
}

}  // namespace bastion
