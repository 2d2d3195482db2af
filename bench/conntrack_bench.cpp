// Connection tracking: flow events through the flow thread's iteration over the simulated
// flow layer, and the reconciliation of the connection tables with the system's TCP table.
//
// BM_FlowEvents/<tracked>: each round raises 1,024 ESTABLISHED events (256 addresses, four
// connections each, alternating ports 80 and 443) and then their 1,024 DELETED events into
// the open flow handle, untimed, and times the 2,048 FlowLoopIteration calls that receive
// and apply them. <tracked> connections of other addresses stay in the tables throughout.
// BM_FlowEventsRaised times the raising too (the simulated driver's share).
//
// BM_RefreshTcpConnectionTable/<tracked>: <tracked> inbound connections, all listed as
// established by the system (the steady state: nothing is removed). The _ClosedShare
// variant has 1 % of them closed by the system at each refresh (re-added untimed).
// BM_ReadSystemTcpTable is the part of the refresh that reads the system's table,
// BM_ReconcileUnderLock the part that holds connTableLock.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "conntrack/ConnectionTableOps.h"
#include "conntrack/ConnectionTracking.h"
#include "conntrack/FlowTracking.h"
#include "divert/runtime/World.h"
#include "divert/sim/SimWorld.h"
#include "engine/PacketProcessor.h"
#include "platform/SystemTables.h"
#include "platform/Win32.h"

