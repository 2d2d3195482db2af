// Dispatch: classify each packet against the handles once, then queue per handle in runs
// (one lock per handle and batch), then hand the rest to the world in one call.
#include "divert/runtime/Dispatch.h"

#include <memory>
#include <vector>

#include "divert/filter/PacketInfo.h"
#include "divert/packet/Packet.h"
#include "divert/runtime/Registry.h"
#include "divert/runtime/Ticks.h"

namespace divert {
namespace {

// A packet that goes to a handle's queue.
struct Action {
    uint32_t packet;
    uint32_t slot;  // index in HandleList::network
};

// Per-thread, per-nesting-level buffers; they keep their capacity between batches.
struct Scratch {
    std::vector<WINDIVERT_ADDRESS> addresses;
    std::vector<Action> actions;
    std::vector<uint32_t> queuedPerSlot;
    std::vector<uint32_t> droppedPerSlot;
    std::vector<PacketRef> deliver;
    std::vector<DropRef> drops;
    std::vector<HeldRef> held;
    std::vector<EnqueueItem> items;
    std::vector<Completion> completions;
    std::vector<PacketRef> refused;
};

thread_local std::vector<std::unique_ptr<Scratch>> tlsScratch;
thread_local size_t tlsDepth = 0;

// Scratch of the current nesting level (a world callback may dispatch again).
class ScratchScope {
  public:
    ScratchScope() {
        if (tlsScratch.size() <= tlsDepth) tlsScratch.push_back(std::make_unique<Scratch>());
        scratch_ = tlsScratch[tlsDepth++].get();
    }
    ~ScratchScope() { --tlsDepth; }
    Scratch& operator*() { return *scratch_; }

