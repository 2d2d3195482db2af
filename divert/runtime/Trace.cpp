// API call trace.
#include "divert/runtime/Trace.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace divert {
namespace {

struct TraceState {
    std::atomic<bool> enabled{false};
    std::mutex mutex;
    std::vector<TraceRecord> records;
};

TraceState& State() {
    static TraceState* state = new TraceState();
    return *state;
}

}  // namespace

const char* ApiFunctionName(ApiFunction function) {
    switch (function) {
        case ApiFunction::Open:
            return "WinDivertOpen";
        case ApiFunction::Close:
            return "WinDivertClose";
        case ApiFunction::Shutdown:
            return "WinDivertShutdown";
        case ApiFunction::Recv:
            return "WinDivertRecv";
        case ApiFunction::RecvEx:
            return "WinDivertRecvEx";
        case ApiFunction::Send:
            return "WinDivertSend";
        case ApiFunction::SendEx:
            return "WinDivertSendEx";
        case ApiFunction::SetParam:
            return "WinDivertSetParam";
        case ApiFunction::GetParam:
            return "WinDivertGetParam";
    }
    return "?";
}

void SetTraceEnabled(bool enabled) {
    State().enabled.store(enabled, std::memory_order_relaxed);
}

std::vector<TraceRecord> TakeTrace() {
    TraceState& s = State();
    std::lock_guard lock(s.mutex);
    return std::exchange(s.records, {});
}

namespace trace_internal {

bool Enabled() {
    return State().enabled.load(std::memory_order_relaxed);
}

void Append(TraceRecord record) {
    TraceState& s = State();
    std::lock_guard lock(s.mutex);
    s.records.push_back(std::move(record));
}

}  // namespace trace_internal
}  // namespace divert
