// CountingWorld: a world that forwards everything to another one and keeps the final loss
// counters of closed diversion handles, so that the daemon's metrics cover every handle
// the engine ever opened, not only those open at the time of a scrape.
//
// Thread-safety: as the wrapped world; the totals are atomics.
#pragma once

#include <atomic>
#include <memory>

#include "control/Metrics.h"
#include "divert/runtime/World.h"

namespace bastion {

class CountingWorld final : public divert::World {
  public:
    explicit CountingWorld(std::shared_ptr<divert::World> inner) : inner_(std::move(inner)) {}

    void Deliver(const divert::PacketRef* packets, size_t count) override;
    void Dropped(const divert::DropRef* drops, size_t count) override;
    void Diverted(const divert::HeldRef* held, size_t count) override;
    bool AcceptsSend(const divert::PacketRef& packet) override;
    void Received(HANDLE handle, const WINDIVERT_ADDRESS* into, size_t count) override;
    void Receiving(HANDLE handle, const WINDIVERT_ADDRESS* into) override;
    void HandleClosed(HANDLE handle, const divert::HandleCounters& counters) override;
    std::shared_ptr<platform::SystemTables> Tables() override;

    // Closed handles' totals plus the open handles' current counters.
    DivertTotals Totals() const;

  private:
    std::shared_ptr<divert::World> inner_;
    std::atomic<uint64_t> queued_{0}, received_{0}, dropped_{0}, overflow_{0}, expired_{0},
        oversize_{0};
};

// The current counters summed over the process's open diversion handles.
DivertTotals OpenHandleTotals();

}  // namespace bastion
