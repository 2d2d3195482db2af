// CaptureScratch: a capture worker's per-thread scratch state.
//
// One object per thread, created on the thread's first use and destroyed when the thread
// ends, so it outlives a restart of the worker body on the same thread. The rule
// evaluators and the signature learner reach the calling thread's object through
// ThreadCaptureScratch(); nothing in it is shared with another thread except through the
// counter merge (rules/Counters.h).
//
// Thread-safety: owned by its thread; never touched by another.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Clock.h"
#include "rules/RateTable.h"

namespace bastion {

constexpr size_t kMaxBatchPackets = 255;

// One pass bit per packet of a batch (1 = re-inject). Fixed storage: a batch never holds
// more than kMaxBatchPackets packets.
class BatchBits {
  public:
    // n zero bits; n <= kMaxBatchPackets.
    void Reset(size_t n) {
        words_.fill(0);
        size_ = n;
    }
    size_t size() const { return size_; }
    bool Test(size_t i) const { return (words_[i / 64] >> (i % 64)) & 1u; }
    void Set(size_t i, bool value) {
        uint64_t bit = uint64_t{1} << (i % 64);
        words_[i / 64] = value ? (words_[i / 64] | bit) : (words_[i / 64] & ~bit);
    }
    size_t CountSet() const {
        size_t count = 0;
        for (uint64_t word : words_)
            count += static_cast<size_t>(std::popcount(word));
        return count;
    }

  private:
    std::array<uint64_t, (kMaxBatchPackets + 63) / 64> words_{};
    size_t size_ = 0;
};

struct CaptureScratch {
    // Packets that reached a rule engine since the last flush, and their verdicts.
    uint64_t processed = 0;
    uint64_t allowed = 0;
    uint64_t dropped = 0;
    uint64_t blocked = 0;

    BatchBits passFlags;                    // 1 = re-inject the packet
    std::vector<uint32_t> packetLengths;    // IPv4 total length of each packet, in order
    std::vector<uint8_t> needsChecksum;     // 1 = outbound, checksums recomputed before re-send
    std::vector<uint32_t> packetOffsets;    // byte offset of each packet in the batch buffer
    std::vector<uint32_t> allowedIndexes;   // indexes of the passing packets
    std::vector<uint32_t> validIndexes;     // indexes that passed the whole-batch send checks
    std::vector<uint32_t> selectedLengths;  // lengths of the packets copied for selective send

    // The thread's private TCP counts, merged into the shared rate table.
    WorkerCounterShards counterShards;

    int64_t lastMerge;  // steady ns of the last merge in which every shard was merged
    int64_t batchTime;  // steady ns taken once per batch; the evaluators' "now"

    CaptureScratch() : lastMerge(SteadyNowNs()), batchTime(lastMerge) {}
    CaptureScratch(const CaptureScratch&) = delete;
    CaptureScratch& operator=(const CaptureScratch&) = delete;

    // Gives every per-batch vector room for a full batch, so that batches allocate nothing.
    void ReserveBatchVectors() {
        packetLengths.reserve(kMaxBatchPackets);
        needsChecksum.reserve(kMaxBatchPackets);
        packetOffsets.reserve(kMaxBatchPackets);
        allowedIndexes.reserve(kMaxBatchPackets);
        validIndexes.reserve(kMaxBatchPackets);
        selectedLengths.reserve(kMaxBatchPackets);
    }
};

// The calling thread's scratch, created on first use.
inline CaptureScratch& ThreadCaptureScratch() {
    thread_local CaptureScratch scratch;
    return scratch;
}

}  // namespace bastion
