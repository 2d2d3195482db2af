// The engine's capture path against the pass-through reader, and the header pre-parse.
//
// BM_CaptureVsPassThrough: one simulated world, one main handle, the same 255 inbound
// TCP segments injected in batches by the benchmark thread; in each iteration the
// pass-through reader and then the engine's capture workers (no rules, the same number of
// threads, not pinned, like the reader's) drain the same number of batches. Both phases
// run in the same process and iteration, so the ratio of their per-core rates is measured
// under the same machine load. items_per_second counts both phases.
//
// Each phase's CPU is also split at the benchmark thread, which injects the packets and
// carries them across the simulated wire: `inject_ns_*` is its CPU per packet, `receive_ns_*`
// everything else (the reader's or the workers' threads, their wake-ups and sends). The
// ratio counts both; the split shows which side a change of the ratio came from.
//
// BASTION_BENCH_PHASE=reader or =engine runs only that phase of BM_CaptureVsPassThrough,
// so that a profiler sees one of them alone (no ratio is reported then).
//
// BM_PreParse: ns per block of eight headers for each implementation the processor has.
#include <benchmark/benchmark.h>
#include <immintrin.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/PassThroughReader.h"
#include "capture/CaptureLoop.h"
#include "capture/CaptureWorker.h"
#include "capture/HeaderBlock.h"
#include "control/IpListManager.h"
#include "divert/sim/SimWorld.h"
#include "engine/PacketProcessor.h"
#include "platform/Testing.h"
#include "windivert.h"

namespace {

using divert::sim::Ipv4;
using divert::sim::PacketBuilder;

constexpr int kBatch = 255;
constexpr int kBatchesPerPhase = 400;
constexpr uint64_t kWindow = 8192;  // packets in flight at most: the queue never overflows

double CpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<std::vector<uint8_t>> Segments() {
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < kBatch; ++i) {
        packets.push_back(PacketBuilder::Tcp(Ipv4("198.18.0.0") + static_cast<uint32_t>(i) * 7919,
                                             40000, Ipv4("203.0.113.10"), 80)
                              .Ack()
                              .Psh()
                              .Payload("GET /index.html HTTP")
                              .Build());
    }
    return packets;
}

struct Phase {
    double cpu = 0;
    double injectCpu = 0;  // the benchmark thread's share of `cpu`
    double wall = 0;
    uint64_t packets = 0;

    double InjectNsPerPacket() const { return injectCpu * 1e9 / static_cast<double>(packets); }
    double ReceiveNsPerPacket() const {
        return (cpu - injectCpu) * 1e9 / static_cast<double>(packets);
    }
};

void WaitDelivered(divert::sim::SimWorld& sim, uint64_t injected) {
    while (sim.DeliveredCount() < injected) {
        timespec pause{0, 20000};
        nanosleep(&pause, nullptr);
    }
}

// Injects kBatchesPerPhase batches and waits until all were delivered. One batch goes
// through first, untimed: the threads' start (a worker zero-fills three 1 MB buffer sets,
// the reader allocates one) is not per-packet work and is left out of both phases alike.
void Drive(divert::sim::SimWorld& sim, const std::vector<divert::PacketRef>& refs,
           uint64_t& injected, Phase& phase) {
    sim.Inject(refs.data(), refs.size());
    injected += refs.size();
    WaitDelivered(sim, injected);
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double injectStart = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (int b = 0; b < kBatchesPerPhase; ++b) {
        while (injected - sim.DeliveredCount() > kWindow) {
            timespec pause{0, 20000};
            nanosleep(&pause, nullptr);
        }
        sim.Inject(refs.data(), refs.size());
        injected += refs.size();
    }
    WaitDelivered(sim, injected);
    phase.wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    phase.cpu += CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    phase.injectCpu += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - injectStart;
    phase.packets += static_cast<uint64_t>(kBatchesPerPhase) * refs.size();
}

// Which phases BM_CaptureVsPassThrough runs: both unless BASTION_BENCH_PHASE names one.
struct Phases {
    bool reader = true;
    bool engine = true;
};

Phases SelectedPhases() {
    const char* only = std::getenv("BASTION_BENCH_PHASE");
    if (only == nullptr || *only == '\0') return {};
    if (std::strcmp(only, "reader") == 0) return {true, false};
    if (std::strcmp(only, "engine") == 0) return {false, true};
    return {false, false};
}

