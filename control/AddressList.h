// AddressList: a set of IPv4 addresses, each with an expiry, that the packet path reads
// without locks while other threads add, remove, expire and resize.
//
// Layout. One open-addressing table of 64-bit slots, linear probing, published through an
// atomic pointer. A slot holds the address in its upper half and a 31-bit state code in
// its lower half: an expiry second, "never", or "removed"; an all-zero slot is empty. An
// address, once written into a slot, stays in that slot for the table's life (removal
// only changes the code), so each address has at most one slot per table and two threads
// adding the same address meet at the same slot, where a compare-and-swap decides.
//
// Resizing. A table is never resized in place. The owner builds a successor, links it as
// `next`, then freezes every slot of the old table (bit 31 of the code) while copying it.
// A writer that meets a frozen slot, or that starts a new claim once `next` is set, moves
// on to the successor; readers look in the old table and then along `next`. When the copy
// is complete the successor is published and the old table retired. Readers therefore
// never wait, and an add is never lost or doubled during a copy.
//
// The successor is sized before it is linked, from counts that adds may still raise (they
// revive removed entries without a new claim). When the count read after linking shows it
// too small, adds may already have entries in it, so it is not dropped: it gets a larger
// successor of its own, its adds move on as from any table being copied, and the old table
// and it are both copied into the larger one, which is then published. A chain is thus at
// most three tables long, and only while a copy runs.
//
// Reclamation. Readers bracket lookups with a ReadGuard (control/ReadGuard.h); retired
// tables are freed by FreeRetired() once SynchronizeReaders() proves no section can still
// hold them. Adds run inside a read section too, so they may copy (grow) but never free.
//
// Hashing. Addresses come from the network and a spoofing flood chooses them, so each
// table hashes with its own 192-bit key derived from a secret drawn at start-up: without
// it an attacker cannot aim addresses at one probe chain, and every rebuild re-keys.
//
// Counts. `present` counts slots whose code is not "removed" (expired entries count until
// RemoveExpired takes them out); `claimed` counts non-empty slots. Both share one atomic
// word so an add costs one read-modify-write besides its slot's compare-and-swap.
//
// Occupancy. Most hosts run with an empty allow list and, until a flood, an empty block
// list, so a lookup first reads a word that says whether the list may hold entries at
// all, and skips the read section and the probe when it cannot. Adds mark it after their
// entry is in place; writers that may have emptied the list clear it under the mutex in
// two steps (occupied -> clearing -> empty, re-checking the count in between), so a clear
// never hides an entry whose add had returned: an add racing with it finds the word not
// occupied and marks it again. The word changes only at those transitions, so readers
// keep it in their caches while adds flood the table.
//
// Thread-safety: Find and Add may run from any number of threads at once (inside a
// ReadGuard). Find is wait-free. Add takes the writer mutex only with try_lock, to grow;
// it waits (at most kFullWait) only when its table has reached its claim limit because a
// resize is late, and then refuses. Every other member takes the writer mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace bastion {

namespace address_code {
// State codes, the low 31 bits of a slot.
inline constexpr uint32_t kEmpty = 0;  // only in an empty slot
inline constexpr uint32_t kLastExpiry = 0x7FFF'FFFD;
inline constexpr uint32_t kRemoved = 0x7FFF'FFFE;
inline constexpr uint32_t kNever = 0x7FFF'FFFF;
// Expiry codes count whole seconds of UTC from 2024-01-01T00:00:00Z, which is code 1;
// the last code falls in 2092.
inline constexpr int64_t kEpochSeconds = 1'704'067'200;

// The code of an expiry at `unixSeconds`, clamped to [1, kLastExpiry].
uint32_t FromUnixSeconds(int64_t unixSeconds);
// The UTC second an expiry code stands for.
int64_t ToUnixSeconds(uint32_t code);
// The code of the second that contains `wallTicks` (100-ns ticks since 1970), clamped to
// [0, kLastExpiry]. An entry is live at that time when its code is greater.
uint32_t NowCode(int64_t wallTicks);

inline bool IsPresent(uint32_t code) {
    return code != kEmpty && code != kRemoved;
}
inline bool IsLiveAt(uint32_t code, uint32_t nowCode) {
    return IsPresent(code) && (code == kNever || code > nowCode);
}
}  // namespace address_code

class AddressList {
  public:
    struct Entry {
        uint32_t address = 0;
        uint32_t code = 0;  // expiry code or address_code::kNever
    };

