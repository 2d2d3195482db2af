// Published<T>: an immutable snapshot that writers replace whole and the packet path reads
// without blocking.
//
// std::atomic<std::shared_ptr> is not lock-free with this toolchain (libstdc++ guards it
// with a spin bit, and every load writes the shared reference count), so readers here
// keep a per-thread cached reference and only compare a 64-bit stamp per read: a reader
// touches no shared cache line for writing and never waits. A reader refreshes its cache
// when the stamp changed; if a writer holds the lock at that moment, it keeps using its
// previous (complete) snapshot of the same object and refreshes on a later read. Only the
// very first read of an object on a thread may wait for a writer, for the time of a
// pointer copy.
//
// Lifetime: the pointer returned by Read stays valid until the same thread calls Read
// again on a Published that shares its cache slot (objects created one after the other
// use different slots). Evaluate one packet with one Read.
//
// Thread-safety: Publish and Snapshot from any thread; Read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace bastion {

namespace published_detail {
constexpr unsigned kCacheSlots = 16;

struct CacheSlot {
    uint64_t stamp = 0;
    std::shared_ptr<const void> value;
};

// Slots of the calling thread; each Published object uses the slot of its id. Inline, so
// that a packet's read costs a thread-local access, not a call.
inline CacheSlot* ThreadCacheSlots() {
    thread_local CacheSlot slots[kCacheSlots];
    return slots;
}
// A process-wide unique id for each Published object (never 0).
uint32_t NextObjectId();
}  // namespace published_detail

template <class T>
class Published {
  public:
    Published() : id_(published_detail::NextObjectId()), stamp_(uint64_t{id_} << 32) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    // Replaces the snapshot. Readers holding the previous one keep it until their next read;
    // the last holder frees it.
    void Publish(std::shared_ptr<const T> value) {
        std::lock_guard lock(mutex_);
        current_ = std::move(value);
        version_ = (version_ + 1) & 0xFFFFFFFFu;
        if (version_ == 0) version_ = 1;
        // Release: a reader that sees the new stamp under the lock also sees current_.
        stamp_.store((uint64_t{id_} << 32) | version_, std::memory_order_release);
    }

    // A counted reference to the current snapshot (null before the first Publish). Takes
    // the lock briefly; for control paths, not per packet.
    std::shared_ptr<const T> Snapshot() const {
        std::lock_guard lock(mutex_);
        return current_;
    }

    // The current snapshot for the packet path; never null (an empty T stands in before the
    // first Publish). See the lifetime rule above.
    const T* Read() const {
        published_detail::CacheSlot& slot =
            published_detail::ThreadCacheSlots()[id_ % published_detail::kCacheSlots];
        uint64_t stamp = stamp_.load(std::memory_order_acquire);
        if (slot.stamp != stamp) Refresh(slot);
        return slot.value ? static_cast<const T*>(slot.value.get()) : &Empty();
    }

  private:
    void Refresh(published_detail::CacheSlot& slot) const {
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            // A writer is publishing. An older snapshot of this same object is still a
            // complete rule set: use it and pick up the new one on a later read.
            if ((slot.stamp >> 32) == id_) return;
            lock.lock();
        }
        slot.value = current_;
        slot.stamp = stamp_.load(std::memory_order_relaxed);
    }

    static const T& Empty() {
        static const T empty{};
        return empty;
    }

    const uint32_t id_;
    mutable std::mutex mutex_;
    std::shared_ptr<const T> current_;
    uint32_t version_ = 0;
    std::atomic<uint64_t> stamp_;
};

}  // namespace bastion
