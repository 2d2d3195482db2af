#include "conntrack/FlowTracking.h"
#include "engine/PacketProcessor.h"

namespace bastion {

// Interim bodies until the flow reader lands: no flow handle is opened, and the thread
// holds its place in the lifecycle.
void ConfigureFlowTracking(PacketProcessor& /*engine*/, const AppConfig& /*config*/) {}

void FlowLoop(PacketProcessor& engine) {
    while (engine.flowRunning.load(std::memory_order_acquire))
        Sleep(10);
}

}  // namespace bastion
