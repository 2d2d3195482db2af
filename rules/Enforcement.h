// What happens after a verdict: the enforcement counter, the host's block list, the queue
// of blocked addresses to be removed from connection tracking, the worker's batch counters
// and the log.
#pragma once

#include <cstdint>

#include "capture/CaptureScratch.h"
#include "capture/PacketView.h"
#include "rules/Verdict.h"

namespace bastion {

class PacketProcessor;

// Most blocked addresses removed from connection tracking per cleanup pass; the rest wait
// for the next pass.
constexpr size_t kBlockedPerPass = 64;

// Verdict bookkeeping for one evaluated packet, on the capture worker's thread: counts a
// Drop or BlockSource towards enforcedPackets (in the worker's share, FlushEngineCounts); for
// BlockSource adds the source to the host's block list and queues it; counts the packet in the
// worker's batch counters; and hands a non-empty reason of a Drop or BlockSource to the log (moving
// it out of `result`).
void RecordVerdict(PacketProcessor& engine, const PacketView& packet, VerdictResult& result,
                   CaptureScratch& scratch);
inline void RecordVerdict(PacketProcessor& engine, const PacketView& packet,
                          VerdictResult& result) {
    RecordVerdict(engine, packet, result, ThreadCaptureScratch());
}

// Appends `address` to the blocked-address queue under a try-lock. False when the queue
// was busy and the address was not queued (it stays on the host's block list).
bool QueueBlockedAddress(PacketProcessor& engine, uint32_t address);

// Cleanup loop: removes up to kBlockedPerPass queued addresses, in queue order, from
// connection tracking; the rest go back to the queue for the next pass. Returns how many
// were removed.
size_t ProcessBlockedQueue(PacketProcessor& engine);

}  // namespace bastion
