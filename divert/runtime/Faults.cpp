// Armed faults: a process-wide script behind one mutex, skipped by one atomic check while
// nothing is armed.
#include "divert/runtime/Faults.h"

#include <atomic>
#include <deque>
#include <mutex>

namespace divert {
namespace {

struct OpenFailure {
    uint32_t remaining;
    DWORD error;
    std::optional<INT16> priority;
    std::optional<UINT64> flags;
};

struct FaultState {
    std::mutex mutex;
    std::atomic<bool> armed{false};
    std::deque<OpenFailure> opens;
    std::deque<SendFault> sends;
    std::deque<faults_internal::RecvOverrideValues> recvs;

    void UpdateArmedLocked() {
        armed.store(!opens.empty() || !sends.empty() || !recvs.empty(), std::memory_order_release);
    }
};

FaultState& State() {
    static FaultState* state = new FaultState();
    return *state;
}

}  // namespace

void FailOpens(uint32_t count, DWORD error, std::optional<INT16> priority,
               std::optional<UINT64> flags) {
    if (count == 0) return;
    FaultState& s = State();
    std::lock_guard lock(s.mutex);
    s.opens.push_back(OpenFailure{count, error, priority, flags});
    s.UpdateArmedLocked();
}

void ScriptSends(SendFault fault, uint32_t count) {
    FaultState& s = State();
    std::lock_guard lock(s.mutex);
    for (uint32_t i = 0; i < count; ++i)
        s.sends.push_back(fault);
    s.UpdateArmedLocked();
}

void FailSends(uint32_t count, DWORD error) {
    ScriptSends(SendFault{SendOutcome::Fail, error}, count);
}

void OverrideNextRecv(std::optional<UINT> recvLen, std::optional<UINT> addrLen) {
    FaultState& s = State();
    std::lock_guard lock(s.mutex);
    s.recvs.push_back(faults_internal::RecvOverrideValues{recvLen, addrLen});
    s.UpdateArmedLocked();
}

void ClearFaults() {
    FaultState& s = State();
    std::lock_guard lock(s.mutex);
    s.opens.clear();
    s.sends.clear();
    s.recvs.clear();
    s.UpdateArmedLocked();
}

namespace faults_internal {

bool Armed() {
    return State().armed.load(std::memory_order_acquire);
}

std::optional<DWORD> TakeOpenFailure(INT16 priority, UINT64 flags) {
    if (!Armed()) return std::nullopt;
    FaultState& s = State();
    std::lock_guard lock(s.mutex);
    for (auto it = s.opens.begin(); it != s.opens.end(); ++it) {
        if (it->priority && *it->priority != priority) continue;
        if (it->flags && *it->flags != flags) continue;
        DWORD error = it->error;
        if (--it->remaining == 0) s.opens.erase(it);
        s.UpdateArmedLocked();
        return error;
    }
    return std::nullopt;
}

SendFault TakeSendFault() {
    if (!Armed()) return SendFault{};
    FaultState& s = State();
    std::lock_guard lock(s.mutex);
    if (s.sends.empty()) return SendFault{};
    SendFault fault = s.sends.front();
    s.sends.pop_front();
    s.UpdateArmedLocked();
    return fault;
}

std::optional<RecvOverrideValues> TakeRecvOverride() {
    if (!Armed()) return std::nullopt;
    FaultState& s = State();
    std::lock_guard lock(s.mutex);
    if (s.recvs.empty()) return std::nullopt;
    RecvOverrideValues values = s.recvs.front();
    s.recvs.pop_front();
    s.UpdateArmedLocked();
    return values;
}

}  // namespace faults_internal
}  // namespace divert
