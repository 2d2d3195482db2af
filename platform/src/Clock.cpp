#include "platform/Clock.h"

#include <atomic>
#include <chrono>

namespace bastion {
namespace {
std::atomic<int64_t> gSteadyShift{0};
}

int64_t SteadyNowNs() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() +
           gSteadyShift.load(std::memory_order_relaxed);
}

int64_t WallTicksNow() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

bool ToLocalTime(int64_t unixSeconds, std::tm* out) {
    std::time_t seconds = static_cast<std::time_t>(unixSeconds);
    if (static_cast<int64_t>(seconds) != unixSeconds) return false;
#ifdef _WIN32
    return localtime_s(out, &seconds) == 0;
#else
    return localtime_r(&seconds, out) != nullptr;
#endif
}

namespace testing {
void AdvanceSteadyClock(int64_t ns) {
    if (ns > 0) gSteadyShift.fetch_add(ns, std::memory_order_relaxed);
}
}  // namespace testing

}  // namespace bastion
