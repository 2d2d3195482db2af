// ThreadSafeLog: the host's packet log, a bounded ring of PacketLogEntry records that the
// engine pushes to (log events, statistics lines) and the operator's viewers read.
//
// Thread-safety: every member may be called from any thread. Push never blocks on a
// reader for longer than one entry move.
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

    void SetEnabled(bool enabled);
    bool IsEnabled() const;

    // A consistent copy of the entries in order, oldest first.
    std::vector<PacketLogEntry> Snapshot() const;

    // The entries whose sequence is greater than `sequence`, oldest first, at most `limit`.
    std::vector<PacketLogEntry> EntriesAfter(uint64_t sequence, size_t limit) const;

    // Changes the capacity (at least 1); the oldest entries beyond it are discarded.
    void SetCapacity(size_t capacity);
    size_t Capacity() const;

    // Sequence of the last entry pushed (0 before the first).
    uint64_t LastSequence() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bastion