void BM_CaptureVsPassThrough(benchmark::State& state) {
    const unsigned threads = static_cast<unsigned>(state.range(0));
    const Phases phases = SelectedPhases();
    if (!phases.reader && !phases.engine) {
        state.SkipWithError("BASTION_BENCH_PHASE must be reader or engine");
        return;
    }
    platform::testing::SetAffinityEnabled(false);
    auto sim = divert::sim::SimWorld::Install();
    sim->SetRecording(false);
    HANDLE handle = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 29983, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        state.SkipWithError("open failed");
        return;
    }
    WinDivertSetParam(handle, WINDIVERT_PARAM_QUEUE_LENGTH, 16384);
    WinDivertSetParam(handle, WINDIVERT_PARAM_QUEUE_SIZE, 33554432);
    WinDivertSetParam(handle, WINDIVERT_PARAM_QUEUE_TIME, 1000);

    std::vector<std::vector<uint8_t>> packets = Segments();
    std::vector<divert::PacketRef> refs;
    for (const auto& p : packets) {
        divert::PacketRef ref;
        ref.data = p.data();
        ref.length = static_cast<uint32_t>(p.size());
        ref.meta.ifIdx = divert::sim::kEthernetIfIdx;
        refs.push_back(ref);
    }

    bastion::RuntimeState runtime;
    runtime.config.packetLogEnabled = false;
    auto engine = std::make_unique<bastion::PacketProcessor>(runtime);
    if (state.range(1) == 0) engine->ruleEngine.tcpEnabled.store(false);

    uint64_t injected = 0;
    Phase passThrough;
    Phase capture;
    for (auto _ : state) {
        if (phases.reader) {
            bastion::bench::PassThroughReader reader(handle, threads);
            Drive(*sim, refs, injected, passThrough);
            reader.Stop();
        }
        if (!phases.engine) continue;
        engine->captureHandle.store(handle);
        engine->running.store(true);
        std::vector<std::thread> workers;
        for (unsigned i = 0; i < threads; ++i)
            workers.emplace_back(
                [&engine, i] { bastion::CaptureLoop(*engine, static_cast<int>(i)); });
        Drive(*sim, refs, injected, capture);
        engine->running.store(false);
        for (std::thread& t : workers)
            t.join();
        engine->captureHandle.store(nullptr);
    }
    state.SetItemsProcessed(static_cast<int64_t>(injected));
    const double passRate = static_cast<double>(passThrough.packets) / passThrough.cpu;
    const double captureRate = static_cast<double>(capture.packets) / capture.cpu;
    if (phases.reader) {
        state.counters["passthrough_pps_per_core"] = passRate;
        state.counters["inject_ns_reader"] = passThrough.InjectNsPerPacket();
        state.counters["receive_ns_reader"] = passThrough.ReceiveNsPerPacket();
    }
    if (phases.engine) {
        state.counters["capture_pps_per_core"] = captureRate;
        state.counters["inject_ns_engine"] = capture.InjectNsPerPacket();
        state.counters["receive_ns_engine"] = capture.ReceiveNsPerPacket();
    }
    if (phases.reader && phases.engine) {
        state.counters["ratio_per_core"] = captureRate / passRate;
        state.counters["ratio_wall"] =
            (static_cast<double>(capture.packets) / capture.wall) /
            (static_cast<double>(passThrough.packets) / passThrough.wall);
    }
    state.counters["evaluated"] = static_cast<double>(engine->ruleEngine.statsRecv.load());
    engine.reset();
    WinDivertClose(handle);
    sim->Uninstall();
    platform::testing::SetAffinityEnabled(true);
}

BENCHMARK(BM_CaptureVsPassThrough)
    ->ArgNames({"threads", "tcp_rules_on"})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({1, 0})
    ->Args({2, 0})
    ->MeasureProcessCPUTime()
    ->MinTime(3.0)
    ->Unit(benchmark::kMillisecond);

