// The simulated stack keeps a half-open connection until it is reset; a real one gives
// up on it after its SYN-ACK retransmissions. Without that, a SYN flood the engine let
// through would fill the backlog for the rest of a run and every later client would
// fail, which says more about the simulation than about the engine. The demo and
// `bastion run --scenario` call Run about once a second.
//
// Thread-safety: one thread calls Run; the stack's table is read through its own lock.
#pragma once

#include <map>

#include "divert/sim/SimWorld.h"

namespace bastion::tools {

class HalfOpenTimeout {
  public:
    static constexpr double kSeconds = 3.0;

    explicit HalfOpenTimeout(divert::sim::SimStack& stack) : stack_(stack) {}

    // Resets the half-open connections first seen more than kSeconds before `now`
    // (seconds on any steady scale).
    void Run(double now);

  private:
    divert::sim::SimStack& stack_;
    std::map<divert::sim::ConnectionKey, double> firstSeen_;
};

}  // namespace bastion::tools
