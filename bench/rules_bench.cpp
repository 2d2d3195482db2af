// Per-packet cost of the rule evaluators and of the counter merge, and the rate table's
// memory under spoofed floods.
//
// One benchmark thread plays one capture worker at a simulated 1,000,000 packets per second:
// every 255 packets it advances its batch time by 255 µs and calls MergeWorkerBuffer (which
// merges every 50 simulated ms), and every 1,000,000 packets the window is reset as the
// cleanup loop would. Those costs are included, amortised, in the per-packet figures. The
// evaluators are called as the capture worker calls them, after its own checks of the
// source (own addresses, allow and block lists), which are not part of the figures.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <vector>

#include "capture/CaptureScratch.h"
#include "engine/PacketProcessor.h"
#include "rules/Counters.h"
#include "rules/Evaluators.h"

namespace bastion {
namespace {

constexpr uint64_t kNever = 1'000'000'000'000ull;
constexpr int64_t kPacketNs = 1'000;  // 1 Mpps
constexpr uint32_t kBatch = 255;
constexpr uint32_t kWindowPackets = 1'000'000;

// The machine is shared and noisy: run with --benchmark_repetitions and read the minimum,
// the run least disturbed by other work.
double Minimum(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

RuleDefinition Rule(RuleKind kind, uint64_t drop, uint64_t block = 0) {
    RuleDefinition rule;
    rule.kind = static_cast<int32_t>(kind);
    rule.name = "bench";
    rule.enabled = true;
    rule.dropThreshold = drop;
    rule.blockThreshold = block;
    return rule;
}

// Distinct addresses in random order; none is 0.
std::vector<uint32_t> Sources(uint32_t count) {
    std::mt19937 rng(count);
    std::vector<uint32_t> sources(count);
    uint32_t base = rng() | 1u;
    // An odd multiplier is a bijection on 32 bits: distinct and scattered.
    for (uint32_t i = 0; i < count; ++i)
        sources[i] = (i + 1) * 2654435761u + base;
    std::shuffle(sources.begin(), sources.end(), rng);
    return sources;
}

struct World {
    RuntimeState state;
    std::unique_ptr<PacketProcessor> engine = std::make_unique<PacketProcessor>(state);
    CaptureScratch& scratch = ThreadCaptureScratch();
    uint64_t packets = 0;

    World() {
        AppConfig config;
        config.tcpEnabled = config.udpEnabled = config.icmpEnabled = true;
        config.packetLogEnabled = false;
        engine->ApplyConfig(config);
        // Each benchmark starts with empty buffers, whatever the previous one left.
        scratch.counterShards = WorkerCounterShards{};
        scratch.batchTime = SteadyNowNs();
        scratch.lastMerge = scratch.batchTime;
        // Connection facts for a few sources, so the connection lookups find something.
        std::unique_lock lock(engine->connections.connTableLock);
        for (uint32_t i = 0; i < 1000; ++i)
            engine->connections.connectionCountByAddress[i] = 1;
    }

    // The worker's and the cleanup loop's share of one packet.
    void AfterPacket() {
        ++packets;
        if (packets % kBatch == 0) {
            scratch.batchTime += kBatch * kPacketNs;
            MergeWorkerBuffer(*engine, scratch, scratch.batchTime);
        }
        if (packets % kWindowPackets == 0) ResetWindow(*engine, scratch.batchTime);
    }
};

void AllTcpKinds(PacketProcessor& engine) {
    std::vector<RuleDefinition> rules = {
        Rule(RuleKind::IpPacketRate, kNever, kNever), Rule(RuleKind::IpEstablished, kNever, kNever),
        Rule(RuleKind::PayloadSize, kNever),          Rule(RuleKind::IpSynRate, kNever, kNever),
        Rule(RuleKind::WindowSynTotal, kNever),       Rule(RuleKind::GlobalPacketRate, kNever),
        Rule(RuleKind::EstablishedIpTotal, kNever)};
    std::vector<PortRuleDefinition> port = {PortRuleDefinition{true, 80, kNever, kNever}};
    engine.SetRules(rules, port, port, {}, port, port, {}, {});
}

// One in 16 packets is a pure SYN, the rest carry 100 bytes to port 80. `checks` as the
// capture worker calls it (it has screened the source already), or with the evaluator
// checking the own addresses and the host's lists itself.
template <SourceChecks checks>
void EvaluateTcpPackets(benchmark::State& state) {
    const std::vector<uint32_t> sources = Sources(static_cast<uint32_t>(state.range(0)));
    World world;
    AllTcpKinds(*world.engine);
    PacketView packet;
    packet.dstAddr = 0xC0A8010A;
    packet.dstPort = 80;
    packet.srcPort = 40000;
    VerdictResult result;
    size_t next = 0;
    for (auto _ : state) {
        packet.srcAddr = sources[next];
        next = next + 1 == sources.size() ? 0 : next + 1;
        bool syn = (world.packets & 15) == 0;
        packet.tcpFlags = syn ? tcp_flags::kSyn : tcp_flags::kAck;
        packet.payloadLength = syn ? 0 : 100;
        EvaluateTcp(*world.engine, result, packet, checks);
        benchmark::DoNotOptimize(result.verdict);
        world.AfterPacket();
    }
    if (result.verdict != Verdict::Allow) state.SkipWithError("a rule fired");
    state.counters["table_MB"] = static_cast<double>(RateTableMemoryBytes(*world.engine)) / 1e6;
}

void BM_EvaluateTcp(benchmark::State& state) {
    EvaluateTcpPackets<SourceChecks::DoneByCaller>(state);
}
BENCHMARK(BM_EvaluateTcp)
    ->Arg(1'000)
    ->Arg(1'000'000)
    ->Iterations(2'000'000)
    ->ComputeStatistics("min", Minimum);

void BM_EvaluateTcpCheckingSource(benchmark::State& state) {
    EvaluateTcpPackets<SourceChecks::InEvaluator>(state);
}
BENCHMARK(BM_EvaluateTcpCheckingSource)
    ->Arg(1'000)
    ->Iterations(2'000'000)
    ->ComputeStatistics("min", Minimum);

void AllUdpKinds(PacketProcessor& engine) {
    engine.SetRules(
        {}, {}, {}, {}, {}, {},
        {Rule(RuleKind::UdpIpPacketRate, kNever, kNever),
         Rule(RuleKind::UdpTotalPacketRate, kNever), Rule(RuleKind::UdpIpByteRate, kNever, kNever),
         Rule(RuleKind::UdpTotalByteRate, kNever), Rule(RuleKind::UdpNewSourceLimit, kNever)},
        {Rule(RuleKind::IcmpIpPacketRate, kNever, kNever),
         Rule(RuleKind::IcmpTotalPacketRate, kNever),
         Rule(RuleKind::IcmpIpByteRate, kNever, kNever), Rule(RuleKind::IcmpTotalByteRate, kNever),
         Rule(RuleKind::IcmpSourceCount, kNever)});
}

void BM_EvaluateUdp(benchmark::State& state) {
    const std::vector<uint32_t> sources = Sources(static_cast<uint32_t>(state.range(0)));
    World world;
    AllUdpKinds(*world.engine);
    PacketView packet;
    packet.isUdp = 1;
    packet.dstAddr = 0xC0A8010A;
    packet.dstPort = 53;
    packet.srcPort = 5353;
    packet.payloadLength = 64;
    VerdictResult result;
    size_t next = 0;
    for (auto _ : state) {
        packet.srcAddr = sources[next];
        next = next + 1 == sources.size() ? 0 : next + 1;
        EvaluateUdp(*world.engine, result, packet, SourceChecks::DoneByCaller);
        benchmark::DoNotOptimize(result.verdict);
        world.AfterPacket();
    }
    if (result.verdict != Verdict::Allow) state.SkipWithError("a rule fired");
}
BENCHMARK(BM_EvaluateUdp)
    ->Arg(1'000)
    ->Arg(1'000'000)
    ->Iterations(2'000'000)
    ->ComputeStatistics("min", Minimum);

void BM_EvaluateIcmp(benchmark::State& state) {
    const std::vector<uint32_t> sources = Sources(static_cast<uint32_t>(state.range(0)));
    World world;
    AllUdpKinds(*world.engine);
    PacketView packet;
    packet.isIcmp = 1;
    packet.icmpType = 8;
    packet.dstAddr = 0xC0A8010A;
    packet.payloadLength = 56;
    VerdictResult result;
    size_t next = 0;
    for (auto _ : state) {
        packet.srcAddr = sources[next];
        next = next + 1 == sources.size() ? 0 : next + 1;
        EvaluateIcmp(*world.engine, result, packet, SourceChecks::DoneByCaller);
        benchmark::DoNotOptimize(result.verdict);
        world.AfterPacket();
    }
    if (result.verdict != Verdict::Allow) state.SkipWithError("a rule fired");
}
BENCHMARK(BM_EvaluateIcmp)
    ->Arg(1'000)
    ->Arg(1'000'000)
    ->Iterations(2'000'000)
    ->ComputeStatistics("min", Minimum);

// The walk over all 128 shards under try-locks that counting sources per packet would cost.
void BM_WalkUdpSourceCount(benchmark::State& state) {
    World world;
    for (auto _ : state)
        benchmark::DoNotOptimize(WalkUdpSourceCount(*world.engine));
}
BENCHMARK(BM_WalkUdpSourceCount)->ComputeStatistics("min", Minimum);

// Merging a worker's buffer: `range(1)` packets counted since the last merge, from
// `range(0)` sources (taken in turn from a spoofed pool when that is larger).
void BM_MergeWorkerBuffer(benchmark::State& state) {
    const std::vector<uint32_t> sources = Sources(static_cast<uint32_t>(state.range(0)));
    const uint32_t packets = static_cast<uint32_t>(state.range(1));
    World world;
    size_t next = 0;
    for (auto _ : state) {
        for (uint32_t i = 0; i < packets; ++i) {
            CountPacket(world.scratch, sources[next], 80, (i & 15) == 0);
            next = next + 1 == sources.size() ? 0 : next + 1;
        }
        world.scratch.batchTime += kMergeIntervalNs;
        world.packets += packets;
        if (world.packets >= kWindowPackets) {
            ResetWindow(*world.engine, world.scratch.batchTime);
            world.packets = 0;
        }
        // Timed by hand: pausing the benchmark's own timers costs more than a small merge.
        auto start = std::chrono::steady_clock::now();
        MergeWorkerBuffer(*world.engine, world.scratch, world.scratch.batchTime);
        auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["per_packet"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * packets,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MergeWorkerBuffer)
    ->Args({1'000, 255})
    ->Args({1'000'000, 255})
    ->Args({1'000, 50'000})
    ->Args({1'000'000, 50'000})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("min", Minimum);

// Rate-table memory once a spoofed flood has filled one window with `range(0)` distinct
// sources (one packet each), before the reset; with more than 6.4 million sources every
// shard passes the pruning bound. Reported as counters; the time is the merge work.
// `range(1)` 1 makes every packet a pure SYN (a spoofed SYN flood).
void BM_RateTableMemory(benchmark::State& state) {
    const uint32_t count = static_cast<uint32_t>(state.range(0));
    const bool syn = state.range(1) != 0;
    for (auto _ : state) {
        World world;
        std::mt19937 rng(7);
        for (uint32_t i = 0; i < count; ++i) {
            CountPacket(world.scratch, rng(), 80, syn);
            if ((i + 1) % 50'000 == 0) {
                world.scratch.batchTime += kMergeIntervalNs;
                MergeWorkerBuffer(*world.engine, world.scratch, world.scratch.batchTime);
            }
        }
        world.scratch.batchTime += kMergeIntervalNs;
        MergeWorkerBuffer(*world.engine, world.scratch, world.scratch.batchTime);
        state.counters["entries"] = static_cast<double>(CountTcpSources(*world.engine));
        state.counters["table_MB"] = static_cast<double>(RateTableMemoryBytes(*world.engine)) / 1e6;
        ResetWindow(*world.engine, world.scratch.batchTime);
        ResetWindow(*world.engine, world.scratch.batchTime);
        state.counters["after_quiet_reset_MB"] =
            static_cast<double>(RateTableMemoryBytes(*world.engine)) / 1e6;
    }
}
BENCHMARK(BM_RateTableMemory)
    ->Args({1'000'000, 0})
    ->Args({10'000'000, 0})
    ->Args({1'000'000, 1})
    ->Args({10'000'000, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bastion

BENCHMARK_MAIN();
