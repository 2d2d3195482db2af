// Where diverted packets come from and where they go.
//
// The runtime (handles, dispatch, queues, receive and send) does not know what network it
// serves. A World supplies it: the world pushes the packets it sees into dispatch
// (Ingress) and raises flow events (RaiseFlowEvent); dispatch hands back every packet
// that passed all handles (Deliver: inbound ones to the local stack, outbound ones to the
// wire) and every packet a DROP handle discarded; the world also serves the operating
// system's tables that the platform's IP Helper calls read.
//
// One world is current per process. The simulated network (divert/sim) is one; a world
// over the Linux kernel's packet queues is another. Without a world, delivered packets are
// discarded and the real system's tables are read.
//
// Thread-safety: every function may be called from any thread. World callbacks run on the
// thread that injected or re-injected the packets, with no runtime lock held, and may
// re-enter the runtime (inject more packets, raise flow events, call the API).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/SystemTables.h"
#include "windivert.h"

namespace divert {

// What the world knows about a packet when it enters dispatch.
struct PacketMeta {
    bool outbound = false;
    bool loopback = false;
    bool impostor = false;
    // 1 = the checksum field is known to be valid (the receiver may rely on it).
    bool ipChecksum = true;
    bool tcpChecksum = true;
    bool udpChecksum = true;
    uint32_t ifIdx = 0;
    uint32_t subIfIdx = 0;
    // The world's own token for the packet (0: none). Dispatch writes it into the address
    // record the application receives (WorldTagOf); a send carries it back, so the world
    // recognises the packets it handed out when they return.
    uint64_t worldTag = 0;
};

// The world token in a NETWORK-layer address record: the 8 bytes after the interface
// indexes, which the published layout leaves reserved.
inline uint64_t WorldTagOf(const WINDIVERT_ADDRESS& address) {
    uint64_t tag;
    std::memcpy(&tag, address.Reserved3 + sizeof(WINDIVERT_DATA_NETWORK), sizeof tag);
    return tag;
}
inline void SetWorldTag(WINDIVERT_ADDRESS* address, uint64_t tag) {
    std::memcpy(address->Reserved3 + sizeof(WINDIVERT_DATA_NETWORK), &tag, sizeof tag);
}

// A packet (IPv4 or IPv6, starting at the IP header) and its metadata. The bytes are
// only borrowed for the duration of the call that receives the reference.
struct PacketRef {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    PacketMeta meta;
};

// A packet discarded by a DROP handle's filter.
struct DropRef {
    PacketRef packet;
    HANDLE handle = nullptr;
};

// A packet a (non-SNIFF) handle took into its queue, and that handle.
struct HeldRef {
    PacketRef packet;
    HANDLE handle = nullptr;
};

// A flow-layer event (TCP connection or first packet of another 5-tuple).
struct FlowEvent {
    WINDIVERT_EVENT event = WINDIVERT_EVENT_FLOW_ESTABLISHED;  // or WINDIVERT_EVENT_FLOW_DELETED
    // Names the flow. A DELETED event reaches only the handles that received the
    // ESTABLISHED event of the same id; it is also reported as Flow.EndpointId.
    uint64_t flowId = 0;
    bool outbound = false;  // direction in which the flow was established
    bool loopback = false;
    bool ipv6 = false;
    // 128-bit host-order form, element 0 least significant; IPv4 as ::ffff:a.b.c.d.
    uint32_t localAddr[4] = {};
    uint32_t remoteAddr[4] = {};
    uint16_t localPort = 0;  // host order
    uint16_t remotePort = 0;
    uint8_t protocol = 0;
    uint32_t processId = 0;
};

// An IPv4 address (host order) in the 128-bit flow form.
inline void MapIPv4(uint32_t address, uint32_t out[4]) {
    out[0] = address;
    out[1] = 0x0000FFFFu;
    out[2] = 0;
    out[3] = 0;
}

// What happened to the packets and events of one handle. Queue losses are the packets
// the handle matched but the application never received: the diversion API itself does
// not report them, which is why the runtime counts them here.
struct HandleCounters {
    uint64_t queued = 0;             // packets/events put in the receive queue
    uint64_t received = 0;           // returned by Recv/RecvEx
    uint64_t dropped = 0;            // discarded by this DROP handle's filter
    uint64_t overflow = 0;           // oldest queued entries discarded at QUEUE_LENGTH / QUEUE_SIZE
    uint64_t expired = 0;            // older than QUEUE_TIME when touched (also at close)
    uint64_t oversize = 0;           // matched but too large for QUEUE_SIZE: never queued
    uint64_t reinjectedAtClose = 0;  // still queued at close and passed on (non-SNIFF)
    uint64_t discardedAtClose = 0;   // still queued at close and discarded (SNIFF copies)
};

class World {
  public:
    virtual ~World() = default;

    // Packets that passed every handle, in dispatch order.
    virtual void Deliver(const PacketRef* packets, size_t count) = 0;

    // Packets discarded by DROP handles.
    virtual void Dropped(const DropRef* drops, size_t count) {
        (void)drops;
        (void)count;
    }

    // Packets diverted into handles' queues: they leave the walk until re-injected.
    virtual void Diverted(const HeldRef* held, size_t count) {
        (void)held;
        (void)count;
    }

    // Whether a packet an application sends may enter dispatch; a refused one fails the
    // send with ERROR_INVALID_PARAMETER. A world that cannot inject new packets refuses
    // those it never handed out.
    virtual bool AcceptsSend(const PacketRef& packet) {
        (void)packet;
        return true;
    }

    // NETWORK layer: a receive on `handle` put `count` packets' address records into the
    // application's array `into` (before the application can see them).
    virtual void Received(HANDLE handle, const WINDIVERT_ADDRESS* into, size_t count) {
        (void)handle;
        (void)into;
        (void)count;
    }

    // NETWORK layer: the application starts a receive into the array `into` on `handle`.
    // A world that knows its application never sends a packet once the array it arrived in
    // is reused may treat what the previous receive into `into` handed out, and was not
    // sent back, as dropped now.
    virtual void Receiving(HANDLE handle, const WINDIVERT_ADDRESS* into) {
        (void)handle;
        (void)into;
    }

    // A handle was closed; `counters` are its final counts.
    virtual void HandleClosed(HANDLE handle, const HandleCounters& counters) {
        (void)handle;
        (void)counters;
    }

    // The operating system's tables of this world; null means the real system's.
    virtual std::shared_ptr<platform::SystemTables> Tables() { return nullptr; }
};

// Makes `world` current (null: none) and installs its tables for the platform layer.
// Packets already inside dispatch on other threads may still reach the previous world.
void SetWorld(std::shared_ptr<World> world);
std::shared_ptr<World> CurrentWorld();

// Dispatches packets arriving from the world (not re-injected by a handle): every
// NETWORK-layer handle may see them. Returns when each packet is queued, dropped or
// delivered.
void Ingress(const PacketRef* packets, size_t count);

// Dispatches a flow event to the FLOW-layer handles.
void RaiseFlowEvent(const FlowEvent& event);

// Current counters of an open handle; false (and *counters untouched) if it is not an open
// diversion handle. A closed handle's final counters go to World::HandleClosed.
bool GetHandleCounters(HANDLE handle, HandleCounters* counters);

}  // namespace divert
