// State of the cleanup and metrics loops that lives in the engine object rather than in
// the loop bodies: times that must survive a restart of a body after an exception, and
// the metrics thread's bookkeeping between ticks.
//
// Thread-safety: the cleanup times are written by the cleanup thread only and the metrics
// fields by the metrics thread only; they are atomics so that tests and diagnostics may
// read them from another thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace bastion {

struct ServiceLoopState {
    // ---- Cleanup loop (steady ns; 0 until the first body starts) ------------------------
    // The rate-window reset time is the rule engine's (RuleEngineState::lastWindowResetTime).
    std::atomic<int64_t> lastListShrinkTime{0};
    std::atomic<int64_t> lastAutoRuleExpiryTime{0};
    // The last list flush failed; its failure has been logged and is not logged again until
    // a flush succeeds.
    std::atomic<bool> listFlushFailing{false};

    // ---- Metrics loop (steady ns) -------------------------------------------------------
    // End of the last completed metrics period.
    std::atomic<int64_t> lastMetricsTime{0};
    // Time of the last statistics line (or of the last discard of its counters), and the
    // statistics switch as seen on the previous tick.
    std::atomic<int64_t> statsLastTime{0};
    std::atomic<bool> statsWasEnabled{false};
    // Time of the last counter-overflow warning; 0 until the first overflow is seen.
    std::atomic<int64_t> overflowWarnTime{0};
};

}  // namespace bastion
