// The simulated network: a World that tests, benchmarks and the demo drive without
// privileges, in the manner of a virtual network card whose receive side the test fills
// and whose transmit side it drains.
//
// - Inject inbound or outbound packets (one or a batch, from any thread); dispatch runs
//   on the calling thread, so "inject, then receive" needs no sleeping.
// - Read what reached the local stack, what went out on the wire, what each DROP handle
//   discarded and what each handle lost in its queue.
// - A small local TCP/UDP stack (SimStack) answers handshakes through dispatch and raises
//   flow events.
// - The operating system's tables: adapters, routes, host name, name resolution and the
//   stack's TCP table, served to the platform layer while this world is current.
//
// Recording keeps a copy of every delivered, sent and dropped packet (on by default; turn
// it off for long runs); the counters are always kept.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "divert/runtime/World.h"
#include "divert/sim/PacketBuilder.h"
#include "divert/sim/SimStack.h"
#include "platform/SystemTables.h"

namespace divert::sim {

// Interface indexes of the default tables.
constexpr uint32_t kLoopbackIfIdx = 1;
constexpr uint32_t kEthernetIfIdx = 2;

struct SimConfig {
    // Default: "lo" (127.0.0.1, loopback) and "eth0" (203.0.113.10, gateway 203.0.113.1,
    // name server 203.0.113.53), both up.
    std::vector<platform::AdapterInfo> adapters;
    std::vector<platform::RouteInfo> routes;  // default: derived from the adapters
    std::optional<std::string> hostName = std::string("bastion-sim");
    StackConfig stack;
};

struct InjectOptions {
    uint32_t ifIdx = kEthernetIfIdx;
    uint32_t subIfIdx = 0;
    bool loopback = false;
    bool impostor = false;
    // How the packet's checksum flags are set: from a check of the bytes, or as given.
    enum class Checksums { Check, Valid, Invalid } checksums = Checksums::Check;
};

struct PacketRecord {
    std::vector<uint8_t> bytes;
    PacketMeta meta;
    HANDLE handle = nullptr;  // drops: the DROP handle that discarded it
};

class SimWorld final : public World, public std::enable_shared_from_this<SimWorld> {
  public:
    // Creates a world and makes it the current one.
    static std::shared_ptr<SimWorld> Install(SimConfig config = {});
    explicit SimWorld(SimConfig config);
    ~SimWorld() override;

    // Stops being the current world (if it still is).
    void Uninstall();

    // ---- Ingress ----
    void InjectInbound(const std::vector<uint8_t>& packet, const InjectOptions& options = {});
    void InjectOutbound(const std::vector<uint8_t>& packet, const InjectOptions& options = {});
    void InjectInbound(const std::vector<std::vector<uint8_t>>& batch,
                       const InjectOptions& options = {});
    void InjectOutbound(const std::vector<std::vector<uint8_t>>& batch,
                        const InjectOptions& options = {});
    // Any mix, metadata as given (the fastest path: no copies, no checks).
    void Inject(const PacketRef* packets, size_t count) { Ingress(packets, count); }

    // ---- What happened ----
    // Records since the last Take, oldest first.
    std::vector<PacketRecord> TakeDelivered();  // reached the local stack
    std::vector<PacketRecord> TakeWire();       // went out
    std::vector<PacketRecord> TakeDropped();    // discarded by DROP handles
    void SetRecording(bool on);

    uint64_t DeliveredCount() const { return delivered_.load(std::memory_order_relaxed); }
    uint64_t WireCount() const { return wire_.load(std::memory_order_relaxed); }
    uint64_t DroppedCount() const { return dropped_.load(std::memory_order_relaxed); }
    uint64_t DroppedBy(HANDLE handle) const;
    // Counters of a handle, open or closed (zeros for a handle never seen).
    HandleCounters CountersOf(HANDLE handle) const;

    // ---- The host ----
    SimStack& Stack() { return *stack_; }
    // The stack's address: the first unicast address of the first adapter that is up and
    // not loopback.
    uint32_t LocalAddress() const { return stack_->LocalAddress(); }

    void SetAdapters(std::vector<platform::AdapterInfo> adapters);
    void SetRoutes(std::vector<platform::RouteInfo> routes);
    void SetHostName(std::optional<std::string> name);
    // What `name` resolves to; nullopt makes it fail to resolve.
    void SetResolution(const std::string& name, std::optional<std::vector<uint32_t>> addresses);
    // Raises a flow event as the operating system would (for flows the stack does not make).
    void RaiseFlow(const FlowEvent& event) { RaiseFlowEvent(event); }

    // ---- World ----
    void Deliver(const PacketRef* packets, size_t count) override;
    void Dropped(const DropRef* drops, size_t count) override;
    void HandleClosed(HANDLE handle, const HandleCounters& counters) override;
    std::shared_ptr<platform::SystemTables> Tables() override;

  private:
    struct TableData;
    class TableProvider;

    void InjectBatch(const std::vector<std::vector<uint8_t>>& batch, bool outbound,
                     const InjectOptions& options);

    std::shared_ptr<TableData> tables_;
    std::shared_ptr<SimStack> stack_;
    std::shared_ptr<platform::SystemTables> tableProvider_;

    std::atomic<uint64_t> delivered_{0}, wire_{0}, dropped_{0};
    std::atomic<bool> recording_{true};
    mutable std::mutex mutex_;  // records and per-handle figures
    std::vector<PacketRecord> deliveredRecords_, wireRecords_, droppedRecords_;
    std::map<HANDLE, uint64_t> droppedBy_;
    std::map<HANDLE, HandleCounters> closed_;
};

}  // namespace divert::sim
