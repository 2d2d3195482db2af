// The baseline of the linux world benchmark: the least a packet-queue consumer can do.
// Installs the same table as the linux world (same queues, same rules), then one thread per
// queue receives batches and answers each with one packed write of accept verdicts. Prints
// the packets handled and the process CPU time per packet when it ends (SIGINT/SIGTERM or
// after --seconds). With --gather-us, reads gather under load as the linux world's do: while
// a read finds several packets but not a whole batch, the next read waits that long.
//
//   nfqueue_baseline [--table NAME] [--queues N] [--seconds S] [--gather-us U]
#include <linux/netfilter.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "divert/linux/QueueSocket.h"
#include "divert/linux/Ruleset.h"

using namespace divert::linuxworld;

namespace {
std::atomic<bool> stop{false};
void OnSignal(int) {
    stop.store(true);
}
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
    RulesetConfig config;
    config.table = "bastion";
    config.queueCount = 2;
    double seconds = 0;
    int64_t gatherUs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--table") config.table = argv[i + 1];
        if (arg == "--queues") config.queueCount = static_cast<uint16_t>(std::atoi(argv[i + 1]));
        if (arg == "--seconds") seconds = std::atof(argv[i + 1]);
        if (arg == "--gather-us") gatherUs = std::atoll(argv[i + 1]);
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::vector<std::unique_ptr<QueueSocket>> sockets;
    std::string error;
    for (uint16_t q = 0; q < config.queueCount; ++q) {
        sockets.push_back(std::make_unique<QueueSocket>());
        if (!sockets.back()->Open(q, 32768, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 2;
        }
    }
    NftTable table(config);
    if (!table.Install(RulesetState{}, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::atomic<uint64_t> total{0};
    std::vector<std::thread> threads;
    for (uint16_t q = 0; q < config.queueCount; ++q) {
        threads.emplace_back([&, q] {
            QueueSocket& socket = *sockets[q];
            std::vector<QueuedPacket> packets;
            VerdictBatch batch;
            uint64_t handled = 0;
            bool gather = false;
            while (!stop.load(std::memory_order_relaxed)) {
                packets.clear();
                if (gather) std::this_thread::sleep_for(std::chrono::microseconds(gatherUs));
                bool full = false;
                if (!socket.Receive(gather ? 0 : 50, &packets, &full)) {
                    gather = false;
                    continue;
                }
                gather = gatherUs > 0 && packets.size() > 1 && !full;
                for (const QueuedPacket& p : packets)
                    batch.Add(q, p.id, NF_ACCEPT);
                if (!batch.Empty()) socket.Write(batch.Data(), batch.Size());
                batch.Clear();
                handled += packets.size();
            }
            total.fetch_add(handled);
        });
    }
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    while (!stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (seconds > 0 &&
            std::chrono::steady_clock::now() - start > std::chrono::duration<double>(seconds))
            stop.store(true);
    }
    for (auto& t : threads)
        t.join();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    table.Remove(&error);
    const uint64_t n = total.load();
    std::printf("packets=%llu seconds=%.2f pps=%.0f cpu_ns_per_packet=%.0f\n",
                static_cast<unsigned long long>(n), wall, n / wall, n ? cpu * 1e9 / n : 0.0);
    return 0;
}
