// Handle registry: copy-on-write snapshots with a per-thread cache.
#include "divert/runtime/Registry.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace divert {
namespace {

struct Registry {
    std::mutex mutex;
    std::shared_ptr<const HandleList> current = std::make_shared<HandleList>();
    std::atomic<uint64_t> generation{1};
    uint64_t openCounter = 0;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry();  // outlives every static destructor
    return *registry;
}

struct ThreadCache {
    uint64_t generation = 0;
    std::shared_ptr<const HandleList> list;
    int depth = 0;
};

thread_local ThreadCache tlsCache;

bool VisitsBefore(const std::shared_ptr<DivertHandle>& a, const std::shared_ptr<DivertHandle>& b) {
    if (a->InternalPriority() != b->InternalPriority()) {
        return a->InternalPriority() > b->InternalPriority();
    }
    return a->Sequence() > b->Sequence();
}

// Replaces the snapshot with `edit` applied to a copy. Caller holds the mutex.
template <class Edit>
void PublishLocked(Registry& r, Edit edit) {
    auto next = std::make_shared<HandleList>(*r.current);
    edit(*next);
    r.current = std::move(next);
    r.generation.fetch_add(1, std::memory_order_release);
}

}  // namespace

uint32_t NextInternalPriority(INT16 priority, uint64_t* sequence) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    uint64_t counter = ++r.openCounter;
    *sequence = counter;
    return (static_cast<uint32_t>(priority + WINDIVERT_PRIORITY_HIGHEST) << 16) |
           static_cast<uint32_t>(counter & 0xFFFF);
}

void RegisterHandle(std::shared_ptr<DivertHandle> handle) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    PublishLocked(r, [&](HandleList& list) {
        auto& v = handle->Layer() == WINDIVERT_LAYER_FLOW ? list.flow : list.network;
        v.insert(std::upper_bound(v.begin(), v.end(), handle, VisitsBefore), handle);
    });
}

void UnregisterHandle(const DivertHandle* handle) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    PublishLocked(r, [&](HandleList& list) {
        for (auto* v : {&list.network, &list.flow}) {
            v->erase(std::remove_if(v->begin(), v->end(),
                                    [&](const auto& h) { return h.get() == handle; }),
                     v->end());
        }
    });
}

void PublishWorld(std::shared_ptr<World> world) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    PublishLocked(r, [&](HandleList& list) { list.world = std::move(world); });
}

std::shared_ptr<const HandleList> CurrentHandles() {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    return r.current;
}

SnapshotGuard::SnapshotGuard() {
    ThreadCache& cache = tlsCache;
    if (cache.depth == 0) {
        Registry& r = TheRegistry();
        uint64_t generation = r.generation.load(std::memory_order_acquire);
        if (cache.generation != generation || !cache.list) {
            std::lock_guard lock(r.mutex);
            cache.list = r.current;
            cache.generation = r.generation.load(std::memory_order_relaxed);
        }
    }
    ++cache.depth;
    list_ = cache.list.get();
}

SnapshotGuard::~SnapshotGuard() {
    --tlsCache.depth;
}

}  // namespace divert
