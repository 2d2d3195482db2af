// The flow layer: a sniff-only, receive-only diversion handle on the flow layer whose
// events (TCP connection established / deleted, no packet data) keep the connection tables
// current, read by the "FlowLoop" thread.
//
// Thread-safety: `flowHandle` is swapped atomically by the configuring thread (the old
// handle is cancelled and closed after the swap, which wakes the flow thread); the flow
// thread reloads it every iteration. `flowFilterText` is guarded by `flowFilterMutex`,
// held only to compare or store it. `flowSeen` is guarded by `flowTableLock`, which may be
// taken while `connTableLock` is held, never the reverse.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "engine/FlatHashMap.h"
#include "windivert.h"

namespace bastion {

class PacketProcessor;
struct AppConfig;

// Filter used when the configured one does not compile: every TCP flow.
inline constexpr char kDefaultFlowFilter[] = "(protocol == 6)";

struct FlowTracking {
    // The open flow handle; null (or INVALID_HANDLE_VALUE) when tracking is off.
    std::atomic<HANDLE> flowHandle{nullptr};
    std::mutex flowFilterMutex;
    // Filter text the open handle was opened for (before any fallback to the default).
    std::string flowFilterText;
    // Flow events received, tracked or not.
    std::atomic<uint64_t> flowEventCount{0};
    std::shared_mutex flowTableLock;
    // Remote address (host order) -> steady-clock ns it last opened a connection to us (or,
    // from the sniff reader, last got our SYN-ACK). Read by the spoof check; aged by the
    // cleanup loop.
    FlatHashMap<uint32_t, int64_t> flowSeen;
};

// Opens, replaces or closes the flow handle to match `config`. TCP protection off (or a
// filter that selects nothing) closes the handle and forgets every tracked connection. A
// reload with an unchanged filter keeps the open handle. A filter that does not compile is
// reported and replaced by kDefaultFlowFilter. When the open fails the previous handle stays
// in use, and the next call with the same configuration tries again.
void ConfigureFlowTracking(PacketProcessor& engine, const AppConfig& config);

// Body of the "FlowLoop" thread: FlowLoopIteration while the engine's flowRunning is set.
void FlowLoop(PacketProcessor& engine);

enum class FlowStep {
    NoHandle,       // no flow handle open: slept 50 ms
    ReceiveFailed,  // the receive failed: slept 1, 5 or 20 ms by error
    Ignored,        // an event that is not an IPv4 TCP establish/delete with both addresses
    Applied,        // the event went into the connection tables
};

// One receive of one flow event and its bookkeeping.
FlowStep FlowLoopIteration(PacketProcessor& engine);

// Whether the connection tables take this event: FLOW_ESTABLISHED or FLOW_DELETED of an IPv4
// TCP flow whose local and remote addresses are both set.
bool IsTrackedFlowEvent(const WINDIVERT_ADDRESS& event);

enum class FlowSource {
    Any,         // apply whatever the flow handle's state
    OpenHandle,  // received from the flow handle: dropped if tracking was switched off since
};

// Applies a tracked event at steady time `now`: inbound flows go to the inbound tables (a new
// connection also stamps flowSeen), outbound flows to the outbound table. Takes
// `connTableLock` exclusively once; publishes the active-address count afterwards when the
// set of addresses changed. An event from FlowSource::OpenHandle is dropped when no flow
// handle is open any more: switching tracking off empties the tables under the same lock
// after closing the handle, so an event the flow thread received just before cannot
// re-populate them.
void ApplyFlowEvent(PacketProcessor& engine, const WINDIVERT_ADDRESS& event, int64_t now,
                    FlowSource source = FlowSource::Any);

// The warning for a flow filter that did not compile.
std::string FormatFlowFilterWarning(const std::string& filter, UINT errorPosition,
                                    const char* errorString);

}  // namespace bastion
