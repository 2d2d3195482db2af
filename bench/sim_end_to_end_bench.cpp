// End to end on the simulated network: the highest rate of mixed traffic (legitimate
// users and every attack class of the traffic generator) that the full engine with the
// shipped rules takes with less than 1 % of its main divert queue lost, on 1 and 2 worker
// cores, against the pass-through reader on the same handle settings.
//
// Each benchmark runs one search: a trial injects the traffic at a chosen rate for one
// second from a thread of its own; its loss is what the main handle's queue discarded
// (overflow and age) over what it queued. The search first sends as fast as the injector
// can; if that loses too much, it bisects the rate. Counters: "max_pps" (the highest rate
// found with < 1 % loss), "loss_pct" (its loss), "injector_pps" (the injector's own limit).
//
// Cores: the engine's threads (or the reader's) are confined to CPU 0 for "cores:1",
// while the injector runs on CPU 1; for "cores:2" all of them share CPUs 0 and 1.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "bench/PassThroughReader.h"
#include "control/HostConfig.h"
#include "engine/FilterBuilder.h"
#include "engine/PacketProcessor.h"
#include "host/Factory.h"
#include "platform/Testing.h"
#include "tools/EngineSession.h"
#include "tools/ObservedWorld.h"
#include "tools/TrafficGenerator.h"

