#include <algorithm>
#include <mutex>

#include "conntrack/ConnectionTracking.h"
#include "engine/PacketProcessor.h"
#include "rules/Enforcement.h"

namespace bastion {

size_t ProcessBlockedQueue(PacketProcessor& engine) {
    BlockedAddressQueue& queue = engine.ruleEngine.blockedQueue;
    if (!queue.pending.load(std::memory_order_acquire)) return 0;
    std::vector<uint32_t>& batch = queue.draining;
    {
        std::lock_guard lock(queue.mutex);
        // The queue takes over the drained (empty) vector and its memory.
        batch.swap(queue.addresses);
        queue.pending.store(false, std::memory_order_relaxed);
    }
    const size_t count = std::min(batch.size(), kBlockedPerPass);
    for (size_t i = 0; i < count; ++i)
        ForgetSourceConnections(engine, batch[i]);
    if (batch.size() > count) {
        // The rest go back ahead of whatever was queued meanwhile, keeping queue order.
        std::lock_guard lock(queue.mutex);
        queue.addresses.insert(queue.addresses.begin(), batch.begin() + count, batch.end());
        queue.pending.store(true, std::memory_order_relaxed);
    }
    batch.clear();
    return count;
}

}  // namespace bastion
