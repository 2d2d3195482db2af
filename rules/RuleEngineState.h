// The rate-limit rule engine's state inside the engine object: the rate table, the
// counters the evaluators feed and the metrics tick reads, and the queue of blocked
// addresses waiting to be removed from connection tracking.
//
// Thread-safety: counters are atomics (relaxed adds by the capture workers, once per batch
// for the four line counters, exchanged by the metrics tick). The rate table and the queue carry
// their own locks (RateTable.h, BlockedAddressQueue below).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "host/Records.h"
#include "rules/RateTable.h"

namespace bastion {

// A counter alone on its cache line: every capture worker adds to these after each batch,
// and neighbouring counters would otherwise bounce one line between the cores.
struct alignas(64) LineCounter {
    std::atomic<uint64_t> value{0};
};

// Most addresses the blocked-address queue holds. The cleanup loop drains a bounded number
// per second, and a flood of spoofed sources can be blocked far faster; beyond this the
// queue refuses (and counts) further addresses instead of growing without bound.
constexpr size_t kBlockedQueueLimit = 65'536;

// Addresses blocked on the packet path, drained by the cleanup loop. Workers append with a
// try-lock (a busy lock loses the entry; the address is on the host's block list anyway);
// the cleanup loop takes the lock blockingly. `pending` lets the cleanup loop skip the lock
// when nothing was queued.
struct BlockedAddressQueue {
    std::mutex mutex;
    std::vector<uint32_t> addresses;  // under mutex
    std::atomic<bool> pending{false};
    // Addresses refused because the queue was full.
    std::atomic<uint64_t> overflows{0};
    // Addresses taken out for processing; reused by the cleanup loop so that draining
    // allocates nothing once both vectors have grown. Cleanup thread only.
    std::vector<uint32_t> draining;
};

struct RuleEngineState {
    RateTable rateTable;

    // Packets examined by the TCP rules, pure SYNs among them, pure SYNs that were allowed
    // (the WindowSynTotal rule reads it), and packets dropped or blocked by any evaluator.
    // Each worker's share arrives at the end of its batch (FlushEngineCounts). Exchanged
    // with zero by the metrics tick.
    LineCounter evaluatedPackets;
    LineCounter synPackets;
    LineCounter validSynWindow;
    LineCounter enforcedPackets;

    // UDP and ICMP traffic since the last metrics tick (packets, payload bytes).
    alignas(64) std::atomic<uint64_t> udpPackets{0};
    std::atomic<uint64_t> udpBytes{0};
    alignas(64) std::atomic<uint64_t> icmpPackets{0};
    std::atomic<uint64_t> icmpBytes{0};
    // Length in seconds of the last metrics period, one copy per reader (UDP, ICMP rates);
    // 1.0 until the first tick.
    alignas(64) std::atomic<double> udpMetricsInterval{1.0};
    std::atomic<double> icmpMetricsInterval{1.0};

    // Packets that reached a rule engine, and how they were judged, for the statistics
    // line; the capture workers add their batch counters here.
    alignas(64) std::atomic<uint64_t> statsRecv{0};
    std::atomic<uint64_t> statsSend{0};
    std::atomic<uint64_t> statsDrop{0};
    std::atomic<uint64_t> statsBlock{0};

    // Verdicts carry reason texts: true when the packet log or statistics log switch is on.
    // When false no evaluator does any string work.
    std::atomic<bool> reasonTextEnabled{false};
    // The protocol switches of engineConfig, stored together with it under configLock held
    // exclusively (TakeConfig), so that the packet path reads them without taking the
    // lock. Initial values are those of a default-constructed configuration.
    std::atomic<bool> tcpEnabled{true};
    std::atomic<bool> udpEnabled{false};
    std::atomic<bool> icmpEnabled{false};
    // Whether the rule caches published last hold a TCP test (RuleCaches::tcpHasTests),
    // stored after publishing them. Only a hint: the TCP evaluator uses it to decide, before
    // it reads the caches, whether to start fetching what the tests will read. The caches
    // themselves decide whether a packet is judged.
    std::atomic<bool> tcpTestsHint{false};

    // Steady time of the last window reset; written by ResetWindow, read by the cleanup loop
    // to space resets at least a second apart. Kept here so it survives a restart of the
    // cleanup loop's body.
    std::atomic<int64_t> lastWindowResetTime{0};

    BlockedAddressQueue blockedQueue;
};

// Whether a configuration asks for reason texts: either log switch on.
inline bool ReasonTextsWanted(const AppConfig& config) {
    return config.packetLogEnabled || config.statsLogEnabled;
}

// Copies what the rule engine reads per packet out of a configuration the engine takes.
inline void TakeConfig(RuleEngineState& state, const AppConfig& config) {
    state.reasonTextEnabled.store(ReasonTextsWanted(config), std::memory_order_relaxed);
    state.tcpEnabled.store(config.tcpEnabled, std::memory_order_relaxed);
    state.udpEnabled.store(config.udpEnabled, std::memory_order_relaxed);
    state.icmpEnabled.store(config.icmpEnabled, std::memory_order_relaxed);
}

}  // namespace bastion
