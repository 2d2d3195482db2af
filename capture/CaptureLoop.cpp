#include "capture/CaptureLoop.h"

#include "engine/PacketProcessor.h"

namespace bastion {

// Interim body until the receive path lands: holds the worker's place in the lifecycle so
// that Start and Stop can be exercised; it takes no packets.
void CaptureLoop(PacketProcessor& engine, int /*workerIndex*/) {
    while (engine.running.load(std::memory_order_acquire))
        Sleep(10);
}

}  // namespace bastion
