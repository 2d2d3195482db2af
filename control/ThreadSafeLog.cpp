#include "control/ThreadSafeLog.h"

#include <algorithm>
#include <deque>
#include <mutex>

namespace bastion {

struct ThreadSafeLog::Impl {
    mutable std::mutex mutex;
    std::deque<PacketLogEntry> entries;
    size_t capacity;
    bool enabled = true;
    uint64_t lastSequence = 0;

    explicit Impl(size_t cap) : capacity(std::max<size_t>(cap, 1)) {}
};

ThreadSafeLog::ThreadSafeLog(size_t capacity) : impl_(std::make_unique<Impl>(capacity)) {}

ThreadSafeLog::~ThreadSafeLog() = default;

void ThreadSafeLog::Push(PacketLogEntry entry) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->enabled) return;
    entry.sequence = ++impl_->lastSequence;
    if (impl_->entries.size() >= impl_->capacity) impl_->entries.pop_front();
    impl_->entries.push_back(std::move(entry));
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
    return {impl_->entries.begin(), impl_->entries.end()};
}

std::vector<PacketLogEntry> ThreadSafeLog::EntriesAfter(uint64_t sequence, size_t limit) const {
    std::lock_guard lock(impl_->mutex);
    std::vector<PacketLogEntry> result;
    // Sequences are consecutive, so the first wanted entry's position is computed directly.
    const auto& entries = impl_->entries;
    if (entries.empty() || sequence >= impl_->lastSequence) return result;
    uint64_t firstSequence = entries.front().sequence;
    size_t start = sequence < firstSequence ? 0 : static_cast<size_t>(sequence - firstSequence + 1);
    size_t count = std::min(limit, entries.size() - start);
    result.assign(entries.begin() + static_cast<std::ptrdiff_t>(start),
                  entries.begin() + static_cast<std::ptrdiff_t>(start + count));
    return result;
}

void ThreadSafeLog::SetCapacity(size_t capacity) {
    std::lock_guard lock(impl_->mutex);
    impl_->capacity = std::max<size_t>(capacity, 1);
    while (impl_->entries.size() > impl_->capacity) impl_->entries.pop_front();
}

size_t ThreadSafeLog::Capacity() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->capacity;
}

uint64_t ThreadSafeLog::LastSequence() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lastSequence;
}

}  // namespace bastion