  private:
    Scratch* scratch_;
};

inline uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool IsFragment(const uint8_t* packet) {
    if ((packet[0] >> 4) == 4) return (Load16(packet + 6) & 0x3FFF) != 0;
    return packet[6] == 44;  // IPv6 with a fragment header first
}

void FillAddress(const PacketRef& packet, int64_t now, WINDIVERT_ADDRESS* a) {
    *a = WINDIVERT_ADDRESS{};
    a->Timestamp = now;
    a->Layer = WINDIVERT_LAYER_NETWORK;
    a->Event = WINDIVERT_EVENT_NETWORK_PACKET;
    a->Outbound = packet.meta.outbound;
    a->Loopback = packet.meta.loopback;
    a->Impostor = packet.meta.impostor;
    a->IPv6 = packet.length > 0 && (packet.data[0] >> 4) == 6;
    a->IPChecksum = packet.meta.ipChecksum;
    a->TCPChecksum = packet.meta.tcpChecksum;
    a->UDPChecksum = packet.meta.udpChecksum;
    a->Network.IfIdx = packet.meta.ifIdx;
    a->Network.SubIfIdx = packet.meta.subIfIdx;
    SetWorldTag(a, packet.meta.worldTag);
}

}  // namespace

bool PassesSanityRules(const uint8_t* packet, uint32_t length) {
    if (packet == nullptr || length < 20) return false;
    switch (packet[0] >> 4) {
        case 4: {
            uint32_t ihl = packet[0] & 0x0F;
            return ihl >= 5 && ihl * 4 <= length && Load16(packet + 2) == length;
        }
        case 6:
            return length >= 40 && uint32_t{Load16(packet + 4)} + 40 == length;
        default:
            return false;
    }
}

void DispatchNetwork(const PacketRef* packets, size_t count, uint64_t injectorPriority) {
    if (count == 0) return;
    SnapshotGuard list;
    World* world = list->world.get();
    const auto& handles = list->network;

    // Handles below the injector; the list is in descending internal priority.
    size_t first = 0;
    while (first < handles.size() && handles[first]->InternalPriority() >= injectorPriority) {
        ++first;
    }
    if (first == handles.size()) {
        if (world != nullptr) world->Deliver(packets, count);
        return;
    }

    ScratchScope scope;
    Scratch& s = *scope;
    const int64_t now = NowTicks();
    s.addresses.resize(count);
    s.actions.clear();
    s.deliver.clear();
    s.drops.clear();
    s.held.clear();
    s.queuedPerSlot.assign(handles.size(), 0);
    s.droppedPerSlot.assign(handles.size(), 0);

    filter::PacketInfo info;
    for (size_t i = 0; i < count; ++i) {
        const PacketRef& packet = packets[i];
        WINDIVERT_ADDRESS& address = s.addresses[i];
        FillAddress(packet, now, &address);
        const bool inbound = !packet.meta.outbound;
        // Inbound loopback traffic is seen only on its outbound pass.
        if (!PassesSanityRules(packet.data, packet.length) || (inbound && packet.meta.loopback)) {
            s.deliver.push_back(packet);
            continue;
        }
        const bool fragment = inbound && IsFragment(packet.data);
        bool parsed = false;
        bool disposed = false;
        for (size_t slot = first; slot < handles.size(); ++slot) {
            DivertHandle& h = *handles[slot];
            if (!h.Accepting() || h.NeverMatches()) continue;
            if (fragment && !h.WantsFragments()) continue;
            if (!parsed) {
                if (!filter::ParsePacketInfo(packet.data, packet.length, info)) break;
                parsed = true;
            }
            if (!filter::Evaluate(h.Program(), &info, address)) continue;
            if (h.IsDrop()) {
                s.drops.push_back(DropRef{packet, h.Handle()});
                ++s.droppedPerSlot[slot];
                disposed = true;
                break;
            }
            s.actions.push_back(Action{static_cast<uint32_t>(i), static_cast<uint32_t>(slot)});
            ++s.queuedPerSlot[slot];
            if (!h.IsSniff()) {
                disposed = true;
                break;
            }
        }
        if (!disposed) s.deliver.push_back(packet);
    }

    // Queue per handle, one lock each. A handle that stopped accepting in the meantime
    // passes its diverted packets on as if it had re-injected them.
    s.completions.clear();
    for (size_t slot = first; slot < handles.size(); ++slot) {
        if (s.droppedPerSlot[slot] != 0) handles[slot]->CountDropped(s.droppedPerSlot[slot]);
        if (s.queuedPerSlot[slot] == 0) continue;
        s.items.clear();
        for (const Action& a : s.actions) {
            if (a.slot != slot) continue;
            const PacketRef& packet = packets[a.packet];
            s.items.push_back(EnqueueItem{packet.data, packet.length, &s.addresses[a.packet], 0});
        }
        DivertHandle& h = *handles[slot];
        if (h.EnqueueBatch(s.items.data(), s.items.size(), now, &s.completions)) {
            if (!h.IsSniff() && world != nullptr) {
                for (const Action& a : s.actions) {
                    if (a.slot == slot) s.held.push_back(HeldRef{packets[a.packet], h.Handle()});
                }
            }
            continue;
        }
        if (h.IsSniff()) continue;
        s.refused.clear();
        for (const Action& a : s.actions) {
            if (a.slot == slot) s.refused.push_back(packets[a.packet]);
        }
        DispatchNetwork(s.refused.data(), s.refused.size(), h.InternalPriority());
    }
    // The world learns who holds a packet before a receiver can see it (and send it back,
    // or move on without it).
    if (world != nullptr && !s.held.empty()) world->Diverted(s.held.data(), s.held.size());
    RunCompletions(s.completions.data(), s.completions.size());

    if (world != nullptr) {
        if (!s.drops.empty()) world->Dropped(s.drops.data(), s.drops.size());
        if (!s.deliver.empty()) world->Deliver(s.deliver.data(), s.deliver.size());
    }
}

void DispatchFlow(const FlowEvent& event) {
    SnapshotGuard list;
    if (list->flow.empty()) return;
    const int64_t now = NowTicks();
    WINDIVERT_ADDRESS a{};
    a.Timestamp = now;
    a.Layer = WINDIVERT_LAYER_FLOW;
    a.Event = event.event;
    a.Sniffed = 1;
    a.Outbound = event.outbound;
    a.Loopback = event.loopback;
    a.IPv6 = event.ipv6;
    a.Flow.EndpointId = event.flowId;
    a.Flow.ProcessId = event.processId;
    for (int i = 0; i < 4; ++i) {
        a.Flow.LocalAddr[i] = event.localAddr[i];
        a.Flow.RemoteAddr[i] = event.remoteAddr[i];
    }
    a.Flow.LocalPort = event.localPort;
    a.Flow.RemotePort = event.remotePort;
    a.Flow.Protocol = event.protocol;

    std::vector<Completion> completions;
    const EnqueueItem item{nullptr, 0, &a, event.flowId};
    for (const auto& handle : list->flow) {
        DivertHandle& h = *handle;
        if (!h.Accepting() || h.NeverMatches()) continue;
        if (!filter::Evaluate(h.Program(), nullptr, a)) continue;
        h.EnqueueBatch(&item, 1, now, &completions);
    }
    RunCompletions(completions.data(), completions.size());
}

}  // namespace divert
