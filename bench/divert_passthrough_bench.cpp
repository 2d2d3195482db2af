// Throughput of the diversion runtime over the simulated network: one generator (the
// benchmark thread) injects batches of inbound TCP packets, PassThroughReader threads
// receive and re-inject them, the world counts what is delivered.
//
// Arguments: {DROP handles in front of the divert handle, reader threads}. The DROP
// handles carry 10-clause filters shaped like the engine's signature lanes that never
// match the traffic, so every packet is evaluated against all of them first.
//
// items_per_second is packets per second of process CPU time (all threads), i.e. per
// core; "pps_wall" is per second of wall time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/PassThroughReader.h"
#include "divert/sim/SimWorld.h"
#include "windivert.h"

namespace {

using divert::sim::Ipv4;
using divert::sim::PacketBuilder;

constexpr int kBatch = 255;
constexpr int kBatchesPerIteration = 100;
constexpr uint64_t kWindow = 8192;  // packets in flight at most: the queue never overflows

std::string FlagTerms(uint8_t flags) {
    static const std::pair<uint8_t, const char*> kFlags[] = {{0x02, "tcp.Syn"}, {0x10, "tcp.Ack"},
                                                             {0x01, "tcp.Fin"}, {0x04, "tcp.Rst"},
                                                             {0x08, "tcp.Psh"}, {0x20, "tcp.Urg"}};
    std::string text;
    for (const auto& [bit, name] : kFlags) {
        if (!(flags & bit)) text += "not ";
        text += name;
        text += " and ";
    }
    return text;
}

// A lane filter of ten clauses. Half of them share the traffic's flags (ACK+PSH) so the
// evaluation runs deep into them before a port or length test fails.
std::string LaneFilter(int lane, bool payloadLane) {
    std::string text = "inbound and tcp and (";
    for (int i = 0; i < 10; ++i) {
        if (i > 0) text += " or ";
        const uint8_t flags = i % 2 == 0 ? 0x18 : 0x02;
        text += "(";
        text += FlagTerms(flags);
        text += "tcp.DstPort == ";
        text += std::to_string(1000 + lane * 10 + i);
        if (payloadLane) {
            text +=
                " and tcp.HdrLength == 5 and tcp.Window == 64240 and tcp.PayloadLength >= 17"
                " and tcp.PayloadLength <= 32 and tcp.Payload32[0] == 0x47455420)";
        } else {
            text +=
                " and ip.Length == 60 and tcp.Window == 64240 and tcp.HdrLength == 5"
                " and tcp.PayloadLength == 20)";
        }
    }
    text += ")";
    return text;
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_PassThrough(benchmark::State& state) {
    const int dropHandles = static_cast<int>(state.range(0));
    const unsigned readers = static_cast<unsigned>(state.range(1));
    auto sim = divert::sim::SimWorld::Install();
    sim->SetRecording(false);

    std::vector<HANDLE> lanes;
    for (int i = 0; i < dropHandles; ++i) {
        std::string filter = LaneFilter(i, i >= 4);
        HANDLE lane =
            WinDivertOpen(filter.c_str(), WINDIVERT_LAYER_NETWORK, static_cast<INT16>(30000 - i),
                          WINDIVERT_FLAG_DROP | WINDIVERT_FLAG_RECV_ONLY);
        if (lane == INVALID_HANDLE_VALUE) {
            state.SkipWithError(("lane open failed: " + std::to_string(GetLastError())).c_str());
            return;
        }
        lanes.push_back(lane);
    }
    HANDLE handle = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 29983, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        state.SkipWithError("open failed");
        return;
    }
    WinDivertSetParam(handle, WINDIVERT_PARAM_QUEUE_LENGTH, 16384);
    WinDivertSetParam(handle, WINDIVERT_PARAM_QUEUE_SIZE, 33554432);
    WinDivertSetParam(handle, WINDIVERT_PARAM_QUEUE_TIME, 1000);

    // 255 distinct 60-byte ACK+PSH segments to port 80 from different sources.
    std::vector<std::vector<uint8_t>> packets;
    std::vector<divert::PacketRef> refs;
    for (int i = 0; i < kBatch; ++i) {
        packets.push_back(PacketBuilder::Tcp(Ipv4("198.18.0.0") + static_cast<uint32_t>(i) * 7919,
                                             40000, Ipv4("203.0.113.10"), 80)
                              .Ack()
                              .Psh()
                              .Payload("GET /index.html HTTP")
                              .Build());
    }
    for (const auto& p : packets) {
        divert::PacketRef ref;
        ref.data = p.data();
        ref.length = static_cast<uint32_t>(p.size());
        ref.meta.ifIdx = divert::sim::kEthernetIfIdx;
        refs.push_back(ref);
    }

    bastion::bench::PassThroughReader reader(handle, readers);
    uint64_t injected = 0;
    double wall = 0;
    double cpu = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = ProcessCpuSeconds();
        for (int b = 0; b < kBatchesPerIteration; ++b) {
            while (injected - sim->DeliveredCount() > kWindow) {
                timespec pause{0, 20000};
                nanosleep(&pause, nullptr);
            }
            sim->Inject(refs.data(), refs.size());
            injected += kBatch;
        }
        while (sim->DeliveredCount() < injected) {
            timespec pause{0, 20000};
            nanosleep(&pause, nullptr);
        }
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += ProcessCpuSeconds() - cpuStart;
    }
    reader.Stop();
    divert::HandleCounters counters{};
    divert::GetHandleCounters(handle, &counters);
    state.SetItemsProcessed(static_cast<int64_t>(injected));
    state.counters["pps_wall"] = static_cast<double>(injected) / wall;
    state.counters["pps_per_core"] = static_cast<double>(injected) / cpu;
    state.counters["avg_batch"] =
        static_cast<double>(reader.Packets()) / static_cast<double>(reader.Batches());
    state.counters["lost"] = static_cast<double>(counters.overflow + counters.expired);
    state.counters["errors"] = static_cast<double>(reader.Errors());
    WinDivertClose(handle);
    for (HANDLE lane : lanes)
        WinDivertClose(lane);
    sim->Uninstall();
}

BENCHMARK(BM_PassThrough)
    ->ArgNames({"drop_handles", "readers"})
    ->Args({0, 1})
    ->Args({9, 1})
    ->Args({0, 2})
    ->Args({9, 2})
    ->MeasureProcessCPUTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
