#include "control/AddressList.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <new>
#include <random>
#include <thread>

#include "control/ReadGuard.h"

namespace bastion {

namespace address_code {

uint32_t FromUnixSeconds(int64_t unixSeconds) {
    int64_t code = unixSeconds - kEpochSeconds + 1;
    return static_cast<uint32_t>(std::clamp<int64_t>(code, 1, kLastExpiry));
}

int64_t ToUnixSeconds(uint32_t code) {
    return kEpochSeconds + static_cast<int64_t>(code) - 1;
}

uint32_t NowCode(int64_t wallTicks) {
    // Floor division: the second that contains the time, also before 1970.
    int64_t seconds = wallTicks / 10'000'000;
    if (wallTicks % 10'000'000 < 0) --seconds;
    int64_t code = seconds - kEpochSeconds + 1;
    return static_cast<uint32_t>(std::clamp<int64_t>(code, 0, kLastExpiry));
}

}  // namespace address_code

using namespace address_code;

namespace {

constexpr uint32_t kFrozen = 0x8000'0000u;
constexpr uint32_t kCodeMask = 0x7FFF'FFFFu;
constexpr uint64_t kOnePresent = 1;
constexpr uint64_t kOneClaim = uint64_t{1} << 32;

inline uint64_t Pack(uint32_t address, uint32_t code) {
    return (uint64_t{address} << 32) | code;
}

// Order of codes when two copies of one address meet: removed < any expiry < never.
inline uint32_t Rank(uint32_t code) {
    return code == kRemoved ? 0 : code;
}

inline uint64_t Fold(uint64_t a, uint64_t b) {
    __uint128_t product = static_cast<__uint128_t>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

uint64_t SplitMix64(uint64_t& state) {
    uint64_t z = (state += 0x9E37'79B9'7F4A'7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EBull;
    return z ^ (z >> 31);
}

// Keys for a new table: a secret drawn once per process, stretched per table.
void DrawTableKeys(uint64_t keys[3]) {
    static const uint64_t secret = [] {
        std::random_device device;
        return (uint64_t{device()} << 32) ^ device();
    }();
    static std::atomic<uint64_t> tables{0};
    uint64_t state =
        secret ^ (tables.fetch_add(1, std::memory_order_relaxed) * 0xD6E8'FEB8'6659'FD93ull);
    for (int i = 0; i < 3; ++i)
        keys[i] = SplitMix64(state);
    keys[1] |= 1;  // an odd multiplier keeps every input bit
}

enum class Outcome { kAdded, kPresent, kMoved, kFull, kAtLimit };

struct InsertResult {
    Outcome outcome;
    uint32_t claimedAfter = 0;  // claimed count after a new slot was taken, else 0
};

}  // namespace

struct AddressList::Table {
    uint64_t* slots = nullptr;
    uint64_t mask = 0;
    uint64_t key0 = 0, key1 = 0, key2 = 0;
    std::atomic<Table*> next{nullptr};  // successor while this table is copied
    Table* retiredNext = nullptr;       // retired chain, under the owner's mutex
    size_t mappedBytes = 0;             // slots come from mmap when not 0, else calloc

    // Written by adds; kept off the line that readers load.
    alignas(64) std::atomic<uint64_t> counts{0};  // claimed << 32 | present
    std::atomic<uint32_t> claimLimit{0};          // new claims stop here
    std::atomic<uint32_t> liveLimit{0};           // present entries stop here
    std::atomic<uint32_t> growthCheckAt{0};       // adds past this claim count try to grow

    size_t Capacity() const { return static_cast<size_t>(mask) + 1; }

    size_t Home(uint32_t address) const {
        return static_cast<size_t>(
            Fold(Fold(address ^ key0, key1) ^ key2, 0x9E37'79B9'7F4A'7C15ull) & mask);
    }

    std::atomic_ref<uint64_t> Slot(size_t i) const { return std::atomic_ref<uint64_t>(slots[i]); }
};

namespace {

using Table = AddressList::Table;

constexpr size_t kHugePage = size_t{2} << 20;

// Zeroed slot memory. Large tables are read at random addresses, one lookup per packet:
// on 4 KiB pages nearly every lookup would also miss the TLB, so they are mapped on
// 2 MiB boundaries and offered to transparent huge pages.
uint64_t* AllocateSlots(size_t capacity, size_t& mappedBytes) noexcept {
    size_t bytes = capacity * sizeof(uint64_t);
    mappedBytes = 0;
    if (bytes < kHugePage) return static_cast<uint64_t*>(std::calloc(capacity, sizeof(uint64_t)));
    size_t span = bytes + kHugePage;
    void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<uintptr_t>(raw);
    uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
    if (aligned > start) ::munmap(raw, aligned - start);
    size_t tail = start + span - (aligned + bytes);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    ::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);  // a hint only
    mappedBytes = bytes;
    return reinterpret_cast<uint64_t*>(aligned);
}

void FreeSlots(uint64_t* slots, size_t mappedBytes) noexcept {
    if (mappedBytes != 0) {
        ::munmap(slots, mappedBytes);
    } else {
        std::free(slots);
    }
}

Table* CreateTable(size_t capacity, uint32_t liveLimit, uint32_t claimLimit) noexcept {
    size_t mappedBytes = 0;
    uint64_t* slots = AllocateSlots(capacity, mappedBytes);
    if (slots == nullptr) return nullptr;
    auto* table = new (std::nothrow) Table;
    if (table == nullptr) {
        FreeSlots(slots, mappedBytes);
        return nullptr;
    }
    table->slots = slots;
    table->mappedBytes = mappedBytes;
    table->mask = capacity - 1;
    uint64_t keys[3];
    DrawTableKeys(keys);
    table->key0 = keys[0];
    table->key1 = keys[1];
    table->key2 = keys[2];
    table->liveLimit.store(liveLimit, std::memory_order_relaxed);
    table->claimLimit.store(claimLimit, std::memory_order_relaxed);
    table->growthCheckAt.store(static_cast<uint32_t>(capacity / 2), std::memory_order_relaxed);
    return table;
}

void DestroyTable(Table* table) noexcept {
    FreeSlots(table->slots, table->mappedBytes);
    delete table;
}

uint32_t ClaimLimitFor(size_t capacity) {
    return static_cast<uint32_t>(capacity * 7 / 10);
}

// The code stored for `address` in `table`, frozen bit cleared; 0 when absent.
uint32_t FindIn(const Table& table, uint32_t address) noexcept {
    size_t i = table.Home(address);
    for (uint64_t n = 0; n <= table.mask; ++n) {
        uint64_t word = table.Slot(i).load(std::memory_order_relaxed);
        uint32_t code = static_cast<uint32_t>(word) & kCodeMask;
        if (code == kEmpty) return 0;
        if (static_cast<uint32_t>(word >> 32) == address) return code;
        i = (i + 1) & table.mask;
    }
    return 0;
}

// Adds `address` with `code` to `table`.
// blockMode: an entry live at `nowCode` stays as it is (kPresent); otherwise it is renewed.
// Otherwise (merge): the higher of the two codes stays.
// limited: new claims respect the table's limits and the successor (the lock-free adds);
// copies made while resizing pass false and always land.
InsertResult InsertInto(Table& table, uint32_t address, uint32_t code, uint32_t nowCode,
                        bool blockMode, bool limited) noexcept {
    const uint64_t desired = Pack(address, code);
    size_t i = table.Home(address);
    for (uint64_t n = 0; n <= table.mask; ++n, i = (i + 1) & table.mask) {
        std::atomic_ref<uint64_t> slot = table.Slot(i);
        uint64_t word = slot.load(std::memory_order_seq_cst);
        for (;;) {
            const uint32_t state = static_cast<uint32_t>(word);
            const uint32_t current = state & kCodeMask;
            const bool frozen = (state & kFrozen) != 0;
            const bool empty = current == kEmpty;
            if (!empty && static_cast<uint32_t>(word >> 32) != address) break;  // probe on
            if (frozen) {
                // The table is being copied; what is here now reaches the successor.
                if (!empty && blockMode && IsLiveAt(current, nowCode)) return {Outcome::kPresent};
                return {Outcome::kMoved};
            }
            if (!empty) {
                bool keep = blockMode ? IsLiveAt(current, nowCode) : Rank(current) >= Rank(code);
                if (keep) return {Outcome::kPresent};
            }
            // A new claim, or bringing back a removed entry, raises the counts first; the
            // successor check after it pairs with the copier, which sets `next` and then
            // reads the counts: either the copier counts this entry or this add moves on.
            uint64_t reserve =
                empty ? (kOneClaim | kOnePresent) : (current == kRemoved ? kOnePresent : 0);
            if (reserve != 0) {
                uint64_t before = table.counts.fetch_add(reserve, std::memory_order_seq_cst);
                if (limited && table.next.load(std::memory_order_seq_cst) != nullptr) {
                    table.counts.fetch_sub(reserve, std::memory_order_relaxed);
                    // Close the slot before moving on, so that an add of the same address
                    // that saw no successor cannot still fill it: both must meet in one
                    // table, where one of them finds the other.
                    if (slot.compare_exchange_strong(word, word | kFrozen,
                                                     std::memory_order_seq_cst)) {
                        return {Outcome::kMoved};
                    }
                    continue;
                }
                Outcome refusal = Outcome::kAdded;
                if (limited && empty &&
                    static_cast<uint32_t>(before >> 32) >=
                        table.claimLimit.load(std::memory_order_relaxed)) {
                    refusal = Outcome::kFull;
                } else if (limited && static_cast<uint32_t>(before) >=
                                          table.liveLimit.load(std::memory_order_relaxed)) {
                    refusal = Outcome::kAtLimit;
                }
                if (refusal != Outcome::kAdded) {
                    table.counts.fetch_sub(reserve, std::memory_order_relaxed);
                    return {refusal};
                }
                if (slot.compare_exchange_strong(word, desired, std::memory_order_seq_cst)) {
                    uint32_t claimed = empty ? static_cast<uint32_t>(before >> 32) + 1 : 0;
                    return {Outcome::kAdded, claimed};
                }
                table.counts.fetch_sub(reserve, std::memory_order_relaxed);
                continue;  // `word` holds what won the slot; look again
            }
            if (slot.compare_exchange_strong(word, desired, std::memory_order_seq_cst)) {
                return {Outcome::kAdded};
            }
        }
    }
    return {Outcome::kFull};
}

// Freezes every slot of `from` and copies its present entries into `to`.
void CopyInto(Table& from, Table& to) noexcept {
    for (uint64_t i = 0; i <= from.mask; ++i) {
        uint64_t word = from.Slot(i).fetch_or(kFrozen, std::memory_order_seq_cst);
        uint32_t code = static_cast<uint32_t>(word) & kCodeMask;
        if (IsPresent(code)) {
            InsertInto(to, static_cast<uint32_t>(word >> 32), code, 0, false, false);
        }
    }
}

AddressList::AddResult ToAddResult(Outcome outcome) {
    switch (outcome) {
        case Outcome::kAdded:
            return AddressList::AddResult::kAdded;
        case Outcome::kPresent:
            return AddressList::AddResult::kPresent;
        case Outcome::kAtLimit:
            return AddressList::AddResult::kAtLimit;
        default:
            return AddressList::AddResult::kFull;
    }
}

}  // namespace

AddressList::AddressList(size_t minCapacity, size_t maxEntries)
    : minCapacity_(std::bit_ceil(std::max<size_t>(minCapacity, 16))), maxEntries_(maxEntries) {
    Table* table = CreateTable(minCapacity_, LiveLimit(), ClaimLimitFor(minCapacity_));
    if (table == nullptr) throw std::bad_alloc();
    current_.store(table, std::memory_order_seq_cst);
}

AddressList::~AddressList() {
    // No reader may outlive the list, so everything can go at once: also a successor left
    // linked by a rebuild that ran out of memory.
    Table* current = current_.load(std::memory_order_relaxed);
    if (Table* next = current->next.load(std::memory_order_relaxed)) DestroyTable(next);
    DestroyTable(current);
    while (retired_ != nullptr) {
        Table* next = retired_->retiredNext;
        DestroyTable(retired_);
        retired_ = next;
    }
}

uint32_t AddressList::LiveLimit() const noexcept {
    // Counts are 32-bit, and a table may hold up to four slots per entry.
    return static_cast<uint32_t>(std::min<size_t>(maxEntries_.load(), size_t{1} << 28));
}

size_t AddressList::CapacityFor(size_t present) const noexcept {
    // Load at most a third after a rebuild, so probe chains stay within a cache line or two
    // until the next rebuild at one half.
    size_t maxCapacity = std::bit_ceil(3 * size_t{std::max<uint32_t>(LiveLimit(), 1)} + 1);
    size_t wanted = std::bit_ceil(3 * present + 1);
    return std::clamp(wanted, minCapacity_, std::max(maxCapacity, minCapacity_));
}

uint32_t AddressList::Find(uint32_t address) const noexcept {
    const Table* table = current_.load(std::memory_order_seq_cst);
    uint32_t code = FindIn(*table, address);
    // While a copy runs, adds made after it started are only in the successor, or in the
    // larger table that follows a successor found too small.
    while (code != kNever) {
        table = table->next.load(std::memory_order_seq_cst);
        if (table == nullptr) break;
        uint32_t later = FindIn(*table, address);
        if (Rank(later) > Rank(code)) code = later;
    }
    return IsPresent(code) ? code : 0;
}

AddressList::AddResult AddressList::Add(uint32_t address, uint32_t code,
                                        uint32_t nowCode) noexcept {
    Table* table = current_.load(std::memory_order_seq_cst);
    std::chrono::steady_clock::time_point deadline{};
    for (;;) {
        InsertResult result = InsertInto(*table, address, code, nowCode, true, true);
        switch (result.outcome) {
            case Outcome::kMoved:
                table = table->next.load(std::memory_order_seq_cst);
                continue;
            case Outcome::kPresent:
                // Also when the entry is another add's still under way: once this returns,
                // lookups must find it.
                MarkOccupied();
                return AddResult::kPresent;
            case Outcome::kAdded:
                MarkOccupied();
                if (result.claimedAfter > table->growthCheckAt.load(std::memory_order_relaxed)) {
                    MaybeGrow(table);
                }
                return AddResult::kAdded;
            case Outcome::kFull: {
                // The table is at its claim limit, which it reaches only when a resize is
                // late: the thread that started it may be descheduled, or the mutex is
                // held by a scan. Wait for the holder in short sleeps (so that it gets the
                // processor), going on as soon as a successor is linked; but never stall
                // a capture worker for long behind a host operation.
                if (Table* next = table->next.load(std::memory_order_seq_cst)) {
                    table = next;
                    continue;
                }
                auto now = std::chrono::steady_clock::now();
                if (deadline == std::chrono::steady_clock::time_point{}) {
                    deadline = now + kFullWait;
                } else if (now > deadline) {
                    return AddResult::kFull;
                }
                Growth growth = MaybeGrow(table);
                if (growth == Growth::kCannot) return AddResult::kFull;
                if (growth == Growth::kDone) {
                    table = current_.load(std::memory_order_seq_cst);
                } else {
                    std::this_thread::sleep_for(kFullWaitSlice);
                }
                continue;
            }
            default:
                return ToAddResult(result.outcome);
        }
    }
}

void AddressList::MarkOccupied() noexcept {
    // Read first: once the list is occupied, adds from every worker leave the line shared.
    // Ordered after the add's count reservation, which a clear re-checks after it has
    // left the occupied state: either the clear sees this entry or this store follows it.
    if (occupancy_.load(std::memory_order_seq_cst) != kOccupied) {
        occupancy_.store(kOccupied, std::memory_order_seq_cst);
    }
}

void AddressList::ClearOccupancyIfEmptyLocked() noexcept {
    // No rebuild can run (the mutex is held), so the current table holds every entry and
    // its present count covers adds that have reserved but not yet written their slot.
    const Table* table = current_.load(std::memory_order_seq_cst);
    auto present = [table] {
        return static_cast<uint32_t>(table->counts.load(std::memory_order_seq_cst));
    };
    if (present() != 0) return;
    uint32_t expected = kOccupied;
    if (!occupancy_.compare_exchange_strong(expected, kClearing, std::memory_order_seq_cst)) {
        return;  // already empty
    }
    // Lookups still probe while the word says clearing. An add that reserved before this
    // second look is seen here; one that reserves after it marks the word occupied again
    // once its entry is in place, and then the exchange below fails or is overwritten.
    expected = kClearing;
    occupancy_.compare_exchange_strong(expected, present() == 0 ? kEmptyList : kOccupied,
                                       std::memory_order_seq_cst);
}

AddressList::Growth AddressList::MaybeGrow(Table* table) noexcept {
    // Adds do not queue on the mutex: whoever holds it (a copy, a scan) finishes first,
    // and meanwhile adds fill the table up to its claim limit.
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return Growth::kBusy;
    if (current_.load(std::memory_order_relaxed) != table) return Growth::kDone;
    return GrowLocked(table);
}

AddressList::Growth AddressList::GrowLocked(Table* table) noexcept {
    uint64_t counts = table->counts.load(std::memory_order_seq_cst);
    size_t claimed = counts >> 32;
    size_t present = static_cast<uint32_t>(counts);
    size_t capacity = table->Capacity();
    size_t target = CapacityFor(present);
    if (target == capacity && claimed - present < capacity / 8) {
        // At the size limit and little to purge: check again a sixteenth later.
        table->growthCheckAt.store(static_cast<uint32_t>(claimed + capacity / 16),
                                   std::memory_order_relaxed);
        return Growth::kCannot;
    }
    return RebuildLocked(target) ? Growth::kDone : Growth::kCannot;
}

bool AddressList::RebuildLocked(size_t capacity) noexcept {
    Table* old = current_.load(std::memory_order_relaxed);
    // Slots ever claimed by adds in a table never exceed its claim limit (an add reserves
    // before it claims); the rest of a successor, less its copies and a sixteenth kept
    // empty, is open to adds from the start.
    auto roomForAdds = [](size_t slots, size_t copies) -> uint32_t {
        size_t reserved = copies + slots / 16 + 1;
        if (reserved >= slots) return 0;
        return static_cast<uint32_t>(std::min<size_t>(ClaimLimitFor(slots), slots - reserved));
    };
    auto link = [this](Table* from, Table* to) {
        if (rebuildObserver_ != nullptr) rebuildObserver_(rebuildObserverContext_, false);
        from->next.store(to, std::memory_order_seq_cst);
        if (rebuildObserver_ != nullptr) rebuildObserver_(rebuildObserverContext_, true);
    };
    // A successor left linked by a rebuild that could not finish is picked up below.
    Table* first = old->next.load(std::memory_order_relaxed);
    size_t present = 0;
    if (first == nullptr) {
        // The old table's claim limit bounds its adds but not the copies it received, and
        // revivals raise its count without a claim: the count read after linking decides
        // whether this size holds the copy.
        first = CreateTable(capacity, LiveLimit(),
                            roomForAdds(capacity, old->claimLimit.load(std::memory_order_seq_cst)));
        if (first == nullptr) return false;
        link(old, first);
        // From here no add raises the old table's present count without moving on, so
        // this count bounds the copies.
        present = static_cast<uint32_t>(old->counts.load(std::memory_order_seq_cst));
        if (present + capacity / 16 + 1 < capacity) {
            uint32_t room = roomForAdds(capacity, present);
            if (room > first->claimLimit.load(std::memory_order_relaxed)) {
                first->claimLimit.store(room, std::memory_order_seq_cst);
            }
            CopyInto(*old, *first);
            current_.store(first, std::memory_order_seq_cst);
            old->retiredNext = retired_;
            retired_ = old;
            return true;
        }
    } else {
        present = static_cast<uint32_t>(old->counts.load(std::memory_order_seq_cst));
    }
    // The first successor is too small for what arrived before it was linked. Adds that
    // saw it may have claimed slots there, and readers look there, so it cannot be retired
    // as it is: it is linked to a larger table, its adds move on as they do from any table
    // being copied, and both it and the old table are copied into the larger one. It holds
    // adds only, so its claim limit bounds what it brings.
    const size_t held = first->claimLimit.load(std::memory_order_seq_cst);
    capacity = std::max(minCapacity_, std::bit_ceil(2 * (present + held) + 2));
    Table* larger = CreateTable(capacity, LiveLimit(), roomForAdds(capacity, present + held));
    // Out of memory: the old table stays current with `first` linked (lookups and adds see
    // both), and the next rebuild tries again from here.
    if (larger == nullptr) return false;
    link(first, larger);
    CopyInto(*old, *larger);
    CopyInto(*first, *larger);
    current_.store(larger, std::memory_order_seq_cst);
    old->retiredNext = retired_;
    first->retiredNext = old;
    retired_ = first;
    return true;
}

AddressList::AddResult AddressList::Merge(uint32_t address, uint32_t code) {
    std::lock_guard lock(mutex_);
    for (int attempt = 0;; ++attempt) {
        Table* table = current_.load(std::memory_order_relaxed);
        InsertResult result = InsertInto(*table, address, code, 0, false, true);
        if (result.outcome == Outcome::kFull && attempt < 2 && GrowLocked(table) == Growth::kDone) {
            continue;
        }
        if (result.outcome == Outcome::kPresent) MarkOccupied();
        if (result.outcome == Outcome::kAdded) {
            MarkOccupied();
            if (result.claimedAfter > table->growthCheckAt.load(std::memory_order_relaxed)) {
                GrowLocked(table);
            }
        }
        return ToAddResult(result.outcome);
    }
}

bool AddressList::Remove(uint32_t address) {
    std::lock_guard lock(mutex_);
    Table* table = current_.load(std::memory_order_relaxed);
    size_t i = table->Home(address);
    for (uint64_t n = 0; n <= table->mask; ++n, i = (i + 1) & table->mask) {
        std::atomic_ref<uint64_t> slot = table->Slot(i);
        uint64_t word = slot.load(std::memory_order_seq_cst);
        uint32_t code = static_cast<uint32_t>(word) & kCodeMask;
        if (code == kEmpty) return false;
        if (static_cast<uint32_t>(word >> 32) != address) continue;
        // Adds may renew the entry meanwhile; the removal comes later and wins.
        while (IsPresent(static_cast<uint32_t>(word) & kCodeMask)) {
            if (slot.compare_exchange_weak(word, Pack(address, kRemoved),
                                           std::memory_order_seq_cst)) {
                table->counts.fetch_sub(kOnePresent, std::memory_order_relaxed);
                ClearOccupancyIfEmptyLocked();
                return true;
            }
        }
        return false;
    }
    return false;
}

size_t AddressList::RemoveExpired(uint32_t nowCode) {
    std::lock_guard lock(mutex_);
    Table* table = current_.load(std::memory_order_relaxed);
    size_t removed = 0;
    for (uint64_t i = 0; i <= table->mask; ++i) {
        std::atomic_ref<uint64_t> slot = table->Slot(i);
        uint64_t word = slot.load(std::memory_order_relaxed);
        for (;;) {
            uint32_t code = static_cast<uint32_t>(word) & kCodeMask;
            if (!IsPresent(code) || IsLiveAt(code, nowCode)) break;
            if (slot.compare_exchange_weak(word, (word & ~uint64_t{kCodeMask}) | kRemoved,
                                           std::memory_order_seq_cst)) {
                table->counts.fetch_sub(kOnePresent, std::memory_order_relaxed);
                ++removed;
                break;
            }
        }
    }
    if (removed != 0) ClearOccupancyIfEmptyLocked();
    return removed;
}

size_t AddressList::Replace(const std::vector<Entry>& entries) {
    std::lock_guard lock(mutex_);
    size_t capacity = CapacityFor(entries.size());
    Table* table = CreateTable(capacity, LiveLimit(), ClaimLimitFor(capacity));
    if (table == nullptr) throw std::bad_alloc();
    // Not yet published: nothing else can touch it.
    size_t refused = 0;
    for (const Entry& entry : entries) {
        if (!IsPresent(entry.code)) continue;
        Outcome outcome = InsertInto(*table, entry.address, entry.code, 0, false, true).outcome;
        if (outcome == Outcome::kFull || outcome == Outcome::kAtLimit) ++refused;
    }
    // Marked before the entries become reachable, so that no lookup skips them.
    if (static_cast<uint32_t>(table->counts.load(std::memory_order_relaxed)) != 0) MarkOccupied();
    Table* old = current_.exchange(table, std::memory_order_seq_cst);
    old->retiredNext = retired_;
    retired_ = old;
    if (Table* next = old->next.load(std::memory_order_relaxed)) {
        next->retiredNext = retired_;  // left linked by a rebuild that ran out of memory
        retired_ = next;
    }
    ClearOccupancyIfEmptyLocked();
    return refused;
}

void AddressList::Compact() {
    std::lock_guard lock(mutex_);
    Table* table = current_.load(std::memory_order_relaxed);
    uint64_t counts = table->counts.load(std::memory_order_seq_cst);
    size_t claimed = counts >> 32;
    size_t present = static_cast<uint32_t>(counts);
    size_t capacity = table->Capacity();
    size_t target = CapacityFor(present);
    if (target < capacity || claimed - present >= capacity / 4) RebuildLocked(target);
}

void AddressList::FreeRetired() {
    std::lock_guard lock(mutex_);
    if (retired_ == nullptr || !SynchronizeReaders()) return;
    while (retired_ != nullptr) {
        Table* next = retired_->retiredNext;
        DestroyTable(retired_);
        retired_ = next;
    }
}

std::vector<AddressList::Entry> AddressList::Entries() const {
    std::vector<Entry> entries;
    {
        std::lock_guard lock(mutex_);
        const Table* table = current_.load(std::memory_order_relaxed);
        entries.reserve(static_cast<uint32_t>(table->counts.load(std::memory_order_relaxed)));
        for (uint64_t i = 0; i <= table->mask; ++i) {
            uint64_t word = table->Slot(i).load(std::memory_order_seq_cst);
            uint32_t code = static_cast<uint32_t>(word) & kCodeMask;
            if (IsPresent(code)) entries.push_back({static_cast<uint32_t>(word >> 32), code});
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.address < b.address; });
    return entries;
}

size_t AddressList::Count() const {
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(
        current_.load(std::memory_order_relaxed)->counts.load(std::memory_order_seq_cst));
}

size_t AddressList::Capacity() const {
    std::lock_guard lock(mutex_);
    return current_.load(std::memory_order_relaxed)->Capacity();
}

size_t AddressList::MemoryBytes() const {
    std::lock_guard lock(mutex_);
    auto bytes = [](const Table* t) { return sizeof(Table) + t->Capacity() * sizeof(uint64_t); };
    size_t total = bytes(current_.load(std::memory_order_relaxed));
    for (const Table* t = retired_; t != nullptr; t = t->retiredNext)
        total += bytes(t);
    return total;
}

size_t AddressList::LongestProbe() const {
    std::lock_guard lock(mutex_);
    const Table* table = current_.load(std::memory_order_relaxed);
    size_t longest = 0;
    for (uint64_t i = 0; i <= table->mask; ++i) {
        uint64_t word = table->Slot(i).load(std::memory_order_relaxed);
        if ((static_cast<uint32_t>(word) & kCodeMask) == kEmpty) continue;
        size_t home = table->Home(static_cast<uint32_t>(word >> 32));
        longest = std::max<size_t>(longest, (i - home) & table->mask);
    }
    return longest;
}

void AddressList::SetRebuildObserverForTesting(RebuildObserver observer, void* context) {
    std::lock_guard lock(mutex_);
    rebuildObserver_ = observer;
    rebuildObserverContext_ = context;
}

void AddressList::SetMaxEntries(size_t maxEntries) {
    std::lock_guard lock(mutex_);
    maxEntries_.store(maxEntries);
    current_.load(std::memory_order_relaxed)
        ->liveLimit.store(LiveLimit(), std::memory_order_relaxed);
}

}  // namespace bastion
