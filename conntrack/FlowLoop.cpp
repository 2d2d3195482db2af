// The flow handle's life (ConfigureFlowTracking) and the "FlowLoop" thread that reads it.
#include <mutex>
#include <shared_mutex>
#include <string>

#include "conntrack/ConnectionTracking.h"
#include "conntrack/FlowTracking.h"
#include "engine/FilterBuilder.h"
#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "platform/Win32.h"
#include "services/Log.h"
#include "windivert.h"

namespace bastion {
namespace {

constexpr UINT64 kFlowFlags = WINDIVERT_FLAG_SNIFF | WINDIVERT_FLAG_RECV_ONLY;
static_assert(kFlowFlags == 5);

// Pauses of the flow thread. With no handle it polls for one; a receive that failed because
// the handle was replaced or closed waits for the configuring thread to finish the swap; no
// data means the handle is being shut down; anything else is retried almost at once.
constexpr DWORD kNoHandleSleepMs = 50;
constexpr DWORD kHandleGoneSleepMs = 20;
constexpr DWORD kNoDataSleepMs = 5;
constexpr DWORD kOtherErrorSleepMs = 1;

bool IsOpen(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Ends a handle that has just left the slot: a receive blocked on it returns (995) and the
// flow thread picks up whatever the slot holds now.
void Retire(HANDLE handle) {
    if (!IsOpen(handle)) return;
    CancelIoEx(handle, nullptr);
    WinDivertClose(handle);
}

DWORD SleepAfterReceiveError(DWORD error) {
    switch (error) {
        case ERROR_INVALID_HANDLE:
        case ERROR_OPERATION_ABORTED:
            return kHandleGoneSleepMs;
        case ERROR_NO_DATA:
            return kNoDataSleepMs;
        default:
            return kOtherErrorSleepMs;
    }
}

void StopFlowTracking(PacketProcessor& engine) {
    FlowTracking& flow = engine.flow;
    {
        std::lock_guard lock(flow.flowFilterMutex);
        flow.flowFilterText.clear();
    }
    Retire(flow.flowHandle.exchange(nullptr, std::memory_order_acq_rel));
    // Publishes 0 active connections once the tables are empty.
    ClearConnectionTables(engine);
    std::unique_lock seenLock(flow.flowTableLock);
    flow.flowSeen.clear();
    flow.flowSeen.shrink_to_fit();
}

}  // namespace

void ConfigureFlowTracking(PacketProcessor& engine, const AppConfig& config) {
    FlowTracking& flow = engine.flow;
    const std::string text = BuildFlowFilter(config);
    if (!config.tcpEnabled || text.empty() || text == "false") {
        StopFlowTracking(engine);
        return;
    }

    {
        // The stored text is the one the open handle was opened for. It changes only once a
        // handle for the new text is open, so that after a failed open the next call with
        // the same configuration tries again instead of taking the old handle for the new
        // filter.
        std::lock_guard lock(flow.flowFilterMutex);
        if (text == flow.flowFilterText &&
            IsOpen(flow.flowHandle.load(std::memory_order_acquire))) {
            return;
        }
    }

    const char* opened = text.c_str();
    const char* errorString = nullptr;
    UINT errorPosition = 0;
    if (!WinDivertHelperCompileFilter(opened, WINDIVERT_LAYER_FLOW, nullptr, 0, &errorString,
                                      &errorPosition)) {
        EmitLogEvent(engine, FormatFlowFilterWarning(text, errorPosition, errorString));
        opened = kDefaultFlowFilter;
    }

    HANDLE handle = WinDivertOpen(opened, WINDIVERT_LAYER_FLOW, 0, kFlowFlags);
    if (!IsOpen(handle)) {
        EmitLogEvent(engine, "❌ Không mở được FLOW (lỗi " + std::to_string(GetLastError()) +
                                 ") - vô hiệu hóa theo dõi TCP flow [vui lòng chạy với quyền "
                                 "administrator]");
        return;
    }
    {
        std::lock_guard lock(flow.flowFilterMutex);
        flow.flowFilterText = text;
    }
    Retire(flow.flowHandle.exchange(handle, std::memory_order_acq_rel));
}

FlowStep FlowLoopIteration(PacketProcessor& engine) {
    FlowTracking& flow = engine.flow;
    HANDLE handle = flow.flowHandle.load(std::memory_order_acquire);
    if (!IsOpen(handle)) {
        Sleep(kNoHandleSleepMs);
        return FlowStep::NoHandle;
    }
    // Flow events carry no packet: the receive passes no buffer.
    WINDIVERT_ADDRESS event{};
    if (!WinDivertRecv(handle, nullptr, 0, nullptr, &event)) {
        Sleep(SleepAfterReceiveError(GetLastError()));
        return FlowStep::ReceiveFailed;
    }
    flow.flowEventCount.fetch_add(1, std::memory_order_relaxed);
    if (!IsTrackedFlowEvent(event)) return FlowStep::Ignored;
    ApplyFlowEvent(engine, event, SteadyNowNs(), FlowSource::OpenHandle);
    return FlowStep::Applied;
}

void FlowLoop(PacketProcessor& engine) {
    while (engine.flowRunning.load(std::memory_order_acquire))
        FlowLoopIteration(engine);
}

}  // namespace bastion
