// Counting packets per source, merging the workers' private counts into the rate table,
// reading the counts back, and the once-a-second window reset.
//
// A count read from the table is the number of packets merged since the last reset: it
// lags the truth by up to one merge interval of each worker, and a packet is never part of
// the count it is judged by. Nothing on the packet path waits for a lock: a busy shard
// reads as zero and defers a merge.
#pragma once

#include <cstdint>

#include "capture/CaptureScratch.h"
#include "conntrack/ConnectionTables.h"
#include "rules/RateTable.h"

namespace bastion {

class PacketProcessor;

// Workers merge at most this often (unless the previous merge left a shard behind).
constexpr int64_t kMergeIntervalNs = 50'000'000;
// When maps 1 and 2 of a shard (or maps 3 and 4, the SYN counts) hold more entries than
// this together after a merge, the entries counted fewer than kPruneBelow times are dropped
// from both maps of the pair.
constexpr size_t kPruneEntryLimit = 100'000;
constexpr uint64_t kPruneBelow = 3;
// Age after which the window reset drops UDP flows and ICMP sources.
constexpr int64_t kUdpFlowLifetimeNs = 30'000'000'000;
constexpr int64_t kIcmpSourceLifetimeNs = 10'000'000'000;

struct RateSnapshot {
    uint64_t ipPackets = 0;
    uint64_t ipPortPackets = 0;
    uint64_t ipSyns = 0;
    uint64_t ipPortSyns = 0;
    bool valid = false;  // false: the shard was busy and every count reads 0
};

// A packet's keys into the per-source maps, each hashed once for every map it is looked up
// in (the worker's counts, the rate table, the connection counts).
struct SourceKeys {
    uint32_t address;
    uint16_t port;
    uint64_t addressPort;
    size_t addressHash;
    size_t addressPortHash;

    SourceKeys(uint32_t sourceAddress, uint16_t destinationPort)
        : SourceKeys(sourceAddress, destinationPort,
                     AddressPortCounts::hash_of(PackAddressPort(sourceAddress, destinationPort))) {}
    // With the (source, port) hash already computed for the worker's counting.
    SourceKeys(uint32_t sourceAddress, uint16_t destinationPort, size_t sourcePortHash)
        : address(sourceAddress),
          port(destinationPort),
          addressPort(PackAddressPort(sourceAddress, destinationPort)),
          addressHash(AddressCounts::hash_of(sourceAddress)),
          addressPortHash(sourcePortHash) {}
};

// Whether `address` is one of the machine's own or the vendor API host's addresses, which
// no rule judges. `addressHash` is the address's hash in the per-source maps.
bool IsLocalSource(const PacketProcessor& engine, uint32_t address, size_t addressHash);

// Adds one packet of (address, port) to the worker's private counts; a pure SYN also
// counts as a SYN. `addressPort` is PackAddressPort(address, port), `addressPortHash` its
// hash in the (source, port) maps.
inline void CountPacket(WorkerCounterShards& counters, uint32_t address, uint64_t addressPort,
                        size_t addressPortHash, bool pureSyn) {
    WorkerCounterShard& shard = counters.ShardFor(address);
    *shard.ipPortPackets.try_emplace_hashed(addressPort, addressPortHash).first += 1;
    if (pureSyn) *shard.ipPortSyns.try_emplace_hashed(addressPort, addressPortHash).first += 1;
}
inline void CountPacket(WorkerCounterShards& counters, const SourceKeys& keys, bool pureSyn) {
    CountPacket(counters, keys.address, keys.addressPort, keys.addressPortHash, pureSyn);
}
inline void CountPacket(CaptureScratch& scratch, uint32_t address, uint16_t port, bool pureSyn) {
    CountPacket(scratch.counterShards, SourceKeys(address, port), pureSyn);
}

// Merges one buffered shard into the table's shard of the same index under a try-lock.
// True when merged (the buffer is then empty, its memory kept); false when the shard was
// busy (the buffer is untouched).
bool MergeCounterShard(PacketProcessor& engine, size_t shardIndex, WorkerCounterShard& buffer);

// Adds the worker's share of evaluatedPackets, synPackets, validSynWindow and
// enforcedPackets to the engine's counters and zeroes it. The capture worker calls it at
// the end of every batch; MergeWorkerBuffer calls it too.
void FlushEngineCounts(PacketProcessor& engine, WorkerCounterShards& counters);

// Called by a capture worker after a batch: flushes its engine counts, adds the batch counters to
// the engine's statistics totals and zeroes them, then, when kMergeIntervalNs have passed since the
// last complete merge (or the last one was incomplete), merges every non-empty buffered shard.
// `lastMerge` becomes `now` only when no shard was busy. Returns false when a shard was
// busy and kept its counts for the next call.
bool MergeWorkerBuffer(PacketProcessor& engine, CaptureScratch& scratch, int64_t now);

// The four TCP counts of (address) and (address, port). With `withSyns` false the SYN
// counts are not looked up and read 0 (for packets without the SYN flag, whose rules never
// read them).
RateSnapshot ReadSnapshot(PacketProcessor& engine, const SourceKeys& keys, bool withSyns = true);
inline RateSnapshot ReadSnapshot(PacketProcessor& engine, uint32_t address, uint16_t port,
                                 bool withSyns = true) {
    return ReadSnapshot(engine, SourceKeys(address, port), withSyns);
}

// Starts a new counting window (cleanup loop): clears maps 1 to 6 of every shard, drops UDP
// flows last seen more than 30 s and ICMP sources last seen more than 10 s before `now`, and
// zeroes the counts of the ICMP sources that remain. Blocking locks, one shard at a time.
void ResetWindow(PacketProcessor& engine, int64_t now);

// Sources seen in the current window, for the UDP and ICMP rules: one atomic read.
uint64_t UdpSourceCount(const PacketProcessor& engine);
uint64_t IcmpSourceCount(const PacketProcessor& engine);

// The same counts found by walking all shards under try-locks, skipping busy ones.
uint64_t WalkUdpSourceCount(PacketProcessor& engine);
uint64_t WalkIcmpSourceCount(PacketProcessor& engine);

// Entry counts of ipPackets, udpIpPackets and icmpIpStats over all shards, each shard
// locked blockingly just long enough to read one size (metrics tick).
uint64_t CountTcpSources(PacketProcessor& engine);
uint64_t CountUdpSources(PacketProcessor& engine);
uint64_t CountIcmpSources(PacketProcessor& engine);

// Entry storage held by the rate table's maps, in bytes.
size_t RateTableMemoryBytes(PacketProcessor& engine);

// Established-connection facts of one packet's source, fetched from the connection tables
// on demand and at most once per packet. Lives for one evaluation.
class ConnectionCountCache {
  public:
    ConnectionCountCache(ConnectionTables& tables, const SourceKeys& keys)
        : tables_(tables), keys_(keys) {}

    // Loads the requested values that are not loaded yet, under a shared try-acquire of
    // `connTableLock`. When the lock is busy nothing is loaded: the values read 0, and a
    // later call for the same packet tries again.
    void Load(bool wantIp, bool wantIpPort, bool wantTotal);

    uint32_t ipConnections = 0;       // established connections of the source
    uint32_t ipPortConnections = 0;   // of the source to the destination port
    uint64_t establishedIpCount = 0;  // addresses holding established connections
    bool ipLoaded = false;
    bool ipPortLoaded = false;
    bool totalLoaded = false;

  private:
    ConnectionTables& tables_;
    SourceKeys keys_;
};

}  // namespace bastion
