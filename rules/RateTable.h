// The per-source counter tables of the rate rules.
//
// RateTable: 128 independently locked shards, shard = source address & 127. Maps 1 to 4
// (TCP) are filled only by the capture workers' merges of their private counter shards;
// maps 5 to 8 (UDP, ICMP) are written directly by the UDP and ICMP evaluators. The cleanup
// loop clears the counting maps once a second, so a count is the number of packets seen
// in the current one-second window.
//
// WorkerCounterShards: a capture worker's private counts (maps 2 and 4; maps 1 and 3 are
// derived from them when merging) and its
// share of the engine counters, kept per thread in CaptureScratch and merged in bulk, so
// that counting a TCP packet takes no lock and touches no shared line at all.
//
// Every map is a FlatHashMap keyed by the process's secret hash: the keys are source
// addresses, which a spoofed flood chooses. Keys of more than one field are packed into a
// 64-bit integer (no padding to keep zeroed).
//
// Thread-safety: a RateShard's maps only under its mutex. The packet path takes shard
// mutexes with try_lock only; the cleanup loop and the metrics tick lock them blockingly
// (TryFirstMutex: the release the packet path pays is a plain store).
// A shard mutex is never held while taking another shard's mutex or `connTableLock`.
// WorkerCounterShards belong to one thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/FlatHashMap.h"
#include "engine/PacketPathLocks.h"

namespace bastion {

constexpr size_t kRateShardCount = 128;

inline size_t RateShardIndex(uint32_t address) {
    return address & (kRateShardCount - 1);
}

// Key of the (source address, destination port) maps.
inline uint64_t PackAddressPort(uint32_t address, uint16_t port) {
    return uint64_t{address} | (uint64_t{port} << 32);
}

// Key of udpFlows: (source address, source port, destination port).
inline uint64_t PackUdpFlow(uint32_t address, uint16_t srcPort, uint16_t dstPort) {
    return uint64_t{address} | (uint64_t{srcPort} << 32) | (uint64_t{dstPort} << 48);
}

using AddressCounts = FlatHashMap<uint32_t, uint64_t>;
using AddressPortCounts = FlatHashMap<uint64_t, uint64_t>;

struct UdpFlowEntry {
    int64_t firstSeen = 0;  // steady ns, batch time of the flow's first packet
    int64_t lastSeen = 0;   // steady ns, batch time of its latest packet
    uint64_t packets = 0;
    uint64_t bytes = 0;  // payload bytes
};

struct IcmpSourceStats {
    uint64_t packets = 0;  // echo requests of the current window
    uint64_t bytes = 0;    // their payload bytes
    int64_t lastSeen = 0;  // steady ns of the latest echo request
};

struct alignas(64) RateShard {
    TryFirstMutex mutex;
    AddressCounts ipPackets;                       // 1: TCP packets per source
    AddressPortCounts ipPortPackets;               // 2: TCP packets per (source, destination port)
    AddressCounts ipSyns;                          // 3: pure SYNs per source
    AddressPortCounts ipPortSyns;                  // 4: pure SYNs per (source, destination port)
    AddressCounts udpIpPackets;                    // 5: UDP packets per source
    AddressCounts udpIpBytes;                      // 6: UDP payload bytes per source
    FlatHashMap<uint64_t, UdpFlowEntry> udpFlows;  // 7: per (source, sport, dport)
    FlatHashMap<uint32_t, IcmpSourceStats> icmpIpStats;  // 8: echo requests per source

    // Entry storage held by the eight maps, in bytes.
    size_t MemoryBytes() const {
        return ipPackets.memory_bytes() + ipPortPackets.memory_bytes() + ipSyns.memory_bytes() +
               ipPortSyns.memory_bytes() + udpIpPackets.memory_bytes() + udpIpBytes.memory_bytes() +
               udpFlows.memory_bytes() + icmpIpStats.memory_bytes();
    }
};

struct RateTable {
    std::array<RateShard, kRateShardCount> shards;

    // Sources present in udpIpPackets and icmpIpStats over all shards. Each is changed
    // only under the mutex of the shard whose map gained or lost the entries, so it equals
    // the sum of the maps' sizes whenever no shard operation is in progress: the UDP and
    // ICMP rules read one number instead of try-locking all 128 shards per packet.
    alignas(64) std::atomic<int64_t> udpSourceTotal{0};
    alignas(64) std::atomic<int64_t> icmpSourceTotal{0};

    RateShard& ShardFor(uint32_t address) { return shards[RateShardIndex(address)]; }
    const RateShard& ShardFor(uint32_t address) const { return shards[RateShardIndex(address)]; }
};

// One shard of a capture worker's private TCP counts. Only the (source, port) counts are
// kept: a packet then costs one lookup here instead of two, and the per-source counts of
// maps 1 and 3 are their sums, added up when the shard is merged.
struct WorkerCounterShard {
    AddressPortCounts ipPortPackets;
    AddressPortCounts ipPortSyns;

    bool empty() const { return ipPortPackets.empty() && ipPortSyns.empty(); }
    // Drops the counts; keeps the memory.
    void clear() {
        ipPortPackets.clear();
        ipPortSyns.clear();
    }
};

// The engine counters of the packets one worker judged since its last flush. Every worker
// would otherwise add to the same few cache lines per packet; adding a batch's worth at once
// keeps the lines still, at the cost of the shared totals lagging by up to one batch per
// worker.
struct WorkerEngineCounts {
    uint64_t evaluated = 0;  // evaluatedPackets
    uint64_t syns = 0;       // synPackets
    uint64_t validSyns = 0;  // validSynWindow
    uint64_t enforced = 0;   // enforcedPackets
};

struct WorkerCounterShards {
    std::array<WorkerCounterShard, kRateShardCount> shards;
    WorkerEngineCounts engineCounts;

    WorkerCounterShard& ShardFor(uint32_t address) { return shards[RateShardIndex(address)]; }
    void clear() {
        for (WorkerCounterShard& shard : shards)
            shard.clear();
        engineCounts = {};
    }
};

}  // namespace bastion
