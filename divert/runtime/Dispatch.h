// Dispatch at the NETWORK and FLOW layers: the path every packet and flow event takes
// through the open handles.
#pragma once

#include <cstddef>
#include <cstdint>

#include "divert/runtime/World.h"

namespace divert {

// Injector priority of packets that come from the world: every handle sees them.
constexpr uint64_t kFromWorld = UINT64_MAX;

// Offers `packets` to the NETWORK-layer handles whose internal priority is below
// `injectorPriority` (a handle never sees what it or a higher handle re-injected), in
// descending order. Per packet and handle: DROP discards, SNIFF queues a copy and goes on,
// otherwise the packet is queued and stops. What passes every handle is delivered to the
// world. Packets that fail the sanity rules match no handle.
void DispatchNetwork(const PacketRef* packets, size_t count, uint64_t injectorPriority);

// Offers a flow event to the FLOW-layer handles.
void DispatchFlow(const FlowEvent& event);

// Whether dispatch would let a handle see the packet at all: at least 20 bytes, and a
// consistent IPv4 or IPv6 header whose length field equals the packet's length.
bool PassesSanityRules(const uint8_t* packet, uint32_t length);

}  // namespace divert