namespace {

using namespace bastion;

constexpr uint32_t kServer = 0xCB00710A;   // 203.0.113.10, the simulated host
constexpr uint32_t kClients = 0xC6120000;  // 198.18.0.0/15
constexpr uint32_t kBackground = 0x0A400000;
constexpr int kRoundAddresses = 256;
constexpr int kPerAddress = 4;
constexpr int kRoundEvents = kRoundAddresses * kPerAddress;

divert::FlowEvent Flow(WINDIVERT_EVENT event, uint64_t id, uint32_t remote, uint16_t remotePort,
                       uint16_t localPort) {
    divert::FlowEvent flow;
    flow.event = event;
    flow.flowId = id;
    divert::MapIPv4(kServer, flow.localAddr);
    divert::MapIPv4(remote, flow.remoteAddr);
    flow.remotePort = remotePort;
    flow.localPort = localPort;
    flow.protocol = 6;
    return flow;
}

WINDIVERT_ADDRESS Established(uint32_t remote, uint16_t remotePort, uint16_t localPort) {
    WINDIVERT_ADDRESS event{};
    event.Layer = WINDIVERT_LAYER_FLOW;
    event.Event = WINDIVERT_EVENT_FLOW_ESTABLISHED;
    event.Flow.LocalAddr[0] = kServer;
    event.Flow.RemoteAddr[0] = remote;
    event.Flow.LocalPort = localPort;
    event.Flow.RemotePort = remotePort;
    event.Flow.Protocol = 6;
    return event;
}

// Inbound connections 0..count-1 of the background: 16 per address, port 443.
void TrackBackground(PacketProcessor& engine, int count) {
    for (int i = 0; i < count; ++i) {
        ApplyFlowEvent(engine,
                       Established(kBackground + static_cast<uint32_t>(i / 16),
                                   static_cast<uint16_t>(20000 + i % 16), 443),
                       1);
    }
}

platform::TcpRow BackgroundRow(int i) {
    platform::TcpRow row;
    row.localAddr = kServer;
    row.localPort = 443;
    row.remoteAddr = kBackground + static_cast<uint32_t>(i / 16);
    row.remotePort = static_cast<uint16_t>(20000 + i % 16);
    return row;
}

void FlowEventsBody(benchmark::State& state, bool timeRaising) {
    auto sim = divert::sim::SimWorld::Install();
    sim->SetRecording(false);
    RuntimeState runtime;
    auto engine = std::make_unique<PacketProcessor>(runtime);
    AppConfig config;
    config.tcpEnabled = true;
    config.tcpTargetAddress = "203.0.113.10";
    ConfigureFlowTracking(*engine, config);
    TrackBackground(*engine, static_cast<int>(state.range(0)));

    std::vector<divert::FlowEvent> established, deleted;
    uint64_t id = 1;
    for (int a = 0; a < kRoundAddresses; ++a) {
        for (int c = 0; c < kPerAddress; ++c, ++id) {
            uint32_t remote = kClients + static_cast<uint32_t>(a);
            uint16_t remotePort = static_cast<uint16_t>(40000 + c);
            uint16_t localPort = c % 2 == 0 ? 80 : 443;
            established.push_back(
                Flow(WINDIVERT_EVENT_FLOW_ESTABLISHED, id, remote, remotePort, localPort));
            deleted.push_back(
                Flow(WINDIVERT_EVENT_FLOW_DELETED, id, remote, remotePort, localPort));
        }
    }
    uint64_t unexpected = 0;
    for (auto _ : state) {
        if (!timeRaising) state.PauseTiming();
        for (const auto& flow : established)
            divert::RaiseFlowEvent(flow);
        for (const auto& flow : deleted)
            divert::RaiseFlowEvent(flow);
        if (!timeRaising) state.ResumeTiming();
        for (int i = 0; i < 2 * kRoundEvents; ++i)
            unexpected += FlowLoopIteration(*engine) != FlowStep::Applied;
    }
    if (unexpected != 0) state.SkipWithError("an event was not applied");
    state.SetItemsProcessed(state.iterations() * 2 * kRoundEvents);
    AppConfig off;
    off.tcpEnabled = false;
    ConfigureFlowTracking(*engine, off);
    engine.reset();
    sim->Uninstall();
}

void BM_FlowEvents(benchmark::State& state) {
    FlowEventsBody(state, false);
}
BENCHMARK(BM_FlowEvents)->Arg(0)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_FlowEventsRaised(benchmark::State& state) {
    FlowEventsBody(state, true);
}
BENCHMARK(BM_FlowEventsRaised)->Arg(0)->Unit(benchmark::kMicrosecond);

// The system's table as a fixed list of rows.
class FixedTcpTable final : public platform::SystemTables {
  public:
    explicit FixedTcpTable(std::vector<platform::TcpRow> rows) : rows_(std::move(rows)) {}
    std::vector<platform::AdapterInfo> Adapters() override { return {}; }
    std::vector<platform::RouteInfo> Routes() override { return {}; }
    std::vector<platform::TcpRow> TcpTable() override { return rows_; }
    std::optional<std::string> HostName() override { return std::string("bench"); }
    std::optional<std::vector<uint32_t>> Resolve(const std::string&) override {
        return std::nullopt;
    }
    std::vector<platform::TcpRow> rows_;
};

void RefreshBody(benchmark::State& state, bool closeSome) {
    const int tracked = static_cast<int>(state.range(0));
    std::vector<platform::TcpRow> rows;
    std::vector<int> closed;
    for (int i = 0; i < tracked; ++i) {
        if (closeSome && i % 100 == 0) {
            closed.push_back(i);
        } else {
            rows.push_back(BackgroundRow(i));
        }
    }
    auto table = std::make_shared<FixedTcpTable>(std::move(rows));
    platform::SetSystemTables(table);
    RuntimeState runtime;
    auto engine = std::make_unique<PacketProcessor>(runtime);
    TrackBackground(*engine, tracked);
    for (auto _ : state) {
        RefreshTcpConnectionTable(*engine);
        if (closeSome) {
            state.PauseTiming();
            for (int i : closed) {
                platform::TcpRow row = BackgroundRow(i);
                ApplyFlowEvent(*engine, Established(row.remoteAddr, row.remotePort, 443), 1);
            }
            state.ResumeTiming();
        }
    }
    if (engine->connections.inboundConnections.size() != static_cast<size_t>(tracked))
        state.SkipWithError("the refresh removed established connections");
    state.counters["connections"] = tracked;
    engine.reset();
    platform::SetSystemTables(nullptr);
}

void BM_RefreshTcpConnectionTable(benchmark::State& state) {
    RefreshBody(state, false);
}
BENCHMARK(BM_RefreshTcpConnectionTable)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_RefreshTcpConnectionTable_ClosedShare(benchmark::State& state) {
    RefreshBody(state, true);
}
BENCHMARK(BM_RefreshTcpConnectionTable_ClosedShare)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

// The share of the refresh that holds connTableLock: checking every tracked connection
// against the established set (nothing removed).
void BM_ReconcileUnderLock(benchmark::State& state) {
    const int tracked = static_cast<int>(state.range(0));
    RuntimeState runtime;
    auto engine = std::make_unique<PacketProcessor>(runtime);
    TrackBackground(*engine, tracked);
    ConnectionKeySet established;
    established.reserve(static_cast<size_t>(tracked));
    engine->connections.inboundConnections.for_each(
        [&](const ConnectionKey& key, const ConnectionEntry&) { established.try_emplace(key); });
    for (auto _ : state) {
        std::unique_lock lock(engine->connections.connTableLock);
        benchmark::DoNotOptimize(ReconcileWithSystem(engine->connections, established));
    }
}
BENCHMARK(BM_ReconcileUnderLock)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The share of the refresh spent reading the system's table: the size query and the read
// through GetExtendedTcpTable, as the refresh does them.
void BM_ReadSystemTcpTable(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    std::vector<platform::TcpRow> listed;
    for (int i = 0; i < rows; ++i)
        listed.push_back(BackgroundRow(i));
    platform::SetSystemTables(std::make_shared<FixedTcpTable>(std::move(listed)));
    std::vector<unsigned char> buffer;
    for (auto _ : state) {
        DWORD size = 0;
        GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        buffer.resize(size + 1024);
        DWORD filled = static_cast<DWORD>(buffer.size());
        if (GetExtendedTcpTable(buffer.data(), &filled, FALSE, AF_INET,
                                TCP_TABLE_OWNER_PID_CONNECTIONS, 0) != NO_ERROR) {
            state.SkipWithError("the table did not fit");
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    platform::SetSystemTables(nullptr);
}
BENCHMARK(BM_ReadSystemTcpTable)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
