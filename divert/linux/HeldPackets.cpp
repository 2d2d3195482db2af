#include "divert/linux/HeldPackets.h"

#include <bit>

namespace divert::linuxworld {

HeldPackets::HeldPackets(size_t slots)
    : slots_(std::make_unique<Slot[]>(std::bit_ceil(slots < 2 ? size_t{2} : slots))),
      mask_(std::bit_ceil(slots < 2 ? size_t{2} : slots) - 1) {}

bool HeldPackets::Take(Slot& slot, uint64_t word) {
    if (!slot.word.compare_exchange_strong(word, kEmpty, std::memory_order_acq_rel)) return false;
    if ((word & 3) == kHeld) held_.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

std::optional<uint32_t> HeldPackets::Begin(uint32_t id, int64_t earliestDeadlineNs) {
    Slot& slot = SlotOf(id);
    std::optional<uint32_t> evicted;
    uint64_t old = slot.word.load(std::memory_order_acquire);
    while ((old & 3) != kEmpty) {
        if (Take(slot, old)) {
            evicted = static_cast<uint32_t>(old >> 2);
            break;
        }
        old = slot.word.load(std::memory_order_acquire);
    }
    slot.holder.store(0, std::memory_order_relaxed);
    slot.deadline.store(0, std::memory_order_relaxed);
    slot.earliest.store(earliestDeadlineNs, std::memory_order_relaxed);
    // Release: a thread that sees the new word also sees the cleared holder and deadline.
    slot.word.store(Word(id, kInFlight), std::memory_order_release);
    uint64_t newest = newest_.load(std::memory_order_relaxed);
    while (newest == 0 || static_cast<int32_t>(id - static_cast<uint32_t>(newest - 1)) > 0) {
        if (newest_.compare_exchange_weak(newest, uint64_t{id} + 1, std::memory_order_release,
                                          std::memory_order_relaxed))
            break;
    }
    return evicted;
}

bool HeldPackets::Resolve(uint32_t id) {
    Slot& slot = SlotOf(id);
    for (;;) {
        uint64_t word = slot.word.load(std::memory_order_acquire);
        if ((word & 3) == kEmpty || static_cast<uint32_t>(word >> 2) != id) return false;
        if (Take(slot, word)) return true;
    }
}

bool HeldPackets::Pending(uint32_t id) const {
    const uint64_t word = SlotOf(id).word.load(std::memory_order_acquire);
    return (word & 3) != kEmpty && static_cast<uint32_t>(word >> 2) == id;
}

bool HeldPackets::ReleaseHeldBy(uint32_t id, uintptr_t holder) {
    Slot& slot = SlotOf(id);
    const uint64_t word = slot.word.load(std::memory_order_acquire);
    if ((word & 3) == kEmpty || static_cast<uint32_t>(word >> 2) != id) return false;
    if (slot.holder.load(std::memory_order_relaxed) != holder) return false;
    return Take(slot, word);
}

void HeldPackets::Hold(uint32_t id, uintptr_t holder, int64_t deadlineNs) {
    Slot& slot = SlotOf(id);
    if (!Pending(id)) return;
    slot.holder.store(holder, std::memory_order_relaxed);
    slot.deadline.store(deadlineNs, std::memory_order_relaxed);
}

void HeldPackets::EndBatch(const uint32_t* ids, size_t count, int64_t deadlineNs) {
    for (size_t i = 0; i < count; ++i) {
        Slot& slot = SlotOf(ids[i]);
        uint64_t word = Word(ids[i], kInFlight);
        if (slot.word.load(std::memory_order_acquire) != word) continue;
        int64_t none = 0;
        slot.deadline.compare_exchange_strong(none, deadlineNs, std::memory_order_relaxed);
        if (slot.word.compare_exchange_strong(word, Word(ids[i], kHeld),
                                              std::memory_order_acq_rel)) {
            held_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

size_t HeldPackets::TakeExpired(int64_t nowNs, std::vector<uint32_t>* ids) {
    const uint64_t newestPlusOne = newest_.load(std::memory_order_acquire);
    if (newestPlusOne == 0) return 0;
    const uint32_t end = static_cast<uint32_t>(newestPlusOne);  // one past the newest id
    // Ids more than a ring behind the newest were evicted by Begin (which reported them).
    const uint32_t window = static_cast<uint32_t>(mask_ + 1);
    if (!cursorSet_ || end - cursor_ > window) {
        cursor_ = end - window;
        cursorSet_ = true;
    }
    size_t taken = 0;
    bool blocked = false;  // a packet still pending keeps the cursor where it is
    for (uint32_t id = cursor_; id != end; ++id) {
        Slot& slot = SlotOf(id);
        const uint64_t word = slot.word.load(std::memory_order_acquire);
        const bool pending = (word & 3) != kEmpty && static_cast<uint32_t>(word >> 2) == id;
        if (pending) {
            // Every later packet arrived later: none of them can be due yet either.
            if (slot.earliest.load(std::memory_order_relaxed) > nowNs) break;
            if ((word & 3) == kHeld && slot.deadline.load(std::memory_order_relaxed) <= nowNs &&
                Take(slot, word)) {
                ids->push_back(id);
                ++taken;
            } else if (Pending(id)) {
                // In flight, or diverted again with a later deadline.
                blocked = true;
            }
        }
        if (!blocked) cursor_ = id + 1;
    }
    return taken;
}

size_t HeldPackets::TakeHeldBy(uintptr_t holder, std::vector<uint32_t>* ids) {
    if (held_.load(std::memory_order_relaxed) == 0) return 0;
    size_t taken = 0;
    for (size_t i = 0; i <= mask_; ++i) {
        Slot& slot = slots_[i];
        const uint64_t word = slot.word.load(std::memory_order_acquire);
        if ((word & 3) != kHeld || slot.holder.load(std::memory_order_relaxed) != holder) continue;
        if (Take(slot, word)) {
            ids->push_back(static_cast<uint32_t>(word >> 2));
            ++taken;
        }
    }
    return taken;
}

}  // namespace divert::linuxworld
