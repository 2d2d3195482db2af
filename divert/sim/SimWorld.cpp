// The simulated network: ingress helpers, the sink, records and the OS tables.
#include "divert/sim/SimWorld.h"

#include <utility>

namespace divert::sim {

struct SimWorld::TableData {
    std::mutex mutex;
    std::vector<platform::AdapterInfo> adapters;
    std::vector<platform::RouteInfo> routes;
    std::optional<std::string> hostName;
    std::map<std::string, std::optional<std::vector<uint32_t>>> names;
};

class SimWorld::TableProvider final : public platform::SystemTables {
  public:
    TableProvider(std::shared_ptr<TableData> data, std::shared_ptr<SimStack> stack)
        : data_(std::move(data)), stack_(std::move(stack)) {}

    std::vector<platform::AdapterInfo> Adapters() override {
        std::lock_guard lock(data_->mutex);
        return data_->adapters;
    }
    std::vector<platform::RouteInfo> Routes() override {
        std::lock_guard lock(data_->mutex);
        return data_->routes;
    }
    std::vector<platform::TcpRow> TcpTable() override { return stack_->TcpTable(); }
    std::optional<std::string> HostName() override {
        std::lock_guard lock(data_->mutex);
        return data_->hostName;
    }
    std::optional<std::vector<uint32_t>> Resolve(const std::string& name) override {
        std::lock_guard lock(data_->mutex);
        auto it = data_->names.find(name);
        if (it != data_->names.end()) return it->second;
        // A dotted quad resolves to itself, as getaddrinfo does.
        if (uint32_t literal = Ipv4(name); literal != 0 || name == "0.0.0.0") {
            return std::vector<uint32_t>{literal};
        }
        return std::nullopt;
    }

  private:
    std::shared_ptr<TableData> data_;
    std::shared_ptr<SimStack> stack_;
};

namespace {

std::vector<platform::AdapterInfo> DefaultAdapters() {
    platform::AdapterInfo lo;
    lo.name = "lo";
    lo.ifIndex = kLoopbackIfIdx;
    lo.loopback = true;
    lo.unicast = {Ipv4("127.0.0.1")};
    platform::AdapterInfo eth;
    eth.name = "eth0";
    eth.ifIndex = kEthernetIfIdx;
    eth.unicast = {Ipv4("203.0.113.10")};
    eth.gateways = {Ipv4("203.0.113.1")};
    eth.dnsServers = {Ipv4("203.0.113.53")};
    return {lo, eth};
}

// A connected route per address (/24, loopback /8) and a default route per gateway.
std::vector<platform::RouteInfo> RoutesFor(const std::vector<platform::AdapterInfo>& adapters) {
    std::vector<platform::RouteInfo> routes;
    for (const platform::AdapterInfo& a : adapters) {
        for (uint32_t gateway : a.gateways)
            routes.push_back({0, 0, gateway, a.ifIndex, 25});
        for (uint32_t address : a.unicast) {
            uint32_t mask = a.loopback ? 0xFF000000u : 0xFFFFFF00u;
            routes.push_back({address & mask, mask, 0, a.ifIndex, 281});
        }
    }
    return routes;
}

// The stack's address and interface: first unicast of the first up, non-loopback adapter.
std::pair<uint32_t, uint32_t> StackAddress(const std::vector<platform::AdapterInfo>& adapters) {
    for (const platform::AdapterInfo& a : adapters) {
        if (a.up && !a.loopback && !a.unicast.empty()) return {a.unicast.front(), a.ifIndex};
    }
    return {0, 0};
}

PacketMeta MetaFor(const std::vector<uint8_t>& packet, bool outbound, const InjectOptions& o) {
    PacketMeta meta;
    meta.outbound = outbound;
    meta.loopback = o.loopback;
    meta.impostor = o.impostor;
    meta.ifIdx = o.ifIdx;
    meta.subIfIdx = o.subIfIdx;
    switch (o.checksums) {
        case InjectOptions::Checksums::Check: {
            ChecksumCheck check = CheckChecksums(packet.data(), packet.size());
            meta.ipChecksum = check.ip;
            meta.tcpChecksum = check.tcp;
            meta.udpChecksum = check.udp;
            break;
        }
        case InjectOptions::Checksums::Valid:
            break;
        case InjectOptions::Checksums::Invalid:
            meta.ipChecksum = meta.tcpChecksum = meta.udpChecksum = false;
            break;
    }
    return meta;
}

PacketRecord RecordOf(const PacketRef& packet, HANDLE handle = nullptr) {
    return PacketRecord{std::vector<uint8_t>(packet.data, packet.data + packet.length), packet.meta,
                        handle};
}

}  // namespace

std::shared_ptr<SimWorld> SimWorld::Install(SimConfig config) {
    auto world = std::make_shared<SimWorld>(std::move(config));
    SetWorld(world);
    return world;
}

SimWorld::SimWorld(SimConfig config) : tables_(std::make_shared<TableData>()) {
    if (config.adapters.empty()) config.adapters = DefaultAdapters();
    if (config.routes.empty()) config.routes = RoutesFor(config.adapters);
    auto [address, ifIdx] = StackAddress(config.adapters);
    tables_->adapters = std::move(config.adapters);
    tables_->routes = std::move(config.routes);
    tables_->hostName = config.hostName;
    if (config.hostName) tables_->names[*config.hostName] = std::vector<uint32_t>{address};
    tables_->names["localhost"] = std::vector<uint32_t>{Ipv4("127.0.0.1")};
    stack_ = std::make_shared<SimStack>(config.stack, address, ifIdx);
    tableProvider_ = std::make_shared<TableProvider>(tables_, stack_);
}

SimWorld::~SimWorld() = default;

void SimWorld::Uninstall() {
    if (CurrentWorld().get() == this) SetWorld(nullptr);
}

void SimWorld::InjectBatch(const std::vector<std::vector<uint8_t>>& batch, bool outbound,
                           const InjectOptions& options) {
    std::vector<PacketRef> refs;
    refs.reserve(batch.size());
    for (const std::vector<uint8_t>& packet : batch) {
        refs.push_back(PacketRef{packet.data(), static_cast<uint32_t>(packet.size()),
                                 MetaFor(packet, outbound, options)});
    }
    Ingress(refs.data(), refs.size());
}

void SimWorld::InjectInbound(const std::vector<uint8_t>& packet, const InjectOptions& options) {
    PacketRef ref{packet.data(), static_cast<uint32_t>(packet.size()),
                  MetaFor(packet, false, options)};
    Ingress(&ref, 1);
}

void SimWorld::InjectOutbound(const std::vector<uint8_t>& packet, const InjectOptions& options) {
    PacketRef ref{packet.data(), static_cast<uint32_t>(packet.size()),
                  MetaFor(packet, true, options)};
    Ingress(&ref, 1);
}

void SimWorld::InjectInbound(const std::vector<std::vector<uint8_t>>& batch,
                             const InjectOptions& options) {
    InjectBatch(batch, false, options);
}

void SimWorld::InjectOutbound(const std::vector<std::vector<uint8_t>>& batch,
                              const InjectOptions& options) {
    InjectBatch(batch, true, options);
}

void SimWorld::Deliver(const PacketRef* packets, size_t count) {
    uint64_t out = 0;
    for (size_t i = 0; i < count; ++i)
        out += packets[i].meta.outbound ? 1 : 0;
    wire_.fetch_add(out, std::memory_order_relaxed);
    delivered_.fetch_add(count - out, std::memory_order_relaxed);
    if (recording_.load(std::memory_order_relaxed)) {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < count; ++i) {
            (packets[i].meta.outbound ? wireRecords_ : deliveredRecords_)
                .push_back(RecordOf(packets[i]));
        }
    }
    for (size_t i = 0; i < count; ++i) {
        if (!packets[i].meta.outbound) stack_->OnInbound(packets[i].data, packets[i].length);
    }
}

