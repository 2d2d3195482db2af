// The once-a-second background loops: cleanup (rate windows, queues, expiry, persistence)
// and metrics (counters turned into the host's rates).
#pragma once

namespace bastion {

class PacketProcessor;

// Body of the "CleanupLoop" thread: runs while the engine's cleanupRunning flag is set.
void CleanupLoop(PacketProcessor& engine);

// Body of the "MetricsLoop" thread: runs while the engine's metricsRunning flag is set.
void MetricsLoop(PacketProcessor& engine);

}  // namespace bastion
