// The process's open diversion handles in visiting order, and the current world.
//
// Dispatch reads an immutable snapshot; opening or closing a handle or changing the world
// publishes a new one. Each thread keeps the snapshot it last used and only compares a
// generation number per dispatch, so the packet path takes no lock and touches no shared
// reference count; a thread refreshes its copy when the generation moved (and never in a
// nested dispatch, whose caller still walks the old copy).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "divert/runtime/Handle.h"
#include "divert/runtime/World.h"

namespace divert {

struct HandleList {
    // Descending internal priority; among equal ones the most recently opened first.
    std::vector<std::shared_ptr<DivertHandle>> network;
    std::vector<std::shared_ptr<DivertHandle>> flow;
    std::shared_ptr<World> world;
};

// Internal priority of the next handle opened with `priority`: the priority in the upper
// half, the low 16 bits of a process-wide open counter in the lower half. Returns the
// full counter as the handle's sequence.
uint32_t NextInternalPriority(INT16 priority, uint64_t* sequence);

void RegisterHandle(std::shared_ptr<DivertHandle> handle);
void UnregisterHandle(const DivertHandle* handle);
void PublishWorld(std::shared_ptr<World> world);

// The snapshot for the calling thread's current dispatch; valid while the returned guard
// lives.
class SnapshotGuard {
  public:
    SnapshotGuard();
    ~SnapshotGuard();
    SnapshotGuard(const SnapshotGuard&) = delete;
    SnapshotGuard& operator=(const SnapshotGuard&) = delete;
    const HandleList& operator*() const { return *list_; }
    const HandleList* operator->() const { return list_; }

  private:
    const HandleList* list_;
};

// A counted reference to the current snapshot, for control paths.
std::shared_ptr<const HandleList> CurrentHandles();

}  // namespace divert
