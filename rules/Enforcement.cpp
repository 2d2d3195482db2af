#include "rules/Enforcement.h"

#include <mutex>
#include <utility>

#include "engine/PacketProcessor.h"
#include "services/Log.h"

namespace bastion {

void RecordVerdict(PacketProcessor& engine, const PacketView& packet, VerdictResult& result,
                   CaptureScratch& scratch) {
    RuleEngineState& state = engine.ruleEngine;
    ++scratch.processed;
    switch (result.verdict) {
        case Verdict::Allow:
            ++scratch.allowed;
            return;
        case Verdict::Drop:
            ++scratch.dropped;
            break;
        case Verdict::BlockSource:
            ++scratch.blocked;
            engine.runtimeState.ipLists.AddToBlock(packet.srcAddr);
            QueueBlockedAddress(engine, packet.srcAddr);
            break;
        default:
            // Not a verdict any evaluator returns; counted as seen, nothing enforced.
            return;
    }
    ++scratch.counterShards.engineCounts.enforced;
    if (!result.reason.empty() && state.reasonTextEnabled.load(std::memory_order_relaxed)) {
        EmitLogEvent(engine, std::move(result.reason));
        result.reason.clear();
    }
}

bool QueueBlockedAddress(PacketProcessor& engine, uint32_t address) {
    BlockedAddressQueue& queue = engine.ruleEngine.blockedQueue;
    std::unique_lock lock(queue.mutex, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    if (queue.addresses.size() >= kBlockedQueueLimit) {
        queue.overflows.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    queue.addresses.push_back(address);
    queue.pending.store(true, std::memory_order_release);
    return true;
}

}  // namespace bastion
