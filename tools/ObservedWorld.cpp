#include "tools/ObservedWorld.h"

namespace bastion::tools {

std::shared_ptr<ObservedWorld> ObservedWorld::Install(divert::sim::SimConfig config) {
    auto world = std::make_shared<ObservedWorld>(std::move(config));
    divert::SetWorld(world);
    return world;
}

ObservedWorld::ObservedWorld(divert::sim::SimConfig config)
    : sim_(std::make_shared<divert::sim::SimWorld>(std::move(config))) {
    sim_->SetRecording(false);
}

ObservedWorld::~ObservedWorld() = default;

void ObservedWorld::Uninstall() {
    if (divert::CurrentWorld().get() == this) divert::SetWorld(nullptr);
}

void ObservedWorld::Deliver(const divert::PacketRef* packets, size_t count) {
    if (Observer* o = observer_.load(std::memory_order_acquire)) o->OnDelivered(packets, count);
    sim_->Deliver(packets, count);
}

void ObservedWorld::Dropped(const divert::DropRef* drops, size_t count) {
    if (Observer* o = observer_.load(std::memory_order_acquire)) o->OnDropped(drops, count);
    sim_->Dropped(drops, count);
}

void ObservedWorld::HandleClosed(HANDLE handle, const divert::HandleCounters& counters) {
    {
        std::lock_guard lock(closedMutex_);
        divert::HandleCounters& t = closedTotals_;
        t.queued += counters.queued;
        t.received += counters.received;
        t.dropped += counters.dropped;
        t.overflow += counters.overflow;
        t.expired += counters.expired;
        t.oversize += counters.oversize;
        t.reinjectedAtClose += counters.reinjectedAtClose;
        t.discardedAtClose += counters.discardedAtClose;
    }
    sim_->HandleClosed(handle, counters);
}

divert::HandleCounters ObservedWorld::ClosedTotals() const {
    std::lock_guard lock(closedMutex_);
    return closedTotals_;
}

std::shared_ptr<platform::SystemTables> ObservedWorld::Tables() {
    return sim_->Tables();
}

}  // namespace bastion::tools
