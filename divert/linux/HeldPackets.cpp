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

std::optional<uint32_t> HeldPackets::Begin(uint32_t id) {
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
    // Release: a thread that sees the new word also sees the cleared holder and deadline.
    slot.word.store(Word(id, kInFlight), std::memory_order_release);
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
    if (held_.load(std::memory_order_relaxed) == 0) return 0;
    size_t taken = 0;
    for (size_t i = 0; i <= mask_; ++i) {
        Slot& slot = slots_[i];
        const uint64_t word = slot.word.load(std::memory_order_acquire);
        if ((word & 3) != kHeld || slot.deadline.load(std::memory_order_relaxed) > nowNs) continue;
        if (Take(slot, word)) {
            ids->push_back(static_cast<uint32_t>(word >> 2));
            ++taken;
        }
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
