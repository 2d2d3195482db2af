// The engine's two clocks: a steady clock for every interval and age, and the wall
// clock in 100-nanosecond ticks since 1970 for log records and published metrics.
//
// Tests may shift the steady clock forward (never backward) to reach throttle periods and
// timeouts without sleeping; the shift applies to every thread of the process.
#pragma once

#include <cstdint>
#include <ctime>

namespace bastion {

// Steady-clock time in nanoseconds.
int64_t SteadyNowNs();

// Wall-clock time in 100-ns ticks since 1970-01-01 00:00 UTC.
int64_t WallTicksNow();

constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kWallTicksPerSecond = 10'000'000;

// Breaks `unixSeconds` down into the local time zone's calendar time (thread-safe, unlike
// std::localtime). False if the time cannot be represented.
bool ToLocalTime(int64_t unixSeconds, std::tm* out);

namespace testing {
// Adds `ns` to every later SteadyNowNs() result (cumulative).
void AdvanceSteadyClock(int64_t ns);
}  // namespace testing

}  // namespace bastion