// The worker's own work on a batch already in its receive buffer (and in cache): split,
// pre-parse, parse, list checks, evaluation and the re-injection walk, without the driver
// call (the engine is marked stopped, which ends re-injection just before the send). With
// the per-packet CPU of the pass-through comparison this gives the worker's share.
// "lists": both address lists hold entries (100 allowed, 10,000 blocked, none of them a
// source of the batch), so that every packet pays for the lookups an empty list skips.
void BM_WorkerBatch(benchmark::State& state) {
    platform::testing::SetAffinityEnabled(false);
    auto sim = divert::sim::SimWorld::Install();
    sim->SetRecording(false);
    HANDLE handle = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 29983, 0);
    bastion::RuntimeState runtime;
    runtime.config.packetLogEnabled = false;
    auto engine = std::make_unique<bastion::PacketProcessor>(runtime);
    if (state.range(0) == 0) engine->ruleEngine.tcpEnabled.store(false);
    if (state.range(2) != 0) {
        bastion::IpListManager& lists = runtime.ipLists;
        for (uint32_t i = 0; i < 100; ++i)
            lists.AddAllowed(Ipv4("10.1.0.0") + i);
        for (uint32_t i = 0; i < 10'000; ++i)
            lists.AddToBlock(Ipv4("100.64.0.0") + i * 13);
    }
    engine->captureHandle.store(handle);
    {
        bastion::CaptureWorker worker(*engine, 0);
        worker.handle = handle;
        bastion::BufferSet& set = worker.sets[0];
        std::vector<std::vector<uint8_t>> packets = Segments();
        UINT offset = 0;
        for (size_t i = 0; i < packets.size(); ++i) {
            std::memcpy(set.packets.get() + offset, packets[i].data(), packets[i].size());
            offset += static_cast<UINT>(packets[i].size());
            set.addresses[i] = WINDIVERT_ADDRESS{};
            set.addresses[i].Layer = WINDIVERT_LAYER_NETWORK;
            set.addresses[i].Network.IfIdx = divert::sim::kEthernetIfIdx;
        }
        const UINT addrLen = static_cast<UINT>(packets.size() * sizeof(WINDIVERT_ADDRESS));
        const bool cold = state.range(1) != 0;
        for (auto _ : state) {
            if (cold) {
                // The packets as a receive leaves them: written elsewhere, not in this
                // core's caches (evicted to memory, the worst case of it).
                state.PauseTiming();
                for (UINT line = 0; line < offset; line += 64)
                    _mm_clflush(set.packets.get() + line);
                _mm_mfence();
                state.ResumeTiming();
            }
            worker.ProcessBatch(offset, addrLen);
            benchmark::ClobberMemory();
        }
        state.counters["ns_per_packet"] = benchmark::Counter(
            static_cast<double>(state.iterations()) * static_cast<double>(packets.size()) * 1e-9,
            benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    }
    engine.reset();
    WinDivertClose(handle);
    sim->Uninstall();
    platform::testing::SetAffinityEnabled(true);
}

BENCHMARK(BM_WorkerBatch)
    ->ArgNames({"tcp_rules_on", "cold", "lists"})
    ->Args({1, 0, 0})
    ->Args({0, 0, 0})
    ->Args({0, 1, 0})
    ->Args({0, 0, 1});

void BM_PreParse(benchmark::State& state) {
    const auto parser = static_cast<bastion::PreParser>(state.range(0));
    if (!bastion::PreParserSupported(parser)) {
        state.SkipWithError("not supported by this processor");
        return;
    }
    // A full batch's worth of distinct headers in one buffer, as in a receive buffer.
    std::vector<std::vector<uint8_t>> packets = Segments();
    std::vector<uint8_t> buffer;
    std::vector<const uint8_t*> pointers;
    std::vector<uint32_t> lengths;
    for (const auto& p : packets) {
        lengths.push_back(static_cast<uint32_t>(p.size()));
        buffer.insert(buffer.end(), p.begin(), p.end());
    }
    size_t offset = 0;
    for (uint32_t length : lengths) {
        pointers.push_back(buffer.data() + offset);
        offset += length;
    }
    bastion::testing::ForcePreParser(parser);
    bastion::HeaderBlock blocks[32];
    size_t done = 0;
    for (auto _ : state) {
        for (size_t first = 0, b = 0; first < pointers.size(); first += 8, ++b) {
            const size_t lanes = std::min<size_t>(8, pointers.size() - first);
            bastion::PreParseHeaders(pointers.data() + first, lengths.data() + first, lanes,
                                     blocks[b]);
        }
        benchmark::DoNotOptimize(blocks);
        benchmark::ClobberMemory();
        done += 32;
    }
    bastion::testing::ResetPreParser();
    state.counters["ns_per_block"] =
        benchmark::Counter(static_cast<double>(done) * 1e-9,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(bastion::PreParserName(parser));
}

BENCHMARK(BM_PreParse)
    ->ArgNames({"impl"})
    ->Arg(static_cast<int>(bastion::PreParser::Scalar))
    ->Arg(static_cast<int>(bastion::PreParser::Ssse3))
    ->Arg(static_cast<int>(bastion::PreParser::Avx2));

}  // namespace

BENCHMARK_MAIN();
