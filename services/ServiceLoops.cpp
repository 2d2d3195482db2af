#include "services/ServiceLoops.h"

#include "engine/PacketProcessor.h"

namespace bastion {

// Interim bodies until the loops land: they hold the threads' places in the lifecycle.
void CleanupLoop(PacketProcessor& engine) {
    while (engine.cleanupRunning.load(std::memory_order_acquire))
        Sleep(10);
}

void MetricsLoop(PacketProcessor& engine) {
    while (engine.metricsRunning.load(std::memory_order_acquire))
        Sleep(10);
}

}  // namespace bastion
