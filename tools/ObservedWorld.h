// The simulated network with an observer on its delivery: the tools need to know which
// packets reached the local stack (the engine let them through) and to see the stack's
// replies to their clients, without recording every packet of a flood.
//
// ObservedWorld forwards everything to a SimWorld (its local stack, tables, counters and,
// if switched on, records) after showing delivered and dropped packets to the observer.
//
// Thread-safety: as SimWorld; the observer is called on the threads that deliver
// (capture workers re-injecting, the stack replying) and must be safe for that.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "divert/runtime/World.h"
#include "divert/sim/SimWorld.h"

namespace bastion::tools {

class ObservedWorld final : public divert::World {
  public:
    class Observer {
      public:
        virtual ~Observer() = default;
        // Packets that passed every handle: inbound ones reach the local stack, outbound
        // ones the wire.
        virtual void OnDelivered(const divert::PacketRef* packets, size_t count) = 0;
        // Packets a driver drop filter discarded.
        virtual void OnDropped(const divert::DropRef* drops, size_t count) {
            (void)drops;
            (void)count;
        }
    };

    // Creates a world over a new SimWorld (recording off) and makes it the current one.
    static std::shared_ptr<ObservedWorld> Install(divert::sim::SimConfig config = {});
    explicit ObservedWorld(divert::sim::SimConfig config);
    ~ObservedWorld() override;

    // Stops being the current world (if it still is).
    void Uninstall();

    divert::sim::SimWorld& Sim() { return *sim_; }
    // Null removes it. Set it before traffic flows; a delivery already running may still
    // reach the previous observer.
    void SetObserver(Observer* observer) { observer_.store(observer, std::memory_order_release); }

    // The counters of every handle closed so far, added up (queue losses of the engine's
    // handles once it has stopped).
    divert::HandleCounters ClosedTotals() const;

    void Deliver(const divert::PacketRef* packets, size_t count) override;
    void Dropped(const divert::DropRef* drops, size_t count) override;
    void HandleClosed(HANDLE handle, const divert::HandleCounters& counters) override;
    std::shared_ptr<platform::SystemTables> Tables() override;

  private:
    std::shared_ptr<divert::sim::SimWorld> sim_;
    std::atomic<Observer*> observer_{nullptr};
    mutable std::mutex closedMutex_;
    divert::HandleCounters closedTotals_;
};

}  // namespace bastion::tools