    enum class AddResult {
        kAdded,    // the address was absent, removed or expired, and now holds the new code
        kPresent,  // the address is already live; nothing changed
        kFull,     // no room (the table could not grow in time); nothing changed
        kAtLimit,  // the list holds its maximum number of entries; nothing changed
    };

    // `minCapacity` slots at least (a power of two); at most `maxEntries` entries.
    AddressList(size_t minCapacity, size_t maxEntries);
    ~AddressList();
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;

    // ---- Lock-free -------------------------------------------------------------------
    // False only when the list holds no entry: every add that returned before the call
    // is seen, as by Find. Needs no ReadGuard.
    bool MayHoldEntries() const noexcept {
        return occupancy_.load(std::memory_order_seq_cst) != kEmptyList;
    }

    // ---- Lock-free; call inside a ReadGuard ------------------------------------------
    // The address's code (0 when absent); an expired entry still counts as present.
    uint32_t Find(uint32_t address) const noexcept;
    // Adds `address` with `code` unless it is live at `nowCode`. May grow the table.
    AddResult Add(uint32_t address, uint32_t code, uint32_t nowCode) noexcept;

    // ---- Writers (take the writer mutex) ---------------------------------------------
    // Adds or raises the entry to `code` (a later expiry wins; "never" beats every expiry).
    AddResult Merge(uint32_t address, uint32_t code);
    // Removes the entry; true when it was present.
    bool Remove(uint32_t address);
    // Removes every entry whose expiry is at or before the second of `nowCode`.
    size_t RemoveExpired(uint32_t nowCode);
    // Replaces the whole content; returns how many entries did not fit (beyond the maximum).
    size_t Replace(const std::vector<Entry>& entries);
    // Rebuilds smaller or without removed slots when that frees memory or shortens probes.
    void Compact();
    // Frees retired tables once no reader can hold them.
    void FreeRetired();
    // Present entries, ordered by address.
    std::vector<Entry> Entries() const;
    size_t Count() const;
    size_t Capacity() const;
    // Bytes held by the current and the retired tables.
    size_t MemoryBytes() const;
    void SetMaxEntries(size_t maxEntries);
    // The longest distance of an entry from its home slot (for tests of the hash).
    size_t LongestProbe() const;

    // Tests only: called on the rebuilding thread, with the writer mutex held, just before
    // and just after each successor is linked, so that a test can run adds (from another
    // thread) in those windows.
    using RebuildObserver = void (*)(void* context, bool linked);
    void SetRebuildObserverForTesting(RebuildObserver observer, void* context);

    struct Table;

  private:
    enum class Growth { kDone, kBusy, kCannot };
    // Occupancy words; readers probe unless the word is kEmptyList.
    static constexpr uint32_t kEmptyList = 0;
    static constexpr uint32_t kOccupied = 1;
    static constexpr uint32_t kClearing = 2;
    // Longest an add waits for a late resize when its table is full, and the sleeps
    // between its looks for a successor or a free mutex.
    static constexpr std::chrono::milliseconds kFullWait{50};
    static constexpr std::chrono::microseconds kFullWaitSlice{100};

    // Takes the mutex if it is free and grows `table` if it is still current.
    Growth MaybeGrow(Table* table) noexcept;
    // With the mutex held: grows, or purges removed slots, when that helps.
    Growth GrowLocked(Table* table) noexcept;
    uint32_t LiveLimit() const noexcept;
    // With the mutex held: copies the current table into one of `capacity` slots.
    bool RebuildLocked(size_t capacity) noexcept;
    size_t CapacityFor(size_t present) const noexcept;
    // After an entry was put in place (lock-free adds and writers alike).
    void MarkOccupied() noexcept;
    // With the mutex held, after removals: clears the occupancy word if the list is empty.
    void ClearOccupancyIfEmptyLocked() noexcept;

    // Read by every lookup and written only by rebuilds and at occupancy changes: kept
    // off the line of the writer mutex, which every host operation writes.
    alignas(64) std::atomic<Table*> current_;
    std::atomic<uint32_t> occupancy_{kEmptyList};
    alignas(64) mutable std::mutex mutex_;
    Table* retired_ = nullptr;                   // under mutex_
    RebuildObserver rebuildObserver_ = nullptr;  // under mutex_
    void* rebuildObserverContext_ = nullptr;
    const size_t minCapacity_;
    std::atomic<size_t> maxEntries_;
};

}  // namespace bastion
