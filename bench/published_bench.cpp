// Reading a published rule set per packet: std::atomic<std::shared_ptr>::load against the
// per-thread cached Published<T>::Read, with 1 and 2 reader threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>

#include "engine/Published.h"
#include "engine/RuleCaches.h"

namespace {

std::atomic<std::shared_ptr<const bastion::RuleCaches>> gAtomicCaches{
    std::make_shared<const bastion::RuleCaches>()};
bastion::Published<bastion::RuleCaches> gPublished;

void BM_AtomicSharedPtrLoad(benchmark::State& state) {
    if (state.thread_index() == 0) {
        state.counters["lock_free"] = gAtomicCaches.is_lock_free() ? 1 : 0;
    }
    for (auto _ : state) {
        std::shared_ptr<const bastion::RuleCaches> caches = gAtomicCaches.load();
        benchmark::DoNotOptimize(caches->portPpsLimits.size());
    }
}
BENCHMARK(BM_AtomicSharedPtrLoad)->Threads(1)->Threads(2)->UseRealTime();

void BM_PublishedRead(benchmark::State& state) {
    if (state.thread_index() == 0) gPublished.Publish(std::make_shared<const bastion::RuleCaches>());
    for (auto _ : state) {
        const bastion::RuleCaches* caches = gPublished.Read();
        benchmark::DoNotOptimize(caches->portPpsLimits.size());
    }
}
BENCHMARK(BM_PublishedRead)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
