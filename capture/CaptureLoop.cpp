// Capture worker bodies: start steps, the receive cycle and the supervision wrapper.
#include "capture/CaptureLoop.h"

#include <exception>
#include <string>

#include "capture/CaptureWorker.h"
#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "rules/Counters.h"
#include "services/Log.h"
#include "services/Supervision.h"

namespace bastion {
namespace {

constexpr char kThreadName[] = "CaptureLoop";
constexpr DWORD kRestartDelayMs = 200;
constexpr WORD kWinsockVersion = 0x0202;

// The errors that mean the handle was shut down, closed or replaced.
bool IsQuietError(DWORD error) {
    return error == ERROR_OPERATION_ABORTED || error == ERROR_NO_DATA ||
           error == ERROR_INVALID_HANDLE || error == ERROR_BAD_COMMAND;
}

bool IsNoHandle(HANDLE h) {
    return h == nullptr || h == INVALID_HANDLE_VALUE;
}

// Calls WSACleanup on the way out of a body that started Winsock, however it leaves.
struct WinsockSession {
    ~WinsockSession() { WSACleanup(); }
};

// One run of the worker body: start steps, receive cycles, final flush. Returns when the
// engine stops or the worker cannot run.
void RunWorkerBody(PacketProcessor& engine, int workerIndex) {
    for (;;) {
        if (!engine.running.load(std::memory_order_acquire)) return;
        WSADATA data{};
        const int code = WSAStartup(kWinsockVersion, &data);
        if (code == 0) break;
        ReportThreadFailure(engine, kThreadName, workerIndex,
                            "WSAStartup thất bại (Code: " + std::to_string(code) + ")");
        if (!engine.running.load(std::memory_order_acquire)) return;
        Sleep(kRestartDelayMs);
    }
    WinsockSession winsock;
    PinWorkerThread(workerIndex);
    CaptureWorker worker(engine, workerIndex);
    if (!worker.CreateEvents()) return;
    while (worker.RunCycle() == CaptureWorker::Cycle::Continue) {
    }
    worker.FlushCounters(SteadyNowNs());
}

}  // namespace

void CaptureLoop(PacketProcessor& engine, int workerIndex) {
    for (;;) {
        if (!engine.running.load(std::memory_order_acquire)) return;
        std::string message;
        try {
            RunWorkerBody(engine, workerIndex);
            return;
        } catch (const std::exception& failure) {
            message = failure.what();
        } catch (...) {
            message = "Ngoại lệ không xác định";
        }
        ReportThreadFailure(engine, kThreadName, workerIndex, message);
        if (!engine.running.load(std::memory_order_acquire)) return;
        Sleep(kRestartDelayMs);
    }
}

void PinWorkerThread(int workerIndex) {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    const DWORD processors = info.dwNumberOfProcessors;
    if (processors == 0) return;
    const auto index = static_cast<DWORD>(workerIndex);
    if (processors > 64) {
        const WORD groups = GetActiveProcessorGroupCount();
        if (groups == 0) return;
        const WORD group = static_cast<WORD>(index % groups);
        const DWORD inGroup = GetActiveProcessorCount(group);
        if (inGroup == 0) return;
        GROUP_AFFINITY affinity{};
        affinity.Group = group;
        affinity.Mask = KAFFINITY{1} << ((index % inGroup) % 64);
        SetThreadGroupAffinity(GetCurrentThread(), &affinity, nullptr);
        return;
    }
    // An index at or above the processor count names no processor: the call fails and
    // the thread keeps its affinity.
    SetThreadAffinityMask(GetCurrentThread(), DWORD_PTR{1} << (index % 64));
}

// ---- CaptureWorker: life and receive cycle -------------------------------------------------

CaptureWorker::CaptureWorker(PacketProcessor& owner, int index)
    : engine(owner), workerIndex(index), scratch(ThreadCaptureScratch()), lastFlush(SteadyNowNs()) {
    for (BufferSet& set : sets) {
        set.packets = std::make_unique<uint8_t[]>(kBatchBufferBytes);
        set.addresses = std::make_unique<WINDIVERT_ADDRESS[]>(kMaxBatchPackets);
    }
    scratch.ReserveBatchVectors();
    sendPositions.reserve(kMaxBatchPackets + 1);
}

CaptureWorker::~CaptureWorker() {
    if (sendPending) {
        CancelIoEx(sendHandle, &sendOverlapped);
        DWORD ignored = 0;
        GetOverlappedResult(sendHandle, &sendOverlapped, &ignored, TRUE);
        sendPending = false;
    }
    if (recvPending) CollectReceive(false);
    if (recvEvent != nullptr) CloseHandle(recvEvent);
    if (sendEvent != nullptr) CloseHandle(sendEvent);
}

bool CaptureWorker::CreateEvents() {
    recvEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (recvEvent == nullptr) {
        ReportThreadFailure(engine, kThreadName, workerIndex, "CreateEvent overlapped thất bại");
        return false;
    }
    sendEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (sendEvent == nullptr) {
        ReportThreadFailure(engine, kThreadName, workerIndex, "CreateEvent send_event thất bại");
        return false;
    }
    recvOverlapped.hEvent = recvEvent;
    sendOverlapped.hEvent = sendEvent;
    sendPending = false;
    return true;
}

bool CaptureWorker::Running() const {
    return engine.running.load(std::memory_order_acquire);
}

bool CaptureWorker::ShouldWarn(WarningSite site, int64_t period) {
    return throttle.ShouldLog(site, SteadyNowNs(), period);
}

void CaptureWorker::Emit(std::string text) {
    EmitLogEvent(engine, std::move(text));
}

void CaptureWorker::FlushCounters(int64_t now) {
    MergeWorkerBuffer(engine, scratch, now);
    lastFlush = now;
}

// Collects the asynchronous send of the previous cycle: up to 5 ms to complete, then
// cancelled. A cancelled send is still waited for, so that its OVERLAPPED and buffer are
// free before either is used again.
void CaptureWorker::CollectSend() {
    DWORD wait = WaitForSingleObject(sendEvent, 0);
    if (wait == WAIT_TIMEOUT) wait = WaitForSingleObject(sendEvent, kSendCollectMs);
    DWORD bytes = 0;
    if (wait != WAIT_OBJECT_0) {
        CancelIoEx(sendHandle, &sendOverlapped);
        GetOverlappedResult(sendHandle, &sendOverlapped, &bytes, TRUE);
    } else if (!GetOverlappedResult(sendHandle, &sendOverlapped, &bytes, FALSE)) {
        const DWORD error = GetLastError();
        if (ShouldWarn(WarningSite::AsyncSendFailed)) {
            Emit("[⚠️] Async send failed (Thread " + std::to_string(workerIndex) +
                 ", Error=" + std::to_string(error) + ")");
        }
    }
    sendPending = false;
}

// Cancels the receive in flight and waits for it to end. A batch that completed anyway is
// judged and re-injected when `processIfReceived` (a replaced handle), so that it is not
// lost; on the way out it is dropped with the batch.
CaptureWorker::Cycle CaptureWorker::CollectReceive(bool processIfReceived) {
    CancelIoEx(handle, &recvOverlapped);
    DWORD bytes = 0;
    const BOOL ok = GetOverlappedResult(handle, &recvOverlapped, &bytes, TRUE);
    recvPending = false;
    if (ok && processIfReceived && bytes != 0) ProcessBatch(bytes, addrLen);
    return Cycle::Continue;
}

CaptureWorker::Cycle CaptureWorker::RunCycle() {
    if (!Running()) return Cycle::Stop;
    handle = engine.captureHandle.load(std::memory_order_acquire);
    if (IsNoHandle(handle)) {
        Sleep(kNoHandleSleepMs);
        return Cycle::Continue;
    }
    if (sendPending) CollectSend();

    BufferSet& set = sets[static_cast<size_t>(receiveSet)];
    recvLen = 0;
    addrLen = kAddressArrayBytes;
    ResetEvent(recvEvent);
    if (WinDivertRecvEx(handle, set.packets.get(), kBatchBufferBytes, &recvLen, 0,
                        set.addresses.get(), &addrLen, &recvOverlapped)) {
        ProcessBatch(recvLen, addrLen);
        return Cycle::Continue;
    }
    const DWORD error = GetLastError();
    if (IsQuietError(error)) return Running() ? Cycle::Continue : Cycle::Stop;
    if (error != ERROR_IO_PENDING) {
        if (ShouldWarn(WarningSite::RecvFailed)) {
            Emit("[⚠️] WinDivertRecvEx failed (Thread " + std::to_string(workerIndex) +
                 ", Error: " + std::to_string(error) + ") - Driver error or kernel issue");
        }
        if (!Running()) return Cycle::Stop;
        Sleep(kRecvErrorSleepMs);
        return Cycle::Continue;
    }

    recvPending = true;
    while (Running()) {
        const DWORD wait = WaitForSingleObject(recvEvent, kWaitStepMs);
        if (wait == WAIT_OBJECT_0) {
            consecutiveTimeouts = 0;
            DWORD bytes = 0;
            const BOOL ok = GetOverlappedResult(handle, &recvOverlapped, &bytes, FALSE);
            recvPending = false;
            if (ok) {
                ProcessBatch(bytes, addrLen);
                return Cycle::Continue;
            }
            const DWORD failure = GetLastError();
            if (!IsQuietError(failure) && ShouldWarn(WarningSite::OverlappedFailed)) {
                Emit("[⚠️] GetOverlappedResult failed (Thread " + std::to_string(workerIndex) +
                     ", Error: " + std::to_string(failure) + ")");
            }
            return Cycle::Continue;
        }
        if (wait == WAIT_TIMEOUT) {
            ++consecutiveTimeouts;
            if (!Running()) break;
            if (consecutiveTimeouts % kHandleCheckTimeouts == 0 &&
                engine.captureHandle.load(std::memory_order_acquire) != handle) {
                consecutiveTimeouts = 0;
                return CollectReceive(true);
            }
            continue;
        }
        if (ShouldWarn(WarningSite::WaitFailed)) {
            Emit("[⚠️] WaitForSingleObject failed (Thread " + std::to_string(workerIndex) +
                 ", Result: " + std::to_string(wait) + ")");
        }
        return CollectReceive(true);
    }
    CollectReceive(false);
    return Cycle::Stop;
}

}  // namespace bastion
