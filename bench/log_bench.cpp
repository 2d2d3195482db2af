// EmitLogEvent from several producer threads while the logging thread writes: events per
// second and the producer's latency per call (median, 99th percentile), with the packet
// log alone and with the log file as well.
//
// Producers emit back to back, far faster than any real engine logs, so the figures show
// the cost of the try-lock under contention and how much the bounded queue sheds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "platform/Testing.h"
#include "services/Log.h"

namespace {

using bastion::EmitLogEvent;
using bastion::PacketProcessor;
using bastion::RuntimeState;

constexpr int kEventsPerProducer = 100'000;

int64_t Percentile(std::vector<int64_t>& samples, double fraction) {
    auto nth = samples.begin() + static_cast<std::ptrdiff_t>(fraction * (samples.size() - 1));
    std::nth_element(samples.begin(), nth, samples.end());
    return *nth;
}

// state.range(0): producer threads; state.range(1): 1 = also write log.txt.
void BM_EmitLogEvent(benchmark::State& state) {
    const int producers = static_cast<int>(state.range(0));
    const bool withFile = state.range(1) != 0;
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "bastion-log-bench";
    std::filesystem::create_directories(dir);
    platform::testing::SetModuleFileName((dir / "bastion").wstring());

    RuntimeState runtime;
    runtime.config.packetLogEnabled = true;
    runtime.config.fileLogEnabled = withFile;
    PacketProcessor engine(runtime);

    std::vector<int64_t> latencies;
    uint64_t emitted = 0;
    uint64_t dropped = 0;
    double seconds = 0;
    for (auto _ : state) {
        engine.droppedLogEvents = 0;
        engine.logState.loggingRunning = true;
        std::thread logging([&engine] { bastion::RunLoggingThread(engine); });

        std::vector<std::vector<int64_t>> perThread(static_cast<size_t>(producers));
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        const auto start = std::chrono::steady_clock::now();
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([&, p] {
                std::vector<int64_t>& mine = perThread[static_cast<size_t>(p)];
                mine.reserve(kEventsPerProducer);
                // The message is built before timing: the call's own cost is measured.
                std::string text = "[⚠️] Đã chặn 203.0.113." + std::to_string(p) +
                                   " - vượt ngưỡng SYN/s của cổng 443 (bench)";
                ready.fetch_add(1);
                while (ready.load() < producers) {
                }
                for (int i = 0; i < kEventsPerProducer; ++i) {
                    std::string message = text;
                    const int64_t before = bastion::SteadyNowNs();
                    EmitLogEvent(engine, std::move(message));
                    mine.push_back(bastion::SteadyNowNs() - before);
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        const auto end = std::chrono::steady_clock::now();
        bastion::RequestLoggingStop(engine);
        logging.join();

        const double elapsed = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        for (auto& samples : perThread)
            latencies.insert(latencies.end(), samples.begin(), samples.end());
        emitted += static_cast<uint64_t>(producers) * kEventsPerProducer;
        dropped += engine.droppedLogEvents.load();
    }

    state.SetItemsProcessed(static_cast<int64_t>(emitted));
    state.counters["events_per_s"] = static_cast<double>(emitted) / seconds;
    state.counters["p50_ns"] = static_cast<double>(Percentile(latencies, 0.50));
    state.counters["p99_ns"] = static_cast<double>(Percentile(latencies, 0.99));
    state.counters["written_per_s"] = static_cast<double>(emitted - dropped) / seconds;
    state.counters["dropped_pct"] =
        100.0 * static_cast<double>(dropped) / static_cast<double>(emitted);

    platform::testing::SetModuleFileName(L"");
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_EmitLogEvent)
    ->ArgNames({"producers", "file"})
    ->Args({1, 0})
    ->Args({4, 0})
    ->Args({4, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// The cost of the two clock reads around each timed call, to subtract from the latencies.
void BM_ClockPair(benchmark::State& state) {
    for (auto _ : state) {
        const int64_t before = bastion::SteadyNowNs();
        benchmark::DoNotOptimize(bastion::SteadyNowNs() - before);
    }
}
BENCHMARK(BM_ClockPair);

}  // namespace

BENCHMARK_MAIN();
