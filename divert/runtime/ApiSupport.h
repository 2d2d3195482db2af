// Shared pieces of the API entry points: handle lookup and the call trace.
#pragma once

#include <cstring>
#include <memory>

#include "divert/runtime/Handle.h"
#include "divert/runtime/Trace.h"

namespace divert {

// The open diversion handle `handle` names, or null (last error 6).
std::shared_ptr<DivertHandle> LookupDivertHandle(HANDLE handle);

// Records one API call when tracing is on. Fill `record` during the call; Finish stores
// the result and the last error.
class TraceScope {
  public:
    TraceScope(ApiFunction function, HANDLE handle) : active_(trace_internal::Enabled()) {
        if (active_) {
            record_.function = function;
            record_.handle = handle;
        }
    }
    bool Active() const { return active_; }
    TraceRecord& Record() { return record_; }

    BOOL Finish(BOOL result) {
        if (active_) {
            const DWORD error = result ? 0 : GetLastError();
            record_.result = result;
            record_.error = error;
            trace_internal::Append(std::move(record_));
            if (!result) SetLastError(error);
        }
        return result;
    }

  private:
    bool active_;
    TraceRecord record_;
};

// The number a caller passed for an enum parameter; it may lie outside the enum's range, so
// it is read as bytes rather than loaded as the enum.
template <class Enum>
int RawValue(const Enum& value) {
    static_assert(sizeof(Enum) == sizeof(int));
    int raw;
    std::memcpy(&raw, &value, sizeof(raw));
    return raw;
}

// Sets the last error and returns FALSE.
inline BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace divert