namespace {

using namespace bastion;
using namespace bastion::tools;
using Clock = std::chrono::steady_clock;

constexpr double kLossLimit = 0.01;

void Confine(std::initializer_list<int> cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int c : cpus)
        CPU_SET(c, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Legitimate users (a fifth) and the attack classes in equal shares, built once.
std::vector<Packet> MixedPool(uint32_t server) {
    GeneratorOptions options;
    options.server = server;
    PacketFactory factory(options, 42);
    std::vector<Packet> pool;
    for (int i = 0; i < 40'000; ++i) {
        TrafficClass c;
        if (i % 5 == 0) {
            c = kAllTrafficClasses[(i / 5) % 3];
        } else {
            c = kAllTrafficClasses[3 + (i % 8)];
        }
        pool.push_back(factory.Make(c));
    }
    return pool;
}

struct Trial {
    double offeredPps = 0;
    double loss = 0;
};

// Injects `pps` (0 = as fast as possible) for one second and measures the queue loss of
// `handle`, waiting for the queue to drain afterwards.
Trial RunTrial(HANDLE handle, const std::vector<Packet>& pool, double pps, bool separateCore) {
    divert::HandleCounters before{}, after{};
    divert::GetHandleCounters(handle, &before);
    uint64_t sent = 0;
    double seconds = 0;
    std::thread injector([&] {
        if (separateCore) Confine({1});
        std::vector<divert::PacketRef> refs(pool.size());
        divert::PacketMeta meta;
        meta.ifIdx = divert::sim::kEthernetIfIdx;
        for (size_t i = 0; i < pool.size(); ++i)
            refs[i] = {pool[i].data(), static_cast<uint32_t>(pool[i].size()), meta};
        const Clock::time_point start = Clock::now();
        size_t next = 0;
        for (;;) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            if (elapsed >= 1.0) break;
            const uint64_t due = pps > 0 ? static_cast<uint64_t>(pps * elapsed) : sent + 64;
            while (sent < due) {
                const size_t n = std::min<uint64_t>({due - sent, 64, pool.size() - next});
                divert::Ingress(&refs[next], n);
                sent += n;
                next = (next + n) % pool.size();
            }
            if (pps > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    });
    injector.join();
    // Drain: the queue ages packets out after a second, so two seconds settle every one.
    for (int i = 0; i < 200; ++i) {
        divert::GetHandleCounters(handle, &after);
        if (after.queued == after.received + after.overflow + after.expired) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    divert::GetHandleCounters(handle, &after);
    Trial t;
    t.offeredPps = static_cast<double>(sent) / seconds;
    const double queued = static_cast<double>(after.queued - before.queued);
    const double lost =
        static_cast<double>((after.overflow - before.overflow) + (after.expired - before.expired) +
                            (after.oversize - before.oversize));
    t.loss = queued > 0 ? lost / queued : 0;
    return t;
}

void Search(benchmark::State& state, HANDLE handle, const std::vector<Packet>& pool,
            bool separateCore) {
    Trial best{};
    const Trial flat = RunTrial(handle, pool, 0, separateCore);
    if (flat.loss < kLossLimit) {
        best = flat;
    } else {
        double lo = 0, hi = flat.offeredPps;
        for (int step = 0; step < 7; ++step) {
            const double mid = (lo + hi) / 2;
            const Trial t = RunTrial(handle, pool, mid, separateCore);
            if (t.loss < kLossLimit) {
                lo = mid;
                best = t;
            } else {
                hi = mid;
            }
        }
    }
    state.counters["max_pps"] = best.offeredPps;
    state.counters["loss_pct"] = best.loss * 100;
    state.counters["injector_pps"] = flat.offeredPps;
    state.counters["flat_loss_pct"] = flat.loss * 100;
}

HostConfig ShippedConfig() {
    ConfigLoad load = LoadConfigFile(BASTION_SOURCE_DIR "/config/bastion.json");
    return load.config ? *load.config : HostConfig{};
}

void BM_EngineMixedMaxRate(benchmark::State& state) {
    const int cores = static_cast<int>(state.range(0));
    for (auto _ : state) {
        cores == 1 ? Confine({0}) : Confine({0, 1});
        platform::testing::SetProcessorCount(static_cast<uint32_t>(cores));
        auto world = ObservedWorld::Install();
        world->Sim().Stack().Listen(80);
        world->Sim().Stack().Listen(443);
        std::string error;
        auto session = EngineSession::Open(&CreatePacketProcessor, &DestroyPacketProcessor,
                                           ShippedConfig(), &error);
        if (!session) {
            state.SkipWithError(error.c_str());
            break;
        }
        auto& engine = static_cast<PacketProcessor&>(session->Engine());
        const std::vector<Packet> pool = MixedPool(world->Sim().LocalAddress());
        Search(state, engine.captureHandle.load(), pool, cores == 1);
        session.reset();
        world->Uninstall();
        platform::testing::SetProcessorCount(0);
        Confine({0, 1});
    }
}
BENCHMARK(BM_EngineMixedMaxRate)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond);

void BM_PassThroughMixedMaxRate(benchmark::State& state) {
    const int cores = static_cast<int>(state.range(0));
    for (auto _ : state) {
        cores == 1 ? Confine({0}) : Confine({0, 1});
        auto world = ObservedWorld::Install();
        world->Sim().Stack().Listen(80);
        world->Sim().Stack().Listen(443);
        const HostConfig config = ShippedConfig();
        HANDLE handle = WinDivertOpen(BuildMainFilter(config.config).c_str(),
                                      WINDIVERT_LAYER_NETWORK, 29983, 0);
        if (handle == INVALID_HANDLE_VALUE) {
            state.SkipWithError("WinDivertOpen failed");
            break;
        }
        WinDivertSetParam(handle, WINDIVERT_PARAM_QUEUE_LENGTH, 16384);
        WinDivertSetParam(handle, WINDIVERT_PARAM_QUEUE_SIZE, 33554432);
        WinDivertSetParam(handle, WINDIVERT_PARAM_QUEUE_TIME, 1000);
        {
            bench::PassThroughReader reader(handle, static_cast<unsigned>(cores));
            const std::vector<Packet> pool = MixedPool(world->Sim().LocalAddress());
            Search(state, handle, pool, cores == 1);
            reader.Stop();
        }
        WinDivertClose(handle);
        world->Uninstall();
        Confine({0, 1});
    }
}
BENCHMARK(BM_PassThroughMixedMaxRate)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
