#include "control/ReadGuard.h"

#include <linux/membarrier.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace bastion {
namespace read_guard_detail {

std::atomic<bool> gLightReaders{false};
std::atomic<uint64_t> gOverflowReaders{0};
ReaderSlot gOverflowMarker;

namespace {

ReaderSlot gSlots[kReaderSlots];
// One past the highest slot ever claimed: writers scan no further.
std::atomic<unsigned> gSlotHighWater{0};
// Set when membarrier failed after it had been registered: from then on nothing that
// readers might still hold is freed.
std::atomic<bool> gBarrierBroken{false};

long Membarrier(int command) {
    return syscall(__NR_membarrier, command, 0, 0);
}

// Registers this process for expedited private barriers once, before main() starts threads.
[[maybe_unused]] const bool gRegistered = [] {
#if defined(__SANITIZE_THREAD__)
    return false;  // ThreadSanitizer cannot see the barrier; readers use the fenced path
#else
    long supported = Membarrier(MEMBARRIER_CMD_QUERY);
    if (supported < 0 || (supported & MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0 ||
        (supported & MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0) {
        return false;
    }
    if (Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) != 0) return false;
    gLightReaders.store(true, std::memory_order_seq_cst);
    return true;
#endif
}();

// Gives the slot back when its thread ends (the thread is outside any section then).
struct SlotRelease {
    ReaderSlot* slot = nullptr;
    ~SlotRelease() {
        if (slot == nullptr) return;
        tlsSlot = &gOverflowMarker;  // a lookup after this point uses the shared counter
        slot->taken.store(false, std::memory_order_release);
    }
};
thread_local SlotRelease tlsRelease;

}  // namespace

ReaderSlot* ClaimSlot() noexcept {
    for (unsigned i = 0; i < kReaderSlots; ++i) {
        ReaderSlot& slot = gSlots[i];
        if (slot.taken.load(std::memory_order_relaxed)) continue;
        if (slot.taken.exchange(true, std::memory_order_acquire)) continue;
        unsigned high = gSlotHighWater.load(std::memory_order_relaxed);
        while (high < i + 1 &&
               !gSlotHighWater.compare_exchange_weak(high, i + 1, std::memory_order_seq_cst)) {
        }
        tlsRelease.slot = &slot;
        tlsSlot = &slot;
        return &slot;
    }
    tlsSlot = &gOverflowMarker;
    return &gOverflowMarker;
}

}  // namespace read_guard_detail

bool SynchronizeReaders() {
    using namespace read_guard_detail;
    if (gBarrierBroken.load(std::memory_order_relaxed)) return false;
    if (gLightReaders.load(std::memory_order_seq_cst)) {
        // Every thread of ours that is running passes a full barrier: a reader's opening
        // store is visible below, or that reader already sees the unpublished pointer.
        if (Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) {
            gBarrierBroken.store(true, std::memory_order_relaxed);
            return false;
        }
    }
    unsigned high = gSlotHighWater.load(std::memory_order_seq_cst);
    for (unsigned i = 0; i < high; ++i) {
        uint64_t state = gSlots[i].state.load(std::memory_order_seq_cst);
        if ((state & 1) == 0) continue;
        // Any change means that section closed; a new one started after the barrier.
        for (unsigned spins = 0; gSlots[i].state.load(std::memory_order_acquire) == state;
             ++spins) {
            if (spins > 64) sched_yield();
        }
    }
    while (gOverflowReaders.load(std::memory_order_seq_cst) != 0)
        sched_yield();
    return true;
}

bool LightReadersInUse() {
    return read_guard_detail::gLightReaders.load(std::memory_order_relaxed);
}

}  // namespace bastion
