#include "control/ThreadSafeLog.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace bastion {

// A ring over `slots`: `count` entries starting at `head`, the oldest first. The vector
// grows up to the capacity as entries arrive, so an idle log holds no memory.
struct ThreadSafeLog::Impl {
    mutable std::mutex mutex;
    std::vector<PacketLogEntry> slots;
    size_t capacity;
    size_t head = 0;
    size_t count = 0;
    bool enabled = true;
    uint64_t lastSequence = 0;

    explicit Impl(size_t cap) : capacity(std::max<size_t>(cap, 1)) {}

    const PacketLogEntry& At(size_t index) const { return slots[(head + index) % slots.size()]; }

    // Copies entries [first, first + n) in order.
    std::vector<PacketLogEntry> Copy(size_t first, size_t n) const {
        std::vector<PacketLogEntry> result;
        result.reserve(n);
        for (size_t i = first; i < first + n; ++i)
            result.push_back(At(i));
        return result;
    }

    // Moves the entries into a fresh ring of `newCapacity`, keeping the newest.
    void Relayout(size_t newCapacity) {
        size_t keep = std::min(count, newCapacity);
        std::vector<PacketLogEntry> fresh;
        fresh.reserve(keep);
        for (size_t i = count - keep; i < count; ++i) {
            fresh.push_back(std::move(slots[(head + i) % slots.size()]));
        }
        slots = std::move(fresh);
        head = 0;
        count = keep;
        capacity = newCapacity;
    }
};

ThreadSafeLog::ThreadSafeLog(size_t capacity) : impl_(std::make_unique<Impl>(capacity)) {}

ThreadSafeLog::~ThreadSafeLog() = default;

void ThreadSafeLog::Push(PacketLogEntry entry) {
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->enabled) return;  // `entry` is freed after the unlock
        entry.sequence = ++impl_->lastSequence;
        Impl& ring = *impl_;
        if (ring.slots.size() < ring.capacity) {
            // Still growing: the ring is contiguous from 0 (head is 0 while it grows).
            ring.slots.push_back(std::move(entry));
            ++ring.count;
            return;
        }
        size_t tail = (ring.head + ring.count) % ring.capacity;
        // Swap rather than assign: the displaced entry's text is freed after the unlock.
        std::swap(ring.slots[tail], entry);
        if (ring.count == ring.capacity) {
            ring.head = (ring.head + 1) % ring.capacity;
        } else {
            ++ring.count;
        }
    }
}

void ThreadSafeLog::SetEnabled(bool enabled) {
    std::lock_guard lock(impl_->mutex);
    impl_->enabled = enabled;
}

bool ThreadSafeLog::IsEnabled() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->enabled;
}

std::vector<PacketLogEntry> ThreadSafeLog::Snapshot() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->Copy(0, impl_->count);
}

std::vector<PacketLogEntry> ThreadSafeLog::EntriesAfter(uint64_t sequence, size_t limit) const {
    std::lock_guard lock(impl_->mutex);
    const Impl& ring = *impl_;
    if (ring.count == 0 || sequence >= ring.lastSequence) return {};
    // Sequences in the ring are consecutive, ending at lastSequence.
    uint64_t first = ring.lastSequence - ring.count + 1;
    size_t start = sequence < first ? 0 : static_cast<size_t>(sequence - first + 1);
    return ring.Copy(start, std::min(limit, ring.count - start));
}

void ThreadSafeLog::SetCapacity(size_t capacity) {
    capacity = std::max<size_t>(capacity, 1);
    std::lock_guard lock(impl_->mutex);
    impl_->Relayout(capacity);
}

size_t ThreadSafeLog::Capacity() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->capacity;
}

size_t ThreadSafeLog::Size() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->count;
}

void ThreadSafeLog::Clear() {
    std::vector<PacketLogEntry> old;
    std::lock_guard lock(impl_->mutex);
    old.swap(impl_->slots);
    impl_->head = 0;
    impl_->count = 0;
}

uint64_t ThreadSafeLog::LastSequence() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lastSequence;
}

}  // namespace bastion
