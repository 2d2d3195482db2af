// The Prometheus text exposition of the daemon's figures (GET /metrics).
//
// Names follow the Prometheus conventions: a bastion_ prefix, base units (seconds, bytes)
// in the name, _total for counters, a `protocol` label where one figure exists per
// protocol. Every AppMetrics field is exported.
#pragma once

#include <cstdint>
#include <string>

#include "host/Records.h"

namespace bastion {

// Losses and driver drops summed over every diversion handle of the process (open and
// closed); zero when no world counts them.
struct DivertTotals {
    uint64_t queued = 0;
    uint64_t received = 0;
    uint64_t filterDropped = 0;
    uint64_t overflow = 0;
    uint64_t expired = 0;
    uint64_t oversize = 0;
    // The linux world's (zero in the simulated one): kernel queue full, reader socket
    // overrun, held past the grace period, held by a handle that closed.
    uint64_t kernelQueueFull = 0;
    uint64_t socketOverrun = 0;
    uint64_t heldTimeout = 0;
    uint64_t heldAtClose = 0;
    // Not a loss: packets the engine chose not to send back, released by the linux world
    // at the engine's next receive instead of waiting out the grace period.
    uint64_t releasedUnsent = 0;
};

struct MetricsSnapshot {
    AppMetrics metrics;
    int64_t droppedLogEvents = 0;
    uint64_t allowListed = 0;
    uint64_t blockListed = 0;
    uint64_t refusedBlocks = 0;
    uint64_t packetLogEntries = 0;
    uint64_t packetLogSequence = 0;
    uint64_t reloads = 0;
    uint64_t failedReloads = 0;
    double uptimeSeconds = 0;
    DivertTotals divert;
};

std::string RenderPrometheus(const MetricsSnapshot& snapshot);

}  // namespace bastion
