#include "control/CountingWorld.h"

#include "divert/runtime/Registry.h"

namespace bastion {

namespace {
void Add(DivertTotals& totals, const divert::HandleCounters& c) {
    totals.queued += c.queued;
    totals.received += c.received;
    totals.filterDropped += c.dropped;
    totals.overflow += c.overflow;
    totals.expired += c.expired;
    totals.oversize += c.oversize;
}
}  // namespace

void CountingWorld::Deliver(const divert::PacketRef* packets, size_t count) {
    inner_->Deliver(packets, count);
}

void CountingWorld::Dropped(const divert::DropRef* drops, size_t count) {
    inner_->Dropped(drops, count);
}

void CountingWorld::Diverted(const divert::HeldRef* held, size_t count) {
    inner_->Diverted(held, count);
}

void CountingWorld::Received(HANDLE handle, const WINDIVERT_ADDRESS* into, size_t count) {
    inner_->Received(handle, into, count);
}

void CountingWorld::Receiving(HANDLE handle, const WINDIVERT_ADDRESS* into) {
    inner_->Receiving(handle, into);
}

bool CountingWorld::AcceptsSend(const divert::PacketRef& packet) {
    return inner_->AcceptsSend(packet);
}

void CountingWorld::HandleClosed(HANDLE handle, const divert::HandleCounters& c) {
    queued_ += c.queued;
    received_ += c.received;
    dropped_ += c.dropped;
    overflow_ += c.overflow;
    expired_ += c.expired;
    oversize_ += c.oversize;
    inner_->HandleClosed(handle, c);
}

std::shared_ptr<platform::SystemTables> CountingWorld::Tables() {
    return inner_->Tables();
}

DivertTotals CountingWorld::Totals() const {
    DivertTotals totals = OpenHandleTotals();
    totals.queued += queued_.load();
    totals.received += received_.load();
    totals.filterDropped += dropped_.load();
    totals.overflow += overflow_.load();
    totals.expired += expired_.load();
    totals.oversize += oversize_.load();
    return totals;
}

DivertTotals OpenHandleTotals() {
    DivertTotals totals;
    std::shared_ptr<const divert::HandleList> handles = divert::CurrentHandles();
    for (const auto& handle : handles->network)
        Add(totals, handle->Counters());
    for (const auto& handle : handles->flow)
        Add(totals, handle->Counters());
    return totals;
}

}  // namespace bastion
