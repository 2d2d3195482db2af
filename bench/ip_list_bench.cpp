// The address lists on the packet path: IsBlockedLockFree with 1,000,000 blocked addresses
// (hit and miss, addresses in random order so most lookups miss the caches, as a flood of
// spoofed sources does; and hits on a few cached addresses), IsAllowedLockFree on a small
// allow list, and AddToBlock from one and two threads into an empty list that grows to
// 1,000,000 entries per run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <vector>

#include "control/IpListManager.h"
#include "control/ReadGuard.h"

namespace {

constexpr size_t kBlocked = 1'000'000;

// Distinct, scattered addresses: an odd multiplier is a bijection on 32 bits.
uint32_t Scatter(uint64_t n) {
    return static_cast<uint32_t>(n * 0x9E37'79B1u + 0x5bd1'e995u);
}

struct Loaded {
    bastion::IpListManager lists;
    std::vector<uint32_t> blocked;
    std::vector<uint32_t> absent;

    Loaded() {
        lists.SetFirewallBlockDuration(std::chrono::hours(1));
        for (uint64_t i = 0; i < kBlocked; ++i) {
            blocked.push_back(Scatter(2 * i));
            absent.push_back(Scatter(2 * i + 1));
            lists.AddToBlock(blocked.back());
        }
        lists.ExpireEntries();  // frees the tables replaced while growing
        std::mt19937 random(7);
        std::shuffle(blocked.begin(), blocked.end(), random);
        std::shuffle(absent.begin(), absent.end(), random);
    }
};

Loaded& Lists() {
    static Loaded loaded;
    return loaded;
}

void Lookups(benchmark::State& state, const std::vector<uint32_t>& addresses, bool expected) {
    const auto& lists = Lists().lists;
    size_t i = static_cast<size_t>(state.thread_index()) * 4099;
    size_t wrong = 0;
    for (auto _ : state) {
        bool blocked = lists.IsBlockedLockFree(addresses[i]);
        wrong += blocked != expected;
        if (++i == addresses.size()) i = 0;
    }
    state.counters["wrong"] = static_cast<double>(wrong);
    state.counters["slots"] = static_cast<double>(lists.BlockCapacity());
    state.counters["fence_free"] = bastion::LightReadersInUse() ? 1 : 0;
}

void BM_IsBlockedHit(benchmark::State& state) {
    Lookups(state, Lists().blocked, true);
}
BENCHMARK(BM_IsBlockedHit)->Threads(1)->Threads(2)->UseRealTime();

void BM_IsBlockedMiss(benchmark::State& state) {
    Lookups(state, Lists().absent, false);
}
BENCHMARK(BM_IsBlockedMiss)->Threads(1)->Threads(2)->UseRealTime();

// The same table, but only 4,096 of its addresses, so their slots stay in the caches:
// the cost of a lookup without the memory latency.
void BM_IsBlockedHitCached(benchmark::State& state) {
    static const std::vector<uint32_t> few(Lists().blocked.begin(), Lists().blocked.begin() + 4096);
    Lookups(state, few, true);
}
BENCHMARK(BM_IsBlockedHitCached);

void BM_IsAllowedSmallList(benchmark::State& state) {
    static bastion::IpListManager* lists = [] {
        auto* l = new bastion::IpListManager;
        for (uint32_t i = 0; i < 100; ++i)
            l->AddAllowed(Scatter(i));
        return l;
    }();
    uint32_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(lists->IsAllowedLockFree(Scatter(i++ & 255)));
}
BENCHMARK(BM_IsAllowedSmallList);

// One fresh list per run; each thread adds its own addresses.
std::unique_ptr<bastion::IpListManager> gAddTarget;

void BM_AddToBlock(benchmark::State& state) {
    const uint64_t threads = static_cast<uint64_t>(state.threads());
    uint64_t n = static_cast<uint64_t>(state.thread_index());
    size_t refused = 0;
    for (auto _ : state) {
        refused += gAddTarget->AddToBlock(Scatter(n)) ? 0 : 1;
        n += threads;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["refused"] = static_cast<double>(refused);
}
BENCHMARK(BM_AddToBlock)
    ->Setup([](const benchmark::State&) {
        gAddTarget = std::make_unique<bastion::IpListManager>();
        gAddTarget->SetFirewallBlockDuration(std::chrono::hours(1));
    })
    ->Teardown([](const benchmark::State&) { gAddTarget.reset(); })
    ->Threads(1)
    ->Threads(2)
    ->Iterations(1'000'000)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
