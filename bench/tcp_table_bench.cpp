// Cost of reading the kernel's TCP table with many sockets open: the sock_diag netlink dump
// against the text of /proc/net/tcp (our parser and a plain getline/sscanf one).
//
// Usage: bench_tcp_table [--connections=N] [benchmark flags]. Before the benchmarks run,
// child processes open N loopback connections (2N established sockets), at most 5,000 per
// child so that each stays inside the per-process descriptor limit. The children are
// killed and their sockets reset (SO_LINGER 0, no TIME_WAIT) when the run ends.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/src/LinuxTcpTable.h"

namespace {

constexpr int kPerChild = 5000;

void Abort(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
}

// Child body: a listener on 127.0.0.<index+2> and `count` connections to it, then wait
// for SIGTERM. Reports readiness by writing one byte to `ready`.
[[noreturn]] void HoldConnections(int index, int count, int ready) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7F000002u + static_cast<uint32_t>(index));
    if (listener < 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 4096) != 0) {
        std::perror("listener");
        _exit(1);
    }
    socklen_t length = sizeof(address);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    for (int i = 0; i < count; ++i) {
        int client = socket(AF_INET, SOCK_STREAM, 0);
        if (client < 0 ||
            connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            std::perror("connect");
            _exit(1);
        }
        int server = accept(listener, nullptr, nullptr);
        if (server < 0) {
            std::perror("accept");
            _exit(1);
        }
        Abort(client);
        Abort(server);
    }
    char byte = 1;
    if (write(ready, &byte, 1) != 1) _exit(1);
    pause();
    _exit(0);
}

std::vector<pid_t> gChildren;

bool OpenConnections(int total) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    for (int index = 0; total > 0; ++index) {
        int count = total < kPerChild ? total : kPerChild;
        total -= count;
        pid_t child = fork();
        if (child < 0) return false;
        if (child == 0) HoldConnections(index, count, pipeFds[1]);
        gChildren.push_back(child);
    }
    // A child that fails exits without reporting; do not wait for it forever.
    for (size_t i = 0; i < gChildren.size(); ++i) {
        pollfd wait{pipeFds[0], POLLIN, 0};
        char byte = 0;
        if (poll(&wait, 1, 120'000) != 1 || read(pipeFds[0], &byte, 1) != 1) return false;
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
    return true;
}

void StopChildren() {
    for (pid_t child : gChildren)
        kill(child, SIGTERM);
    for (pid_t child : gChildren)
        waitpid(child, nullptr, 0);
}

// The line-by-line reader the platform layer used before: getline and sscanf per row.
size_t ReadProcWithStreams() {
    size_t rows = 0;
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(path);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            unsigned localPort = 0, remotePort = 0, state = 0;
            char local[33], remote[33];
            if (std::sscanf(line.c_str(), " %*u: %32[0-9A-F]:%4X %32[0-9A-F]:%4X %2X", local,
                            &localPort, remote, &remotePort, &state) == 5) {
                ++rows;
            }
        }
    }
    return rows;
}

void BM_SockDiag(benchmark::State& state) {
    std::vector<platform::TcpRow> rows;
    for (auto _ : state) {
        rows.clear();
        if (!platform::linux_tcp::ReadSockDiag(rows)) state.SkipWithError("sock_diag dump failed");
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["rows"] = static_cast<double>(rows.size());
}
BENCHMARK(BM_SockDiag)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ProcNet(benchmark::State& state) {
    std::vector<platform::TcpRow> rows;
    for (auto _ : state) {
        rows.clear();
        if (!platform::linux_tcp::ReadProcNet(rows))
            state.SkipWithError("/proc/net/tcp unreadable");
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["rows"] = static_cast<double>(rows.size());
}
BENCHMARK(BM_ProcNet)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ProcNetStreams(benchmark::State& state) {
    size_t rows = 0;
    for (auto _ : state) {
        rows = ReadProcWithStreams();
        benchmark::DoNotOptimize(rows);
    }
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_ProcNetStreams)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    int connections = 50'000;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--connections=", 14) == 0) {
            connections = std::atoi(argv[i] + 14);
        } else {
            rest.push_back(argv[i]);
        }
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (!OpenConnections(connections)) {
        std::fprintf(stderr, "could not open %d connections\n", connections);
        StopChildren();
        return 1;
    }
    std::fprintf(stderr, "%d loopback connections open (%d established sockets)\n", connections,
                 2 * connections);
    benchmark::RunSpecifiedBenchmarks();
    StopChildren();
    benchmark::Shutdown();
    return 0;
}
