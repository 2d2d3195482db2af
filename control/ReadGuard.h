// Read sections for the address lists: readers that never wait, writers that can prove no
// reader still holds a table they replaced.
//
// A reader brackets each lookup with a ReadGuard. Every thread owns one cache-line slot
// whose counter is odd while the thread is inside a section; entering and leaving are two
// plain stores to that private line, so lookups from 36 capture threads share no written
// cache line and never wait. A writer that has unpublished a table calls
// SynchronizeReaders(), which returns once every section that might have seen the old
// pointer has ended; the table can then be freed.
//
// The store that opens a section must be ordered before the section's first load (a
// store-load order that plain x86 stores do not give). Instead of paying for a fence in
// every lookup, the writer issues membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED), which runs
// a full barrier on every processor that runs one of our threads. Where the kernel lacks
// it (and under ThreadSanitizer, which cannot see it) readers open sections with a
// sequentially consistent store instead.
//
// Rules: never call SynchronizeReaders() inside a section (it would wait for itself);
// sections are short and never block. The first section on a thread claims its slot: no
// allocation, a scan of the slot array; more than kReaderSlots concurrent threads share a
// counter instead, which is correct but slower.
#pragma once

#include <atomic>
#include <cstdint>

namespace bastion {

namespace read_guard_detail {

struct alignas(64) ReaderSlot {
    std::atomic<uint64_t> state{0};  // odd while the owner is inside a section
    std::atomic<bool> taken{false};
};

inline constexpr unsigned kReaderSlots = 1024;

// True when writers use membarrier, so readers may open sections with a relaxed store.
extern std::atomic<bool> gLightReaders;
// Threads beyond kReaderSlots: number of them inside a section.
extern std::atomic<uint64_t> gOverflowReaders;
extern ReaderSlot gOverflowMarker;

inline thread_local constinit ReaderSlot* tlsSlot = nullptr;

ReaderSlot* ClaimSlot() noexcept;

}  // namespace read_guard_detail

class ReadGuard {
  public:
    ReadGuard() noexcept {
        using namespace read_guard_detail;
        ReaderSlot* slot = tlsSlot;
        if (slot == nullptr) slot = ClaimSlot();
        if (slot == &gOverflowMarker) {
            gOverflowReaders.fetch_add(1, std::memory_order_seq_cst);
            slot_ = slot;
            return;
        }
        uint64_t state = slot->state.load(std::memory_order_relaxed);
        if (state & 1) return;  // nested inside an outer section of this thread
        slot_ = slot;
        next_ = state + 2;
        if (gLightReaders.load(std::memory_order_relaxed)) {
            slot->state.store(state + 1, std::memory_order_relaxed);
            // The writer's membarrier orders this store before the loads that follow.
            std::atomic_signal_fence(std::memory_order_seq_cst);
        } else {
            slot->state.store(state + 1, std::memory_order_seq_cst);
        }
    }

    ~ReadGuard() {
        using namespace read_guard_detail;
        if (slot_ == nullptr) return;
        if (slot_ == &gOverflowMarker) {
            gOverflowReaders.fetch_sub(1, std::memory_order_release);
            return;
        }
        // Release: the section's loads are done before a writer sees it closed.
        slot_->state.store(next_, std::memory_order_release);
    }

    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

  private:
    read_guard_detail::ReaderSlot* slot_ = nullptr;
    uint64_t next_ = 0;
};

// Waits until every read section open at the time of the call has closed. Pointers
// unpublished (with a sequentially consistent store) before the call are then unreachable
// by readers. False when that cannot be proven (membarrier failed after registration):
// the caller must then keep what it wanted to free.
bool SynchronizeReaders();

// Whether readers run without a fence (membarrier in use); for tests and benchmarks.
bool LightReadersInUse();

}  // namespace bastion
