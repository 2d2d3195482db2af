// The kernel packets of one queue that wait for a verdict while the runtime has them.
//
// A packet enters when its queue reader pushes it into dispatch (in flight). Dispatch
// either gives it a verdict at once (delivered or dropped: Resolve) or a handle keeps it;
// after the batch, what is still unresolved is held until its deadline. An application
// sending it back resolves it; the housekeeping drops what passed its deadline or what a
// closing handle still held, and counts both.
//
// Slots are indexed by the kernel's packet id, which grows by one per packet of a queue,
// so the ring needs no search. A slot still pending when a packet 2^k ids later needs it
// is evicted (its packet is dropped by the caller, as if its grace had ended): at the
// default size that takes more than 65,536 packets within one grace period on one queue.
//
// Thread-safety: every member may be called from any thread; no locks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace divert::linuxworld {

class HeldPackets {
  public:
    static constexpr size_t kDefaultSlots = size_t{1} << 16;

    // `slots` is rounded up to a power of two.
    explicit HeldPackets(size_t slots = kDefaultSlots);

    // The reader is about to dispatch packet `id`; no deadline it gets later is before
    // `earliestDeadlineNs` (its arrival plus the grace period). Returns the id of an older
    // pending packet that had the slot: the caller drops it and counts it as expired.
    std::optional<uint32_t> Begin(uint32_t id, int64_t earliestDeadlineNs = 0);

    // The packet's verdict is given now. False if it is not pending any more (already
    // resolved, expired or dropped at close): then no verdict may be sent.
    bool Resolve(uint32_t id);

    bool Pending(uint32_t id) const;

    // Removes packet `id` if it is pending and `holder` holds it (held, or still in its
    // batch's dispatch); true if this call removed it: the caller drops it.
    bool ReleaseHeldBy(uint32_t id, uintptr_t holder);

    // A handle took the packet into its queue: it is held for `holder` until `deadlineNs`
    // (each diversion starts a new grace period).
    void Hold(uint32_t id, uintptr_t holder, int64_t deadlineNs);

    // After dispatch of a batch: its packets still in flight are held; those without a
    // deadline yet get `deadlineNs`.
    void EndBatch(const uint32_t* ids, size_t count, int64_t deadlineNs);

    // Removes the held packets whose deadline is at or before `nowNs` / whose holder is
    // `holder`, appending their ids; returns how many. TakeExpired is called from one
    // thread at a time: it walks the ids from the oldest one still pending and stops at
    // the first whose earliest deadline lies ahead, so a round costs what expired, not
    // the whole ring.
    size_t TakeExpired(int64_t nowNs, std::vector<uint32_t>* ids);
    size_t TakeHeldBy(uintptr_t holder, std::vector<uint32_t>* ids);

    // Packets currently held (after their batch).
    size_t HeldCount() const { return held_.load(std::memory_order_relaxed); }

  private:
    enum State : uint64_t { kEmpty = 0, kInFlight = 1, kHeld = 2 };
    static constexpr uint64_t Word(uint32_t id, State state) { return (uint64_t{id} << 2) | state; }

    struct Slot {
        std::atomic<uint64_t> word{0};
        std::atomic<int64_t> deadline{0};
        std::atomic<int64_t> earliest{0};  // Begin's bound, for the expiry walk
        std::atomic<uintptr_t> holder{0};
    };

    Slot& SlotOf(uint32_t id) const { return slots_[id & mask_]; }
    // Empties `slot` if it still holds `word`; true if this call emptied it.
    bool Take(Slot& slot, uint64_t word);

    std::unique_ptr<Slot[]> slots_;
    size_t mask_;
    std::atomic<size_t> held_{0};
    // The newest id begun (ids grow by one per packet and wrap at 2^32), and where the
    // expiry walk resumes: no id before it is pending any more.
    std::atomic<uint64_t> newest_{0};  // id + 1; 0 before the first Begin
    uint32_t cursor_ = 0;
    bool cursorSet_ = false;
};

}  // namespace divert::linuxworld