void SimWorld::Dropped(const DropRef* drops, size_t count) {
    dropped_.fetch_add(count, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < count; ++i) {
        ++droppedBy_[drops[i].handle];
        if (recording_.load(std::memory_order_relaxed)) {
            droppedRecords_.push_back(RecordOf(drops[i].packet, drops[i].handle));
        }
    }
}

void SimWorld::HandleClosed(HANDLE handle, const HandleCounters& counters) {
    std::lock_guard lock(mutex_);
    closed_[handle] = counters;
}

std::shared_ptr<platform::SystemTables> SimWorld::Tables() {
    return tableProvider_;
}

std::vector<PacketRecord> SimWorld::TakeDelivered() {
    std::lock_guard lock(mutex_);
    return std::exchange(deliveredRecords_, {});
}

std::vector<PacketRecord> SimWorld::TakeWire() {
    std::lock_guard lock(mutex_);
    return std::exchange(wireRecords_, {});
}

std::vector<PacketRecord> SimWorld::TakeDropped() {
    std::lock_guard lock(mutex_);
    return std::exchange(droppedRecords_, {});
}

void SimWorld::SetRecording(bool on) {
    recording_.store(on, std::memory_order_relaxed);
}

uint64_t SimWorld::DroppedBy(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    auto it = droppedBy_.find(handle);
    return it == droppedBy_.end() ? 0 : it->second;
}

HandleCounters SimWorld::CountersOf(HANDLE handle) const {
    HandleCounters counters;
    if (GetHandleCounters(handle, &counters)) return counters;
    std::lock_guard lock(mutex_);
    auto it = closed_.find(handle);
    return it == closed_.end() ? HandleCounters{} : it->second;
}

void SimWorld::SetAdapters(std::vector<platform::AdapterInfo> adapters) {
    auto [address, ifIdx] = StackAddress(adapters);
    {
        std::lock_guard lock(tables_->mutex);
        tables_->adapters = std::move(adapters);
    }
    stack_->SetLocalAddress(address, ifIdx);
}

void SimWorld::SetRoutes(std::vector<platform::RouteInfo> routes) {
    std::lock_guard lock(tables_->mutex);
    tables_->routes = std::move(routes);
}

void SimWorld::SetHostName(std::optional<std::string> name) {
    std::lock_guard lock(tables_->mutex);
    tables_->hostName = std::move(name);
}

void SimWorld::SetResolution(const std::string& name,
                             std::optional<std::vector<uint32_t>> addresses) {
    std::lock_guard lock(tables_->mutex);
    tables_->names[name] = std::move(addresses);
}

}  // namespace divert::sim
