// Timing shared by the cleanup and metrics loops.
#include "services/ServiceLoops.h"

#include <algorithm>

#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "platform/Win32.h"
#include "services/Log.h"

namespace bastion {

uint32_t SleepChunkMs(int64_t remainingNs) {
    if (remainingNs <= 0) return 0;
    const int64_t chunk = std::min(remainingNs, kLongestSleepNs);
    return static_cast<uint32_t>((chunk + kNsPerMs - 1) / kNsPerMs);
}

void SleepUntilSteady(int64_t deadline) {
    for (;;) {
        const uint32_t ms = SleepChunkMs(deadline - SteadyNowNs());
        if (ms == 0) return;
        Sleep(ms);
    }
}

bool WaitUntilSteadyOrStop(int64_t deadline, HANDLE stopEvent) {
    for (;;) {
        const uint32_t ms = SleepChunkMs(deadline - SteadyNowNs());
        if (ms == 0) return false;
        if (stopEvent == nullptr) {
            Sleep(ms);
            continue;
        }
        const DWORD waited = WaitForSingleObject(stopEvent, ms);
        if (waited == WAIT_OBJECT_0) return true;
        if (waited != WAIT_TIMEOUT) {
            // Not expected of a valid event; the loop still keeps its period.
            SleepUntilSteady(deadline);
            return false;
        }
    }
}

void FlushHostLists(PacketProcessor& engine) {
    IpListManager& lists = engine.runtimeState.ipLists;
    std::atomic<bool>& failing = engine.serviceLoops.listFlushFailing;
    if (lists.FlushToFiles()) {
        failing.store(false, std::memory_order_relaxed);
        return;
    }
    // Logged once, not every 30 s while the disk stays unwritable; the lists stay marked
    // for writing and every later flush tries again.
    if (!failing.exchange(true, std::memory_order_relaxed))
        EmitLogEvent(engine, "[⚠️] Saving the address lists failed: " + lists.LastError());
}

}  // namespace bastion
