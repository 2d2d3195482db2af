// ThreadSafeLog: the host's packet log, a bounded ring of PacketLogEntry records that the
// engine pushes to (log events, statistics lines) and the operator's viewers read.
//
// Each accepted entry gets the next sequence number (1, 2, ...), so a viewer that polls
// EntriesAfter(last sequence seen) gets exactly the new entries, or notices a gap when
// the ring has overwritten some (the first sequence returned is then not last + 1).
//
// Thread-safety: every member may be called from any thread. One mutex guards the ring.
// Push holds it for a move and a swap; the entry it displaces is destroyed after the
// mutex is released. Snapshot and EntriesAfter copy under the mutex, so a push waits
// at most for one copy of the ring (10,000 entries by default, well under a millisecond).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/PacketLogEntry.h"

namespace bastion {

class ThreadSafeLog {
  public:
    static constexpr size_t kDefaultCapacity = 10'000;

    explicit ThreadSafeLog(size_t capacity = kDefaultCapacity);
    ~ThreadSafeLog();
    ThreadSafeLog(const ThreadSafeLog&) = delete;
    ThreadSafeLog& operator=(const ThreadSafeLog&) = delete;

    // Takes the entry over and assigns its sequence number; discarded while disabled.
    // When full, the oldest entry gives way.
    void Push(PacketLogEntry entry);

    // While disabled, pushes are discarded; the entries already held stay.
    void SetEnabled(bool enabled);
    bool IsEnabled() const;

    // A consistent copy of the entries in order, oldest first.
    std::vector<PacketLogEntry> Snapshot() const;

    // The entries whose sequence is greater than `sequence`, oldest first, at most `limit`.
    std::vector<PacketLogEntry> EntriesAfter(uint64_t sequence, size_t limit = SIZE_MAX) const;

    // Changes the capacity (at least 1); the oldest entries beyond it are discarded.
    void SetCapacity(size_t capacity);
    size_t Capacity() const;
    size_t Size() const;

    // Empties the log; sequence numbers continue.
    void Clear();

    // Sequence of the last entry accepted (0 before the first).
    uint64_t LastSequence() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bastion
