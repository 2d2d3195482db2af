// The runtime's one time source: a monotonic 10 MHz tick count (100-ns units), the
// frequency most programs expect of the packet timestamp. It is the steady clock of
// platform/Clock.h divided down, so tests that move the steady clock forward also age the
// queued packets (QUEUE_TIME) without sleeping.
#pragma once

#include <cstdint>

#include "platform/Clock.h"

namespace divert {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMs = 10'000;

inline int64_t NowTicks() {
    return bastion::SteadyNowNs() / 100;
}

}  // namespace divert
