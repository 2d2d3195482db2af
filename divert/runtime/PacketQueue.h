// A handle's receive queue: a FIFO of packets (or data-less events) with their address
// records, bounded by an entry count and by accounted bytes (packet length plus a fixed
// per-entry overhead). To make room for a new entry the oldest ones are discarded.
//
// Packet bytes live in one ring that grows on demand up to what the byte bound allows,
// and entries in a second ring; after warm-up a push or pop allocates nothing.
//
// Not thread-safe: the owning handle's lock guards it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "windivert.h"

namespace divert {

class PacketQueue {
  public:
    struct Entry {
        uint32_t offset = 0;  // of the bytes in the data ring
        uint32_t length = 0;
        WINDIVERT_ADDRESS address{};
    };

    struct Limits {
        uint32_t maxEntries = 0;
        uint64_t maxBytes = 0;  // accounted bytes (length + overhead per entry)
    };

    struct PushResult {
        bool stored = false;      // false: the entry alone exceeds maxBytes
        uint32_t overflowed = 0;  // oldest entries discarded to make room
    };

    explicit PacketQueue(uint32_t overheadPerEntry = 0) : overhead_(overheadPerEntry) {}
    PacketQueue(PacketQueue&&) noexcept = default;
    PacketQueue& operator=(PacketQueue&&) noexcept = default;

    // Copies `length` bytes of `data` (none for events) and `address` to the tail.
    PushResult Push(const uint8_t* data, uint32_t length, const WINDIVERT_ADDRESS& address,
                    const Limits& limits);

    bool Empty() const { return count_ == 0; }
    size_t Size() const { return count_; }
    uint64_t AccountedBytes() const { return accounted_; }
    // Bytes reserved for packet data (the ring's capacity), for tests and diagnostics.
    size_t DataCapacity() const { return capacity_; }

    // Oldest entry; the queue must not be empty.
    const Entry& Front() const { return entries_[head_]; }
    // The i-th oldest entry (0 = Front).
    const Entry& At(size_t i) const { return entries_[(head_ + i) & (entries_.size() - 1)]; }
    const uint8_t* DataOf(const Entry& entry) const { return data_.get() + entry.offset; }
    void PopFront();

    // Discards head entries whose age (now - Timestamp) exceeds maxAgeTicks; returns how many.
    uint32_t DropExpired(int64_t now, int64_t maxAgeTicks);

  private:
    // Reserves `length` contiguous bytes; discards oldest entries (counted in *overflowed)
    // when the ring may not grow further.
    uint32_t Reserve(uint32_t length, uint64_t maxCapacity, uint32_t* overflowed);
    void GrowData(size_t capacity);
    void GrowEntries();

    uint32_t overhead_;
    std::vector<Entry> entries_;  // ring; size is a power of two
    size_t head_ = 0;
    size_t count_ = 0;
    uint64_t accounted_ = 0;

    std::unique_ptr<uint8_t[]> data_;
    size_t capacity_ = 0;
    size_t begin_ = 0;      // offset of the oldest entry's bytes
    size_t end_ = 0;        // where the next bytes go
    bool wrapped_ = false;  // the live bytes run [begin_, old end) then [0, end_)
};

}  // namespace divert
