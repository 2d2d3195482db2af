// Locks for tables that the packet path only try-locks and other threads lock rarely.
//
// TryFirstMutex: a mutex for the rate-table shards. A packet takes a shard with try_lock
// and releases it a few lookups later; a library mutex spends a second locked instruction
// on that release. Here the release is a plain store. The price is paid by the blocking
// lock(), which polls instead of sleeping on a wait queue: its users (the window reset and
// the metrics tick, once a second) wait behind holds of microseconds at most.
//
// ReaderSlotSharedMutex: a reader/writer lock for the connection table, which every packet
// reads with a shared try-acquire and a few background threads change. Each thread
// announces itself as a reader on a cache line of its own, so a shared acquire is one
// store-and-fence on a line no other thread writes, and the release is a plain store; a
// writer raises its flag and waits until every reader line is clear. While a writer waits
// or holds the lock, shared try-acquires fail (the packet path then reads no connection
// facts, as with any busy lock). Threads beyond kReaderSlots alive at once share one
// counter and pay a second locked instruction.
//
// Both meet the standard Lockable and SharedLockable requirements (std::unique_lock,
// std::shared_lock, std::lock_guard). Neither is recursive for writers. Thread-safety: all
// members may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace bastion {

namespace lock_detail {

// Waiting for a hold of the packet path (tens of nanoseconds) or a merge (microseconds):
// yield a few times, then sleep in short steps rather than burn a core beside the workers.
inline void Backoff(unsigned attempt) {
    if (attempt < 16) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

constexpr size_t kReaderSlots = 32;
constexpr size_t kNoReaderSlot = kReaderSlots;  // the shared line of slotless threads
constexpr size_t kUnclaimed = ~size_t{0};

// Reader slot indexes in use by live threads, one bit each.
inline std::atomic<uint64_t> claimedReaderSlots{0};
static_assert(kReaderSlots < 64);

// The calling thread's reader slot. A plain thread-local, so that reading it costs no call
// and stays valid while other thread-local objects are destroyed at thread exit.
inline thread_local size_t threadReaderSlot = kUnclaimed;

// Gives the thread's slot back when the thread ends; later holds (from destructors of other
// thread-local objects) use the shared line.
struct ReaderSlotRelease {
    ~ReaderSlotRelease() {
        if (threadReaderSlot < kReaderSlots) {
            claimedReaderSlots.fetch_and(~(uint64_t{1} << threadReaderSlot),
                                         std::memory_order_relaxed);
        }
        threadReaderSlot = kNoReaderSlot;
    }
};

// Claims the lowest free slot for the calling thread, or none when all are taken.
inline size_t ClaimReaderSlot() {
    thread_local ReaderSlotRelease release;
    (void)release;
    constexpr uint64_t kAllSlots = (uint64_t{1} << kReaderSlots) - 1;
    uint64_t claimed = claimedReaderSlots.load(std::memory_order_relaxed);
    threadReaderSlot = kNoReaderSlot;
    while ((~claimed & kAllSlots) != 0) {
        const uint64_t bit = uint64_t{1} << std::countr_zero(~claimed & kAllSlots);
        if (claimedReaderSlots.compare_exchange_weak(claimed, claimed | bit,
                                                     std::memory_order_relaxed)) {
            threadReaderSlot = static_cast<size_t>(std::countr_zero(bit));
            break;
        }
    }
    return threadReaderSlot;
}

inline size_t ThreadReaderSlot() {
    const size_t slot = threadReaderSlot;
    return slot != kUnclaimed ? slot : ClaimReaderSlot();
}

}  // namespace lock_detail

class TryFirstMutex {
  public:
    bool try_lock() noexcept {
        // Read first: a busy shard costs the packet a load, not a locked instruction.
        return !locked_.load(std::memory_order_relaxed) &&
               !locked_.exchange(true, std::memory_order_acquire);
    }
    void lock() noexcept {
        for (unsigned attempt = 0; !try_lock(); ++attempt)
            lock_detail::Backoff(attempt);
    }
    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> locked_{false};
};

class ReaderSlotSharedMutex {
  public:
    static constexpr size_t kReaderSlots = lock_detail::kReaderSlots;

    bool try_lock_shared() noexcept {
        if (writer_.load(std::memory_order_relaxed)) return false;
        const size_t slot = lock_detail::ThreadReaderSlot();
        Enter(slot);
        // Sequentially consistent store then load, against the writer's store of its flag
        // then load of the reader lines: at least one of the two sees the other.
        if (writer_.load(std::memory_order_seq_cst)) {
            Leave(slot);
            return false;
        }
        return true;
    }
    void lock_shared() noexcept {
        for (unsigned attempt = 0; !try_lock_shared(); ++attempt)
            lock_detail::Backoff(attempt);
    }
    void unlock_shared() noexcept { Leave(lock_detail::ThreadReaderSlot()); }

    bool try_lock() {
        if (!writers_.try_lock()) return false;
        writer_.store(true, std::memory_order_seq_cst);
        if (ReadersPresent()) {
            writer_.store(false, std::memory_order_release);
            writers_.unlock();
            return false;
        }
        return true;
    }
    void lock() {
        writers_.lock();
        writer_.store(true, std::memory_order_seq_cst);
        for (unsigned attempt = 0; ReadersPresent(); ++attempt)
            lock_detail::Backoff(attempt);
    }
    void unlock() {
        writer_.store(false, std::memory_order_release);
        writers_.unlock();
    }

  private:
    struct alignas(64) ReaderLine {
        std::atomic<uint32_t> readers{0};
    };

    // A slot's line is written by its thread alone, so a load and a store count the
    // thread's holds (nested ones included); the shared line of slotless threads needs
    // read-modify-writes.
    void Enter(size_t slot) noexcept {
        std::atomic<uint32_t>& readers = lines_[slot].readers;
        if (slot == lock_detail::kNoReaderSlot) {
            readers.fetch_add(1, std::memory_order_seq_cst);
        } else {
            readers.store(readers.load(std::memory_order_relaxed) + 1, std::memory_order_seq_cst);
        }
    }
    // Release: the reads made under the hold happen before the writer that sees the line
    // clear changes the tables.
    void Leave(size_t slot) noexcept {
        std::atomic<uint32_t>& readers = lines_[slot].readers;
        if (slot == lock_detail::kNoReaderSlot) {
            readers.fetch_sub(1, std::memory_order_release);
        } else {
            readers.store(readers.load(std::memory_order_relaxed) - 1, std::memory_order_release);
        }
    }
    bool ReadersPresent() const noexcept {
        for (const ReaderLine& line : lines_) {
            if (line.readers.load(std::memory_order_seq_cst) != 0) return true;
        }
        return false;
    }

    // One line per slot, then the shared line of slotless threads.
    std::array<ReaderLine, kReaderSlots + 1> lines_;
    alignas(64) std::atomic<bool> writer_{false};
    std::mutex writers_;  // one writer at a time; held for the whole exclusive hold
};

}  // namespace bastion
